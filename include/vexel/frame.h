/* Per-frame information and the frame handed to the frame-ready callback. */
#ifndef VEXEL_FRAME_H
#define VEXEL_FRAME_H

#include <stdint.h>
#include <vexel/export.h>

VX_EXTERN_C_BEGIN

typedef struct vexel_frame_info {
    uint32_t frame_size;   /* bytes */
    uint16_t frame_format; /* 171: calibration data frame */
    uint16_t frame_idx;
    uint32_t frame_width;
    uint32_t frame_height;
    uint8_t frame_depth; /* frame_size / width / height */
    uint8_t reserved[3];
} vexel_frame_info;

typedef struct vexel_frame {
    vexel_frame_info info;
    uint8_t* data; /* valid only during the callback */
} vexel_frame;

VX_EXTERN_C_END

#endif
