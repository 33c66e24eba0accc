// Internals of the point cloud, open to the tests and benchmarks.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include <vexel/lens.h>

namespace vx {

// How each point is written: x, y, z; or x, y, z and the scaled distance; or x, y, z and its
// colour word from the library colour map.
enum class PclLayout { xyz, xyzd, xyzc };

// Where a pixel's ray comes from: the pinhole intrinsics alone; the lens model, for an image
// as the sensor saw it; or the sensor pixel the undistortion copied into it.
enum class PclLens { pinhole, distorted, undistorted };

// Unit direction of every pixel of a w x h image, row by row, one array per component; NaN
// where a pixel has no ray (no source pixel after undistortion, a lens model without inverse).
struct PclRays {
    int32_t w = 0, h = 0;
    std::vector<float> x, y, z;
};

// The rays of `lens` (intrinsics at lens.img_w x lens.img_h, which w and h divide by whole
// factors) for a w x h image, built once per lens, size and kind and then shared; null when the
// memory for them is missing.
std::shared_ptr<const PclRays> pcl_rays(const vexel_lens_param& lens, int32_t w, int32_t h, PclLens kind);

// Instruction sets of the scan; a level the machine lacks must not be asked for.
enum class PclSimd { kScalar, kAvx2 };
PclSimd pcl_best_simd();

// Scans the distance image (rays.w x rays.h values) into `out`, which has room for `cap`
// points; `index`, when not null, receives each point's pixel index. Returns the points
// written. Every level agrees bit for bit with kScalar.
int64_t pcl_scan(const PclRays& rays, const float* dist, float scale, float* out, int64_t cap, PclLayout layout,
                 PclSimd level, int32_t* index = nullptr);

// One x, y, z per pixel (NaN for pixels that give no point) into `out` (3 * w * h floats);
// returns the number of points.
int64_t pcl_organised(const PclRays& rays, const float* dist, float* out, PclSimd level);

}  // namespace vx
