#include "imgproc/cmap.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

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
    // Written so that a record with hand-set fields (NaN or negative scale) stays in the table.
    if (!(static_cast<double>(p) < m.count)) return m.table[0];
    if (!(p >= 1.0f)) return m.table[m.count - 1];  // truncates to 0 or below
    return m.table[m.count - static_cast<int64_t>(p)];
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

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define VX_HAVE_AVX2_CMAP 1
namespace {

// Eight pixels at a time with the same arithmetic as color_of: the float-to-int conversion
// already yields INT32_MIN for NaN and overflow, and a range within int32 and a count exact in
// float keep the difference and the clamp identical. Returns the pixels done; the 3-byte
// formats write 4 bytes beyond each block, so they stop 2 pixels early.
__attribute__((target("avx2"))) int32_t colorize_avx2(const vx_cmap& m, const float* src, int32_t n, int32_t fmt,
                                                        uint8_t* dst) {
    const __m256 k1000 = _mm256_set1_ps(1000.0f), scale = _mm256_set1_ps(m.scale);
    const __m256 countf = _mm256_set1_ps(static_cast<float>(m.count)), zerof = _mm256_setzero_ps();
    const __m256i lo = _mm256_set1_epi32(m.min), hi = _mm256_set1_epi32(m.max);
    const __m256i count = _mm256_set1_epi32(m.count), last = _mm256_set1_epi32(m.count - 1);
    const __m256i weak = _mm256_set1_epi32(kCodeWeak), mark = _mm256_set1_epi32(kCode65400);
    const __m256i invalid = _mm256_set1_epi32(kCodeInvalid);
    const __m256i mark_color = _mm256_set1_epi32(int(kColor65400)), invalid_color = _mm256_set1_epi32(int(kColorInvalid));
    const __m256i rgb = _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1,  //
                                         0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    const __m256i bgr = _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1,  //
                                         2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
    const __m256i pack = fmt == VEXEL_COLOR_BGR888 ? bgr : rgb;
    const int32_t reach = fmt == VEXEL_COLOR_RGBX8888 ? 8 : 10;
    const int* table = reinterpret_cast<const int*>(m.table);
    int32_t i = 0;
    for (; i + reach <= n; i += 8) {
        const __m256i v = _mm256_cvttps_epi32(_mm256_mul_ps(_mm256_loadu_ps(src + i), k1000));
        const __m256i in = _mm256_andnot_si256(_mm256_cmpgt_epi32(v, hi), _mm256_cmpgt_epi32(v, lo));
        __m256 p = _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_sub_epi32(v, lo)), scale);
        p = _mm256_max_ps(_mm256_min_ps(p, countf), zerof);  // min returns countf for NaN lanes
        const __m256i idx = _mm256_min_epi32(_mm256_sub_epi32(count, _mm256_cvttps_epi32(p)), last);
        __m256i c = _mm256_mask_i32gather_epi32(_mm256_setzero_si256(), table, idx, in, 4);
        c = _mm256_andnot_si256(_mm256_cmpeq_epi32(v, weak), c);
        c = _mm256_blendv_epi8(c, mark_color, _mm256_cmpeq_epi32(v, mark));
        c = _mm256_blendv_epi8(c, invalid_color, _mm256_cmpeq_epi32(v, invalid));
        if (fmt == VEXEL_COLOR_RGBX8888) {
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + size_t(i) * 4), c);
        } else {
            const __m256i packed = _mm256_shuffle_epi8(c, pack);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + size_t(i) * 3), _mm256_castsi256_si128(packed));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + size_t(i) * 3 + 12), _mm256_extracti128_si256(packed, 1));
        }
    }
    return i;
}

}  // namespace
#endif

namespace vx {

void colorize_float(const vx_cmap& map, const float* src, int32_t n, int32_t fmt, uint8_t* dst, bool simd) {
    const vx_cmap m = map;  // a local copy keeps the fields in registers across the stores
    const bool ok = usable(&m);
    int32_t i = 0;
#ifdef VX_HAVE_AVX2_CMAP
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (simd && avx2 && ok && m.count <= (1 << 24) && int64_t{m.max} - m.min <= INT32_MAX)
        i = colorize_avx2(m, src, n, fmt, dst);
#else
    (void)simd;
#endif
    const int32_t bpp = fmt == VEXEL_COLOR_RGBX8888 ? 4 : 3;
    for (; i < n; ++i) {
        const uint32_t c = ok ? color_of(m, trunc_i32(src[i] * 1000.0f)) : 0;
        uint8_t* p = dst + static_cast<size_t>(i) * bpp;
        if (fmt == VEXEL_COLOR_RGBX8888) {
            const uint8_t le[4] = {uint8_t(c), uint8_t(c >> 8), uint8_t(c >> 16), 0};
            std::memcpy(p, le, 4);
        } else if (fmt == VEXEL_COLOR_RGB888) {
            p[0] = uint8_t(c);
            p[1] = uint8_t(c >> 8);
            p[2] = uint8_t(c >> 16);
        } else {
            p[0] = uint8_t(c >> 16);
            p[1] = uint8_t(c >> 8);
            p[2] = uint8_t(c);
        }
    }
}

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
    const uint32_t level = g >= 255.0 ? 255u : (g > 0.0 ? static_cast<uint32_t>(g) : 0u);
    return level * 0x010101u;
}

int32_t vexel_cmap_float(uint8_t* dst, int32_t dst_len, const float* src, int32_t src_len, int32_t outfmt,
                         float range_min, float range_max) {
    vx_cmap* m = vx::library_cmap();
    vx_cmap_set_range(m, trunc_i32(range_min * 1000.0f), trunc_i32(range_max * 1000.0f));
    const bool no_data_black = (outfmt & VEXEL_COLOR_NO_DATA_BLACK) != 0;
    outfmt &= ~VEXEL_COLOR_NO_DATA_BLACK;
    int32_t bpp;
    switch (outfmt) {
        case VEXEL_COLOR_RGB888:
        case VEXEL_COLOR_BGR888: bpp = 3; break;
        case VEXEL_COLOR_RGBX8888: bpp = 4; break;
        default: return 0;
    }
    const int32_t fit = dst_len / bpp;
    const int32_t n = src_len < fit ? src_len : fit;
    if (n <= 0 || !dst || !src) return n <= 0 ? n : 0;
    vx::colorize_float(*m, src, n, outfmt, dst, true);
    if (no_data_black)
        for (int32_t i = 0; i < n; ++i) {
            const int32_t mm = trunc_i32(src[i] * 1000.0f);  // NaN: INT32_MIN
            if (mm <= 0 || mm >= kCodeWeak) std::memset(dst + static_cast<size_t>(i) * bpp, 0, static_cast<size_t>(bpp));
        }
    return n;
}

}  // extern "C"
