// Internals of the point cloud, open to the tests and benchmarks.
#pragma once

#include <cstdint>

namespace vx {

struct PclIntrinsics {
    double cx, cy, fx, fy;
    float dist_scale;
};

// How each point is written: x, y, z; or x, y, z and the scaled distance; or x, y, z and its
// colour word from the library colour map.
enum class PclLayout { xyz, xyzd, xyzc };

// Instruction sets of the scan; a level the machine lacks must not be asked for.
enum class PclSimd { kScalar, kAvx2, kAvx512 };
PclSimd pcl_best_simd();

// Scans a w x h image (both > 0, `dist` holding w*h values) into `out`, which has room for
// `cap` points; returns the points written. Every level agrees bit for bit with kScalar, the
// one-pixel-at-a-time arithmetic.
int64_t pcl_scan(const PclIntrinsics& in, const float* dist, int32_t w, int32_t h, float* out, int64_t cap,
                 PclLayout layout, PclSimd level);

}  // namespace vx
