// AVX2 kernels of the frame decode, eight pixels per step. Every lane performs the scalar code's
// single-precision operations in the same order (IEEE vector arithmetic rounds exactly like
// scalar), so the results are the same bits; blocks the vector code cannot take whole (row
// tails, pixels outside the hysteresis map or the calibration tables) go to the scalar code.
#include "driver/decode.hpp"

#if VX_DECODE_AVX2

#include <immintrin.h>

#include <algorithm>
#include <cstring>

#include <vexel/chip.h>

namespace vx::epc::avx2 {

namespace {

// floor(x / 30000) for any 32-bit x is floor(floor(x / 16) / 1875); the second division is a
// multiplication by this constant and a shift of 39, exact for every numerator below 2^28.
constexpr uint64_t kDiv1875 = ((uint64_t{1} << 39) + 1874) / 1875;
static_assert(kDiv1875 * 1875 - (uint64_t{1} << 39) < (uint64_t{1} << 11), "error term must stay below 2^11");

}  // namespace

#pragma GCC push_options
#pragma GCC target("avx2")

namespace {

using I = __m256i;
using F = __m256;

inline I set1(int v) { return _mm256_set1_epi32(v); }
inline F set1f(float v) { return _mm256_set1_ps(v); }
inline I zero() { return _mm256_setzero_si256(); }
inline I ones() { return _mm256_set1_epi32(-1); }
inline I sel(I m, I yes, I no) { return _mm256_blendv_epi8(no, yes, m); }
inline F self(I m, F yes, F no) { return _mm256_blendv_ps(no, yes, _mm256_castsi256_ps(m)); }
template <int kPred> inline I cmp(F a, F b) { return _mm256_castps_si256(_mm256_cmp_ps(a, b, kPred)); }
inline I lor(I a, I b) { return _mm256_or_si256(a, b); }
inline I land(I a, I b) { return _mm256_and_si256(a, b); }
inline I landnot(I notme, I b) { return _mm256_andnot_si256(notme, b); }
inline F tof(I v) { return _mm256_cvtepi32_ps(v); }

// Eight consecutive samples from sample index idx, widened.
inline I load8(const uint8_t* src, int64_t idx) {
    return _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 2 * idx)));
}
inline I load8u16(const uint16_t* p) {
    return _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}
inline void store8u16(void* dst, I v) {
    const __m128i w = _mm_packus_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    _mm_storeu_si128(static_cast<__m128i*>(dst), w);
}

struct Block {
    I bad;  // a sample at 0 or 4095
    I x, y, s;
};

inline Block samples(const RawView& raw, int64_t r) {
    const I m = set1(0xFFF), lo = zero(), hi = set1(4095);
    const I d0 = land(load8(raw.src, r), m), d1 = land(load8(raw.src, raw.plane + r), m);
    const I d2 = land(load8(raw.src, 2 * raw.plane + r), m), d3 = land(load8(raw.src, 3 * raw.plane + r), m);
    I bad = lor(_mm256_cmpeq_epi32(d0, lo), _mm256_cmpeq_epi32(d0, hi));
    bad = lor(bad, lor(_mm256_cmpeq_epi32(d1, lo), _mm256_cmpeq_epi32(d1, hi)));
    bad = lor(bad, lor(_mm256_cmpeq_epi32(d2, lo), _mm256_cmpeq_epi32(d2, hi)));
    bad = lor(bad, lor(_mm256_cmpeq_epi32(d3, lo), _mm256_cmpeq_epi32(d3, hi)));
    const I x = _mm256_sub_epi32(d3, d1), y = _mm256_sub_epi32(d2, d0);
    const I s = _mm256_add_epi32(_mm256_mullo_epi32(x, x), _mm256_mullo_epi32(y, y));
    return {bad, x, y, s};
}

// Hysteresis of eight raw pixels from r, all inside the map: stores the new states of pixels
// with valid samples and returns the lanes it rejects.
inline I hysteresis(const PixelSetup& ps, const Block& b, int64_t r) {
    const I s4 = _mm256_srli_epi32(b.s, 2);
    const I up = set1(static_cast<int>(ps.upper)), lo = set1(static_cast<int>(ps.lower));
    const I ge_up = _mm256_cmpeq_epi32(_mm256_max_epu32(s4, up), s4);
    const I lt_lo = landnot(_mm256_cmpeq_epi32(_mm256_max_epu32(s4, lo), s4), ones());
    uint8_t* map = ps.hyst + r;
    const I old = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(map)));
    I st = sel(ge_up, set1(1), sel(lt_lo, zero(), old));
    st = sel(b.bad, old, st);
    const __m128i w = _mm_packus_epi32(_mm256_castsi256_si128(st), _mm256_extracti128_si256(st, 1));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(map), _mm_packus_epi16(w, w));
    return _mm256_cmpeq_epi32(st, zero());
}

// (atan2_lut(x, y) + 15000) mod 30000, with the table lookup as a gather.
inline I phase_code(const uint32_t* atan, I x, I y) {
    const I z = _mm256_cmpeq_epi32(x, zero());
    const I zval = land(_mm256_cmpgt_epi32(zero(), y), set1(15000));
    const I neg = _mm256_cmpgt_epi32(zero(), x);
    const I ay = _mm256_abs_epi32(x);
    const I ax = _mm256_sign_epi32(y, x);
    I base = land(neg, set1(15000));
    const I rot = _mm256_cmpgt_epi32(set1(1), ax);  // ax <= 0
    base = _mm256_add_epi32(base, land(rot, set1(7500)));
    const I nx = sel(rot, ay, ax);
    const I ny = sel(rot, _mm256_sub_epi32(zero(), ax), ay);
    const I oct = landnot(_mm256_cmpgt_epi32(nx, ny), ones());  // ny >= nx
    base = _mm256_add_epi32(base, land(oct, set1(3750)));
    const I ny2 = sel(oct, _mm256_sub_epi32(ny, nx), ny);
    const I nx2 = _mm256_max_epi32(sel(oct, _mm256_add_epi32(nx, ny), nx), set1(1));
    // ny2 * 4096 / nx2: the numerator is exact in single precision and the rounded quotient is
    // off by at most one, which the remainder corrects.
    const I num = _mm256_slli_epi32(ny2, 12);
    I q = _mm256_cvttps_epi32(_mm256_div_ps(tof(num), tof(nx2)));
    const I rem = _mm256_sub_epi32(num, _mm256_mullo_epi32(q, nx2));
    q = _mm256_add_epi32(q, _mm256_cmpgt_epi32(zero(), rem));
    q = _mm256_sub_epi32(q, _mm256_cmpgt_epi32(rem, _mm256_sub_epi32(nx2, set1(1))));
    q = _mm256_min_epi32(_mm256_max_epi32(q, zero()), set1(VX_CHIP_ATAN_ENTRIES - 1));
    I at = _mm256_add_epi32(base, _mm256_i32gather_epi32(reinterpret_cast<const int*>(atan), q, 4));
    at = sel(z, zval, at);
    I p = _mm256_add_epi32(at, set1(15000));
    for (int k = 0; k < 3; ++k) p = _mm256_sub_epi32(p, land(_mm256_cmpgt_epi32(p, set1(29999)), set1(30000)));
    return p;
}

struct PhaseV {
    I code;   // phase code
    F m;      // metres
    I hweak;  // rejected by the hysteresis
    I near;   // weak and closer than 1 m
    I inv;    // invalid past the samples
};

// Steps 4 to 9 for eight pixels at raw index r and image index q.
inline PhaseV phase(const PixelSetup& ps, const Block& b, int64_t r, int64_t q) {
    const I hweak = hysteresis(ps, b, r);
    const I p = phase_code(ps.atan, b.x, b.y);
    F P = _mm256_sub_ps(tof(p), set1f(ps.tc));
    I inv = ps.dist_ok ? zero() : ones();
    if (!ps.drnu) {
        P = _mm256_add_ps(P, set1f(ps.offset));
    } else if (!ps.calib_ok) {
        inv = ones();
    } else {
        const F M = tof(load8u16(ps.vmax + q)), N = tof(load8u16(ps.vmin + q));
        inv = lor(inv, lor(cmp<_CMP_GE_OQ>(P, M), cmp<_CMP_EQ_OQ>(M, N)));
        const F t = _mm256_div_ps(_mm256_mul_ps(_mm256_sub_ps(P, N), set1f(static_cast<float>(ps.nd))),
                                  _mm256_sub_ps(M, N));
        I k = _mm256_max_epi32(_mm256_cvttps_epi32(t), zero());
        const I kmax = set1(ps.nd - 2);
        const I last = _mm256_cmpgt_epi32(k, kmax);
        k = _mm256_min_epi32(k, kmax);
        const I qv = _mm256_add_epi32(set1(static_cast<int>(q)), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
        const I idx = _mm256_add_epi32(_mm256_mullo_epi32(qv, set1(ps.nd)), k);
        // Entries k and k + 1 of a pixel's table in one 32-bit read.
        const I pair = _mm256_i32gather_epi32(reinterpret_cast<const int*>(ps.table), idx, 2);
        const F l0 = tof(land(pair, set1(0xFFFF))), l1 = tof(_mm256_srli_epi32(pair, 16));
        inv = lor(inv, lor(land(last, cmp<_CMP_GT_OQ>(P, l1)), cmp<_CMP_EQ_OQ>(l0, l1)));
        const F sp = set1f(ps.sp);
        P = _mm256_add_ps(_mm256_div_ps(_mm256_mul_ps(_mm256_sub_ps(P, l0), sp), _mm256_sub_ps(l1, l0)),
                          _mm256_mul_ps(sp, tof(k)));
        P = _mm256_add_ps(P, set1f(ps.offset));
    }
    const F period = set1f(30000.0f);
    P = self(cmp<_CMP_LT_OQ>(P, _mm256_setzero_ps()), _mm256_add_ps(P, period), P);
    P = self(cmp<_CMP_GT_OQ>(P, period), _mm256_sub_ps(P, period), P);
    const F m = _mm256_div_ps(_mm256_mul_ps(P, set1f(ps.range)), period);
    const I strong = _mm256_cmpgt_epi32(b.s, set1(9999));
    const I far = land(_mm256_cmpgt_epi32(b.s, set1(89999)), cmp<_CMP_GT_OQ>(m, set1f(ps.range - 1.0f)));
    inv = lor(inv, land(strong, far));
    const I near = landnot(strong, cmp<_CMP_LT_OQ>(m, set1f(1.0f)));
    return {land(_mm256_cvttps_epi32(P), set1(0xFFFF)), m, hweak, near, inv};
}

// Codes in the order the scalar steps decide them: bad samples, hysteresis, invalid, weak.
inline I phase_result(const Block& b, const PhaseV& v) {
    I res = sel(v.near, set1(kWeak), v.code);
    res = sel(v.inv, set1(kInvalid), res);
    res = sel(v.hweak, set1(kWeak), res);
    return sel(b.bad, set1(kInvalid), res);
}

// Phase code to millimetres for eight codes.
inline I to_mm8(I v, I u) {
    const I y = _mm256_srli_epi32(_mm256_mullo_epi32(v, u), 4);
    const I mg = _mm256_set1_epi64x(static_cast<long long>(kDiv1875));
    const I even = _mm256_srli_epi64(_mm256_mul_epu32(y, mg), 39);
    const I odd = _mm256_srli_epi64(_mm256_mul_epu32(_mm256_srli_epi64(y, 32), mg), 39);
    const I q = lor(even, _mm256_slli_epi64(odd, 32));
    return sel(_mm256_cmpgt_epi32(v, set1(59999)), v, q);
}

void to_mm_row(uint16_t* v, int n, uint16_t u) {
    const I uv = set1(u);
    int j = 0;
    for (; j + 8 <= n; j += 8) store8u16(v + j, to_mm8(load8u16(v + j), uv));
    for (; j < n; ++j) v[j] = to_mm(v[j], u);
}

// A vector block needs all eight raw pixels inside the planes and the hysteresis map, and with
// pixel calibration all eight image pixels inside the tables.
inline bool block_ok(const PixelSetup& ps, const RawView& raw, int64_t r, int64_t q, bool phase_mode) {
    if (r + 8 > raw.plane) return false;
    if (!phase_mode) return true;
    return r + 8 <= ps.hyst_len && (!ps.drnu || q + 8 <= VX_CHIP_PIXELS);
}

template <Mode kMode>
void rows(const PixelSetup& ps, const RawView& raw, void* dst, int y0, int y1) {
    constexpr bool kPhaseMode = kMode == Mode::kPhase || kMode == Mode::kMetres;
    auto* out = static_cast<uint8_t*>(dst);
    for (int y = y0; y < y1; ++y) {
        const int i = raw_row_of(y, raw.rows);
        int j = 0;
        for (; i >= 0 && j + 8 <= raw.cols; j += 8) {
            const int64_t r = int64_t{i} * raw.cols + j, q = int64_t{y} * raw.cols + j;
            if (!block_ok(ps, raw, r, q, kPhaseMode)) break;
            const Block b = samples(raw, r);
            if constexpr (kMode == Mode::kAmp || kMode == Mode::kAmpF) {
                const I amp = _mm256_cvttps_epi32(_mm256_mul_ps(_mm256_sqrt_ps(tof(b.s)), set1f(0.5f)));
                if constexpr (kMode == Mode::kAmp)
                    store8u16(out + 2 * q, sel(b.bad, set1(kInvalid), amp));
                else
                    _mm256_storeu_ps(reinterpret_cast<float*>(out + 4 * q), self(b.bad, set1f(kInvalidF), tof(amp)));
            } else if constexpr (kMode == Mode::kSquares) {
                store8u16(out + 2 * q, sel(b.bad, set1(kInvalid), _mm256_min_epi32(b.s, set1(50000))));
            } else {
                const PhaseV v = phase(ps, b, r, q);
                if constexpr (kMode == Mode::kPhase) {
                    store8u16(out + 2 * q, phase_result(b, v));
                } else {
                    F res = self(v.near, set1f(kWeakF), v.m);
                    res = self(v.inv, set1f(kInvalidF), res);
                    res = self(v.hweak, set1f(kWeakF), res);
                    res = self(b.bad, set1f(kInvalidF), res);
                    _mm256_storeu_ps(reinterpret_cast<float*>(out + 4 * q), res);
                }
            }
        }
        pixel_cols_scalar(kMode, ps, raw, dst, y, j, raw.cols);
    }
}

}  // namespace

void pixel_rows(Mode mode, const PixelSetup& ps, const RawView& raw, void* dst, int y0, int y1) {
    switch (mode) {
        case Mode::kPhase: return rows<Mode::kPhase>(ps, raw, dst, y0, y1);
        case Mode::kAmp: return rows<Mode::kAmp>(ps, raw, dst, y0, y1);
        case Mode::kMetres: return rows<Mode::kMetres>(ps, raw, dst, y0, y1);
        case Mode::kAmpF: return rows<Mode::kAmpF>(ps, raw, dst, y0, y1);
        case Mode::kSquares: return rows<Mode::kSquares>(ps, raw, dst, y0, y1);
    }
}

void merge_pair(uint16_t* a0, uint16_t* a1, uint16_t* h0, uint16_t* h1, int n) {
    const __m256i lim = _mm256_set1_epi16(static_cast<short>(60001));
    int j = 0;
    for (; j + 16 <= n; j += 16) {
        const __m256i x0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a0 + j));
        const __m256i x1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a1 + j));
        const __m256i inv0 = _mm256_cmpeq_epi16(_mm256_max_epu16(x0, lim), x0);
        const __m256i inv1 = _mm256_cmpeq_epi16(_mm256_max_epu16(x1, lim), x1);
        const __m256i ge = _mm256_cmpeq_epi16(_mm256_max_epu16(x1, x0), x1);
        const __m256i second = lor(inv0, landnot(inv1, ge));
        const __m256i a = _mm256_blendv_epi8(x0, x1, second);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(a0 + j), a);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(a1 + j), a);
        if (h0) {
            const __m256i y0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(h0 + j));
            const __m256i y1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(h1 + j));
            const __m256i hv = _mm256_blendv_epi8(y0, y1, second);
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(h0 + j), hv);
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(h1 + j), hv);
        }
    }
    for (; j < n; ++j) {
        const bool second = hdr_take_second(a0[j], a1[j]);
        (second ? a0 : a1)[j] = (second ? a1 : a0)[j];
        if (h0) (second ? h0 : h1)[j] = (second ? h1 : h0)[j];
    }
}

void distance_image(const PixelSetup& ps, const RawView& raw, uint16_t* amp, uint16_t* mm, bool hdr, uint16_t u_mm) {
    const int w = raw.cols;
    const I uv = set1(u_mm);
    for (int y = 0; y < raw.rows; ++y) {
        uint16_t* a = amp + size_t(y) * w;
        uint16_t* d = mm + size_t(y) * w;
        const int i = raw_row_of(y, raw.rows);
        int j = 0;
        for (; i >= 0 && j + 8 <= w; j += 8) {
            const int64_t r = int64_t{i} * w + j, q = int64_t{y} * w + j;
            if (!block_ok(ps, raw, r, q, true)) break;
            const Block b = samples(raw, r);
            const I code = phase_result(b, phase(ps, b, r, q));
            store8u16(a + j, sel(b.bad, set1(kInvalid), _mm256_min_epi32(b.s, set1(50000))));
            store8u16(d + j, hdr ? code : to_mm8(code, uv));
        }
        distance_cols_scalar(ps, raw, y, j, w, a, d);
        if (!hdr) {
            for (int k = j; k < w; ++k) d[k] = to_mm(d[k], u_mm);
        } else if (y % 2 == 1) {
            merge_pair(a - w, a, d - w, d, w);
            to_mm_row(d - w, 2 * w, u_mm);
        } else if (y == raw.rows - 1) {
            to_mm_row(d, w, u_mm);
        }
    }
}

void plausibility(const uint16_t* in, const uint16_t* amp, uint16_t* out, size_t n, uint16_t v, uint16_t t) {
    const __m256i vv = _mm256_set1_epi16(static_cast<short>(v)), tv = _mm256_set1_epi16(static_cast<short>(t));
    const __m256i k100 = _mm256_set1_epi16(100), k9999 = _mm256_set1_epi16(9999);
    const __m256i weak = _mm256_set1_epi16(static_cast<short>(kWeak));
    size_t k = 0;
    for (; k + 16 <= n; k += 16) {
        const __m256i d = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + k));
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(amp + k));
        const __m256i far = _mm256_cmpeq_epi16(_mm256_max_epu16(d, vv), d);
        const __m256i close = _mm256_cmpeq_epi16(_mm256_min_epu16(d, k100), d);
        const __m256i dim = _mm256_cmpeq_epi16(_mm256_min_epu16(a, k9999), a);
        const __m256i below = landnot(_mm256_cmpeq_epi16(_mm256_max_epu16(d, tv), d), dim);
        const __m256i bad = lor(lor(far, close), below);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + k), _mm256_blendv_epi8(d, weak, bad));
    }
    for (; k < n; ++k) {
        const uint16_t d = in[k];
        out[k] = (d >= v || d <= 100 || (amp[k] <= 9999 && d < t)) ? kWeak : d;
    }
}

SampleCounts count_samples(const uint8_t* src, size_t n) {
    // With l = v - 2 (16-bit): low is l <= 509, bad is l > 4092; high is v - 3585 <= 509.
    const __m256i two = _mm256_set1_epi16(2), k3585 = _mm256_set1_epi16(3585);
    const __m256i k509 = _mm256_set1_epi16(509), k4092 = _mm256_set1_epi16(4092);
    SampleCounts c;
    size_t k = 0;
    auto sum16 = [](__m256i acc) {
        const __m256i lo = _mm256_cvtepu16_epi32(_mm256_castsi256_si128(acc));
        const __m256i hi = _mm256_cvtepu16_epi32(_mm256_extracti128_si256(acc, 1));
        const __m256i s = _mm256_add_epi32(lo, hi);
        alignas(32) uint32_t v[8];
        _mm256_store_si256(reinterpret_cast<__m256i*>(v), s);
        uint64_t t = 0;
        for (uint32_t x : v) t += x;
        return t;
    };
    while (k + 16 <= n) {
        // Lane counters take at most 65535 hits.
        const size_t end = std::min(n, k + size_t{16} * 65535);
        __m256i ok = zero(), low = zero(), high = zero();
        const size_t start = k;
        for (; k + 16 <= end; k += 16) {
            const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + 2 * k));
            const __m256i l = _mm256_sub_epi16(v, two), h = _mm256_sub_epi16(v, k3585);
            ok = _mm256_sub_epi16(ok, _mm256_cmpeq_epi16(_mm256_min_epu16(l, k4092), l));
            low = _mm256_sub_epi16(low, _mm256_cmpeq_epi16(_mm256_min_epu16(l, k509), l));
            high = _mm256_sub_epi16(high, _mm256_cmpeq_epi16(_mm256_min_epu16(h, k509), h));
        }
        c.bad += (k - start) - sum16(ok);
        c.low += sum16(low);
        c.high += sum16(high);
    }
    for (; k < n; ++k) {
        const uint16_t v = static_cast<uint16_t>(src[2 * k] | (src[2 * k + 1] << 8));
        c.bad += v <= 1 || v >= 4095;
        c.low += v >= 2 && v <= 511;
        c.high += v >= 3585 && v <= 4094;
    }
    return c;
}

#pragma GCC pop_options

}  // namespace vx::epc::avx2

#endif
