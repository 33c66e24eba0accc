// Point clouds from distance images.
//
// Per pixel: r = d * dist_scale; x = r * (u - cx) / fx and y = r * (v - cy) / fy with the
// offsets rounded to float, the product in float and the quotient in double rounded to float;
// z = sqrtf(r*r - x*x - y*y) in float. The vector path keeps that arithmetic bit for bit: it
// multiplies by the reciprocal of the focal length and falls back to the division for the rare
// quotients that lie close enough to a float rounding boundary for the two to differ.
#include "imgproc/pcl.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#if defined(__x86_64__)
// GCC 12 takes the deliberately undefined operands inside its AVX-512 intrinsics for
// uninitialised reads once they are inlined.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#endif

#include "core/device.hpp"
#include "core/log.hpp"
#include "imgproc/cmap.hpp"
#include <vexel/lens.h>
#include <vexel/pcl.h>

namespace {

using vx::PclLayout;

struct Terms {
    double cx, cy, fx, fy;
    double ifx, ify;  // reciprocals for the vector path
    float scale;
};

float offset(int64_t i, double c) { return static_cast<float>(static_cast<double>(i) - c); }

// One pixel with the arithmetic as written; writes the point and returns true when it gives one.
inline bool project(const Terms& t, float d, float a, float b, float* dst, PclLayout layout) {
    if (!(d > 0.0f && d < 60.0f)) return false;
    const float r = d * t.scale;
    const float x = static_cast<float>(static_cast<double>(r * a) / t.fx);
    const float y = static_cast<float>(static_cast<double>(r * b) / t.fy);
    const float rad = r * r - x * x - y * y;
    // Negative when the ray lies outside what the intrinsics can reach, NaN from degenerate
    // ones: no point rather than a NaN point.
    if (!(rad >= 0.0f)) return false;
    dst[0] = x;
    dst[1] = y;
    dst[2] = std::sqrt(rad);
    if (layout != PclLayout::xyz) dst[3] = r;
    return true;
}

int stride_of(PclLayout layout) { return layout == PclLayout::xyz ? 3 : 4; }

// Pixels [u0, u1) of one row, one at a time, stopping once `cap` points are written.
int64_t scan_pixels(const Terms& t, const float* row, const float* cols, float b, int32_t u0, int32_t u1, float* out,
                    int64_t n, int64_t cap, PclLayout layout) {
    const int stride = stride_of(layout);
    for (int32_t u = u0; u < u1 && n < cap; ++u) {
        const float a = cols ? cols[u] : offset(u, t.cx);
        if (project(t, row[u], a, b, out + n * stride, layout)) ++n;
    }
    return n;
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define VX_PCL_SIMD 1
#define VX_AVX2 __attribute__((target("avx2")))

// Double ulps within which a product by the reciprocal may round to another float than the
// quotient: the reciprocal and the product add at most about 3 between them.
constexpr int64_t kTieUlps = 8;

// Indices of the set bits of each 8-lane mask, packed to the front (one byte each).
constexpr auto kCompress = [] {
    std::array<uint64_t, 256> t{};
    for (unsigned m = 0; m < 256; ++m) {
        int k = 0;
        for (unsigned i = 0; i < 8; ++i)
            if (m >> i & 1) t[m] |= uint64_t{i} << (8 * k++);
    }
    return t;
}();

// q = p / f rounded to float through double, computed as p * (1/f). Adds to `ties` the lanes
// whose double lies within kTieUlps of a point halfway between two floats (low 29 bits
// 0x10000000), where the product may round differently from the quotient.
VX_AVX2 inline __m256 divide(__m256 p, __m256d inv, __m256i& ties) {
    const __m256d lo = _mm256_mul_pd(_mm256_cvtps_pd(_mm256_castps256_ps128(p)), inv);
    const __m256d hi = _mm256_mul_pd(_mm256_cvtps_pd(_mm256_extractf128_ps(p, 1)), inv);
    const __m256i shift = _mm256_set1_epi64x(0x10000000 + kTieUlps), low = _mm256_set1_epi64x(0x1FFFFFFF);
    const __m256i limit = _mm256_set1_epi64x(2 * kTieUlps + 1);
    const __m256i tl = _mm256_and_si256(_mm256_add_epi64(_mm256_castpd_si256(lo), shift), low);
    const __m256i th = _mm256_and_si256(_mm256_add_epi64(_mm256_castpd_si256(hi), shift), low);
    ties = _mm256_or_si256(ties, _mm256_or_si256(_mm256_cmpgt_epi64(limit, tl), _mm256_cmpgt_epi64(limit, th)));
    return _mm256_set_m128(_mm256_cvtpd_ps(hi), _mm256_cvtpd_ps(lo));
}

// Lanes in the float subnormal range (zero excepted), where the halfway test does not hold.
VX_AVX2 inline __m256 subnormal(__m256 q) {
    const __m256 mag = _mm256_andnot_ps(_mm256_set1_ps(-0.0f), q);
    return _mm256_and_ps(_mm256_cmp_ps(mag, _mm256_set1_ps(0x1p-125f), _CMP_LT_OQ),
                         _mm256_cmp_ps(mag, _mm256_setzero_ps(), _CMP_NEQ_OQ));
}

// Moves the lanes of `mask` to the front.
VX_AVX2 inline __m256 compress(__m256 v, __m256i idx) { return _mm256_permutevar8x32_ps(v, idx); }

// Stores the first `count` lanes of v (none when count <= 0).
VX_AVX2 inline void store_first(float* dst, __m256 v, int count) {
    const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    _mm256_maskstore_ps(dst, _mm256_cmpgt_epi32(_mm256_set1_epi32(count), lanes), v);
}

// Writes the lanes of `mask` as consecutive points from point n on; returns the new count.
// Which blocks are whole is as good as random where an image has scattered holes, so nothing
// here branches on it: a mispredicted branch per block costs more than the masked stores.
VX_AVX2 inline int64_t emit(float* out, int64_t n, __m256 x, __m256 y, __m256 z, __m256 f, unsigned mask,
                            PclLayout layout) {
    const int k = __builtin_popcount(mask);
    const __m256i idx = _mm256_cvtepu8_epi32(_mm_cvtsi64_si128(static_cast<long long>(kCompress[mask])));
    x = compress(x, idx);
    y = compress(y, idx);
    z = compress(z, idx);
    if (layout != PclLayout::xyz) f = compress(f, idx);
    if (layout == PclLayout::xyz) {
        float* dst = out + n * 3;
        const __m256 xy = _mm256_shuffle_ps(x, y, _MM_SHUFFLE(2, 0, 2, 0));  // x0 x2 y0 y2
        const __m256 yz = _mm256_shuffle_ps(y, z, _MM_SHUFFLE(3, 1, 3, 1));  // y1 y3 z1 z3
        const __m256 zx = _mm256_shuffle_ps(z, x, _MM_SHUFFLE(3, 1, 2, 0));  // z0 z2 x1 x3
        const __m256 p03 = _mm256_shuffle_ps(xy, zx, _MM_SHUFFLE(2, 0, 2, 0));  // x0 y0 z0 x1
        const __m256 p14 = _mm256_shuffle_ps(yz, xy, _MM_SHUFFLE(3, 1, 2, 0));  // y1 z1 x2 y2
        const __m256 p25 = _mm256_shuffle_ps(zx, yz, _MM_SHUFFLE(3, 1, 3, 1));  // z2 x3 y3 z3
        store_first(dst, _mm256_permute2f128_ps(p03, p14, 0x20), 3 * k);
        store_first(dst + 8, _mm256_permute2f128_ps(p25, p03, 0x30), 3 * k - 8);
        store_first(dst + 16, _mm256_permute2f128_ps(p14, p25, 0x31), 3 * k - 16);
    } else {
        float* dst = out + n * 4;
        const __m256 t0 = _mm256_unpacklo_ps(x, y), t1 = _mm256_unpackhi_ps(x, y);
        const __m256 t2 = _mm256_unpacklo_ps(z, f), t3 = _mm256_unpackhi_ps(z, f);
        const __m256 p0 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(1, 0, 1, 0));  // point 0 | point 4
        const __m256 p1 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(3, 2, 3, 2));  // point 1 | point 5
        const __m256 p2 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(1, 0, 1, 0));
        const __m256 p3 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(3, 2, 3, 2));
        store_first(dst, _mm256_permute2f128_ps(p0, p1, 0x20), 4 * k);
        store_first(dst + 8, _mm256_permute2f128_ps(p2, p3, 0x20), 4 * k - 8);
        store_first(dst + 16, _mm256_permute2f128_ps(p0, p1, 0x31), 4 * k - 16);
        store_first(dst + 24, _mm256_permute2f128_ps(p2, p3, 0x31), 4 * k - 24);
    }
    return n + k;
}

// One whole row, eight pixels at a time; `out` has room for w more points.
VX_AVX2 int64_t row_avx2(const Terms& t, const float* row, const float* cols, float b, int32_t w, float* out,
                         int64_t n, PclLayout layout) {
    const __m256 zero = _mm256_setzero_ps(), sixty = _mm256_set1_ps(60.0f), scale = _mm256_set1_ps(t.scale);
    const __m256 bv = _mm256_set1_ps(b);
    const __m256d ifx = _mm256_set1_pd(t.ifx), ify = _mm256_set1_pd(t.ify);
    int32_t u = 0;
    for (; u + 8 <= w; u += 8) {
        const __m256 d = _mm256_loadu_ps(row + u);
        const __m256 in = _mm256_and_ps(_mm256_cmp_ps(d, zero, _CMP_GT_OQ), _mm256_cmp_ps(d, sixty, _CMP_LT_OQ));
        if (_mm256_testz_ps(in, in)) continue;
        const __m256 r = _mm256_mul_ps(d, scale);
        // Lanes that give no point may raise a tie too; they only cost the slow path.
        __m256i ties = _mm256_setzero_si256();
        const __m256 x = divide(_mm256_mul_ps(r, _mm256_loadu_ps(cols + u)), ifx, ties);
        const __m256 y = divide(_mm256_mul_ps(r, bv), ify, ties);
        const __m256 tiny = _mm256_or_ps(subnormal(x), subnormal(y));
        if (!_mm256_testz_si256(ties, ties) || !_mm256_testz_ps(tiny, tiny)) {
            n = scan_pixels(t, row, cols, b, u, u + 8, out, n, INT64_MAX, layout);
            continue;
        }
        const __m256 rad = _mm256_sub_ps(_mm256_sub_ps(_mm256_mul_ps(r, r), _mm256_mul_ps(x, x)), _mm256_mul_ps(y, y));
        const unsigned mask = unsigned(_mm256_movemask_ps(_mm256_and_ps(in, _mm256_cmp_ps(rad, zero, _CMP_GE_OQ))));
        if (mask == 0) continue;
        n = emit(out, n, x, y, _mm256_sqrt_ps(rad), r, mask, layout);
    }
    return scan_pixels(t, row, cols, b, u, w, out, n, INT64_MAX, layout);
}

// Sixteen lanes at a time: the same steps as the eight-lane path with mask registers.
#define VX_AVX512 __attribute__((target("avx512f,avx512dq")))

VX_AVX512 inline __m512 divide(__m512 p, __m512d inv, __mmask8& ties) {
    const __m512d lo = _mm512_mul_pd(_mm512_cvtps_pd(_mm512_castps512_ps256(p)), inv);
    const __m512d hi = _mm512_mul_pd(_mm512_cvtps_pd(_mm512_extractf32x8_ps(p, 1)), inv);
    const __m512i shift = _mm512_set1_epi64(0x10000000 + kTieUlps), low = _mm512_set1_epi64(0x1FFFFFFF);
    const __m512i limit = _mm512_set1_epi64(2 * kTieUlps + 1);
    ties |= _mm512_cmpgt_epi64_mask(limit, _mm512_and_si512(_mm512_add_epi64(_mm512_castpd_si512(lo), shift), low)) |
            _mm512_cmpgt_epi64_mask(limit, _mm512_and_si512(_mm512_add_epi64(_mm512_castpd_si512(hi), shift), low));
    return _mm512_insertf32x8(_mm512_castps256_ps512(_mm512_cvtpd_ps(lo)), _mm512_cvtpd_ps(hi), 1);
}

VX_AVX512 inline __mmask16 subnormal(__m512 q) {
    return _mm512_cmp_ps_mask(_mm512_abs_ps(q), _mm512_set1_ps(0x1p-125f), _CMP_LT_OQ) &
           _mm512_cmp_ps_mask(q, _mm512_setzero_ps(), _CMP_NEQ_OQ);
}

// Gather tables that interleave sixteen points: lane i of output k is element 16k + i of the
// interleaved array, i.e. component c = j % s of point p = j / s (s = 3 or 4). For three
// components the first table picks x (index p) or y (16 + p) and the second z; for four the
// same index p + 16 * (c & 1) picks x or y from one pair and z or d from the other.
struct Interleave {
    std::array<std::array<int32_t, 16>, 3> xyz{};
    std::array<uint16_t, 3> z_lanes{};
    std::array<std::array<int32_t, 16>, 4> xyzd{};
};
constexpr Interleave kInterleave = [] {
    Interleave t;
    for (int k = 0; k < 3; ++k)
        for (int i = 0; i < 16; ++i) {
            const int j = 16 * k + i, p = j / 3, c = j % 3;
            t.xyz[k][i] = c == 1 ? 16 + p : p;
            if (c == 2) t.z_lanes[k] = uint16_t(t.z_lanes[k] | 1u << i);
        }
    for (int k = 0; k < 4; ++k)
        for (int i = 0; i < 16; ++i) {
            const int j = 16 * k + i;
            t.xyzd[k][i] = j / 4 + 16 * (j % 2);
        }
    return t;
}();

VX_AVX512 inline void store_first(float* dst, __m512 v, int count) {
    if (count > 0) _mm512_mask_storeu_ps(dst, count >= 16 ? __mmask16(0xFFFF) : __mmask16((1u << count) - 1), v);
}

VX_AVX512 inline int64_t emit(float* out, int64_t n, __m512 x, __m512 y, __m512 z, __m512 f, __mmask16 mask,
                              PclLayout layout) {
    const int k = __builtin_popcount(mask);
    if (mask != 0xFFFF) {
        x = _mm512_maskz_compress_ps(mask, x);
        y = _mm512_maskz_compress_ps(mask, y);
        z = _mm512_maskz_compress_ps(mask, z);
        f = _mm512_maskz_compress_ps(mask, f);
    }
    if (layout == PclLayout::xyz) {
        float* dst = out + n * 3;
        for (int j = 0; j < 3; ++j) {
            const __m512i idx = _mm512_loadu_si512(kInterleave.xyz[size_t(j)].data());
            const __m512 xy = _mm512_permutex2var_ps(x, idx, y);
            store_first(dst + 16 * j, _mm512_mask_permutexvar_ps(xy, kInterleave.z_lanes[size_t(j)], idx, z),
                        3 * k - 16 * j);
        }
    } else {
        float* dst = out + n * 4;
        for (int j = 0; j < 4; ++j) {
            const __m512i idx = _mm512_loadu_si512(kInterleave.xyzd[size_t(j)].data());
            const __m512 v = _mm512_mask_blend_ps(0xCCCC, _mm512_permutex2var_ps(x, idx, y),
                                                  _mm512_permutex2var_ps(z, idx, f));
            store_first(dst + 16 * j, v, 4 * k - 16 * j);
        }
    }
    return n + k;
}

VX_AVX512 int64_t row_avx512(const Terms& t, const float* row, const float* cols, float b, int32_t w, float* out,
                             int64_t n, PclLayout layout) {
    const __m512 zero = _mm512_setzero_ps(), sixty = _mm512_set1_ps(60.0f), scale = _mm512_set1_ps(t.scale);
    const __m512 bv = _mm512_set1_ps(b);
    const __m512d ifx = _mm512_set1_pd(t.ifx), ify = _mm512_set1_pd(t.ify);
    int32_t u = 0;
    for (; u + 16 <= w; u += 16) {
        const __m512 d = _mm512_loadu_ps(row + u);
        const __mmask16 in = _mm512_cmp_ps_mask(d, zero, _CMP_GT_OQ) & _mm512_cmp_ps_mask(d, sixty, _CMP_LT_OQ);
        if (!in) continue;
        const __m512 r = _mm512_mul_ps(d, scale);
        __mmask8 ties = 0;
        const __m512 x = divide(_mm512_mul_ps(r, _mm512_loadu_ps(cols + u)), ifx, ties);
        const __m512 y = divide(_mm512_mul_ps(r, bv), ify, ties);
        if (ties || (subnormal(x) | subnormal(y))) {
            n = scan_pixels(t, row, cols, b, u, u + 16, out, n, INT64_MAX, layout);
            continue;
        }
        const __m512 rad = _mm512_sub_ps(_mm512_sub_ps(_mm512_mul_ps(r, r), _mm512_mul_ps(x, x)), _mm512_mul_ps(y, y));
        const __mmask16 mask = in & _mm512_cmp_ps_mask(rad, zero, _CMP_GE_OQ);
        if (!mask) continue;
        n = emit(out, n, x, y, _mm512_sqrt_ps(rad), r, mask, layout);
    }
    return scan_pixels(t, row, cols, b, u, w, out, n, INT64_MAX, layout);
}
#endif

// Replaces the distance of each of n xyzd points by its colour word from the library colour map,
// in batches through the map's vector path.
void colour_points(float* out, int64_t n) {
    const vx_cmap& map = *vx::library_cmap();
    constexpr int32_t kBatch = 1024;
    float r[kBatch];
    uint8_t rgbx[4 * kBatch];
    for (int64_t i = 0; i < n; i += kBatch) {
        const int32_t m = static_cast<int32_t>(std::min<int64_t>(kBatch, n - i));
        for (int32_t k = 0; k < m; ++k) r[k] = out[(i + k) * 4 + 3];
        vx::colorize_float(map, r, m, VEXEL_COLOR_RGBX8888, rgbx, true);
        // Colour words stay below 2^24: exact as floats.
        for (int32_t k = 0; k < m; ++k) {
            const uint8_t* c = rgbx + 4 * k;
            out[(i + k) * 4 + 3] = static_cast<float>(uint32_t{c[0]} | uint32_t{c[1]} << 8 | uint32_t{c[2]} << 16);
        }
    }
}

int32_t frame_get_pcl(const char* fn, vexel_dev* dev, float* pcl, int32_t pcl_len, const float* dist,
                      int32_t dist_len, int32_t img_w, int32_t img_h, const vexel_camera_param* lens,
                      PclLayout layout) {
    if (!dev || img_w <= 0 || img_h <= 0) return 0;
    if (!pcl || !dist || int64_t{dist_len} < int64_t{img_w} * img_h) {
        vx::logf(vx::kErr, "[%s] wrong parameters: pcl=%p, dist=%p, dist_len=%d, size=%dx%d\n", fn,
                 static_cast<void*>(pcl), static_cast<const void*>(dist), dist_len, img_w, img_h);
        return 0;
    }
    // Busy while the record is open; caller intrinsics also work on a record never opened.
    vx::DeviceCall call(dev);
    vx::PclIntrinsics in{};
    if (lens) {
        in = {lens->cx, lens->cy, lens->fx, lens->fy, lens->dist_scale};
    } else {
        vexel_driver_entry* drv = call ? call.handle()->driver : nullptr;
        if (!drv || !drv->ops || !drv->ops->lens_param_get) {
            vx::logf(vx::kErr, "[%s] Cannot generate PCL: no lens parameter in driver.\n", fn);
            return 0;
        }
        vexel_lens_param lp{};
        if (!drv->ops->lens_param_get(drv, &lp, img_w, img_h)) return 0;  // the driver says why
        in = {lp.cx, lp.cy, lp.fx, lp.fy, 1.0f};
    }
    const int64_t cap = pcl_len > 0 ? pcl_len / stride_of(layout) : 0;
    return static_cast<int32_t>(vx::pcl_scan(in, dist, img_w, img_h, pcl, cap, layout, vx::pcl_best_simd()));
}

}  // namespace

namespace vx {

PclSimd pcl_best_simd() {
#ifdef VX_PCL_SIMD
    static const PclSimd best = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq")
                                    ? PclSimd::kAvx512
                                : __builtin_cpu_supports("avx2") ? PclSimd::kAvx2
                                                                 : PclSimd::kScalar;
    return best;
#else
    return PclSimd::kScalar;
#endif
}

int64_t pcl_scan(const PclIntrinsics& in, const float* dist, int32_t w, int32_t h, float* out, int64_t cap,
                 PclLayout layout, PclSimd level) {
    const Terms t{in.cx, in.cy, in.fx, in.fy, 1.0 / in.fx, 1.0 / in.fy, in.dist_scale};
    // The column offsets are the same on every row; without room for them each pixel computes its own.
    std::unique_ptr<float[]> cols(new (std::nothrow) float[static_cast<size_t>(w)]);
    if (cols) {
        for (int32_t u = 0; u < w; ++u) cols[u] = offset(u, t.cx);
    }
    // An infinite reciprocal (zero or subnormal focal length) would turn 0 / f into NaN.
    if (!cols || !std::isfinite(t.ifx) || !std::isfinite(t.ify)) level = PclSimd::kScalar;
    int64_t n = 0;
    for (int32_t v = 0; v < h && n < cap; ++v) {
        const float* row = dist + int64_t{v} * w;
        const float b = offset(v, t.cy);
        if (level == PclSimd::kScalar || cap - n < w) {
            n = scan_pixels(t, row, cols.get(), b, 0, w, out, n, cap, layout);
            continue;
        }
#ifdef VX_PCL_SIMD
        n = level == PclSimd::kAvx512 ? row_avx512(t, row, cols.get(), b, w, out, n, layout)
                                      : row_avx2(t, row, cols.get(), b, w, out, n, layout);
#endif
    }
    if (layout == PclLayout::xyzc) colour_points(out, n);
    return n;
}

}  // namespace vx

extern "C" {

VX_API int32_t vexel_frame_get_pcl(vexel_dev* dev, float* pcl, int32_t pcl_len, const float* dist, int32_t dist_len,
                                   int32_t img_w, int32_t img_h, const vexel_camera_param* lens) {
    return frame_get_pcl(__func__, dev, pcl, pcl_len, dist, dist_len, img_w, img_h, lens, PclLayout::xyz);
}

VX_API int32_t vexel_frame_get_pcl_xyzd(vexel_dev* dev, float* pcl, int32_t pcl_len, const float* dist,
                                        int32_t dist_len, int32_t img_w, int32_t img_h, uint8_t pseudo_color,
                                        const vexel_camera_param* lens) {
    return frame_get_pcl(__func__, dev, pcl, pcl_len, dist, dist_len, img_w, img_h, lens,
                         pseudo_color ? PclLayout::xyzc : PclLayout::xyzd);
}

}  // extern "C"
