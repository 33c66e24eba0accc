// AVX-512 kernels of the phase modes and the distance path: sixteen pixels per step in 32-bit
// lanes, with the conditions in mask registers, each row in two passes (the phase lookups of
// all its blocks, then the rest) so the lookups overlap. Each lane performs the scalar code's single-precision operations
// in the same order, so the results are the same bits as the scalar and AVX2 builds; blocks the
// vector code cannot take whole go to the scalar code, the 16-bit passes to the AVX2 code.
#include "driver/decode.hpp"

#if VX_DECODE_AVX2

#include <immintrin.h>

#include <algorithm>

#include <vexel/chip.h>

namespace vx::epc::avx512 {

namespace {

constexpr uint64_t kDiv1875 = ((uint64_t{1} << 39) + 1874) / 1875;  // see to_mm16 in decode_avx2.cpp

}  // namespace

#pragma GCC push_options
#pragma GCC target("avx512f,avx512bw,avx512vl,avx512dq")
// GCC 12's AVX-512 intrinsics start from _mm512_undefined_*(), which its flow analysis reports
// as an uninitialised read.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

namespace {

using Z = __m512i;
using ZF = __m512;
using K = __mmask16;

[[gnu::always_inline]] inline Z set(int v) { return _mm512_set1_epi32(v); }
[[gnu::always_inline]] inline ZF setf(float v) { return _mm512_set1_ps(v); }
[[gnu::always_inline]] inline ZF tof(Z v) { return _mm512_cvtepi32_ps(v); }
// Sixteen 16-bit values from p, widened.
[[gnu::always_inline]] inline Z load16(const void* p) {
    return _mm512_cvtepu16_epi32(_mm256_loadu_si256(static_cast<const __m256i*>(p)));
}
// Sixteen values 0..65535 stored as 16 bits.
[[gnu::always_inline]] inline void store16(void* p, Z v) {
    _mm256_storeu_si256(static_cast<__m256i*>(p), _mm512_cvtepi32_epi16(v));
}

struct Block {
    K bad;  // a sample at 0 or 4095
    Z x, y, s;
};

[[gnu::always_inline]] inline Block samples(const RawView& raw, int64_t r) {
    const Z m12 = set(0xFFF), one = set(1);
    Z d[4], t = set(0x7FFF);
#pragma GCC unroll 4
    for (int k = 0; k < 4; ++k) {
        d[k] = _mm512_and_si512(load16(raw.src + 2 * (k * raw.plane + r)), m12);
        // 0 and 4095 are the samples whose successor, in 12 bits, is below 2.
        t = _mm512_min_epi32(t, _mm512_and_si512(_mm512_add_epi32(d[k], one), m12));
    }
    Block b;
    b.bad = _mm512_cmplt_epi32_mask(t, set(2));
    b.x = _mm512_sub_epi32(d[3], d[1]);
    b.y = _mm512_sub_epi32(d[2], d[0]);
    // x^2 + y^2 from the pair (x, y) in the two 16-bit halves of each lane.
    const Z xy = _mm512_or_si512(_mm512_and_si512(b.x, set(0xFFFF)), _mm512_slli_epi32(b.y, 16));
    b.s = _mm512_madd_epi16(xy, xy);
    return b;
}

struct Consts {
    Z up4, lo4;    // thresholds on S (S / 4 >= t is S >= 4t), clamped to the signed range
    Z lane;        // 0..15
    Z lane_nd;     // first table entry of each lane's pixel, relative to the block's first pixel
    K inv_all;     // every pixel reaching the phase step is invalid
    explicit Consts(const PixelSetup& ps)
        : up4(set(static_cast<int>(std::min<uint64_t>(uint64_t{ps.upper} * 4, INT32_MAX)))),
          lo4(set(static_cast<int>(std::min<uint64_t>(uint64_t{ps.lower} * 4, INT32_MAX)))),
          lane(_mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15)),
          lane_nd(_mm512_mullo_epi32(lane, set(ps.nd))),
          inv_all((!ps.dist_ok || (ps.drnu && !ps.calib_ok)) ? K(0xFFFF) : K(0)) {}
};

// Hysteresis of sixteen raw pixels from r (inside the map); returns the lanes it rejects.
[[gnu::always_inline]] inline K hysteresis(const Consts& c, uint8_t* map, const Block& b) {
    const Z old = _mm512_cvtepu8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(map)));
    Z st = _mm512_mask_mov_epi32(old, _mm512_cmpgt_epi32_mask(c.lo4, b.s), _mm512_setzero_si512());
    st = _mm512_mask_mov_epi32(st, _mm512_cmpge_epi32_mask(b.s, c.up4), set(1));
    st = _mm512_mask_mov_epi32(st, b.bad, old);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(map), _mm512_cvtepi32_epi8(st));
    return _mm512_cmpeq_epi32_mask(st, _mm512_setzero_si512());
}

// Entries of the phase table make_phase_table builds for indices q (see kPhasePoly).
[[gnu::always_inline]] inline Z phase_entry_poly(Z q) {
    const ZF qf = tof(q);
    const ZF u = _mm512_fmadd_ps(qf, setf(kPhasePolyScale), setf(-1.0f));
    // Estrin's scheme: pairs, then the powers u^2, u^4, u^8 (five multiply-adds deep, not ten).
    const ZF u2 = _mm512_mul_ps(u, u), u4 = _mm512_mul_ps(u2, u2), u8 = _mm512_mul_ps(u4, u4);
    const ZF p01 = _mm512_fmadd_ps(setf(kPhasePoly[1]), u, setf(kPhasePoly[0]));
    const ZF p23 = _mm512_fmadd_ps(setf(kPhasePoly[3]), u, setf(kPhasePoly[2]));
    const ZF p45 = _mm512_fmadd_ps(setf(kPhasePoly[5]), u, setf(kPhasePoly[4]));
    const ZF p67 = _mm512_fmadd_ps(setf(kPhasePoly[7]), u, setf(kPhasePoly[6]));
    const ZF p89 = _mm512_fmadd_ps(setf(kPhasePoly[9]), u, setf(kPhasePoly[8]));
    const ZF q0 = _mm512_fmadd_ps(p23, u2, p01), q1 = _mm512_fmadd_ps(p67, u2, p45);
    const ZF q2 = _mm512_fmadd_ps(setf(kPhasePoly[10]), u2, p89);
    ZF h = _mm512_fmadd_ps(q2, u8, _mm512_fmadd_ps(q1, u4, q0));
    h = _mm512_fnmadd_ps(_mm512_mul_ps(qf, qf), setf(1.0f / 16384), h);
    return _mm512_add_epi32(q, _mm512_cvt_roundps_epi32(h, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC));
}

// (atan2_lut(x, y) + 15000) mod 30000: octant reduction, exact table index, then the entry
// computed and the octant's offset added, or, for another table, the octant's phase by one
// gather.
[[gnu::always_inline]] inline Z phase_codes(const PixelSetup& ps, const Block& b) {
    const Z zero = _mm512_setzero_si512();
    const K z = _mm512_cmpeq_epi32_mask(b.x, zero);
    const K neg = _mm512_cmplt_epi32_mask(b.x, zero);
    const Z ay = _mm512_abs_epi32(b.x);
    const Z ax = _mm512_mask_sub_epi32(b.y, neg, zero, b.y);  // y * sign(x)
    const K rot = _mm512_cmple_epi32_mask(ax, zero);
    const Z nx = _mm512_mask_mov_epi32(ax, rot, ay);
    const Z ny = _mm512_mask_sub_epi32(ay, rot, zero, ax);
    const K oct = _mm512_cmpge_epi32_mask(ny, nx);
    const Z ny2 = _mm512_mask_sub_epi32(ny, oct, ny, nx);
    const Z nx2 = _mm512_max_epi32(_mm512_mask_add_epi32(nx, oct, nx, ny), set(1));
    // ny2 * 4096 / nx2 from the approximate reciprocal, corrected by the remainder: the quotient
    // is below 4096, so a relative error under 2^-14 leaves it off by at most one.
    const Z num = _mm512_slli_epi32(ny2, 12);
    Z q = _mm512_cvttps_epi32(_mm512_mul_ps(tof(num), _mm512_rcp14_ps(tof(nx2))));
    const Z rem = _mm512_sub_epi32(num, _mm512_mullo_epi32(q, nx2));
    q = _mm512_mask_sub_epi32(q, _mm512_cmplt_epi32_mask(rem, zero), q, set(1));
    q = _mm512_mask_add_epi32(q, _mm512_cmpge_epi32_mask(rem, nx2), q, set(1));
    if (!ps.made_table) {
        // Octant o = 4 * (x < 0) + 2 * rot + oct; a zero x has entries of its own, indexed by
        // the base alone.
        Z base = _mm512_maskz_mov_epi32(neg, set(4 * 4096));
        base = _mm512_mask_add_epi32(base, rot, base, set(2 * 4096));
        base = _mm512_mask_add_epi32(base, oct, base, set(4096));
        base =
            _mm512_mask_mov_epi32(base, z,
                                  _mm512_mask_add_epi32(set(kOctantZero), _mm512_cmplt_epi32_mask(b.y, zero),
                                                        set(kOctantZero), set(1)));
        q = _mm512_maskz_mov_epi32(~z, q);
        return _mm512_i32gather_epi32(_mm512_add_epi32(base, q), ps.octant_phase, 4);
    }
    // 3750 o + 15000 + entry (at most 3750) stays below two periods.
    Z v = _mm512_add_epi32(phase_entry_poly(q), set(15000));
    v = _mm512_mask_add_epi32(v, neg, v, set(4 * 3750));
    v = _mm512_mask_add_epi32(v, rot, v, set(2 * 3750));
    v = _mm512_mask_add_epi32(v, oct, v, set(3750));
    v = _mm512_mask_sub_epi32(v, _mm512_cmpge_epi32_mask(v, set(kPhasePeriod)), v, set(kPhasePeriod));
    // A zero x: 15000 for a second argument >= 0, else 0.
    return _mm512_mask_mov_epi32(v, z,
                                 _mm512_maskz_mov_epi32(_mm512_cmpge_epi32_mask(b.y, zero), set(15000)));
}

struct Phase {
    Z code;
    ZF m;
    K hweak, inv, near;
};

// First half of the phase step for a block: hysteresis and phase codes, both free of the
// float work that follows, so a row's gathers can overlap.
struct Front {
    Z p;      // (atan2_lut(x, y) + 15000) mod 30000
    Z s;      // x^2 + y^2
    K bad, hweak;
};

[[gnu::always_inline]] inline Front front(const PixelSetup& ps, const Consts& c, const Block& b, int64_t r) {
    return {phase_codes(ps, b), b.s, b.bad, hysteresis(c, ps.hyst + r, b)};
}

// Phase to distance with its checks for sixteen pixels at image index q.
template <bool kDrnu, bool kMetres>
[[gnu::always_inline]] inline Phase back(const PixelSetup& ps, const Consts& c, const Front& f, int64_t q) {
    Phase out;
    out.hweak = f.hweak;
    ZF P = _mm512_sub_ps(tof(f.p), setf(ps.tc));
    K inv = c.inv_all;
    if constexpr (!kDrnu) {
        P = _mm512_add_ps(P, setf(ps.offset));
    } else {
        const ZF M = tof(load16(ps.vmax + q)), N = tof(load16(ps.vmin + q));
        inv |= _mm512_cmp_ps_mask(P, M, _CMP_GE_OQ) | _mm512_cmp_ps_mask(M, N, _CMP_EQ_OQ);
        // Only the quotient's integer part is used: from the reciprocal (one Newton step, relative
        // error about 2^-23) unless a lane lies so close to an integer that the rounded division
        // could fall on the other side, then from the division.
        const ZF a = _mm512_mul_ps(_mm512_sub_ps(P, N), setf(static_cast<float>(ps.nd))), d = _mm512_sub_ps(M, N);
        const ZF r0 = _mm512_rcp14_ps(d);
        const ZF r = _mm512_mul_ps(r0, _mm512_fnmadd_ps(d, r0, setf(2.0f)));
        ZF t = _mm512_mul_ps(a, r);
        const ZF off = _mm512_abs_ps(_mm512_sub_ps(t, _mm512_roundscale_ps(t, _MM_FROUND_TO_NEAREST_INT)));
        if (_mm512_cmp_ps_mask(off, _mm512_mul_ps(_mm512_abs_ps(t), setf(1.0f / 1048576)), _CMP_NGT_UQ))
            t = _mm512_div_ps(a, d);
        Z k = _mm512_max_epi32(_mm512_cvttps_epi32(t), _mm512_setzero_si512());
        const K last = _mm512_cmpgt_epi32_mask(k, set(ps.nd - 2));
        k = _mm512_min_epi32(k, set(ps.nd - 2));
        // Entries k and k + 1 of a pixel's table in one 32-bit read.
        Z pair;
        if (ps.pairs) {
            // Neighbouring pixels mostly lie in the same interval or the next: one plane's row
            // and, for the lanes one interval up, the next plane's, instead of a gather.
            const int k0 = _mm512_reduce_min_epi32(k);
            const Z up = _mm512_sub_epi32(k, set(k0));
            if (_mm512_cmpgt_epu32_mask(up, set(1)) == 0) {
                const uint32_t* row = ps.pairs + k0 * kPairPlane + q;
                pair = _mm512_loadu_si512(row);
                const K next = _mm512_test_epi32_mask(up, up);
                if (next) pair = _mm512_mask_loadu_epi32(pair, next, row + kPairPlane);
            } else {
                const Z idx = _mm512_add_epi32(_mm512_mullo_epi32(k, set(static_cast<int>(kPairPlane))),
                                               _mm512_add_epi32(set(static_cast<int>(q)), c.lane));
                pair = _mm512_i32gather_epi32(idx, ps.pairs, 4);
            }
        } else {
            const Z idx = _mm512_add_epi32(_mm512_add_epi32(set(static_cast<int>(q * ps.nd)), c.lane_nd), k);
            pair = _mm512_i32gather_epi32(idx, ps.table, 2);
        }
        const ZF l0 = tof(_mm512_and_si512(pair, set(0xFFFF))), l1 = tof(_mm512_srli_epi32(pair, 16));
        inv |= (last & _mm512_cmp_ps_mask(P, l1, _CMP_GT_OQ)) | _mm512_cmp_ps_mask(l0, l1, _CMP_EQ_OQ);
        const ZF sp = setf(ps.sp);
        P = _mm512_add_ps(_mm512_div_ps(_mm512_mul_ps(_mm512_sub_ps(P, l0), sp), _mm512_sub_ps(l1, l0)),
                          _mm512_mul_ps(sp, tof(k)));
        P = _mm512_add_ps(P, setf(ps.offset));
    }
    const ZF period = setf(30000.0f);
    P = _mm512_mask_add_ps(P, _mm512_cmp_ps_mask(P, _mm512_setzero_ps(), _CMP_LT_OQ), P, period);
    P = _mm512_mask_sub_ps(P, _mm512_cmp_ps_mask(P, period, _CMP_GT_OQ), P, period);
    // Still outside one period, or NaN: no distance (as the scalar code decides).
    inv |= _mm512_cmp_ps_mask(P, _mm512_setzero_ps(), _CMP_NGE_UQ) | _mm512_cmp_ps_mask(P, period, _CMP_NLE_UQ);
    const K strong = _mm512_cmpgt_epi32_mask(f.s, set(9999));
    K far, close;
    if constexpr (kMetres) {
        out.m = _mm512_div_ps(_mm512_mul_ps(P, setf(ps.range)), period);
        far = _mm512_cmp_ps_mask(out.m, setf(ps.range - 1.0f), _CMP_GT_OQ);
        close = _mm512_cmp_ps_mask(out.m, setf(1.0f), _CMP_LT_OQ);
    } else {
        far = _mm512_cmp_ps_mask(P, setf(ps.far_from), _CMP_GE_OQ);
        close = _mm512_cmp_ps_mask(P, setf(ps.near_below), _CMP_LT_OQ);
    }
    out.inv = inv | (_mm512_cmpgt_epi32_mask(f.s, set(89999)) & far);
    out.near = close & ~strong;
    out.code = _mm512_and_si512(_mm512_cvttps_epi32(P), set(0xFFFF));
    return out;
}

// Codes in the order the scalar steps decide them: bad samples, hysteresis, invalid, weak.
[[gnu::always_inline]] inline Z result(K bad, const Phase& v, Z value) {
    Z res = _mm512_mask_mov_epi32(value, v.near, set(kWeak));
    res = _mm512_mask_mov_epi32(res, v.inv, set(kInvalid));
    res = _mm512_mask_mov_epi32(res, v.hweak, set(kWeak));
    return _mm512_mask_mov_epi32(res, bad, set(kInvalid));
}

// Phase codes to millimetres (see to_mm16 in decode_avx2.cpp).
[[gnu::always_inline]] inline Z to_mm(Z code, Z u) {
    const Z y = _mm512_srli_epi32(_mm512_mullo_epi32(code, u), 4);
    const Z mg = _mm512_set1_epi64(static_cast<long long>(kDiv1875));
    const Z even = _mm512_srli_epi64(_mm512_mul_epu32(y, mg), 39);
    const Z odd = _mm512_srli_epi64(_mm512_mul_epu32(_mm512_srli_epi64(y, 32), mg), 39);
    const Z mm = _mm512_and_si512(_mm512_or_si512(even, _mm512_slli_epi64(odd, 32)), set(0xFFFF));
    return _mm512_mask_mov_epi32(mm, _mm512_cmpge_epu32_mask(code, set(60000)), code);
}

// A vector block needs all sixteen raw pixels inside the planes and the hysteresis map, and
// with pixel calibration all sixteen image pixels inside the tables.
[[gnu::always_inline]] inline bool block_ok(const PixelSetup& ps, const RawView& raw, int64_t r, int64_t q) {
    return r + 16 <= raw.plane && r + 16 <= ps.hyst_len && (!ps.drnu || q + 16 <= VX_CHIP_PIXELS);
}

// A row's blocks in two passes: the fronts of all blocks (their gathers independent of each
// other), then the backs.
constexpr int kRowBlocks = 32;  // columns per pass: 512

template <Mode kMode, bool kDrnu>
void rows(const PixelSetup& ps, const RawView& raw, void* dst, int y0, int y1) {
    auto* out = static_cast<uint8_t*>(dst);
    const Consts c(ps);
    Front fronts[kRowBlocks];
    for (int y = y0; y < y1; ++y) {
        const int i = raw_row_of(y, raw.rows);
        int j = 0;
        while (i >= 0 && j + 16 <= raw.cols) {
            int n = 0;
            for (; n < kRowBlocks && j + 16 * (n + 1) <= raw.cols; ++n) {
                const int jb = j + 16 * n;
                const int64_t r = int64_t{i} * raw.cols + jb, q = int64_t{y} * raw.cols + jb;
                if (!block_ok(ps, raw, r, q)) break;
                fronts[n] = front(ps, c, samples(raw, r), r);
            }
            for (int k = 0; k < n; ++k) {
                const int64_t q = int64_t{y} * raw.cols + j + 16 * k;
                const Phase v = back<kDrnu, kMode == Mode::kMetres>(ps, c, fronts[k], q);
                if constexpr (kMode == Mode::kPhase) {
                    store16(out + 2 * q, result(fronts[k].bad, v, v.code));
                } else {
                    ZF res = _mm512_mask_mov_ps(v.m, v.near, setf(kWeakF));
                    res = _mm512_mask_mov_ps(res, v.inv, setf(kInvalidF));
                    res = _mm512_mask_mov_ps(res, v.hweak, setf(kWeakF));
                    res = _mm512_mask_mov_ps(res, fronts[k].bad, setf(kInvalidF));
                    _mm512_storeu_ps(out + 4 * q, res);
                }
            }
            j += 16 * n;
            if (n < kRowBlocks) break;
        }
        pixel_cols_scalar(kMode, ps, raw, dst, y, j, raw.cols);
    }
}

template <bool kDrnu>
void distance_rows(const PixelSetup& ps, const RawView& raw, uint16_t* amp, uint16_t* mm, bool hdr, uint16_t u_mm) {
    const int w = raw.cols;
    const Z uv = set(u_mm);
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
                if (!block_ok(ps, raw, r, q)) break;
                const Block b = samples(raw, r);
                fronts[n] = front(ps, c, b, r);
                store16(a + jb, _mm512_mask_mov_epi32(_mm512_min_epi32(b.s, set(50000)), b.bad, set(kInvalid)));
            }
            for (int k = 0; k < n; ++k) {
                const int jb = j + 16 * k;
                const Phase v = back<kDrnu, false>(ps, c, fronts[k], int64_t{y} * w + jb);
                // Invalid and weak codes lie above 59999, so converting before marking is the same.
                store16(d + jb, result(fronts[k].bad, v, hdr ? v.code : to_mm(v.code, uv)));
            }
            j += 16 * n;
            if (n < kRowBlocks) break;
        }
        distance_cols_scalar(ps, raw, y, j, w, a, d);
        if (!hdr) {
            for (int k = j; k < w; ++k) d[k] = vx::epc::to_mm(d[k], u_mm);
        } else if (y % 2 == 1) {
            avx2::merge_pair(a - w, a, d - w, d, w);
            avx2::to_mm_row(d - w, 2 * w, u_mm);
        } else if (y == raw.rows - 1) {
            avx2::to_mm_row(d, w, u_mm);
        }
    }
}

}  // namespace

void pixel_rows(Mode mode, const PixelSetup& ps, const RawView& raw, void* dst, int y0, int y1) {
    const bool drnu = ps.drnu && ps.calib_ok;
    if (mode == Mode::kPhase)
        return drnu ? rows<Mode::kPhase, true>(ps, raw, dst, y0, y1) : rows<Mode::kPhase, false>(ps, raw, dst, y0, y1);
    if (mode == Mode::kMetres)
        return drnu ? rows<Mode::kMetres, true>(ps, raw, dst, y0, y1)
                    : rows<Mode::kMetres, false>(ps, raw, dst, y0, y1);
    // The amplitude modes are 16-bit work, which the AVX2 kernel does faster.
    avx2::pixel_rows(mode, ps, raw, dst, y0, y1);
}

void distance_image(const PixelSetup& ps, const RawView& raw, uint16_t* amp, uint16_t* mm, bool hdr, uint16_t u_mm) {
    if (ps.drnu && ps.calib_ok)
        distance_rows<true>(ps, raw, amp, mm, hdr, u_mm);
    else
        distance_rows<false>(ps, raw, amp, mm, hdr, u_mm);
}

void phase_entries(const int32_t* index, uint32_t* out, size_t n) {
    size_t i = 0;
    for (; i + 16 <= n; i += 16)
        _mm512_storeu_si512(out + i, phase_entry_poly(_mm512_loadu_si512(index + i)));
    if (i < n) {
        const K m = K((1u << (n - i)) - 1);
        _mm512_mask_storeu_epi32(out + i, m, phase_entry_poly(_mm512_maskz_loadu_epi32(m, index + i)));
    }
}

#pragma GCC diagnostic pop
#pragma GCC pop_options

}  // namespace vx::epc::avx512

#endif
