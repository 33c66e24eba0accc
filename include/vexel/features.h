/* Processing steps of the frame pipeline, switched per open device. The switches start at the
   driver's defaults at every open and vanish at close; a new setting applies from the next frame
   decoded. */
#ifndef VEXEL_FEATURES_H
#define VEXEL_FEATURES_H

#include <stdint.h>

#include <vexel/device.h>
#include <vexel/export.h>

VX_EXTERN_C_BEGIN

/* Filter ids, with the value each reads from the argument bytes when enabled (little-endian). */
enum {
    VEXEL_FILTER_LENS_UNDISTORT = 0, /* none; reloads lens_param.txt. Default off */
    VEXEL_FILTER_PIXEL_CALIB = 1,    /* uint8 calibration set 0 or 1 (a larger byte is rewritten to 1);
                                        refused when the calibration files are missing. Default on
                                        when the open found or downloaded the camera's calibration
                                        files, else off */
    VEXEL_FILTER_MEDIAN = 2,         /* uint8 kernel size; acts above 1. Default on, 3 */
    VEXEL_FILTER_AMP_THRESHOLD = 4,  /* int32 minimum amplitude, applied afresh to every frame. Default
                                        on, 0. Off keeps the last threshold and lets each pixel's
                                        validity carry over from frame to frame (hysteresis); enable
                                        it with 0 for no threshold */
    VEXEL_FILTER_AUTO_INTG = 5,      /* uint16 target per mille of bad samples; 0 is inactive. Default off */
    VEXEL_FILTER_DCS_CHECK = 6,      /* uint16 correction value sent on a failed check. Default off */
    VEXEL_FILTER_TEMP_MONITOR = 7,   /* uint16, stored. Default on */
    VEXEL_FILTER_HDR = 8,            /* none. Default off */
    /* Depth-quality steps of <vexel/depth_quality.h>, run on the distance image after the
       decode's own marks, in this order; each value is a little-endian float32, refused out of
       range. The confidence comes from the frame's amplitude and sample offset, the modulation
       frequency and the integration time. All default off. */
    VEXEL_FILTER_CONFIDENCE = 9, /* largest predicted noise in mm kept (> 0) */
    VEXEL_FILTER_FLYING = 10,    /* k, 1 to 100 (6 is a good start) */
    VEXEL_FILTER_TEMPORAL = 11,  /* alpha, above 0 to 1; the history belongs to the open device and
                                    holds a pixel's last value for 2 frames */
    VEXEL_FILTER_SPATIAL = 12,   /* range sigma in mm (> 0) */
    VEXEL_FILTER_FILL = 13       /* largest hole in pixels, 1 to 64 */
};

/* Switches filter `filter_id` on with the value at `filter_arg` (at least as many bytes as the id
   reads; `arg_size` is passed to the driver). The caller owns the bytes; for
   VEXEL_FILTER_PIXEL_CALIB the driver may write into the first one. Ids without an action are
   accepted. Returns 1 done, 0 refused (also for a missing value), -1 without a device or driver.
   Any thread, also while another decodes. */
VX_API int32_t vexel_filter_enable(vexel_dev* dev, int32_t filter_id, void* filter_arg, int32_t arg_size);
/* Switches filter `filter_id` off; same results. */
VX_API int32_t vexel_filter_disable(vexel_dev* dev, int32_t filter_id);
/* A switch's state: 1 on, 0 off, -1 without a device or driver or for an id the driver does not
   know. When `value` is not null, up to `size` bytes of the stored value (as enable reads it,
   little-endian) are written there, also while the switch is off. Any thread. */
VX_API int32_t vexel_filter_get(vexel_dev* dev, int32_t filter_id, void* value, int32_t size);

VX_EXTERN_C_END

#endif
