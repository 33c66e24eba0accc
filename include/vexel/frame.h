/* Per-frame information and the frame handed to the frame-ready callback. */
#ifndef VEXEL_FRAME_H
#define VEXEL_FRAME_H

#include <stdint.h>
#include <vexel/export.h>

VX_EXTERN_C_BEGIN

/* What the driver tells of one captured frame; filled by the pulling calls. */
typedef struct vexel_frame_info {
    uint32_t frame_size;   /* bytes */
    uint16_t frame_format; /* 171: calibration data frame */
    uint16_t frame_idx;    /* the camera's frame counter, wrapping at 65536 */
    uint32_t frame_width;  /* pixels */
    uint32_t frame_height; /* pixels */
    uint8_t frame_depth; /* frame_size / width / height */
    uint8_t reserved[3]; /* zero */
} vexel_frame_info;

/* When a frame reached the host and how warm the camera was: kept beside vexel_frame_info (whose
   layout callers rely on) and read with vexel_cap_get_frame_meta. */
typedef struct vexel_frame_meta {
    int64_t host_time_ns; /* host wall clock (CLOCK_REALTIME, ns since 1970) when the library took
                             the frame from its stream, within a pull's wait of its last byte */
    int16_t sensor_temp;  /* sensor temperature from the frame's header, tenths of a degree Celsius */
    int16_t illum_temp;   /* illumination board temperature, tenths of a degree Celsius */
    uint32_t reserved;    /* zero */
} vexel_frame_meta;

/* A frame as the frame-ready callback sees it. */
typedef struct vexel_frame {
    vexel_frame_info info; /* as the pulling calls describe it */
    uint8_t* data; /* valid only during the callback */
} vexel_frame;

struct vexel_dev;

/* Decodes a captured raw frame (`src`, `src_len` bytes, described by `finfo` as delivered)
   into distances in metres, one float per pixel, row by row, into `dst` (room for `dst_len`
   floats, at least width x height). Invalid pixels read 65.5, rejected ones 65.3. The second
   half of `dst` serves as the decoder's work area, so no memory is allocated. Any thread, also
   while capturing. The temperature compensation uses the temperatures of the frame's own header
   (finfo->frame_idx) while it is among the last 4096 frames the device pulled; an older frame
   is compensated with the newest frame's temperatures. Returns the number of pixels, or 0 on failure (dst then holds nothing
   useful). */
VX_API int vexel_frame_get_distance(struct vexel_dev* dev, float* dst, uint32_t dst_len, const void* src,
                                    uint32_t src_len, const vexel_frame_info* finfo);
/* As vexel_frame_get_distance for the amplitude (gray) image in raw sample units; saturated
   pixels read 65500. */
VX_API int vexel_frame_get_gray(struct vexel_dev* dev, float* dst, uint32_t dst_len, const void* src,
                                uint32_t src_len, const vexel_frame_info* finfo);

VX_EXTERN_C_END

#endif
