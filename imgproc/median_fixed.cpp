#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "imgproc/median.hpp"

namespace vx {
namespace fixed_baseline {
constexpr int kLanes = 8;
#include "imgproc/median_fixed.inc"
}  // namespace fixed_baseline

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define VX_HAVE_AVX2_PATH 1  // and the SSE4.1 one
#pragma GCC push_options
#pragma GCC target("sse4.1")
namespace fixed_sse41 {
constexpr int kLanes = 8;
#include "imgproc/median_fixed.inc"
}  // namespace fixed_sse41
#pragma GCC pop_options
#pragma GCC push_options
#pragma GCC target("avx2")
namespace fixed_avx2 {
constexpr int kLanes = 16;
#include "imgproc/median_fixed.inc"
}  // namespace fixed_avx2
#pragma GCC pop_options
#pragma GCC push_options
#pragma GCC target("avx512f,avx512bw,avx512vl")
namespace fixed_avx512 {
constexpr int kLanes = 32;
#include "imgproc/median_fixed.inc"
}  // namespace fixed_avx512
#pragma GCC pop_options
#endif

bool isa_available(Isa isa) {
    switch (isa) {
        case Isa::kBaseline: return true;
#ifdef VX_HAVE_AVX2_PATH
        case Isa::kSse41: {
            static const bool sse41 = __builtin_cpu_supports("sse4.1");
            return sse41;
        }
        case Isa::kAvx2: {
            static const bool avx2 = __builtin_cpu_supports("avx2");
            return avx2;
        }
        case Isa::kAvx512: {
            static const bool avx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                                       __builtin_cpu_supports("avx512vl");
            return avx512;
        }
#else
        case Isa::kSse41:
        case Isa::kAvx2:
        case Isa::kAvx512: return false;
#endif
    }
    return false;
}

void median2d_fixed(Isa isa, int kernel, uint16_t* dst, const uint16_t* src, int w, int h) {
#ifdef VX_HAVE_AVX2_PATH
    if (isa == Isa::kAvx512 && isa_available(Isa::kAvx512)) {
        if (kernel == 3) fixed_avx512::median3(dst, src, w, h);
        else fixed_avx512::median5(dst, src, w, h);
        return;
    }
    if (isa >= Isa::kAvx2 && isa_available(Isa::kAvx2)) {
        if (kernel == 3) fixed_avx2::median3(dst, src, w, h);
        else fixed_avx2::median5(dst, src, w, h);
        return;
    }
    // SSE2 has no unsigned 16-bit min/max; SSE4.1 does them in one instruction.
    if (isa != Isa::kBaseline && isa_available(Isa::kSse41)) {
        if (kernel == 3) fixed_sse41::median3(dst, src, w, h);
        else fixed_sse41::median5(dst, src, w, h);
        return;
    }
#endif
    (void)isa;
    if (kernel == 3) fixed_baseline::median3(dst, src, w, h);
    else fixed_baseline::median5(dst, src, w, h);
}

}  // namespace vx
