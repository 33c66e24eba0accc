#include "imgproc/cmap.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

// Codes at the top of the 16-bit range: the decoder's weak and invalid marks and one more.
constexpr int32_t kCodeWeak = 65300;
constexpr int32_t kCode65400 = 65400;
constexpr int32_t kCodeInvalid = 65500;
constexpr uint32_t kColor65400 = 0x8000FFu;
constexpr uint32_t kColorInvalid = 0xFF0EA9u;

// Truncated channel level; the wrap to 8 bits is part of the ramp's definition.
uint32_t level(double x) { return static_cast<uint32_t>(static_cast<int64_t>(x)) & 0xFFu; }

uint32_t ramp_entry(float v) {
    const double d = v;
    double r = 0, g = 0, b = 0;
    if (v >= 0.125f && v < 0.375f) r = (d - 0.125) * 255 * 4;
    else if (v >= 0.375f && v < 0.625f) r = 255;
    else if (v >= 0.625f && v < 0.75f) r = (d - 0.625) * (-255) * 2 + 255;

    if (v >= -0.125f && v < 0.125f) g = (d + 0.125) * 255 * 4;
    else if (v >= 0.125f && v < 0.375f) g = 255;
    else if (v >= 0.375f && v < 0.75f) g = (d - 0.375) * (-255) / 0.375 + 255;

    if (v >= -0.375f && v < -0.125f) b = (d + 0.375) * 255 * 4;
    else if (v >= -0.125f && v < 0.125f) b = 255;
    else if (v >= 0.125f && v < 0.375f) b = (d - 0.125) * (-255) * 4 + 255;

    return level(r) | level(g) << 8 | level(b) << 16;
}

bool usable(const vx_cmap* m) { return m && m->count > 0 && m->table; }

// Float to int32 toward zero; NaN and values beyond int32 map to INT32_MIN (what the
// hardware conversion gives) instead of undefined behaviour.
inline int32_t trunc_i32(float f) {
    if (f >= -2147483648.0f && f < 2147483648.0f) return static_cast<int32_t>(f);
    return INT32_MIN;
}

inline uint32_t color_of(const vx_cmap& m, int32_t value) {
    if (value == kCodeWeak) return 0;
    if (value == kCode65400) return kColor65400;
    if (value == kCodeInvalid) return kColorInvalid;
    if (value <= m.min || value > m.max) return 0;
    // 64-bit difference: a range wider than int32 must not wrap.
    const float p = static_cast<float>(int64_t{value} - m.min) * m.scale;
    if (static_cast<double>(p) >= m.count) return m.table[0];
    const int64_t idx = m.count - static_cast<int64_t>(p);
    return m.table[idx >= m.count ? m.count - 1 : idx];
}

vx_cmap g_library_map{};

}  // namespace

namespace vx {

vx_cmap* library_cmap() { return &g_library_map; }

bool library_cmap_init(int count) {
    vx_cmap_init(&g_library_map, count);
    return usable(&g_library_map);
}

void library_cmap_uninit() { vx_cmap_uninit(&g_library_map); }

}  // namespace vx

extern "C" {

void vx_cmap_init(vx_cmap* cmap, int32_t count) {
    if (!cmap) return;
    cmap->count = count;
    cmap->min = 0;
    cmap->max = 4000;
    cmap->scale = static_cast<float>(count) / 4000.0f;
    cmap->gray_scale = static_cast<float>(255.0 / 4000.0);
    cmap->table = nullptr;
    if (count <= 0) return;
    auto* t = static_cast<uint32_t*>(std::malloc(sizeof(uint32_t) * static_cast<size_t>(count)));
    if (!t) return;
    for (int32_t i = 0; i < count; ++i) t[i] = ramp_entry(static_cast<float>(i) / static_cast<float>(count) - 0.25f);
    cmap->table = t;
}

void vx_cmap_uninit(vx_cmap* cmap) {
    if (!cmap) return;
    std::free(cmap->table);
    cmap->table = nullptr;
}

void vx_cmap_set_range(vx_cmap* cmap, int32_t min_mm, int32_t max_mm) {
    if (!cmap) return;
    if (min_mm == max_mm) {
        cmap->scale = static_cast<float>(cmap->count);
        cmap->gray_scale = 255.0f;
        return;
    }
    const int32_t lo = min_mm < max_mm ? min_mm : max_mm;
    const int32_t hi = min_mm < max_mm ? max_mm : min_mm;
    const int64_t c = int64_t{hi} - lo;
    cmap->min = lo;
    cmap->max = hi;
    cmap->gray_scale = static_cast<float>(255.0 / static_cast<double>(c));
    cmap->scale = static_cast<float>(cmap->count) / static_cast<float>(c);
}

uint32_t vx_cmap_get_color(const vx_cmap* cmap, int32_t value) {
    return usable(cmap) ? color_of(*cmap, value) : 0;
}

uint32_t vx_cmap_get_gray(const vx_cmap* cmap, int32_t value) {
    if (!usable(cmap)) return 0;
    if (value == kCode65400) return kColor65400;
    if (value == kCodeInvalid) return kColorInvalid;
    if (value > cmap->max) return 0xFFFFFFu;
    if (value < cmap->min) return 0;
    const double g = static_cast<double>(static_cast<float>(int64_t{value} - cmap->min)) * cmap->gray_scale;
    // Equal bounds keep the old range but set 255 levels per mm; saturate rather than
    // spill into the other channels.
    const uint32_t level = g >= 255.0 ? 255u : static_cast<uint32_t>(g);
    return level * 0x010101u;
}

int32_t vexel_cmap_float(uint8_t* dst, int32_t dst_len, const float* src, int32_t src_len, int32_t outfmt,
                         float range_min, float range_max) {
    int32_t bpp;
    switch (outfmt) {
        case VEXEL_COLOR_RGB888:
        case VEXEL_COLOR_BGR888: bpp = 3; break;
        case VEXEL_COLOR_RGBX8888: bpp = 4; break;
        default: return 0;
    }
    vx_cmap* m = vx::library_cmap();
    vx_cmap_set_range(m, trunc_i32(range_min * 1000.0f), trunc_i32(range_max * 1000.0f));
    const int32_t fit = dst_len / bpp;
    const int32_t n = src_len < fit ? src_len : fit;
    if (n <= 0 || !dst || !src) return n <= 0 ? n : 0;

    const vx_cmap map = *m;  // a local copy keeps the fields in registers across the stores
    const bool ok = usable(&map);
    for (int32_t i = 0; i < n; ++i) {
        const uint32_t c = ok ? color_of(map, trunc_i32(src[i] * 1000.0f)) : 0;
        uint8_t* p = dst + static_cast<size_t>(i) * bpp;
        if (outfmt == VEXEL_COLOR_RGBX8888) {
            const uint8_t le[4] = {uint8_t(c), uint8_t(c >> 8), uint8_t(c >> 16), 0};
            std::memcpy(p, le, 4);
        } else if (outfmt == VEXEL_COLOR_RGB888) {
            p[0] = uint8_t(c);
            p[1] = uint8_t(c >> 8);
            p[2] = uint8_t(c >> 16);
        } else {
            p[0] = uint8_t(c >> 16);
            p[1] = uint8_t(c >> 8);
            p[2] = uint8_t(c);
        }
    }
    return n;
}

}  // extern "C"
