// The library-wide colour map, owned by the library lifecycle.
#pragma once

#include <cstdint>

#include <vexel/cmap.h>

namespace vx {

vx_cmap* library_cmap();
// Builds the library-wide map with `count` entries; false when its table is missing.
bool library_cmap_init(int count);
void library_cmap_uninit();

// Writes n pixels of `fmt` (a valid format) for float metres; `simd` false forces the
// one-pixel-at-a-time path that the vector path must agree with.
void colorize_float(const vx_cmap& map, const float* src, int32_t n, int32_t fmt, uint8_t* dst, bool simd);

}  // namespace vx
