/* Symbol export and calling conventions shared by every public header. */
#ifndef VEXEL_EXPORT_H
#define VEXEL_EXPORT_H

/* Marks a declaration as part of the library's exported interface. */
#if defined(VEXEL_BUILDING_LIBRARY)
#define VX_API __attribute__((visibility("default")))
#else
#define VX_API
#endif

/* Open and close C linkage around a header's declarations when included from C++. */
#ifdef __cplusplus
#define VX_EXTERN_C_BEGIN extern "C" {
/* Closes VX_EXTERN_C_BEGIN. */
#define VX_EXTERN_C_END }
#else
#define VX_EXTERN_C_BEGIN
#define VX_EXTERN_C_END
#endif

/* Lets the compiler check a printf-style format and its arguments. */
#if defined(__GNUC__)
#define VX_PRINTF(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))
#else
#define VX_PRINTF(fmt_index, first_arg)
#endif

#endif
