// Internals of the undistortion table build, open to the tests.
#pragma once

#include <cstddef>
#include <cstdint>

#include <vexel/lens.h>

namespace vx {

struct LensRect {
    float x, y, w, h;
};

// Inner and outer rectangle of the undistorted 9x9 grid, projected through `target`
// (3x3, row by row) or left in normalised coordinates when it is null.
void lens_rects(const vexel_lens_param& lens, const double* target, LensRect& inner, LensRect& outer);

// Camera matrix (row by row) that maps the whole undistorted view onto the image, and the
// rectangle of the corrected image where every pixel has a source.
void lens_new_camera(const vexel_lens_param& lens, double (&kp)[9], LensRect& valid);

// Undistorted normalised coordinates (x, y) of the point (px, py) of the distorted image, so
// that the ray through it is (x, y, 1): the lens's forward model inverted by Newton's method.
// False where the model has no inverse near the point (far outside any real lens's field).
bool lens_ray(const vexel_lens_param& lens, double px, double py, double& x, double& y);

using LensAlloc = void* (*)(std::size_t);

// vx_calib_len_init_map with a chosen allocator, so exhaustion can be exercised.
int32_t lens_init_map(vx_calib_len_map* map, const vexel_lens_param* lens, LensAlloc alloc);

// Instruction sets of the correction kernels; a level the machine lacks must not be asked for.
enum class LensSimd { kScalar, kSse2, kAvx2 };
LensSimd lens_best_simd();

// Fills img_w x img_h entries of both tables for the inverse new camera matrix `ik`.
void lens_build_table(const vexel_lens_param& lens, const double (&ik)[9], float* mx, float* my, LensSimd level);

// The correction loop at a chosen level, for a ready map whose size w x h divides.
void lens_undistort_rows(const vx_calib_len_map& map, const float* src, float* dst, int32_t w, int32_t h, float fill,
                         LensSimd level);
void lens_undistort_rows(const vx_calib_len_map& map, const uint16_t* src, uint16_t* dst, int32_t w, int32_t h,
                         uint16_t fill, LensSimd level);

}  // namespace vx
