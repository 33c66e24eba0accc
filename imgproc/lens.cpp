#include "imgproc/lens.hpp"

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdlib>

#if defined(__x86_64__)
#define VX_LENS_X86 1
#include <immintrin.h>
#endif

#include "core/log.hpp"
#include <vexel/vmath.h>

namespace vx {

namespace {

constexpr int kGrid = 9;

// Adds 0.5 and truncates toward zero; values that fit no int (NaN from degenerate lens
// parameters included) become 0 instead of an undefined conversion.
int32_t round_half_trunc(double v) {
    const double r = v + 0.5;
    if (!(r > double(INT32_MIN) - 1.0 && r < double(INT32_MAX) + 1.0)) return 0;
    return static_cast<int32_t>(r);
}

void release(vx_calib_len_map* map) {
    std::free(map->map_x);
    std::free(map->map_y);
    map->map_x = nullptr;
    map->map_y = nullptr;
    map->ready = 0;
}

}  // namespace

void lens_rects(const vexel_lens_param& lens, const double* target, LensRect& inner, LensRect& outer) {
    const double k1 = lens.dcoeff[0], k2 = lens.dcoeff[1], p1 = lens.dcoeff[2], p2 = lens.dcoeff[3],
                 k3 = lens.dcoeff[4];
    const double ifx = 1.0 / lens.fx, ify = 1.0 / lens.fy;
    double ident[9];
    const double* p = target ? target : mat3_identity(ident);

    float in_l = -FLT_MAX, in_r = FLT_MAX, in_t = -FLT_MAX, in_b = FLT_MAX;
    float out_l = FLT_MAX, out_r = -FLT_MAX, out_t = FLT_MAX, out_b = -FLT_MAX;
    for (int j = 0; j < kGrid; ++j) {
        for (int i = 0; i < kGrid; ++i) {
            const float px = static_cast<float>(lens.img_w) * static_cast<float>(i) * 0.125f;
            const float py = static_cast<float>(lens.img_h) * static_cast<float>(j) * 0.125f;
            const double x0 = (px - lens.cx) * ifx, y0 = (py - lens.cy) * ify;
            double x = x0, y = y0;
            // A fixed number of steps: the grid must come out the same on every build.
            for (int it = 0; it < 5; ++it) {
                const double r2 = x * x + y * y;
                const double icdist = 1.0 / (1.0 + ((k3 * r2 + k2) * r2 + k1) * r2);
                const double dx = 2 * p1 * x * y + p2 * (r2 + 2 * x * x);
                const double dy = p1 * (r2 + 2 * y * y) + 2 * p2 * x * y;
                x = (x0 - dx) * icdist;
                y = (y0 - dy) * icdist;
            }
            const double s = 1.0 / (p[6] * x + p[7] * y + p[8]);
            const float xp = static_cast<float>((p[0] * x + p[1] * y + p[2]) * s);
            const float yp = static_cast<float>((p[3] * x + p[4] * y + p[5]) * s);

            out_l = std::fmin(out_l, xp);
            out_r = std::fmax(out_r, xp);
            out_t = std::fmin(out_t, yp);
            out_b = std::fmax(out_b, yp);
            if (i == 0) in_l = std::fmax(in_l, xp);
            if (i == kGrid - 1) in_r = std::fmin(in_r, xp);
            if (j == 0) in_t = std::fmax(in_t, yp);
            if (j == kGrid - 1) in_b = std::fmin(in_b, yp);
        }
    }
    inner = {in_l, in_t, in_r - in_l, in_b - in_t};
    outer = {out_l, out_t, out_r - out_l, out_b - out_t};
}

void lens_new_camera(const vexel_lens_param& lens, double (&kp)[9], LensRect& valid) {
    LensRect inner, outer;
    lens_rects(lens, nullptr, inner, outer);
    // Keeps every source pixel: the outer rectangle fills the image.
    const float fxn = static_cast<float>(lens.img_w - 1) / outer.w;
    const float fyn = static_cast<float>(lens.img_h - 1) / outer.h;
    mat3_identity(kp);
    kp[0] = fxn;
    kp[2] = -double(fxn) * outer.x;
    kp[4] = fyn;
    kp[5] = -double(fyn) * outer.y;
    lens_rects(lens, kp, valid, outer);
}

bool lens_ray(const vexel_lens_param& lens, double px, double py, double& x, double& y) {
    const double k1 = lens.dcoeff[0], k2 = lens.dcoeff[1], p1 = lens.dcoeff[2], p2 = lens.dcoeff[3],
                 k3 = lens.dcoeff[4];
    const double xd = (px - lens.cx) / lens.fx, yd = (py - lens.cy) / lens.fy;
    x = xd;
    y = yd;
    // The fixed-point iteration of the table build stalls in the corners of a strongly bending
    // lens; Newton on the forward model lands within 1e-12 in a handful of steps.
    for (int it = 0; it < 30; ++it) {
        const double r2 = x * x + y * y;
        const double kr = 1 + ((k3 * r2 + k2) * r2 + k1) * r2;
        const double dkr = k1 + (2 * k2 + 3 * k3 * r2) * r2;  // d kr / d r2
        const double ex = x * kr + 2 * p1 * x * y + p2 * (r2 + 2 * x * x) - xd;
        const double ey = y * kr + p1 * (r2 + 2 * y * y) + 2 * p2 * x * y - yd;
        const double jxx = kr + 2 * x * x * dkr + 2 * p1 * y + 6 * p2 * x;
        const double jxy = 2 * x * y * dkr + 2 * p1 * x + 2 * p2 * y;
        const double jyy = kr + 2 * y * y * dkr + 6 * p1 * y + 2 * p2 * x;
        const double det = jxx * jyy - jxy * jxy;
        if (!(std::fabs(det) > 1e-12)) return false;
        const double sx = (ex * jyy - ey * jxy) / det, sy = (ey * jxx - ex * jxy) / det;
        x -= sx;
        y -= sy;
        if (!std::isfinite(x) || !std::isfinite(y)) return false;
        // Beyond the fold of the model (Jacobian no longer positive) lie roots no pixel sees.
        if (std::fabs(sx) + std::fabs(sy) < 1e-13) return det > 0;
    }
    return false;
}

namespace {

// Rows [v0, v1) of the table. Every pixel walks its row by repeated addition, exactly as
// the vector version does per lane, so both give the same bits.
void build_rows(const vexel_lens_param& lens, const double* ik, float* mx, float* my, int32_t w, int32_t v0,
                int32_t v1) {
    const double k1 = lens.dcoeff[0], k2 = lens.dcoeff[1], p1 = lens.dcoeff[2], p2 = lens.dcoeff[3],
                 k3 = lens.dcoeff[4];
    const double fx = lens.fx, fy = lens.fy, cx = lens.cx, cy = lens.cy;
    for (int32_t v = v0; v < v1; ++v) {
        double X = ik[1] * v + ik[2], Y = ik[4] * v + ik[5], Z = ik[7] * v + ik[8];
        float* rx = mx + int64_t(v) * w;
        float* ry = my + int64_t(v) * w;
        for (int32_t u = 0; u < w; ++u, X += ik[0], Y += ik[3], Z += ik[6]) {
            const double iz = 1.0 / Z;
            const double x = X * iz, y = Y * iz;
            const double x2 = x * x, y2 = y * y, r2 = x2 + y2, t = y * (2 * x);
            const double kr = 1 + ((k3 * r2 + k2) * r2 + k1) * r2;
            rx[u] = static_cast<float>(cx + fx * (x * kr + p1 * t + p2 * (r2 + 2 * x2)));
            ry[u] = static_cast<float>(cy + fy * (y * kr + p1 * (r2 + 2 * y2) + p2 * t));
        }
    }
}

#if defined(VX_LENS_X86)
// Four rows per pass, one per lane; blocks of four columns are transposed back into rows.
__attribute__((target("avx2"))) void build_rows_avx2(const vexel_lens_param& lens, const double* ik, float* mx,
                                                     float* my, int32_t w, int32_t h) {
    const __m256d k1 = _mm256_set1_pd(lens.dcoeff[0]), k2 = _mm256_set1_pd(lens.dcoeff[1]);
    const __m256d p1 = _mm256_set1_pd(lens.dcoeff[2]), p2 = _mm256_set1_pd(lens.dcoeff[3]);
    const __m256d k3 = _mm256_set1_pd(lens.dcoeff[4]);
    const __m256d fx = _mm256_set1_pd(lens.fx), fy = _mm256_set1_pd(lens.fy);
    const __m256d cx = _mm256_set1_pd(lens.cx), cy = _mm256_set1_pd(lens.cy);
    const __m256d one = _mm256_set1_pd(1.0), two = _mm256_set1_pd(2.0);
    const __m256d dx = _mm256_set1_pd(ik[0]), dy = _mm256_set1_pd(ik[3]), dz = _mm256_set1_pd(ik[6]);
    int32_t v = 0;
    for (; v + 4 <= h; v += 4) {
        const __m256d vv = _mm256_set_pd(v + 3, v + 2, v + 1, v);
        __m256d X = _mm256_add_pd(_mm256_mul_pd(_mm256_set1_pd(ik[1]), vv), _mm256_set1_pd(ik[2]));
        __m256d Y = _mm256_add_pd(_mm256_mul_pd(_mm256_set1_pd(ik[4]), vv), _mm256_set1_pd(ik[5]));
        __m256d Z = _mm256_add_pd(_mm256_mul_pd(_mm256_set1_pd(ik[7]), vv), _mm256_set1_pd(ik[8]));
        float* rows_x[4];
        float* rows_y[4];
        for (int r = 0; r < 4; ++r) {
            rows_x[r] = mx + int64_t(v + r) * w;
            rows_y[r] = my + int64_t(v + r) * w;
        }
        for (int32_t u = 0; u < w; u += 4) {
            __m128 ox[4], oy[4];
            const int cols = w - u < 4 ? w - u : 4;
            for (int k = 0; k < cols; ++k) {
                const __m256d iz = _mm256_div_pd(one, Z);
                const __m256d x = _mm256_mul_pd(X, iz), y = _mm256_mul_pd(Y, iz);
                const __m256d x2 = _mm256_mul_pd(x, x), y2 = _mm256_mul_pd(y, y);
                const __m256d r2 = _mm256_add_pd(x2, y2);
                const __m256d t = _mm256_mul_pd(y, _mm256_mul_pd(two, x));
                __m256d kr = _mm256_add_pd(_mm256_mul_pd(k3, r2), k2);
                kr = _mm256_add_pd(_mm256_mul_pd(kr, r2), k1);
                kr = _mm256_add_pd(one, _mm256_mul_pd(kr, r2));
                const __m256d ex = _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(x, kr), _mm256_mul_pd(p1, t)),
                                                 _mm256_mul_pd(p2, _mm256_add_pd(r2, _mm256_mul_pd(two, x2))));
                const __m256d ey =
                    _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(y, kr), _mm256_mul_pd(p1, _mm256_add_pd(r2, _mm256_mul_pd(two, y2)))),
                                  _mm256_mul_pd(p2, t));
                ox[k] = _mm256_cvtpd_ps(_mm256_add_pd(cx, _mm256_mul_pd(fx, ex)));
                oy[k] = _mm256_cvtpd_ps(_mm256_add_pd(cy, _mm256_mul_pd(fy, ey)));
                X = _mm256_add_pd(X, dx);
                Y = _mm256_add_pd(Y, dy);
                Z = _mm256_add_pd(Z, dz);
            }
            if (cols == 4) {
                _MM_TRANSPOSE4_PS(ox[0], ox[1], ox[2], ox[3]);
                _MM_TRANSPOSE4_PS(oy[0], oy[1], oy[2], oy[3]);
                for (int r = 0; r < 4; ++r) {
                    _mm_storeu_ps(rows_x[r] + u, ox[r]);
                    _mm_storeu_ps(rows_y[r] + u, oy[r]);
                }
            } else {
                for (int k = 0; k < cols; ++k) {
                    alignas(16) float lx[4], ly[4];
                    _mm_store_ps(lx, ox[k]);
                    _mm_store_ps(ly, oy[k]);
                    for (int r = 0; r < 4; ++r) {
                        rows_x[r][u + k] = lx[r];
                        rows_y[r][u + k] = ly[r];
                    }
                }
            }
        }
    }
    build_rows(lens, ik, mx, my, w, v, h);
}
#endif

}  // namespace

void lens_build_table(const vexel_lens_param& lens, const double (&ik)[9], float* mx, float* my, LensSimd level) {
#if defined(VX_LENS_X86)
    if (level == LensSimd::kAvx2) return build_rows_avx2(lens, ik, mx, my, lens.img_w, lens.img_h);
#endif
    build_rows(lens, ik, mx, my, lens.img_w, 0, lens.img_h);
}

int32_t lens_init_map(vx_calib_len_map* map, const vexel_lens_param* lens, LensAlloc alloc) {
    if (!map) return 0;
    if (map->ready) release(map);
    // Until the new tables exist the map is empty, whatever fails below.
    map->map_x = map->map_y = nullptr;
    map->size = map->width = map->height = 0;
    if (!lens) return 0;
    const int32_t w = lens->img_w, h = lens->img_h;
    const int64_t n = int64_t(w) * h;
    if (w <= 0 || h <= 0 || n > INT32_MAX) return 0;

    float* mx = static_cast<float*>(alloc(size_t(n) * sizeof(float)));
    float* my = mx ? static_cast<float*>(alloc(size_t(n) * sizeof(float))) : nullptr;
    if (!my) {
        std::free(mx);
        return 0;
    }

    double kp[9];
    LensRect valid;
    lens_new_camera(*lens, kp, valid);

    double ik[9];
    mat3_set(kp, ik);
    mat3_inverse(ik, nullptr);  // a singular K' stays as it is

    lens_build_table(*lens, ik, mx, my, lens_best_simd());

    map->map_x = mx;
    map->map_y = my;
    map->size = static_cast<int32_t>(n);
    map->width = w;
    map->height = h;
    map->roi_x = round_half_trunc(valid.x);
    map->roi_y = round_half_trunc(valid.y);
    map->roi_w = round_half_trunc(valid.w);
    map->roi_h = round_half_trunc(valid.h);
    map->ready = 1;
    return map->size;
}

namespace {

// One row of lookups from column `x` on. Source positions are divided by the binning
// factor in float (by a power of two through its exact reciprocal), then rounded by adding
// 0.5 and truncating toward zero, decided exactly: q + 0.5 truncates into [0, lim) iff
// -1.5 < q < lim - 0.5, and comparing first keeps NaN and huge positions away from the
// integer conversion.
template <class T, bool kPow2>
void undistort_row(const float* mx, const float* my, int bx, int by, const T* src, T* dst, int32_t x, int32_t w,
                   int32_t h, T fill) {
    const float xlim = static_cast<float>(w) - 0.5f, ylim = static_cast<float>(h) - 0.5f;
    const float xs = kPow2 ? 1.0f / float(bx) : float(bx), ys = kPow2 ? 1.0f / float(by) : float(by);
    for (; x < w; ++x) {
        const int64_t e = int64_t(x) * bx;
        const float qx = kPow2 ? mx[e] * xs : mx[e] / xs;
        const float qy = kPow2 ? my[e] * ys : my[e] / ys;
        if (qx > -1.5f && qx < xlim && qy > -1.5f && qy < ylim) {
            const int32_t sx = static_cast<int32_t>(double(qx) + 0.5);
            const int32_t sy = static_cast<int32_t>(double(qy) + 0.5);
            dst[x] = src[int64_t(sy) * w + sx];
        } else {
            dst[x] = fill;
        }
    }
}

#if defined(VX_LENS_X86)
// The same decision four pixels at a time for table rows read with stride 1 or 2 (full and
// 2x binned images). Indices are formed as sy*w + sx with one 16-bit multiply-add, so the
// image must be narrower and shorter than 32768. SSE2 has no gather: lookups stay scalar.
constexpr int32_t kVecLimit = 32768;

inline __m128i round_half_up(__m128 q) {  // q >= 0: trunc(q) + (frac >= 0.5), exact below 2^23
    const __m128i t = _mm_cvttps_epi32(q);
    const __m128 frac = _mm_sub_ps(q, _mm_cvtepi32_ps(t));
    return _mm_sub_epi32(t, _mm_castps_si128(_mm_cmpge_ps(frac, _mm_set1_ps(0.5f))));
}

template <class T, int kStride, bool kPow2Y>
void undistort_row_sse2(const float* mx, const float* my, int by, const T* src, T* dst, int32_t w, int32_t h,
                        T fill) {
    const __m128 lo = _mm_set1_ps(-1.5f), zero = _mm_setzero_ps();
    const __m128 xlim = _mm_set1_ps(static_cast<float>(w) - 0.5f), ylim = _mm_set1_ps(static_cast<float>(h) - 0.5f);
    const __m128 ys = _mm_set1_ps(kPow2Y ? 1.0f / float(by) : float(by));
    const __m128i wmul = _mm_set1_epi32(w | (1 << 16)), ones = _mm_set1_epi32(-1);
    alignas(16) int32_t idx[4];
    int32_t x = 0;
    for (; x + 4 <= w; x += 4) {
        __m128 qx, qy;
        if constexpr (kStride == 1) {
            qx = _mm_loadu_ps(mx + x);
            qy = _mm_loadu_ps(my + x);
        } else {
            qx = _mm_shuffle_ps(_mm_loadu_ps(mx + 2 * x), _mm_loadu_ps(mx + 2 * x + 4), _MM_SHUFFLE(2, 0, 2, 0));
            qy = _mm_shuffle_ps(_mm_loadu_ps(my + 2 * x), _mm_loadu_ps(my + 2 * x + 4), _MM_SHUFFLE(2, 0, 2, 0));
            qx = _mm_mul_ps(qx, _mm_set1_ps(0.5f));
        }
        qy = kPow2Y ? _mm_mul_ps(qy, ys) : _mm_div_ps(qy, ys);
        const __m128 ok = _mm_and_ps(_mm_and_ps(_mm_cmpgt_ps(qx, lo), _mm_cmplt_ps(qx, xlim)),
                                     _mm_and_ps(_mm_cmpgt_ps(qy, lo), _mm_cmplt_ps(qy, ylim)));
        // (-1.5, 0) rounds to 0; NaN lanes are already rejected by `ok`.
        const __m128i sx = round_half_up(_mm_max_ps(qx, zero)), sy = round_half_up(_mm_max_ps(qy, zero));
        __m128i id = _mm_madd_epi16(_mm_or_si128(sy, _mm_slli_epi32(sx, 16)), wmul);
        id = _mm_or_si128(id, _mm_xor_si128(_mm_castps_si128(ok), ones));  // -1 where no source
        _mm_store_si128(reinterpret_cast<__m128i*>(idx), id);
        for (int k = 0; k < 4; ++k) {
            const int32_t i = idx[k];
            const T v = src[i < 0 ? 0 : i];
            dst[x + k] = i < 0 ? fill : v;
        }
    }
    // Division by 1 or 2 for x is exact either way, so the scalar tail agrees.
    if (x < w) undistort_row<T, kPow2Y>(mx, my, kStride, by, src, dst, x, w, h, fill);
}

// Eight pixels at a time with hardware gathers, for full-width table rows.
__attribute__((target("avx2"))) inline __m256i round_half_up8(__m256 q) {
    const __m256i t = _mm256_cvttps_epi32(q);
    const __m256 frac = _mm256_sub_ps(q, _mm256_cvtepi32_ps(t));
    return _mm256_sub_epi32(t, _mm256_castps_si256(_mm256_cmp_ps(frac, _mm256_set1_ps(0.5f), _CMP_GE_OQ)));
}

template <class T, bool kPow2Y>
__attribute__((target("avx2"))) void undistort_row_avx2(const float* mx, const float* my, int by, const T* src,
                                                        T* dst, int32_t w, int32_t h, T fill) {
    const __m256 lo = _mm256_set1_ps(-1.5f), zero = _mm256_setzero_ps();
    const __m256 xlim = _mm256_set1_ps(static_cast<float>(w) - 0.5f);
    const __m256 ylim = _mm256_set1_ps(static_cast<float>(h) - 0.5f);
    const __m256 ys = _mm256_set1_ps(kPow2Y ? 1.0f / float(by) : float(by));
    const __m256i wv = _mm256_set1_epi32(w);
    int32_t x = 0;
    for (; x + 8 <= w; x += 8) {
        const __m256 qx = _mm256_loadu_ps(mx + x);
        __m256 qy = _mm256_loadu_ps(my + x);
        qy = kPow2Y ? _mm256_mul_ps(qy, ys) : _mm256_div_ps(qy, ys);
        const __m256 okf =
            _mm256_and_ps(_mm256_and_ps(_mm256_cmp_ps(qx, lo, _CMP_GT_OQ), _mm256_cmp_ps(qx, xlim, _CMP_LT_OQ)),
                          _mm256_and_ps(_mm256_cmp_ps(qy, lo, _CMP_GT_OQ), _mm256_cmp_ps(qy, ylim, _CMP_LT_OQ)));
        const __m256i ok = _mm256_castps_si256(okf);
        const __m256i sx = round_half_up8(_mm256_max_ps(qx, zero)), sy = round_half_up8(_mm256_max_ps(qy, zero));
        const __m256i id = _mm256_and_si256(_mm256_add_epi32(_mm256_mullo_epi32(sy, wv), sx), ok);
        if constexpr (sizeof(T) == 4) {
            const __m256 v = _mm256_mask_i32gather_ps(_mm256_set1_ps(fill), reinterpret_cast<const float*>(src), id,
                                                      okf, 4);
            _mm256_storeu_ps(reinterpret_cast<float*>(dst + x), v);
        } else {
            // 16-bit pixels: gather the 32-bit word that ends with the wanted pixel, so no read
            // passes the end of src; index 0 has no word before it and is patched in.
            const __m256i one = _mm256_set1_epi32(1);
            const __m256i idc = _mm256_max_epi32(id, one);
            const __m256i offs = _mm256_sub_epi32(_mm256_add_epi32(idc, idc), _mm256_add_epi32(one, one));
            __m256i v = _mm256_srli_epi32(_mm256_i32gather_epi32(reinterpret_cast<const int*>(src), offs, 1), 16);
            v = _mm256_blendv_epi8(v, _mm256_set1_epi32(src[0]), _mm256_cmpeq_epi32(id, _mm256_setzero_si256()));
            v = _mm256_blendv_epi8(_mm256_set1_epi32(fill), v, ok);
            const __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi32(v, v), _MM_SHUFFLE(3, 1, 2, 0));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + x), _mm256_castsi256_si128(packed));
        }
    }
    if (x < w) undistort_row<T, kPow2Y>(mx, my, 1, by, src, dst, x, w, h, fill);
}
#endif

template <class T>
void undistort_rows(const vx_calib_len_map& map, const T* src, T* dst, int32_t w, int32_t h, T fill, LensSimd level) {
    const int bx = map.width / w, by = map.height / h;
    const bool pow2y = (by & (by - 1)) == 0;
    const bool pow2 = pow2y && (bx & (bx - 1)) == 0;
#if defined(VX_LENS_X86)
    if (w >= kVecLimit || h >= kVecLimit || bx > 2) level = LensSimd::kScalar;
    if (bx == 2 && level == LensSimd::kAvx2) level = LensSimd::kSse2;
#else
    level = LensSimd::kScalar;
#endif
    for (int32_t y = 0; y < h; ++y) {
        const int64_t row = int64_t(y) * by * map.width;
        const float* mx = map.map_x + row;
        const float* my = map.map_y + row;
        T* out = dst + int64_t(y) * w;
#if defined(VX_LENS_X86)
        if (level == LensSimd::kAvx2) {
            pow2y ? undistort_row_avx2<T, true>(mx, my, by, src, out, w, h, fill)
                  : undistort_row_avx2<T, false>(mx, my, by, src, out, w, h, fill);
            continue;
        }
        if (level == LensSimd::kSse2) {
            if (bx == 1)
                pow2y ? undistort_row_sse2<T, 1, true>(mx, my, by, src, out, w, h, fill)
                      : undistort_row_sse2<T, 1, false>(mx, my, by, src, out, w, h, fill);
            else
                pow2y ? undistort_row_sse2<T, 2, true>(mx, my, by, src, out, w, h, fill)
                      : undistort_row_sse2<T, 2, false>(mx, my, by, src, out, w, h, fill);
            continue;
        }
#endif
        pow2 ? undistort_row<T, true>(mx, my, bx, by, src, out, 0, w, h, fill)
             : undistort_row<T, false>(mx, my, bx, by, src, out, 0, w, h, fill);
    }
}

template <class T>
int32_t undistort(const char* fn, const vx_calib_len_map* map, T* dst, int32_t dst_len, const T* src, int32_t w,
                  int32_t h, T fill) {
    if (w <= 0 || h <= 0) return 1;  // nothing to correct, and no quotient to take
    const bool usable = map && map->ready && map->map_x && map->map_y && map->width > 0 && map->height > 0;
    if (!usable || map->width % w != 0 || map->height % h != 0) {
        logf(kErr, "[%s] Wrong parameter: calib_map: %dx%d, src_img: %dx%d\n", fn, map ? map->width : 0,
             map ? map->height : 0, w, h);
        return 0;
    }
    if (int64_t(dst_len) < int64_t(w) * h) {
        logf(kErr, "[%s] Wrong parameter: %dx%d > dst_len=%d\n", fn, w, h, dst_len);
        return 0;
    }
    if (!dst || !src) return 0;
    undistort_rows(*map, src, dst, w, h, fill, lens_best_simd());
    return 1;
}

}  // namespace

LensSimd lens_best_simd() {
#if defined(VX_LENS_X86)
    static const LensSimd best = __builtin_cpu_supports("avx2") ? LensSimd::kAvx2 : LensSimd::kSse2;
    return best;
#else
    return LensSimd::kScalar;
#endif
}

void lens_undistort_rows(const vx_calib_len_map& map, const float* src, float* dst, int32_t w, int32_t h, float fill,
                         LensSimd level) {
    undistort_rows(map, src, dst, w, h, fill, level);
}

void lens_undistort_rows(const vx_calib_len_map& map, const uint16_t* src, uint16_t* dst, int32_t w, int32_t h,
                         uint16_t fill, LensSimd level) {
    undistort_rows(map, src, dst, w, h, fill, level);
}

}  // namespace vx

extern "C" {

int32_t vx_calib_len_init_map(vx_calib_len_map* map, const vexel_lens_param* lens) {
    return vx::lens_init_map(map, lens, std::malloc);
}

void vx_calib_len_uninit_map(vx_calib_len_map* map) {
    if (map && map->ready) vx::release(map);
}

int32_t vx_calib_len_undistort_f32(const vx_calib_len_map* map, float* dst, int32_t dst_len, const float* src,
                                   int32_t w, int32_t h, float fill) {
    return vx::undistort<float>(__func__, map, dst, dst_len, src, w, h, fill);
}

int32_t vx_calib_len_undistort_u16(const vx_calib_len_map* map, uint16_t* dst, int32_t dst_len, const uint16_t* src,
                                   int32_t w, int32_t h, int32_t fill) {
    return vx::undistort<uint16_t>(__func__, map, dst, dst_len, src, w, h, static_cast<uint16_t>(fill));
}

}  // extern "C"
