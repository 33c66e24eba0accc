/* The path prefix: the directory where calibration, lens and data files live. */
#ifndef VEXEL_PATH_H
#define VEXEL_PATH_H

#include <vexel/export.h>

VX_EXTERN_C_BEGIN

/* Stores at most 255 characters of `path` as the prefix (file names are appended to it
   directly, so keep a trailing separator) and creates the directory chain.
   Returns 0, or the result of the last directory creation. */
VX_API int vexel_path_cfg(const char* path);
/* Points the prefix at the calibration cache of one camera, so its calibration does not depend on
   the working directory (the default prefix): DIR/SERIAL-CHIP/, where DIR is $XDG_CACHE_HOME/vexel
   when that is an absolute path, else $HOME/.cache/vexel, SERIAL the camera's serial (device
   parameter 2; characters other than letters, digits, '.', '-' and '_' become '_') and CHIP its
   chip number (parameter 7). For applications and tools that want calibration kept per user and
   camera; call it with a record from vexel_dev_list that is not open, then open that record.
   It opens the camera's transport briefly to read the two parameters, and fills the record's
   `product` and `dev_id` with what the camera reports (the open reads them again). Creates the
   directories as vexel_path_cfg does. Same thread rules as vexel_path_cfg (process-wide prefix).
   Returns 0 done; -1 when the record is null or open, the camera cannot be opened or does not
   answer, or no cache directory is known (the prefix is unchanged); 1 when the prefix is set but
   its directory could not be created: the open then cannot store the calibration it downloads. */
struct vexel_dev;
VX_API int vexel_path_cfg_cache(struct vexel_dev* dev);
/* The prefix as set; never null. */
VX_API const char* vexel_path_get(void);

VX_EXTERN_C_END

#endif
