// Filter kernels behind the exported entry points; callers have validated the arguments.
#pragma once

#include <cstdint>

namespace vx {

// Instruction sets the fixed medians are built for; the best available one is used.
enum class Isa { kBaseline, kSse41, kAvx2, kAvx512 };
bool isa_available(Isa isa);

// Fixed 3x3 / 5x5 median (kernel 3 or 5), w and h >= 2, with `isa` or the best available below it.
void median2d_fixed(Isa isa, int kernel, uint16_t* dst, const uint16_t* src, int w, int h);
// Running median over a sorted window for any odd kernel with kernel < 2w and kernel < 2h.
void median2d_general(uint16_t* dst, const uint16_t* src, int w, int h, int kernel);

}  // namespace vx
