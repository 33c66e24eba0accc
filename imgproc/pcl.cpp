// Point clouds from distance images.
//
// Per pixel: r = d * dist_scale; x = r * (u - cx) / fx and y = r * (v - cy) / fy with the
// offsets rounded to float, the product in float and the quotient in double rounded to float;
// z = sqrtf(r*r - x*x - y*y) in float. The vector path keeps that arithmetic bit for bit: it
// multiplies by the reciprocal of the focal length and falls back to the division for the rare
// quotients that lie close enough to a float rounding boundary for the two to differ.
#include "imgproc/pcl.hpp"

#include <cmath>
#include <cstring>
#include <memory>
#include <new>

#if defined(__x86_64__)
#include <immintrin.h>
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

// Float to int32 toward zero; NaN and values beyond int32 become INT32_MIN, which the colour
// map answers with black.
int32_t trunc_i32(float f) { return f >= -2147483648.0f && f < 2147483648.0f ? static_cast<int32_t>(f) : INT32_MIN; }

float colour_of(float r) {
    return static_cast<float>(vx_cmap_get_color(vx::library_cmap(), trunc_i32(r * 1000.0f)));
}

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
    if (layout == PclLayout::xyzd) dst[3] = r;
    if (layout == PclLayout::xyzc) dst[3] = colour_of(r);
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
#define VX_PCL_AVX2 1
#define VX_AVX2 __attribute__((target("avx2")))

// Double ulps within which a product by the reciprocal may round to another float than the
// quotient: the reciprocal and the product add at most about 3 between them.
constexpr int64_t kTieUlps = 8;

// Lanes whose double lies within kTieUlps of the point halfway between two floats (low 29 bits
// 0x10000000), or in the float subnormal range where that test does not hold.
VX_AVX2 inline unsigned near_tie(__m256d q) {
    const __m256i low = _mm256_and_si256(_mm256_castpd_si256(q), _mm256_set1_epi64x(0x1FFFFFFF));
    const __m256i off = _mm256_sub_epi64(low, _mm256_set1_epi64x(0x10000000 - kTieUlps));
    const __m256i near = _mm256_andnot_si256(_mm256_cmpgt_epi64(off, _mm256_set1_epi64x(2 * kTieUlps)),
                                             _mm256_cmpgt_epi64(off, _mm256_set1_epi64x(-1)));
    const __m256d tiny = _mm256_cmp_pd(_mm256_andnot_pd(_mm256_set1_pd(-0.0), q), _mm256_set1_pd(0x1p-125), _CMP_LT_OQ);
    return unsigned(_mm256_movemask_pd(_mm256_or_pd(_mm256_castsi256_pd(near), tiny)));
}

// q = p / f rounded to float through double, computed as p * (1/f); returns the lanes where
// that may differ from the division.
VX_AVX2 inline unsigned divide(__m256 p, __m256d inv, __m256& q) {
    const __m256d lo = _mm256_mul_pd(_mm256_cvtps_pd(_mm256_castps256_ps128(p)), inv);
    const __m256d hi = _mm256_mul_pd(_mm256_cvtps_pd(_mm256_extractf128_ps(p, 1)), inv);
    q = _mm256_set_m128(_mm256_cvtpd_ps(hi), _mm256_cvtpd_ps(lo));
    return near_tie(lo) | near_tie(hi) << 4;
}

VX_AVX2 inline int64_t emit3(float* out, int64_t n, __m256 x, __m256 y, __m256 z, unsigned mask) {
    float* dst = out + n * 3;
    if (mask == 0xFF) {
        // Eight x, y, z lanes to 24 interleaved floats.
        const __m256 xy = _mm256_shuffle_ps(x, y, _MM_SHUFFLE(2, 0, 2, 0));  // x0 x2 y0 y2
        const __m256 yz = _mm256_shuffle_ps(y, z, _MM_SHUFFLE(3, 1, 3, 1));  // y1 y3 z1 z3
        const __m256 zx = _mm256_shuffle_ps(z, x, _MM_SHUFFLE(3, 1, 2, 0));  // z0 z2 x1 x3
        const __m256 p03 = _mm256_shuffle_ps(xy, zx, _MM_SHUFFLE(2, 0, 2, 0));  // x0 y0 z0 x1
        const __m256 p14 = _mm256_shuffle_ps(yz, xy, _MM_SHUFFLE(3, 1, 2, 0));  // y1 z1 x2 y2
        const __m256 p25 = _mm256_shuffle_ps(zx, yz, _MM_SHUFFLE(3, 1, 3, 1));  // z2 x3 y3 z3
        _mm256_storeu_ps(dst, _mm256_permute2f128_ps(p03, p14, 0x20));
        _mm256_storeu_ps(dst + 8, _mm256_permute2f128_ps(p25, p03, 0x30));
        _mm256_storeu_ps(dst + 16, _mm256_permute2f128_ps(p14, p25, 0x31));
        return n + 8;
    }
    alignas(32) float xs[8], ys[8], zs[8];
    _mm256_store_ps(xs, x);
    _mm256_store_ps(ys, y);
    _mm256_store_ps(zs, z);
    for (; mask; mask &= mask - 1, dst += 3, ++n) {
        const int i = __builtin_ctz(mask);
        dst[0] = xs[i];
        dst[1] = ys[i];
        dst[2] = zs[i];
    }
    return n;
}

VX_AVX2 inline int64_t emit4(float* out, int64_t n, __m256 x, __m256 y, __m256 z, __m256 f, unsigned mask) {
    float* dst = out + n * 4;
    const __m256 t0 = _mm256_unpacklo_ps(x, y), t1 = _mm256_unpackhi_ps(x, y);
    const __m256 t2 = _mm256_unpacklo_ps(z, f), t3 = _mm256_unpackhi_ps(z, f);
    const __m256 p0 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(1, 0, 1, 0));  // point 0 | point 4
    const __m256 p1 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(3, 2, 3, 2));  // point 1 | point 5
    const __m256 p2 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(1, 0, 1, 0));
    const __m256 p3 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(3, 2, 3, 2));
    const __m256 q[4] = {_mm256_permute2f128_ps(p0, p1, 0x20), _mm256_permute2f128_ps(p2, p3, 0x20),
                         _mm256_permute2f128_ps(p0, p1, 0x31), _mm256_permute2f128_ps(p2, p3, 0x31)};
    if (mask == 0xFF) {
        for (int k = 0; k < 4; ++k) _mm256_storeu_ps(dst + 8 * k, q[k]);
        return n + 8;
    }
    alignas(32) float pts[32];
    for (int k = 0; k < 4; ++k) _mm256_store_ps(pts + 8 * k, q[k]);
    for (; mask; mask &= mask - 1, dst += 4, ++n) std::memcpy(dst, pts + 4 * __builtin_ctz(mask), 4 * sizeof(float));
    return n;
}

VX_AVX2 inline __m256 colours(__m256 r, unsigned mask) {
    alignas(32) float v[8];
    _mm256_store_ps(v, r);
    for (; mask; mask &= mask - 1) v[__builtin_ctz(mask)] = colour_of(v[__builtin_ctz(mask)]);
    return _mm256_load_ps(v);
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
        unsigned mask = unsigned(
            _mm256_movemask_ps(_mm256_and_ps(_mm256_cmp_ps(d, zero, _CMP_GT_OQ), _mm256_cmp_ps(d, sixty, _CMP_LT_OQ))));
        if (mask == 0) continue;
        const __m256 r = _mm256_mul_ps(d, scale);
        __m256 x, y;
        const unsigned ties = divide(_mm256_mul_ps(r, _mm256_loadu_ps(cols + u)), ifx, x) |
                              divide(_mm256_mul_ps(r, bv), ify, y);
        if (ties & mask) {
            n = scan_pixels(t, row, cols, b, u, u + 8, out, n, INT64_MAX, layout);
            continue;
        }
        const __m256 rad = _mm256_sub_ps(_mm256_sub_ps(_mm256_mul_ps(r, r), _mm256_mul_ps(x, x)), _mm256_mul_ps(y, y));
        mask &= unsigned(_mm256_movemask_ps(_mm256_cmp_ps(rad, zero, _CMP_GE_OQ)));
        if (mask == 0) continue;
        const __m256 z = _mm256_sqrt_ps(rad);
        if (layout == PclLayout::xyz) n = emit3(out, n, x, y, z, mask);
        else n = emit4(out, n, x, y, z, layout == PclLayout::xyzc ? colours(r, mask) : r, mask);
    }
    return scan_pixels(t, row, cols, b, u, w, out, n, INT64_MAX, layout);
}

bool have_avx2() {
    static const bool yes = __builtin_cpu_supports("avx2");
    return yes;
}
#endif

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
    return static_cast<int32_t>(vx::pcl_scan(in, dist, img_w, img_h, pcl, cap, layout, true));
}

}  // namespace

namespace vx {

int64_t pcl_scan(const PclIntrinsics& in, const float* dist, int32_t w, int32_t h, float* out, int64_t cap,
                 PclLayout layout, bool simd) {
    const Terms t{in.cx, in.cy, in.fx, in.fy, 1.0 / in.fx, 1.0 / in.fy, in.dist_scale};
    // The column offsets are the same on every row; without room for them each pixel computes its own.
    std::unique_ptr<float[]> cols(new (std::nothrow) float[static_cast<size_t>(w)]);
    if (cols) {
        for (int32_t u = 0; u < w; ++u) cols[u] = offset(u, t.cx);
    }
    bool vec = false;
#ifdef VX_PCL_AVX2
    // An infinite reciprocal (zero or subnormal focal length) would turn 0 / f into NaN.
    vec = simd && cols && std::isfinite(t.ifx) && std::isfinite(t.ify) && have_avx2();
#else
    (void)simd;
#endif
    int64_t n = 0;
    for (int32_t v = 0; v < h && n < cap; ++v) {
        const float* row = dist + int64_t{v} * w;
        const float b = offset(v, t.cy);
#ifdef VX_PCL_AVX2
        if (vec && cap - n >= w) {
            n = row_avx2(t, row, cols.get(), b, w, out, n, layout);
            continue;
        }
#endif
        n = scan_pixels(t, row, cols.get(), b, 0, w, out, n, cap, layout);
    }
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
