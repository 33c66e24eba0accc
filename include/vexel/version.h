/* The library's own version, for applications that must tell which libvexel they loaded. */
#ifndef VEXEL_VERSION_H
#define VEXEL_VERSION_H

#include <vexel/export.h>

VX_EXTERN_C_BEGIN

/* Returns the version of the loaded library as "MAJOR.MINOR.PATCH" (the same text as the
   package version, `vexel --version` and the Python module's __version__). Any thread, before
   or after vexel_init; the string is static and owned by the library. */
VX_API const char* vexel_get_version(void);

VX_EXTERN_C_END

#endif
