#include <cstddef>
#include <cstdint>

#include "core/log.hpp"
#include <vexel/filter.h>

namespace {

// Sum of the 8 clamped neighbours, read from the buffer as it is at this moment, which is
// what gives in-place calls their defined mixture of filtered and unfiltered values.
inline uint32_t ring_sum(const uint16_t* t, const uint16_t* m, const uint16_t* b, int xl, int x, int xr) {
    return uint32_t{t[xl]} + t[x] + t[xr] + m[xl] + m[xr] + b[xl] + b[x] + b[xr];
}

template <bool kInPlace>
void box3(uint16_t* dst, const uint16_t* src, int w, int h) {
    for (int y = 0; y < h; ++y) {
        const uint16_t* t = src + size_t(y > 0 ? y - 1 : 0) * w;
        const uint16_t* m = src + size_t(y) * w;
        const uint16_t* b = src + size_t(y + 1 < h ? y + 1 : h - 1) * w;
        uint16_t* out = dst + size_t(y) * w;
        out[0] = uint16_t(ring_sum(t, m, b, 0, 0, 1) >> 3);
        if constexpr (kInPlace) {
            for (int x = 1; x < w - 1; ++x) out[x] = uint16_t(ring_sum(t, m, b, x - 1, x, x + 1) >> 3);
        } else {
            // Distinct buffers: the interior vectorises.
            const uint16_t* __restrict tr = t;
            const uint16_t* __restrict mr = m;
            const uint16_t* __restrict br = b;
            uint16_t* __restrict o = out;
            for (int x = 1; x < w - 1; ++x) o[x] = uint16_t(ring_sum(tr, mr, br, x - 1, x, x + 1) >> 3);
        }
        out[w - 1] = uint16_t(ring_sum(t, m, b, w - 2, w - 1, w - 1) >> 3);
    }
}

}  // namespace

extern "C" void vx_box2d_u16_k3(uint16_t* dst, const uint16_t* src, int32_t w, int32_t h) {
    if (w <= 1 || h <= 1 || !dst || !src) {
        vx::logf(vx::kErr, "[%s]  wrong parameter:w/h=%d/%d\n", __func__, w, h);
        return;
    }
    if (dst == src) box3<true>(dst, src, w, h);
    else box3<false>(dst, src, w, h);
}
