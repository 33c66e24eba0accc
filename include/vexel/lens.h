/* Lens parameters and the undistortion table built from them. */
#ifndef VEXEL_LENS_H
#define VEXEL_LENS_H

#include <stdint.h>

#include <vexel/export.h>

VX_EXTERN_C_BEGIN

/* Pinhole intrinsics in pixels plus distortion k1, k2, p1, p2, k3 for an img_w x img_h image. */
typedef struct vexel_lens_param {
    double cx;        /* principal point, pixels */
    double cy;        /* principal point, pixels */
    double fx;        /* focal length, pixels */
    double fy;        /* focal length, pixels */
    double dcoeff[5]; /* k1, k2, p1, p2, k3 */
    int32_t img_w;    /* image size the values are for */
    int32_t img_h;    /* image size the values are for */
} vexel_lens_param;

/* For every corrected pixel (u, v), entry v*width + u holds the position in the distorted
   image to read from. roi_* bounds the corrected pixels that all have a real source.
   Start it zero-filled; ready is 1 while the tables are allocated. */
typedef struct vx_calib_len_map {
    float* map_x;   /* source column of each corrected pixel */
    float* map_y;   /* source row of each corrected pixel */
    int32_t size;   /* entries in each table */
    int32_t width;  /* corrected image size */
    int32_t height; /* corrected image size */
    int32_t roi_x;  /* region whose pixels all have a source */
    int32_t roi_y;  /* region whose pixels all have a source */
    int32_t roi_w;  /* region whose pixels all have a source */
    int32_t roi_h;  /* region whose pixels all have a source */
    uint8_t ready;  /* 1 while the tables are allocated */
} vx_calib_len_map;

/* (Re)builds the table at lens->img_w x lens->img_h; returns width*height, or 0 with the
   map left empty when the size is unusable or the tables cannot be allocated. */
VX_API int32_t vx_calib_len_init_map(vx_calib_len_map* map, const vexel_lens_param* lens);
/* Releases the tables; harmless on an empty map. */
VX_API void vx_calib_len_uninit_map(vx_calib_len_map* map);

/* Nearest-neighbour correction of a w x h image whose size divides the table's size by whole
   factors (binned images use the top-left entry of each block). src and dst must not overlap.
   Pixels without a source get `fill`. Returns 1, or 0 with dst untouched on a size mismatch,
   an empty map or a dst_len below w*h; w or h <= 0 is an empty image and returns 1. */
VX_API int32_t vx_calib_len_undistort_f32(const vx_calib_len_map* map, float* dst, int32_t dst_len, const float* src,
                                          int32_t w, int32_t h, float fill);
/* As above for 16-bit images; the low 16 bits of `fill` are stored. */
VX_API int32_t vx_calib_len_undistort_u16(const vx_calib_len_map* map, uint16_t* dst, int32_t dst_len,
                                          const uint16_t* src, int32_t w, int32_t h, int32_t fill);

VX_EXTERN_C_END

#endif
