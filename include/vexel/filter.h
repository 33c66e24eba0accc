/* Median and neighbour-mean filters for 16-bit images (row-major, w columns by h rows).
   Neighbours outside the image are clamped to the edge. `dst` may be `src` (the decoder
   filters in place): pixels are then produced row by row, left to right, and later pixels see
   the values already written. Any other overlap of the buffers is not supported. */
#ifndef VEXEL_FILTER_H
#define VEXEL_FILTER_H

#include <stdint.h>

#include <vexel/export.h>

VX_EXTERN_C_BEGIN

/* k x k median for an odd kernel: 3 and 5 take the fixed paths; larger kernels must be smaller
   than 2*w and 2*h. Anything else is logged and leaves `dst` untouched. */
VX_API void vx_median2d_u16(uint16_t* dst, const uint16_t* src, int32_t w, int32_t h, int32_t kernel);
/* 3 x 3 and 5 x 5 medians; w and h must both exceed 1. */
VX_API void vx_median2d_u16_k3(uint16_t* dst, const uint16_t* src, int32_t w, int32_t h);
VX_API void vx_median2d_u16_k5(uint16_t* dst, const uint16_t* src, int32_t w, int32_t h);
/* Mean of the 8 neighbours (centre excluded), rounded down; w and h must both exceed 1. */
VX_API void vx_box2d_u16_k3(uint16_t* dst, const uint16_t* src, int32_t w, int32_t h);

VX_EXTERN_C_END

#endif
