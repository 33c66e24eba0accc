// Depth-quality filters on float distance images: confidence, flying pixels, temporal, spatial,
// hole filling. The per-row loops live in depth_quality.inc, built for the baseline and for AVX2.
#include <vexel/depth_quality.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "core/log.hpp"

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#include <immintrin.h>
#endif

namespace vx::dq {
namespace base {
#include "imgproc/depth_quality.inc"
}  // namespace base

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define VX_DQ_AVX2 1
#pragma GCC push_options
#pragma GCC target("avx2")
namespace avx2 {
#include "imgproc/depth_quality.inc"

// temporal_rows eight pixels at a time, written out: the compiler's own vectorisation of it
// widens the byte state to 32 pixels per step and spills most of it to the stack. Same
// arithmetic in the same order, so both give the same bits; the tail goes to the loop above.
template <bool kSigma, bool kFlags>
int temporal_x8(float* __restrict dist, uint8_t* __restrict flags, const float* __restrict sig,
                float* __restrict mean, uint8_t* __restrict state, size_t n, float alpha, int persistence) {
    const __m256 zero = _mm256_setzero_ps(), sixty = _mm256_set1_ps(60.0f), one = _mm256_set1_ps(1.0f);
    const __m256 valpha = _mm256_set1_ps(alpha), sixteen = _mm256_set1_ps(16.0f);
    const __m256i i31 = _mm256_set1_epi32(31), i1 = _mm256_set1_epi32(1), izero = _mm256_setzero_si256();
    const __m256i vpers = _mm256_set1_epi32(persistence), held = _mm256_set1_epi32(VEXEL_DQ_HELD);
    // Eight int32 lanes of 0..255 to eight bytes.
    auto bytes = [](__m256i v) {
        const __m128i w = _mm_packus_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
        return _mm_packus_epi16(w, w);
    };
    int restarts = 0;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256 x = _mm256_loadu_ps(dist + i);
        const __m256 meas = _mm256_and_ps(_mm256_cmp_ps(x, zero, _CMP_GT_OQ), _mm256_cmp_ps(x, sixty, _CMP_LT_OQ));
        const __m256 m = _mm256_loadu_ps(mean + i);
        const __m256i st = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(state + i)));
        const __m256i cnt = _mm256_and_si256(st, i31), hd = _mm256_srli_epi32(st, 5);
        const __m256 hist = _mm256_castsi256_ps(_mm256_cmpgt_epi32(cnt, izero));
        const __m256 sd = kSigma ? _mm256_mul_ps(_mm256_set1_ps(0.001f), _mm256_loadu_ps(sig + i))
                                 : _mm256_add_ps(_mm256_set1_ps(0.005f), _mm256_mul_ps(_mm256_set1_ps(0.005f), x));
        const __m256 e = _mm256_sub_ps(x, m);
        const __m256 close = _mm256_cmp_ps(_mm256_mul_ps(e, e), _mm256_mul_ps(_mm256_mul_ps(sixteen, sd), sd),
                                           _CMP_LE_OQ);
        const __m256 keep = _mm256_and_ps(_mm256_and_ps(meas, hist), close);
        const __m256i cnt1 = _mm256_add_epi32(cnt, i1);
        const __m256 wt = _mm256_max_ps(_mm256_div_ps(one, _mm256_cvtepi32_ps(cnt1)), valpha);
        const __m256 hold =
            _mm256_andnot_ps(meas, _mm256_and_ps(hist, _mm256_castsi256_ps(_mm256_cmpgt_epi32(vpers, hd))));
        restarts += __builtin_popcount(unsigned(_mm256_movemask_ps(_mm256_andnot_ps(keep, _mm256_and_ps(meas, hist)))));
        const __m256 nm = _mm256_blendv_ps(x, _mm256_add_ps(m, _mm256_mul_ps(wt, e)), keep);
        _mm256_storeu_ps(mean + i, _mm256_blendv_ps(m, nm, meas));
        _mm256_storeu_ps(dist + i, _mm256_blendv_ps(_mm256_blendv_ps(x, m, hold), nm, meas));
        const __m256i c1 = _mm256_blendv_epi8(i1, _mm256_min_epi32(cnt1, i31), _mm256_castps_si256(keep));
        const __m256i held_st = _mm256_and_si256(
            _mm256_or_si256(cnt, _mm256_slli_epi32(_mm256_add_epi32(hd, i1), 5)), _mm256_castps_si256(hold));
        const __m256i ns = _mm256_blendv_epi8(held_st, c1, _mm256_castps_si256(meas));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(state + i), bytes(ns));
        if (kFlags) {
            const __m128i f = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(flags + i));
            const __m128i h = bytes(_mm256_and_si256(_mm256_castps_si256(hold), held));
            _mm_storel_epi64(reinterpret_cast<__m128i*>(flags + i), _mm_or_si128(f, h));
        }
    }
    return restarts + temporal_rows<kSigma, kFlags>(dist + i, kFlags ? flags + i : flags, kSigma ? sig + i : sig,
                                                     mean + i, state + i, n - i, alpha, persistence);
}
}  // namespace avx2
#pragma GCC pop_options

// The flying-pixel loop is compare-bound: AVX-512 does sixteen pixels a step and keeps its
// comparisons in mask registers. No fused multiply-adds, so it rounds as the AVX2 copy does.
#pragma GCC push_options
#pragma GCC target("avx512f,avx512vl,avx512bw,avx512dq")
#pragma GCC optimize("fp-contract=off")
namespace avx512 {
#include "imgproc/depth_quality.inc"
}  // namespace avx512
#pragma GCC pop_options
#endif

namespace {

constexpr int32_t kMaxSide = 16384;
constexpr float kNan = std::numeric_limits<float>::quiet_NaN();
// Stands for "no measurement" in the bilateral: its squared difference overflows the range
// kernel to weight 0, and 0 times it is 0.
constexpr float kFar = 1e18f;
constexpr float kRejected = 65.3f;

bool have_avx512() {
#ifdef VX_DQ_AVX2
    static const bool yes = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
                            __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512dq");
    return yes;
#else
    return false;
#endif
}

bool have_avx2() {
#ifdef VX_DQ_AVX2
    static const bool yes = __builtin_cpu_supports("avx2");
    return yes;
#else
    return false;
#endif
}

bool size_ok(int32_t w, int32_t h) { return w >= 1 && h >= 1 && w <= kMaxSide && h <= kMaxSide; }

bool measured(float d) { return d > 0.0f && d < 60.0f; }

// Per-thread work rows, grown to the largest image seen; never shrunk.
struct Scratch {
    std::vector<float> rows;    // padded row copies
    std::vector<float> aux;     // second set (inverse variances, range sigmas)
    std::vector<uint8_t> mask;  // one image
    std::vector<int> cols;      // one value per column
    std::vector<uint8_t> close;  // one byte per column
};
thread_local Scratch t_scratch;

template <class T>
bool grow(std::vector<T>& v, size_t n) {
    if (v.size() >= n) return true;
    try {
        v.resize(n);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

int32_t fail(const char* fn) {
    vx::logf(vx::kErr, "[%s] wrong parameter\n", fn);
    return -1;
}

// Row y of `src` into `dst` (w + 2 pad values), measurements kept and the rest `none`; rows
// outside the image are all `none`.
void pad_row(float* dst, const float* src, int w, int h, int y, int pad, float none) {
    std::fill(dst, dst + pad, none);
    std::fill(dst + pad + w, dst + 2 * pad + w, none);
    if (y < 0 || y >= h) {
        std::fill(dst + pad, dst + pad + w, none);
        return;
    }
    const float* s = src + size_t(y) * w;
    for (int x = 0; x < w; ++x) dst[pad + x] = measured(s[x]) ? s[x] : none;
}

}  // namespace

// Fills the pixels without a measurement strictly between a and b (both measured) on a line
// whose pixel i is at p[i * stride]; returns how many.
static int fill_run(float* p, uint8_t* flags, ptrdiff_t stride, int a, int b) {
    const float da = p[a * stride], db = p[b * stride];
    const bool smooth = std::fabs(da - db) <= 0.02f * std::min(da, db);
    const float far = std::max(da, db);
    int n = 0;
    for (int i = a + 1; i < b; ++i) {
        if (measured(p[i * stride])) continue;
        p[i * stride] = smooth ? da + (db - da) * float(i - a) / float(b - a) : far;
        if (flags) flags[i * stride] = uint8_t(flags[i * stride] | VEXEL_DQ_FILLED);
        ++n;
    }
    return n;
}

}  // namespace vx::dq

struct vexel_temporal {
    int32_t w, h;
    uint8_t persistence;
    std::vector<float> mean;
    std::vector<uint8_t> state;  // per pixel: frame count and frames held (depth_quality.inc)
};

using namespace vx::dq;

extern "C" {

VX_API void vexel_noise_model_init(vexel_noise_model* m) {
    if (!m) return;
    // The simulated camera's samples: offset 2048, variance (B + A) / 669 at its default noise.
    *m = {12000.0f, 669.2f, 0.0f, 2048.0f, 0.0f, 500.0f};
}

VX_API int32_t vexel_depth_confidence(float* sigma_mm, const float* amplitude, const float* background, int32_t w,
                                      int32_t h, const vexel_noise_model* m) {
    if (!sigma_mm || !amplitude || !size_ok(w, h)) return fail(__func__);
    vexel_noise_model d;
    vexel_noise_model_init(&d);
    if (!m) m = &d;
    const float f = m->freq_khz > 0 ? m->freq_khz : d.freq_khz;
    const float gain = m->gain > 0 ? m->gain : d.gain;
    const float range_mm = 149896229.0f / f;
    const float scale = range_mm / (2.0f * float(M_PI) * std::sqrt(2.0f));
    const float b0 = m->background + m->ambient * std::max(m->integration_us, 0.0f);
    const size_t n = size_t(w) * size_t(h);
    const float read2 = m->read_noise * m->read_noise, inv_gain = 1.0f / gain;
#ifdef VX_DQ_AVX2
    if (have_avx2()) {
        avx2::confidence_rows(sigma_mm, amplitude, background, n, b0, scale, read2, inv_gain);
        return int32_t(n);
    }
#endif
    base::confidence_rows(sigma_mm, amplitude, background, n, b0, scale, read2, inv_gain);
    return int32_t(n);
}

VX_API int32_t vexel_depth_confidence_reject(float* dist, uint8_t* flags, const float* sigma_mm, int32_t w,
                                             int32_t h, float max_mm) {
    if (!dist || !sigma_mm || !size_ok(w, h)) return fail(__func__);
    if (!(max_mm > 0)) return 0;
    const size_t n = size_t(w) * size_t(h);
    int32_t removed = 0;
    for (size_t i = 0; i < n; ++i) {
        const bool out = measured(dist[i]) && !(sigma_mm[i] <= max_mm);
        dist[i] = out ? kRejected : dist[i];
        removed += out;
        if (flags) flags[i] = uint8_t(flags[i] | (out ? VEXEL_DQ_LOW_CONFIDENCE : 0));
    }
    return removed;
}

VX_API int32_t vexel_depth_flying(float* dist, uint8_t* flags, const float* sigma_mm, int32_t w, int32_t h, float k) {
    if (!dist || !size_ok(w, h) || !(k >= 1.0f && k <= 100.0f)) return fail(__func__);
    Scratch& s = t_scratch;
    const size_t stride = size_t(w) + 2;
    if (!grow(s.rows, 12 * stride) || !grow(s.cols, size_t(w))) return fail(__func__);
    const bool avx = have_avx2(), wide = have_avx512();
    // Rings of rows y-1..y+1 (distance, its noise band, sigma) taken before the image is changed.
    float* ring[4][3];
    for (int j = 0; j < 12; ++j) ring[j / 3][j % 3] = s.rows.data() + size_t(j) * stride;
    auto prep = [&](int slot, int y) {
        const bool in = y >= 0 && y < h;
        const float* src = in ? dist + size_t(y) * w : nullptr;
        const float* sig = in && sigma_mm ? sigma_mm + size_t(y) * w : nullptr;
#ifdef VX_DQ_AVX2
        if (wide) return avx512::flying_prep(ring[0][slot], ring[1][slot], ring[2][slot], ring[3][slot], src, sig, w);
        if (avx) return avx2::flying_prep(ring[0][slot], ring[1][slot], ring[2][slot], ring[3][slot], src, sig, w);
#endif
        base::flying_prep(ring[0][slot], ring[1][slot], ring[2][slot], ring[3][slot], src, sig, w);
    };
    for (int j = 0; j < 3; ++j) prep(j, j - 1);
    int32_t removed = 0;
    for (int y = 0; y < h; ++y) {
        int* mask = s.cols.data();
        float* d = dist + size_t(y) * w;
#ifdef VX_DQ_AVX2
        if (wide)
            removed += avx512::flying_row(d, mask, ring[0], ring[1], ring[2], ring[3], w, k);
        else if (avx)
            removed += avx2::flying_row(d, mask, ring[0], ring[1], ring[2], ring[3], w, k);
        else
#endif
            removed += base::flying_row(d, mask, ring[0], ring[1], ring[2], ring[3], w, k);
        (void)avx;
        (void)wide;
        if (flags) {
            uint8_t* f = flags + size_t(y) * w;
            for (int x = 0; x < w; ++x) f[x] = uint8_t(f[x] | (mask[x] * VEXEL_DQ_FLYING));
        }
        for (auto& r : ring) std::rotate(r, r + 1, r + 3);
        prep(2, y + 2);
    }
    return removed;
}

VX_API vexel_temporal* vexel_temporal_create(int32_t w, int32_t h, int32_t persistence) {
    if (!size_ok(w, h) || persistence < 0 || persistence > 7) {
        fail(__func__);
        return nullptr;
    }
    auto* t = new (std::nothrow) vexel_temporal{w, h, uint8_t(persistence), {}, {}};
    if (!t) return nullptr;
    const size_t n = size_t(w) * size_t(h);
    if (!grow(t->mean, n) || !grow(t->state, n)) {
        delete t;
        return nullptr;
    }
    return t;
}

VX_API void vexel_temporal_destroy(vexel_temporal* t) { delete t; }

VX_API void vexel_temporal_reset(vexel_temporal* t) {
    if (!t) return;
    std::fill(t->state.begin(), t->state.end(), uint8_t{0});
}

VX_API int32_t vexel_depth_temporal(vexel_temporal* t, float* dist, uint8_t* flags, const float* sigma_mm,
                                    float alpha) {
    if (!t || !dist || !(alpha > 0.0f && alpha <= 1.0f)) return fail(__func__);
    alpha = std::max(alpha, 1.0f / 31.0f);  // the frame count has 5 bits
    const size_t n = size_t(t->w) * size_t(t->h);
    auto run = [&](auto fn_sf, auto fn_s, auto fn_f, auto fn) {
        float* m = t->mean.data();
        uint8_t* st = t->state.data();
        const int persistence = t->persistence;
        if (sigma_mm) return flags ? fn_sf(dist, flags, sigma_mm, m, st, n, alpha, persistence)
                                   : fn_s(dist, flags, sigma_mm, m, st, n, alpha, persistence);
        return flags ? fn_f(dist, flags, sigma_mm, m, st, n, alpha, persistence)
                     : fn(dist, flags, sigma_mm, m, st, n, alpha, persistence);
    };
    int32_t restarts;
#ifdef VX_DQ_AVX2
    if (have_avx2())
        restarts = run(avx2::temporal_x8<true, true>, avx2::temporal_x8<true, false>,
                       avx2::temporal_x8<false, true>, avx2::temporal_x8<false, false>);
    else
#endif
        restarts = run(base::temporal_rows<true, true>, base::temporal_rows<true, false>,
                       base::temporal_rows<false, true>, base::temporal_rows<false, false>);
    return restarts;
}

VX_API int32_t vexel_depth_spatial(float* dist, const float* sigma_mm_img, int32_t w, int32_t h, float sigma_mm) {
    if (!dist || !size_ok(w, h) || !(sigma_mm > 0.0f && sigma_mm < 1e6f)) return fail(__func__);
    Scratch& s = t_scratch;
    const size_t stride = size_t(w) + 2;
    // Three padded distance rows, three inverse-variance rows, the range sigmas and the output row.
    if (!grow(s.rows, 3 * stride + size_t(w)) || !grow(s.aux, 3 * stride + size_t(w))) return fail(__func__);
    float* ring[3];
    float* ivr[3];
    auto load_iv = [&](float* dst, int y) {
        std::fill(dst, dst + stride, 1.0f);
        if (!sigma_mm_img || y < 0 || y >= h) return;
        const float* sg = sigma_mm_img + size_t(y) * w;
        for (int x = 0; x < w; ++x) dst[x + 1] = 1.0f / std::max(sg[x] * sg[x], 1e-6f);
    };
    for (int j = 0; j < 3; ++j) {
        ring[j] = s.rows.data() + size_t(j) * stride;
        ivr[j] = s.aux.data() + size_t(j) * stride;
        pad_row(ring[j], dist, w, h, j - 1, 1, kFar);
        load_iv(ivr[j], j - 1);
    }
    float* out = s.rows.data() + 3 * stride;
    float* rs = s.aux.data() + 3 * stride;
    const float floor_m = 0.001f * sigma_mm;
    const bool avx = have_avx2();
    for (int y = 0; y < h; ++y) {
        const float* sg = sigma_mm_img ? sigma_mm_img + size_t(y) * w : nullptr;
        for (int x = 0; x < w; ++x) rs[x] = sg ? std::max(floor_m, 0.0025f * sg[x]) : floor_m;
        const float* const rows[3] = {ring[0], ring[1], ring[2]};
        const float* const ivs[3] = {ivr[0], ivr[1], ivr[2]};
#ifdef VX_DQ_AVX2
        if (avx)
            avx2::spatial_row(out, dist + size_t(y) * w, rows, ivs, rs, w);
        else
#endif
            base::spatial_row(out, dist + size_t(y) * w, rows, ivs, rs, w);
        (void)avx;
        std::memcpy(dist + size_t(y) * w, out, size_t(w) * sizeof(float));
        float* first = ring[0];
        float* first_iv = ivr[0];
        ring[0] = ring[1];
        ring[1] = ring[2];
        ring[2] = first;
        ivr[0] = ivr[1];
        ivr[1] = ivr[2];
        ivr[2] = first_iv;
        pad_row(ring[2], dist, w, h, y + 2, 1, kFar);
        load_iv(ivr[2], y + 2);
    }
    return w * h;
}

VX_API int32_t vexel_depth_fill(float* dist, uint8_t* flags, int32_t w, int32_t h, int32_t max_px) {
    if (!dist || !size_ok(w, h) || max_px < 1 || max_px > 64) return fail(__func__);
    Scratch& s = t_scratch;
    if (!grow(s.mask, size_t(w) * size_t(h)) || !grow(s.cols, size_t(w)) || !grow(s.close, size_t(w)))
        return fail(__func__);
    // Which pixels were measured before any filling: filled ones never seed another run.
    uint8_t* was = s.mask.data();
    const size_t n = size_t(w) * size_t(h);
    for (size_t i = 0; i < n; ++i) was[i] = measured(dist[i]) ? 1 : 0;
    int32_t filled = 0;
    // Rows: from each hole to the next measured pixel, found with memchr over the mask.
    for (int y = 0; y < h; ++y) {
        float* d = dist + size_t(y) * w;
        uint8_t* f = flags ? flags + size_t(y) * w : nullptr;
        const uint8_t* m = was + size_t(y) * w;
        for (int x = 0; x < w;) {
            const auto* hole = static_cast<const uint8_t*>(std::memchr(m + x, 0, size_t(w - x)));
            if (!hole) break;
            const int a = int(hole - m) - 1;  // last measured before the hole, -1 at the border
            const auto* next = static_cast<const uint8_t*>(std::memchr(hole, 1, size_t(m + w - hole)));
            if (!next) break;
            const int b = int(next - m);
            if (a >= 0 && b - a - 1 <= max_px) filled += fill_run(d, f, 1, a, b);
            x = b;
        }
    }
    // Columns, row by row with each column's last measured row: only what the rows left open.
    int* last_row = s.cols.data();
    std::fill(last_row, last_row + w, -1);
    for (int y = 0; y < h; ++y) {
        const uint8_t* m = was + size_t(y) * w;
        // The columns that close a short gap on this row, marked without a branch per pixel.
        uint8_t* close = s.close.data();
        for (int x = 0; x < w; ++x) {
            const int gap = y - last_row[x] - 1;
            close[x] = uint8_t(int(m[x]) & int(last_row[x] >= 0) & int(gap >= 1) & int(gap <= max_px));
        }
        for (int x = 0; x < w;) {
            const auto* c = static_cast<const uint8_t*>(std::memchr(close + x, 1, size_t(w - x)));
            if (!c) break;
            x = int(c - close);
            filled += fill_run(dist + x, flags ? flags + x : nullptr, w, last_row[x], y);
            ++x;
        }
        for (int x = 0; x < w; ++x) last_row[x] = m[x] ? y : last_row[x];
    }
    return filled;
}

}  // extern "C"
