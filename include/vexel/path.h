/* The path prefix: the directory where calibration, lens and data files live. */
#ifndef VEXEL_PATH_H
#define VEXEL_PATH_H

#include <vexel/export.h>

VX_EXTERN_C_BEGIN

/* Stores at most 255 characters of `path` as the prefix (file names are appended to it
   directly, so keep a trailing separator) and creates the directory chain.
   Returns 0, or the result of the last directory creation. */
VX_API int vexel_path_cfg(const char* path);
/* The prefix as set; never null. */
VX_API const char* vexel_path_get(void);

VX_EXTERN_C_END

#endif
