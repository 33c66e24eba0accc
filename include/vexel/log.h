/* Log channels, levels and the capture error codes. */
#ifndef VEXEL_LOG_H
#define VEXEL_LOG_H

#include <vexel/export.h>

VX_EXTERN_C_BEGIN

/* Message levels; a channel writes a message whose level is >= its threshold (compared as
   unsigned numbers). Level 5 is never written, so thresholds of 5 silence the levels below. */
typedef enum vexel_log_level {
    VX_LOG_TRC = 0,
    VX_LOG_DBG = 1,
    VX_LOG_INF = 2,
    VX_LOG_WRN = 3,
    VX_LOG_ERR = 4,
    VX_LOG_OFF = 5 /* threshold that no message reaches */
} vexel_log_level;

/* Threshold slots. */
enum { VX_LOG_CONSOLE = 0, VX_LOG_FILE = 1, VX_LOG_SLOT2 = 2 };

/* Capture error codes: error callback codes and negative frame read results. */
enum {
    VEXEL_OK = 0,
    VEXEL_ERR_CAP_TIMEOUT = -5,
    VEXEL_ERR_CAP_STALL = -7,
    VEXEL_ERR_CAP_ERROR = -8,
    VEXEL_ERR_CAP_UNKNOWN = -10,
    VEXEL_ERR_CAP_FRAME_DISCARD = 3
};

/* Sets threshold `index` (0 console, 1 file, 2 unused); for the file slot opens `path`
   (or "vx.log" when null and no file is open) for appending. Same pointer keeps the file. */
VX_API int vx_log_enable(unsigned index, unsigned level, const char* path);
/* All thresholds to 5 and the file closed. Returns fclose's result, 0 when none was open. */
VX_API int vx_log_disable(void);
/* Time-stamped line "<prefix>[<tag>] <text>"; the text carries its own newline. */
VX_API void vx_log(int level, const char* tag, const char* fmt, ...) VX_PRINTF(3, 4);
/* As vx_log without prefix and tag. */
VX_API void vx_log_raw(int level, const char* fmt, ...) VX_PRINTF(2, 3);

/* Console and file thresholds, then the transport's debug level. */
VX_API int vexel_log_cfg(unsigned console_level, unsigned file_level, unsigned transport_level);

/* Receives one log message: its level (VX_LOG_*), and its text without time stamp, tag and
   trailing newline, valid only during the call. */
typedef void (*vexel_log_sink_cb)(int level, const char* text, void* user);
/* Hands the messages that reach the console threshold to `cb` instead of standard output, for
   applications and bindings with a log of their own; null restores standard output. The file
   channel is unaffected; thresholds stay those of vexel_log_cfg / vx_log_enable. `cb` runs on
   the thread that logs (any thread of the caller's, and the library's event threads), without
   the library's log lock held, possibly on several threads at once; it must not call the
   library. When this returns, no call of the previous sink is still running (so do not call it
   from inside a sink). `user` is handed to `cb` unchanged; the caller owns it. */
VX_API void vexel_log_set_sink(vexel_log_sink_cb cb, void* user);

/* Name of a capture error code, "**UNKNOWN**" for any other value; never null. */
VX_API const char* vexel_error_name(int code);

VX_EXTERN_C_END

#endif
