/* Point clouds from distance images. */
#ifndef VEXEL_PCL_H
#define VEXEL_PCL_H

#include <stdint.h>

#include <vexel/device.h>
#include <vexel/export.h>

VX_EXTERN_C_BEGIN

/* Caller-supplied intrinsics in pixels of the distance image; every distance is multiplied by
   dist_scale before projection. */
typedef struct vexel_camera_param {
    float cx;
    float cy;
    float fx;
    float fy;
    float dist_scale;
} vexel_camera_param;

/* Projects the valid pixels (0 < d < 60, unscaled) of the row-major img_w x img_h distance
   image `dist` into `pcl` as x, y, z triples in scan order; d is the length of the ray, x grows
   with the column, y with the row, z along the optical axis. `lens` null takes the intrinsics
   from the lens-parameter operation of the driver bound to `dev` (which must then be open).
   Writes at most pcl_len / 3 points and returns how many were written; 0 for a null `dev`, a
   null buffer, an empty image, a `dist_len` below img_w * img_h, or a driver without lens
   parameters. Pixels whose ray would give no real z produce no point. The caller owns both
   buffers; calls on different buffers may run on several threads. */
VX_API int32_t vexel_frame_get_pcl(vexel_dev* dev, float* pcl, int32_t pcl_len, const float* dist,
                                   int32_t dist_len, int32_t img_w, int32_t img_h, const vexel_camera_param* lens);

/* As vexel_frame_get_pcl with four values per point (at most pcl_len / 4 points): the fourth is
   the scaled distance, or with `pseudo_color` the colour word (0x00BBGGRR, as a float) that
   the library colour map gives for it in millimetres. The colour map's range is the one last
   set by vexel_cmap_float, possibly from another thread. */
VX_API int32_t vexel_frame_get_pcl_xyzd(vexel_dev* dev, float* pcl, int32_t pcl_len, const float* dist,
                                        int32_t dist_len, int32_t img_w, int32_t img_h, uint8_t pseudo_color,
                                        const vexel_camera_param* lens);

VX_EXTERN_C_END

#endif
