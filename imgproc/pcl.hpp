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

// Scans a w x h image (both > 0, `dist` holding w*h values) into `out`, which has room for
// `cap` points; returns the points written. `simd` false forces the one-pixel-at-a-time path
// that the vector path must agree with bit for bit.
int64_t pcl_scan(const PclIntrinsics& in, const float* dist, int32_t w, int32_t h, float* out, int64_t cap,
                 PclLayout layout, bool simd);

}  // namespace vx
