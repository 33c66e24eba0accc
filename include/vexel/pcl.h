/* Point clouds from distance images. */
#ifndef VEXEL_PCL_H
#define VEXEL_PCL_H

#include <stdint.h>

#include <vexel/device.h>
#include <vexel/export.h>
#include <vexel/lens.h>

VX_EXTERN_C_BEGIN

/* Caller-supplied intrinsics in pixels of the distance image; every distance is multiplied by
   dist_scale before projection. */
typedef struct vexel_camera_param {
    float cx;         /* principal point, pixels */
    float cy;         /* principal point, pixels */
    float fx;         /* focal length, pixels */
    float fy;         /* focal length, pixels */
    float dist_scale; /* factor on every distance (1 for metres in, metres out) */
} vexel_camera_param;

/* Projects the valid pixels (0 < d < 60, unscaled) of the row-major img_w x img_h distance
   image `dist` into `pcl` as x, y, z triples in scan order; d is the length of the ray, x grows
   with the column, y with the row, z along the optical axis. A pixel whose normalised
   direction is (a, b, 1), a = (u - cx) / fx, b = (v - cy) / fy, gives z = d / sqrt(1 + a*a + b*b),
   x = a z, y = b z. The pinhole intrinsics alone set the direction: the lens's distortion is
   not taken into account (vexel_frame_get_pcl_ex does). `lens` null takes the intrinsics
   from the lens-parameter operation of the driver bound to `dev` (which must then be open).
   Writes at most pcl_len / 3 points and returns how many were written; 0 for a null `dev`, a
   null buffer, an empty image, a `dist_len` below img_w * img_h, or a driver without lens
   parameters. Pixels whose ray would give no real z produce no point. The caller owns both
   buffers; calls on different buffers may run on several threads. The directions of each
   intrinsics and size are worked out on first use and kept for the process. */
VX_API int32_t vexel_frame_get_pcl(vexel_dev* dev, float* pcl, int32_t pcl_len, const float* dist,
                                   int32_t dist_len, int32_t img_w, int32_t img_h, const vexel_camera_param* lens);

/* As vexel_frame_get_pcl with four values per point (at most pcl_len / 4 points): the fourth is
   the scaled distance, or with `pseudo_color` the colour word (0x00BBGGRR, as a float) that
   the library colour map gives for it in millimetres. The colour map's range is the one last
   set by vexel_cmap_float, possibly from another thread. */
VX_API int32_t vexel_frame_get_pcl_xyzd(vexel_dev* dev, float* pcl, int32_t pcl_len, const float* dist,
                                        int32_t dist_len, int32_t img_w, int32_t img_h, uint8_t pseudo_color,
                                        const vexel_camera_param* lens);

/* Flags of vexel_frame_get_pcl_ex and vexel_frame_get_zdepth: where each pixel's ray comes from
   (one of the first three) and how the cloud is laid out. */
#define VEXEL_PCL_PINHOLE 0x0u     /* the pinhole intrinsics alone, as vexel_frame_get_pcl */
#define VEXEL_PCL_DISTORTED 0x1u   /* the image is as the sensor saw it (lens filter off): each
                                      pixel's ray through the lens model's distortion */
#define VEXEL_PCL_UNDISTORTED 0x2u /* the image was corrected by the lens undistortion (lens filter
                                      on, vx_calib_len_undistort_*): each pixel holds the distance
                                      of the sensor pixel copied into it, and takes that pixel's ray */
#define VEXEL_PCL_ORGANISED 0x10u  /* one x, y, z per pixel, row by row, NaN where no point */

/* Point cloud with the lens model. `lens` gives the lens parameters at their own image size
   (lens->img_w x lens->img_h, which img_w and img_h must divide by whole factors: binned
   images), or null for those of the driver bound to `dev` (then open). A null `dev` is
   allowed with a `lens`. `flags` says where the rays come from: an application that decoded
   `dist` with vexel_frame_get_distance passes VEXEL_PCL_UNDISTORTED when it had switched the lens
   filter (VEXEL_FILTER_LENS_UNDISTORT) on for a full-size frame, VEXEL_PCL_DISTORTED otherwise.
   The rays of each lens, size and kind are worked out on first use and kept for the process.
   Compact (default): the points of the valid pixels (0 < d < 60) in scan order, x, y, z in the
   unit of `dist`, at most pcl_len / 3 of them; `index`, when not null, receives the pixel index
   v * img_w + u of each point and also limits their number to index_len. Organised: pcl_len
   must hold 3 * img_w * img_h floats; every pixel gets its point or three NaN; `index` is not
   used. Returns the number of points; 0 for unknown flags, no lens, a size that does not
   divide, short buffers (logged). The caller owns every buffer; calls on different buffers may
   run on several threads. */
VX_API int32_t vexel_frame_get_pcl_ex(vexel_dev* dev, float* pcl, int32_t pcl_len, const float* dist,
                                      int32_t dist_len, int32_t img_w, int32_t img_h, const vexel_lens_param* lens,
                                      uint32_t flags, int32_t* index, int32_t index_len);

/* The depth along the optical axis (z) of each pixel of the distance image `dist`, whose
   values are ray lengths, into `zdepth` (at least img_w * img_h floats; may not overlap
   `dist`). Pixels outside 0 < d < 60 (0, the marks 65.3 and 65.5) are copied unchanged; a
   measured pixel without a ray becomes 65.5. `dev`, `lens` and the ray flags (no
   VEXEL_PCL_ORGANISED) as for vexel_frame_get_pcl_ex. Returns img_w * img_h, or 0 (logged). */
VX_API int32_t vexel_frame_get_zdepth(vexel_dev* dev, float* zdepth, int32_t zdepth_len, const float* dist,
                                      int32_t dist_len, int32_t img_w, int32_t img_h, const vexel_lens_param* lens,
                                      uint32_t flags);

VX_EXTERN_C_END

#endif
