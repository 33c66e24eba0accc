/* Capture start and stop, and frame delivery by pull, wait and callback. */
#ifndef VEXEL_CAPTURE_H
#define VEXEL_CAPTURE_H

#include <stdint.h>
#include <vexel/device.h>
#include <vexel/export.h>
#include <vexel/frame.h>

VX_EXTERN_C_BEGIN

/* Called on the caller's thread inside the pull and wait calls; `frame->data` is valid
   only during the call. */
typedef void (*vexel_frame_ready_cb)(vexel_dev* dev, vexel_frame* frame);
/* Returns false to stop delivery until the next start. */
typedef int (*vexel_error_cb)(vexel_dev* dev, int code, uint32_t arg);

/* One pull call's request; the library points at it while the call runs. */
typedef struct vexel_cap_request {
    uint32_t total;  /* frames asked for */
    uint32_t wanted; /* frames still wanted */
    uint8_t* pos;    /* write position in the caller's buffer */
    uint32_t space;  /* bytes left */
    vexel_frame_info* info; /* next record of the caller's information array */
} vexel_cap_request;

/* Frames kept by the library: size / 307200; at least 2 are needed to start. `buf` is not used
   (the library keeps frames in memory of its own). Only while open and not capturing: 1, else 0. */
VX_API int vexel_cap_set_frame_buffer(vexel_dev* dev, void* buf, uint32_t size);
/* Reports the frame budget in bytes in `size_out` and null in `buf_out` (either may be null).
   The device must be open. Returns 1. */
VX_API int vexel_cap_get_frame_buffer(vexel_dev* dev, void** buf_out, uint32_t* size_out);
/* Sets (null clears) the callback that receives every delivered frame, including frames a pull
   took beyond what it asked for. The device must be open; set it while no pull runs. */
VX_API void vexel_cap_set_callback_on_frame_ready(vexel_dev* dev, vexel_frame_ready_cb cb);
/* Sets (null clears) the callback for capture errors (VEXEL_ERR_CAP_* codes; argument: the running
   total of discarded frames for VEXEL_ERR_CAP_FRAME_DISCARD). With it set, an error reaches the
   callback instead of the pull's result: a capture the library stopped then shows as pulls that
   deliver nothing until vexel_cap_stop. The device must be open. */
VX_API void vexel_cap_set_callback_on_error(vexel_dev* dev, vexel_error_cb cb);
/* 1 between a successful start and a successful stop (also after the library stopped the
   transfers on an error), else 0. */
VX_API int vexel_cap_is_ongoing(vexel_dev* dev);
/* Starts streaming on an open device whose frame budget holds at least 2 frames, resetting the
   statistics and the frames kept: 1 started, 0 failed. A start while capture already runs
   changes nothing and returns 1. */
VX_API int vexel_cap_start(vexel_dev* dev);
/* False when the camera did not acknowledge the stop: capture is still on, try again. */
VX_API int vexel_cap_stop(vexel_dev* dev);
/* Waits for `frame_num` frames and copies them back to back into `buf`; `info` receives the
   first frame's information. Returns the number delivered, -1 (wrong parameters), -2 (capture
   no longer running) or a negative capture error. The pulling calls (this, get_frame, wait) of
   several threads take turns: one delivers at a time, the others wait within their own limit
   (get_frame does not wait: 0). */
VX_API int vexel_cap_get_frames(vexel_dev* dev, uint32_t frame_num, void* buf, uint32_t size,
                                vexel_frame_info* info);
/* As vexel_cap_get_frames for one frame, without waiting: 1, 0 (none ready) or negative. */
VX_API int vexel_cap_get_frame(vexel_dev* dev, void* buf, uint32_t size, vexel_frame_info* info);
/* Host time and temperatures of the frame the last pulling call on `dev` described in its
   `info` (vexel_cap_get_frame, vexel_cap_snapshot; the first frame of vexel_cap_get_frames), or,
   called inside the frame-ready callback, of the frame handed to it. Called by the thread that
   pulled, before its next pull (a pull on another thread meanwhile replaces it). Copies into the
   caller's `out`: 1, or 0 (nothing open, null `out`, or no frame delivered since capture start;
   `out` zeroed when not null). */
VX_API int vexel_cap_get_frame_meta(vexel_dev* dev, vexel_frame_meta* out);
/* Delivers frames to the callbacks until capture stops (true) or `timeout_ms` passes (false);
   0 waits without limit. */
VX_API int vexel_cap_wait(vexel_dev* dev, uint32_t timeout_ms);
/* One frame; starts and stops capture around it when idle. True only when a frame was delivered. */
VX_API int vexel_cap_snapshot(vexel_dev* dev, void* buf, uint32_t size, vexel_frame_info* info);

VX_EXTERN_C_END

#endif
