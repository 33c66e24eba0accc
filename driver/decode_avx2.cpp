// AVX2 kernels of the frame decode, sixteen pixels per step. Every lane performs the scalar
// code's single-precision operations in the same order (IEEE vector arithmetic rounds exactly
// like scalar), so the results are the same bits; blocks the vector code cannot take whole (row
// tails, pixels outside the hysteresis map or the calibration tables) go to the scalar code.
//
// Layout: samples, validity and the octant reduction of the phase run on 16-bit lanes in pixel
// order. 32-bit work runs on two halves made by unpacking, so half 0 holds pixels 0-3 and 8-11
// and half 1 pixels 4-7 and 12-15; packing the halves back restores pixel order.
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

// The helpers pass vectors and structs of vectors; out of line they would go through memory and
// serialise the blocks, hence always_inline throughout.
[[gnu::always_inline]] inline I set32(int v) { return _mm256_set1_epi32(v); }
[[gnu::always_inline]] inline I set16(int v) { return _mm256_set1_epi16(static_cast<short>(v)); }
[[gnu::always_inline]] inline F setf(float v) { return _mm256_set1_ps(v); }
[[gnu::always_inline]] inline I zero() { return _mm256_setzero_si256(); }
[[gnu::always_inline]] inline I sel(I m, I yes, I no) { return _mm256_blendv_epi8(no, yes, m); }
[[gnu::always_inline]] inline F self(I m, F yes, F no) { return _mm256_blendv_ps(no, yes, _mm256_castsi256_ps(m)); }
template <int kPred>
[[gnu::always_inline]] inline I cmp(F a, F b) {
    return _mm256_castps_si256(_mm256_cmp_ps(a, b, kPred));
}
[[gnu::always_inline]] inline I lor(I a, I b) { return _mm256_or_si256(a, b); }
[[gnu::always_inline]] inline I land(I a, I b) { return _mm256_and_si256(a, b); }
[[gnu::always_inline]] inline I landnot(I notme, I b) { return _mm256_andnot_si256(notme, b); }
[[gnu::always_inline]] inline F tof(I v) { return _mm256_cvtepi32_ps(v); }
[[gnu::always_inline]] inline I load(const void* p) { return _mm256_loadu_si256(static_cast<const __m256i*>(p)); }
[[gnu::always_inline]] inline void store(void* p, I v) { _mm256_storeu_si256(static_cast<__m256i*>(p), v); }

// 16-bit lanes to the two 32-bit halves: zero-extended, or sign-extended (also for masks).
[[gnu::always_inline]] inline I ulo(I v) { return _mm256_unpacklo_epi16(v, zero()); }
[[gnu::always_inline]] inline I uhi(I v) { return _mm256_unpackhi_epi16(v, zero()); }
[[gnu::always_inline]] inline I slo(I v) { return _mm256_unpacklo_epi16(v, _mm256_srai_epi16(v, 15)); }
[[gnu::always_inline]] inline I shi(I v) { return _mm256_unpackhi_epi16(v, _mm256_srai_epi16(v, 15)); }
// Halves back to 16-bit lanes in pixel order: values 0..65535, or masks.
[[gnu::always_inline]] inline I pack_u(I lo, I hi) { return _mm256_packus_epi32(lo, hi); }
[[gnu::always_inline]] inline I pack_m(I lo, I hi) { return _mm256_packs_epi32(lo, hi); }
// Two float halves to pixel order, eight floats each.
[[gnu::always_inline]] inline void store_f(void* p, F lo, F hi) {
    auto* f = static_cast<float*>(p);
    _mm256_storeu_ps(f, _mm256_permute2f128_ps(lo, hi, 0x20));
    _mm256_storeu_ps(f + 8, _mm256_permute2f128_ps(lo, hi, 0x31));
}

// Unsigned 16-bit a >= b.
[[gnu::always_inline]] inline I ge_u16(I a, I b) { return _mm256_cmpeq_epi16(_mm256_max_epu16(a, b), a); }

struct Block {
    I bad;   // 16-bit: a sample at 0 or 4095
    I x, y;  // 16-bit: d3 - d1, d2 - d0
    I s[2];  // 32-bit halves: x^2 + y^2
};

[[gnu::always_inline]] inline Block samples(const RawView& raw, int64_t r) {
    const I m12 = set16(0xFFF), one = set16(1);
    I d[4], t = set16(0x7FFF);
#pragma GCC unroll 4
    for (int k = 0; k < 4; ++k) {
        d[k] = land(load(raw.src + 2 * (k * raw.plane + r)), m12);
        // 0 and 4095 are the samples whose successor, in 12 bits, is below 2.
        t = _mm256_min_epi16(t, land(_mm256_add_epi16(d[k], one), m12));
    }
    Block b;
    b.bad = _mm256_cmpgt_epi16(set16(2), t);
    b.x = _mm256_sub_epi16(d[3], d[1]);
    b.y = _mm256_sub_epi16(d[2], d[0]);
    const I lo = _mm256_unpacklo_epi16(b.x, b.y), hi = _mm256_unpackhi_epi16(b.x, b.y);
    b.s[0] = _mm256_madd_epi16(lo, lo);
    b.s[1] = _mm256_madd_epi16(hi, hi);
    return b;
}

// Hysteresis of sixteen raw pixels from r, all inside the map: stores the new states of pixels
// with valid samples; returns the lanes (16-bit) it rejects. S / 4 >= t is S >= 4t, and with
// S below 2^26 the scaled thresholds clamp to the signed range without changing a decision.
[[gnu::always_inline]] inline I hysteresis(const I& up4, const I& lo4, uint8_t* map, const Block& b) {
    const I below_up = pack_m(_mm256_cmpgt_epi32(up4, b.s[0]), _mm256_cmpgt_epi32(up4, b.s[1]));
    const I below_lo = pack_m(_mm256_cmpgt_epi32(lo4, b.s[0]), _mm256_cmpgt_epi32(lo4, b.s[1]));
    const I old = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(map)));
    // At or above the upper threshold 1, below the lower one 0, else the old state.
    I st = lor(landnot(below_up, set16(1)), land(below_up, landnot(below_lo, old)));
    st = sel(b.bad, old, st);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(map),
                     _mm_packus_epi16(_mm256_castsi256_si128(st), _mm256_extracti128_si256(st, 1)));
    return _mm256_cmpeq_epi16(st, zero());
}

[[gnu::always_inline]] inline I scaled_threshold(uint32_t t) {
    return set32(static_cast<int>(std::min<uint64_t>(uint64_t{t} * 4, INT32_MAX)));
}

// (atan2_lut(x, y) + 15000) mod 30000 in both halves: the octant reduction on 16-bit lanes, the
// table index by an exact division, the octant's phase by a gather.
[[gnu::always_inline]] inline void phase_codes(const uint32_t* octant, const Block& b, I (&p)[2]) {
    const I x = b.x, y = b.y;
    const I z = _mm256_cmpeq_epi16(x, zero());
    const I ay = _mm256_abs_epi16(x);
    const I ax = _mm256_sign_epi16(y, x);
    const I rot = _mm256_cmpgt_epi16(set16(1), ax);  // ax <= 0
    const I nx = sel(rot, ay, ax);
    const I ny = sel(rot, _mm256_sub_epi16(zero(), ax), ay);
    const I oct = _mm256_xor_si256(_mm256_cmpgt_epi16(nx, ny), set16(-1));  // ny >= nx
    // Octant o = 4 * (x < 0) + 2 * rot + oct; a zero x has entries of its own.
    I base = lor(lor(land(_mm256_cmpgt_epi16(zero(), x), set16(4 * 4096)), land(rot, set16(2 * 4096))),
                 land(oct, set16(4096)));
    base = sel(z, _mm256_sub_epi16(set16(kOctantZero), _mm256_cmpgt_epi16(zero(), y)), base);
    // Here 0 <= ny2 < nx2 unless x is 0, whose quotient 0 / 1 leaves the zero entries' index.
    const I ny2 = sel(oct, _mm256_sub_epi16(ny, nx), ny);
    const I nx2 = _mm256_max_epi16(sel(oct, _mm256_add_epi16(nx, ny), nx), set16(1));
    const I halves_ny[2] = {ulo(ny2), uhi(ny2)}, halves_nx[2] = {ulo(nx2), uhi(nx2)};
    const I halves_base[2] = {ulo(base), uhi(base)};
#pragma GCC unroll 2
    for (int h = 0; h < 2; ++h) {
        // ny2 * 4096 / nx2: the numerator is exact in single precision; the quotient (below 4096)
        // from the approximate reciprocal after one Newton step is off by at most one, which the
        // remainder corrects.
        const I num = _mm256_slli_epi32(halves_ny[h], 12), den = halves_nx[h];
        const F df = tof(den), r0 = _mm256_rcp_ps(df);
        const F r = _mm256_mul_ps(r0, _mm256_sub_ps(setf(2.0f), _mm256_mul_ps(df, r0)));
        I q = _mm256_cvttps_epi32(_mm256_mul_ps(tof(num), r));
        const I rem = _mm256_sub_epi32(num, _mm256_mullo_epi32(q, den));
        q = _mm256_add_epi32(q, _mm256_cmpgt_epi32(zero(), rem));
        q = _mm256_sub_epi32(q, _mm256_cmpgt_epi32(rem, _mm256_sub_epi32(den, set32(1))));
        p[h] = _mm256_i32gather_epi32(reinterpret_cast<const int*>(octant), _mm256_add_epi32(halves_base[h], q), 4);
    }
}


struct Phase {
    I code;       // 16-bit phase codes
    F m[2];       // metres (only with kMetres)
    I hweak;      // 16-bit: rejected by the hysteresis
    I inv, near;  // 16-bit: invalid past the samples; weak and closer than 1 m
};

// Per-call vectors of the phase step.
struct Consts {
    I up4, lo4;
    I lane[2];     // each lane's pixel, relative to the block's first pixel
    I lane_nd[2];  // first table entry of each lane's pixel, relative to the block's first pixel
    I inv_all;  // every pixel reaching the phase step is invalid: no modulation frequency, or
                // pixel calibration with too few distances
    explicit Consts(const PixelSetup& ps)
        : up4(scaled_threshold(ps.upper)), lo4(scaled_threshold(ps.lower)),
          inv_all((!ps.dist_ok || (ps.drnu && !ps.calib_ok)) ? set32(-1) : zero()) {
        const I nd = set32(ps.nd);
        lane[0] = _mm256_setr_epi32(0, 1, 2, 3, 8, 9, 10, 11);
        lane[1] = _mm256_setr_epi32(4, 5, 6, 7, 12, 13, 14, 15);
        lane_nd[0] = _mm256_mullo_epi32(lane[0], nd);
        lane_nd[1] = _mm256_mullo_epi32(lane[1], nd);
    }
};

// First half of the phase step for sixteen pixels at raw index r: hysteresis and phase codes,
// both free of the float work that follows, so that the distance path can take a row's fronts
// first and their gathers overlap.
struct Front {
    I p[2];  // (atan2_lut(x, y) + 15000) mod 30000, 32-bit halves
    I s[2];  // x^2 + y^2
    I bad, hweak;
};

[[gnu::always_inline]] inline Front front(const PixelSetup& ps, const Consts& c, const Block& b, int64_t r) {
    Front f;
    f.hweak = hysteresis(c.up4, c.lo4, ps.hyst + r, b);
    phase_codes(ps.octant_phase, b, f.p);
    f.s[0] = b.s[0];
    f.s[1] = b.s[1];
    f.bad = b.bad;
    return f;
}

// Phase to distance with its checks for sixteen pixels at image index q; kDrnu: pixel
// calibration with usable tables.
template <bool kDrnu, bool kMetres>
[[gnu::always_inline]] inline Phase back(const PixelSetup& ps, const Consts& c, const Front& f, int64_t q) {
    Phase out;
    out.hweak = f.hweak;
    const I(&p)[2] = f.p;
    I M16 = zero(), N16 = zero();
    if constexpr (kDrnu) {
        M16 = load(ps.vmax + q);
        N16 = load(ps.vmin + q);
    }
    if (kDrnu && !ps.pairs) {
        // Each pixel's table sits in a cache line of its own: fetch the lines a few blocks ahead.
        constexpr int64_t kAhead = 64;
        const auto* table = reinterpret_cast<const char*>(ps.table);
        const int64_t from = (q + kAhead) * ps.nd * 2;
        const int64_t to = std::min((q + kAhead + 16) * ps.nd * 2, int64_t{VX_CHIP_PIXELS} * ps.nd * 2);
        for (int64_t o = from; o < to; o += 64) _mm_prefetch(table + o, _MM_HINT_T0);
    }
    I inv[2], near[2], code[2];
    const F period = setf(30000.0f);
#pragma GCC unroll 2
    for (int h = 0; h < 2; ++h) {
        F P = _mm256_sub_ps(tof(p[h]), setf(ps.tc));
        inv[h] = c.inv_all;
        if constexpr (!kDrnu) {
            P = _mm256_add_ps(P, setf(ps.offset));
        } else {
            const F M = tof(h ? uhi(M16) : ulo(M16)), N = tof(h ? uhi(N16) : ulo(N16));
            inv[h] = lor(inv[h], lor(cmp<_CMP_GE_OQ>(P, M), cmp<_CMP_EQ_OQ>(M, N)));
            // Only the quotient's integer part is used: from the reciprocal (one Newton step,
            // relative error about 2^-21) unless a lane lies so close to an integer that the
            // rounded division could fall on the other side, then from the division.
            const F a = _mm256_mul_ps(_mm256_sub_ps(P, N), setf(static_cast<float>(ps.nd))), d = _mm256_sub_ps(M, N);
            const F r0 = _mm256_rcp_ps(d);
            F t = _mm256_mul_ps(a, _mm256_mul_ps(r0, _mm256_sub_ps(setf(2.0f), _mm256_mul_ps(d, r0))));
            const F absm = _mm256_castsi256_ps(set32(0x7FFFFFFF));
            const F off = _mm256_and_ps(_mm256_sub_ps(t, _mm256_round_ps(t, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC)),
                                        absm);
            if (!_mm256_testz_si256(cmp<_CMP_NGT_UQ>(off, _mm256_mul_ps(_mm256_and_ps(t, absm), setf(1.0f / 262144))),
                                    set32(-1)))
                t = _mm256_div_ps(a, d);
            I k = _mm256_max_epi32(_mm256_cvttps_epi32(t), zero());
            const I kmax = set32(ps.nd - 2);
            const I last = _mm256_cmpgt_epi32(k, kmax);
            k = _mm256_min_epi32(k, kmax);
            // Entries k and k + 1 of a pixel's table in one 32-bit read.
            I pair;
            I up = zero();
            int k0 = 0;
            if (ps.pairs) {
                I m = _mm256_min_epi32(k, _mm256_permute2x128_si256(k, k, 1));
                m = _mm256_min_epi32(m, _mm256_shuffle_epi32(m, 0x4E));
                m = _mm256_min_epi32(m, _mm256_shuffle_epi32(m, 0xB1));
                k0 = _mm256_cvtsi256_si32(m);
                up = _mm256_sub_epi32(k, m);
            }
            if (ps.pairs && _mm256_testz_si256(_mm256_cmpgt_epi32(up, set32(1)), set32(-1))) {
                // Neighbouring pixels mostly lie in the same interval or the next: one plane's
                // row and, for the lanes one interval up, the next plane's, instead of a gather.
                // The lanes hold pixels 0-3 and 8-11, or 4-7 and 12-15, of the block.
                const uint32_t* row = ps.pairs + k0 * kPairPlane + q;
                const auto lanes = [h](const uint32_t* at) {
                    const I lo = load(at), hi = load(at + 8);
                    return h ? _mm256_permute2x128_si256(lo, hi, 0x31) : _mm256_permute2x128_si256(lo, hi, 0x20);
                };
                pair = lanes(row);
                const I next = _mm256_cmpeq_epi32(up, set32(1));
                if (!_mm256_testz_si256(next, next)) pair = sel(next, lanes(row + kPairPlane), pair);
            } else if (ps.pairs) {
                const I idx = _mm256_add_epi32(_mm256_mullo_epi32(k, set32(static_cast<int>(kPairPlane))),
                                               _mm256_add_epi32(set32(static_cast<int>(q)), c.lane[h]));
                pair = _mm256_i32gather_epi32(reinterpret_cast<const int*>(ps.pairs), idx, 4);
            } else {
                const I idx =
                    _mm256_add_epi32(_mm256_add_epi32(set32(static_cast<int>(q * ps.nd)), c.lane_nd[h]), k);
                pair = _mm256_i32gather_epi32(reinterpret_cast<const int*>(ps.table), idx, 2);
            }
            const F l0 = tof(land(pair, set32(0xFFFF))), l1 = tof(_mm256_srli_epi32(pair, 16));
            inv[h] = lor(inv[h], lor(land(last, cmp<_CMP_GT_OQ>(P, l1)), cmp<_CMP_EQ_OQ>(l0, l1)));
            const F sp = setf(ps.sp);
            P = _mm256_add_ps(_mm256_div_ps(_mm256_mul_ps(_mm256_sub_ps(P, l0), sp), _mm256_sub_ps(l1, l0)),
                              _mm256_mul_ps(sp, tof(k)));
            P = _mm256_add_ps(P, setf(ps.offset));
        }
        P = self(cmp<_CMP_LT_OQ>(P, _mm256_setzero_ps()), _mm256_add_ps(P, period), P);
        P = self(cmp<_CMP_GT_OQ>(P, period), _mm256_sub_ps(P, period), P);
        // Still outside one period, or NaN: no distance (as the scalar code decides).
        inv[h] = lor(inv[h], lor(cmp<_CMP_NGE_UQ>(P, _mm256_setzero_ps()), cmp<_CMP_NLE_UQ>(P, period)));
        const I strong = _mm256_cmpgt_epi32(f.s[h], set32(9999));
        I far, close;
        if constexpr (kMetres) {
            const F m = _mm256_div_ps(_mm256_mul_ps(P, setf(ps.range)), period);
            out.m[h] = m;
            far = cmp<_CMP_GT_OQ>(m, setf(ps.range - 1.0f));
            close = cmp<_CMP_LT_OQ>(m, setf(1.0f));
        } else {
            // The same decisions without the division: m grows with P.
            far = cmp<_CMP_GE_OQ>(P, setf(ps.far_from));
            close = cmp<_CMP_LT_OQ>(P, setf(ps.near_below));
        }
        inv[h] = lor(inv[h], land(strong, land(_mm256_cmpgt_epi32(f.s[h], set32(89999)), far)));
        near[h] = landnot(strong, close);
        code[h] = land(_mm256_cvttps_epi32(P), set32(0xFFFF));
    }
    out.code = pack_u(code[0], code[1]);
    out.inv = pack_m(inv[0], inv[1]);
    out.near = pack_m(near[0], near[1]);
    return out;
}

// Hysteresis, phase and distance for sixteen pixels at raw index r and image index q.
template <bool kDrnu, bool kMetres>
[[gnu::always_inline]] inline Phase phase(const PixelSetup& ps, const Consts& c, const Block& b, int64_t r,
                                          int64_t q) {
    return back<kDrnu, kMetres>(ps, c, front(ps, c, b, r), q);
}

// Codes in the order the scalar steps decide them: bad samples, hysteresis, invalid, weak.
[[gnu::always_inline]] inline I result(I bad, const Phase& v, I value) {
    I res = sel(v.near, set16(kWeak), value);
    res = sel(v.inv, set16(kInvalid), res);
    res = sel(v.hweak, set16(kWeak), res);
    return sel(bad, set16(kInvalid), res);
}

// Phase codes (16-bit lanes) to millimetres.
[[gnu::always_inline]] inline I to_mm16(I code, I u) {
    const I mg = _mm256_set1_epi64x(static_cast<long long>(kDiv1875));
    I mm[2];
#pragma GCC unroll 2
    for (int h = 0; h < 2; ++h) {
        const I v = h ? uhi(code) : ulo(code);
        const I y = _mm256_srli_epi32(_mm256_mullo_epi32(v, u), 4);
        const I even = _mm256_srli_epi64(_mm256_mul_epu32(y, mg), 39);
        const I odd = _mm256_srli_epi64(_mm256_mul_epu32(_mm256_srli_epi64(y, 32), mg), 39);
        // Stored as 16 bits.
        mm[h] = land(lor(even, _mm256_slli_epi64(odd, 32)), set32(0xFFFF));
    }
    return sel(ge_u16(code, set16(60000)), code, pack_u(mm[0], mm[1]));
}


// A vector block needs all sixteen raw pixels inside the planes and the hysteresis map, and
// with pixel calibration all sixteen image pixels inside the tables.
[[gnu::always_inline]] inline bool block_ok(const PixelSetup& ps, const RawView& raw, int64_t r, int64_t q,
                                            bool phase_mode) {
    if (r + 16 > raw.plane) return false;
    if (!phase_mode) return true;
    return r + 16 <= ps.hyst_len && (!ps.drnu || q + 16 <= VX_CHIP_PIXELS);
}

template <Mode kMode, bool kDrnu = false>
void rows(const PixelSetup& ps, const RawView& raw, void* dst, int y0, int y1) {
    constexpr bool kPhaseMode = kMode == Mode::kPhase || kMode == Mode::kMetres;
    auto* out = static_cast<uint8_t*>(dst);
    const Consts c(ps);
    for (int y = y0; y < y1; ++y) {
        const int i = raw_row_of(y, raw.rows);
        int j = 0;
        for (; i >= 0 && j + 16 <= raw.cols; j += 16) {
            const int64_t r = int64_t{i} * raw.cols + j, q = int64_t{y} * raw.cols + j;
            if (!block_ok(ps, raw, r, q, kPhaseMode)) break;
            const Block b = samples(raw, r);
            if constexpr (kMode == Mode::kAmp || kMode == Mode::kAmpF) {
                I amp[2];
#pragma GCC unroll 2
                for (int h = 0; h < 2; ++h)
                    amp[h] = _mm256_cvttps_epi32(_mm256_mul_ps(_mm256_sqrt_ps(tof(b.s[h])), setf(0.5f)));
                if constexpr (kMode == Mode::kAmp) {
                    store(out + 2 * q, sel(b.bad, set16(kInvalid), pack_u(amp[0], amp[1])));
                } else {
                    store_f(out + 4 * q, self(slo(b.bad), setf(kInvalidF), tof(amp[0])),
                            self(shi(b.bad), setf(kInvalidF), tof(amp[1])));
                }
            } else if constexpr (kMode == Mode::kSquares) {
                const I s = _mm256_min_epu16(pack_u(b.s[0], b.s[1]), set16(50000));
                store(out + 2 * q, sel(b.bad, set16(kInvalid), s));
            } else if constexpr (kMode == Mode::kPhase) {
                const Phase v = phase<kDrnu, false>(ps, c, b, r, q);
                store(out + 2 * q, result(b.bad, v, v.code));
            } else {
                const Phase v = phase<kDrnu, true>(ps, c, b, r, q);
                F res[2];
#pragma GCC unroll 2
                for (int h = 0; h < 2; ++h) {
                    auto widen = [h](I m) { return h ? shi(m) : slo(m); };
                    res[h] = self(widen(v.near), setf(kWeakF), v.m[h]);
                    res[h] = self(widen(v.inv), setf(kInvalidF), res[h]);
                    res[h] = self(widen(v.hweak), setf(kWeakF), res[h]);
                    res[h] = self(widen(b.bad), setf(kInvalidF), res[h]);
                }
                store_f(out + 4 * q, res[0], res[1]);
            }
        }
        pixel_cols_scalar(kMode, ps, raw, dst, y, j, raw.cols);
    }
}

}  // namespace

void pixel_rows(Mode mode, const PixelSetup& ps, const RawView& raw, void* dst, int y0, int y1) {
    const bool drnu = ps.drnu && ps.calib_ok;
    switch (mode) {
        case Mode::kPhase:
            return drnu ? rows<Mode::kPhase, true>(ps, raw, dst, y0, y1) : rows<Mode::kPhase>(ps, raw, dst, y0, y1);
        case Mode::kAmp: return rows<Mode::kAmp>(ps, raw, dst, y0, y1);
        case Mode::kMetres:
            return drnu ? rows<Mode::kMetres, true>(ps, raw, dst, y0, y1) : rows<Mode::kMetres>(ps, raw, dst, y0, y1);
        case Mode::kAmpF: return rows<Mode::kAmpF>(ps, raw, dst, y0, y1);
        case Mode::kSquares: return rows<Mode::kSquares>(ps, raw, dst, y0, y1);
    }
}

void to_mm_row(uint16_t* v, int n, uint16_t u) {
    const I uv = set32(u);
    int j = 0;
    for (; j + 16 <= n; j += 16) store(v + j, to_mm16(load(v + j), uv));
    for (; j < n; ++j) v[j] = to_mm(v[j], u);
}

void merge_pair(uint16_t* a0, uint16_t* a1, uint16_t* h0, uint16_t* h1, int n) {
    const I lim = set16(60001);
    int j = 0;
    for (; j + 16 <= n; j += 16) {
        const I x0 = load(a0 + j), x1 = load(a1 + j);
        const I second = lor(ge_u16(x0, lim), landnot(ge_u16(x1, lim), ge_u16(x1, x0)));
        const I a = sel(second, x1, x0);
        store(a0 + j, a);
        store(a1 + j, a);
        if (h0) {
            const I hv = sel(second, load(h1 + j), load(h0 + j));
            store(h0 + j, hv);
            store(h1 + j, hv);
        }
    }
    for (; j < n; ++j) {
        const bool second = hdr_take_second(a0[j], a1[j]);
        (second ? a0 : a1)[j] = (second ? a1 : a0)[j];
        if (h0) (second ? h0 : h1)[j] = (second ? h1 : h0)[j];
    }
}

namespace {

// A row's blocks in two passes: the fronts of up to kRowBlocks blocks (their gathers independent
// of each other), then the backs.
constexpr int kRowBlocks = 32;  // columns per pass: 512

template <bool kDrnu>
void distance_rows(const PixelSetup& ps, const RawView& raw, uint16_t* amp, uint16_t* mm, bool hdr, uint16_t u_mm) {
    const int w = raw.cols;
    const I uv = set32(u_mm);
    const Consts c(ps);
    Front fronts[kRowBlocks];
    for (int y = 0; y < raw.rows; ++y) {
        uint16_t* a = amp + size_t(y) * w;
        uint16_t* d = mm + size_t(y) * w;
        const int i = raw_row_of(y, raw.rows);
        int j = 0;
        while (i >= 0 && j + 16 <= w) {
            int n = 0;
            for (; n < kRowBlocks && j + 16 * (n + 1) <= w; ++n) {
                const int jb = j + 16 * n;
                const int64_t r = int64_t{i} * w + jb, q = int64_t{y} * w + jb;
                if (!block_ok(ps, raw, r, q, true)) break;
                const Block b = samples(raw, r);
                fronts[n] = front(ps, c, b, r);
                store(a + jb,
                      sel(b.bad, set16(kInvalid), _mm256_min_epu16(pack_u(b.s[0], b.s[1]), set16(50000))));
            }
            for (int k = 0; k < n; ++k) {
                const int jb = j + 16 * k;
                const Phase v = back<kDrnu, false>(ps, c, fronts[k], int64_t{y} * w + jb);
                // Invalid and weak codes lie above 59999, so converting before marking is the same.
                store(d + jb, result(fronts[k].bad, v, hdr ? v.code : to_mm16(v.code, uv)));
            }
            j += 16 * n;
            if (n < kRowBlocks) break;
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

}  // namespace

void distance_image(const PixelSetup& ps, const RawView& raw, uint16_t* amp, uint16_t* mm, bool hdr, uint16_t u_mm) {
    if (ps.drnu && ps.calib_ok)
        distance_rows<true>(ps, raw, amp, mm, hdr, u_mm);
    else
        distance_rows<false>(ps, raw, amp, mm, hdr, u_mm);
}

void plausibility(const uint16_t* in, const uint16_t* amp, uint16_t* out, size_t n, uint16_t v, uint16_t t) {
    const I vv = set16(v), tv = set16(t), k101 = set16(101), k10000 = set16(10000), weak = set16(kWeak);
    size_t k = 0;
    for (; k + 16 <= n; k += 16) {
        const I d = load(in + k), a = load(amp + k);
        const I close = landnot(ge_u16(d, k101), set16(-1));
        const I dim_near = landnot(lor(ge_u16(a, k10000), ge_u16(d, tv)), set16(-1));
        const I bad = lor(lor(ge_u16(d, vv), close), dim_near);
        store(out + k, sel(bad, weak, d));
    }
    for (; k < n; ++k) {
        const uint16_t d = in[k];
        out[k] = (d >= v || d <= 100 || (amp[k] <= 9999 && d < t)) ? kWeak : d;
    }
}

SampleCounts count_samples(const uint8_t* src, size_t n) {
    // With l = v - 2 (16-bit): low is l <= 509, bad is l > 4092; high is v - 3585 <= 509.
    const I two = set16(2), k3585 = set16(3585), k509 = set16(509), k4092 = set16(4092);
    SampleCounts c;
    size_t k = 0;
    auto sum16 = [](I acc) {
        const I s = _mm256_add_epi32(ulo(acc), uhi(acc));
        alignas(32) uint32_t v[8];
        _mm256_store_si256(reinterpret_cast<__m256i*>(v), s);
        uint64_t t = 0;
        for (uint32_t x : v) t += x;
        return t;
    };
    while (k + 16 <= n) {
        // Lane counters take at most 65535 hits.
        const size_t end = std::min(n, k + size_t{16} * 65535);
        I ok = zero(), low = zero(), high = zero();
        const size_t start = k;
        for (; k + 16 <= end; k += 16) {
            const I v = load(src + 2 * k);
            const I l = _mm256_sub_epi16(v, two), h = _mm256_sub_epi16(v, k3585);
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
