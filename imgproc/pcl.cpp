// Point clouds from distance images.
//
// The distance of a pixel is the length of the ray from the camera to the surface. A pixel
// whose ray has the normalised direction (a, b, 1) sees the point z = r / sqrt(1 + a² + b²),
// x = a·z, y = b·z: each pixel's unit direction is worked out once per lens, image size and
// kind of ray, and a frame costs three multiplications per pixel.
#include "imgproc/pcl.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "core/device.hpp"
#include "core/log.hpp"
#include "imgproc/cmap.hpp"
#include "imgproc/lens.hpp"
#include <vexel/lens.h>
#include <vexel/pcl.h>

namespace vx {

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

bool gives_point(float d, float dz) { return d > 0.0f && d < 60.0f && dz > 0.0f; }

// Unit direction of the normalised ray (a, b, 1); NaN when it has none.
void set_ray(PclRays& r, size_t i, double a, double b) {
    const double n = 1.0 / std::sqrt(1.0 + a * a + b * b);
    if (!(n > 0.0) || !std::isfinite(a) || !std::isfinite(b)) {
        r.x[i] = r.y[i] = r.z[i] = kNaN;
        return;
    }
    r.x[i] = static_cast<float>(a * n);
    r.y[i] = static_cast<float>(b * n);
    r.z[i] = static_cast<float>(n);
}

// `lens` already at the image's size.
void build_rays(const vexel_lens_param& lens, PclRays& r, PclLens kind) {
    for (int32_t v = 0; v < r.h; ++v)
        for (int32_t u = 0; u < r.w; ++u) {
            const size_t i = size_t(v) * size_t(r.w) + size_t(u);
            double a = (u - lens.cx) / lens.fx, b = (v - lens.cy) / lens.fy;
            if (kind != PclLens::pinhole && !lens_ray(lens, u, v, a, b)) a = b = kNaN;
            set_ray(r, i, a, b);
        }
}

struct RaysKey {
    vexel_lens_param lens;
    int32_t w, h;
    PclLens kind;
    bool operator==(const RaysKey& o) const {
        return std::memcmp(&lens, &o.lens, sizeof lens) == 0 && w == o.w && h == o.h && kind == o.kind;
    }
};

std::shared_ptr<PclRays> make_rays(const RaysKey& k) {
    auto r = std::make_shared<PclRays>();
    const size_t n = size_t(k.w) * size_t(k.h);
    r->w = k.w;
    r->h = k.h;
    r->x.resize(n);
    r->y.resize(n);
    r->z.resize(n);
    // The lens at the image's size: binned images shrink the intrinsics, the distortion stays.
    vexel_lens_param at = k.lens;
    const double bx = k.lens.img_w / k.w, by = k.lens.img_h / k.h;
    at.cx /= bx, at.fx /= bx, at.cy /= by, at.fy /= by;
    at.img_w = k.w, at.img_h = k.h;
    build_rays(at, *r, k.kind == PclLens::pinhole ? PclLens::pinhole : PclLens::distorted);
    if (k.kind != PclLens::undistorted) return r;

    // What the undistortion copies into each pixel is the value of one sensor pixel: let the
    // library's own correction move pixel numbers, and give each pixel that sensor pixel's ray.
    vx_calib_len_map map{};
    if (!vx_calib_len_init_map(&map, &k.lens)) return nullptr;
    std::vector<float> id(n), src(n);
    for (size_t i = 0; i < n; ++i) id[i] = static_cast<float>(i);
    const int ok = vx_calib_len_undistort_f32(&map, src.data(), static_cast<int32_t>(n), id.data(), k.w, k.h, -1.0f);
    vx_calib_len_uninit_map(&map);
    if (!ok) return nullptr;
    const PclRays sensor = *r;
    for (size_t i = 0; i < n; ++i) {
        const auto s = static_cast<int64_t>(src[i]);
        r->x[i] = s < 0 ? kNaN : sensor.x[size_t(s)];
        r->y[i] = s < 0 ? kNaN : sensor.y[size_t(s)];
        r->z[i] = s < 0 ? kNaN : sensor.z[size_t(s)];
    }
    return r;
}

// Pixels [u0, u1) of row v, one at a time, stopping once `cap` points are written.
int64_t scan_pixels(const PclRays& r, const float* dist, float scale, int32_t v, int32_t u0, int32_t u1, float* out,
                    int64_t n, int64_t cap, PclLayout layout, int32_t* index) {
    const int stride = layout == PclLayout::xyz ? 3 : 4;
    const size_t row = size_t(v) * size_t(r.w);
    for (int32_t u = u0; u < u1 && n < cap; ++u) {
        const size_t i = row + size_t(u);
        if (!gives_point(dist[i], r.z[i])) continue;
        const float d = dist[i] * scale;
        float* p = out + n * stride;
        p[0] = d * r.x[i];
        p[1] = d * r.y[i];
        p[2] = d * r.z[i];
        if (layout != PclLayout::xyz) p[3] = d;
        if (index) index[n] = static_cast<int32_t>(i);
        ++n;
    }
    return n;
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define VX_PCL_SIMD 1
#define VX_AVX2 __attribute__((target("avx2")))

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

// Stores the first `count` lanes of v (none when count <= 0).
VX_AVX2 inline void store_first(float* dst, __m256 v, int count) {
    const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    _mm256_maskstore_ps(dst, _mm256_cmpgt_epi32(_mm256_set1_epi32(count), lanes), v);
}

// The first k lanes of x, y, z (and f) as k consecutive points.
VX_AVX2 inline void interleave(float* dst, __m256 x, __m256 y, __m256 z, __m256 f, int k, PclLayout layout) {
    if (layout == PclLayout::xyz) {
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
}

// Eight pixels: their distances scaled, the lanes that give a point, and the three products.
struct Block {
    __m256 d, x, y, z;
    unsigned mask;
};
VX_AVX2 inline Block block(const PclRays& r, const float* dist, size_t i, __m256 scale) {
    const __m256 raw = _mm256_loadu_ps(dist + i), rz = _mm256_loadu_ps(r.z.data() + i);
    const __m256 zero = _mm256_setzero_ps();
    const __m256 in = _mm256_and_ps(
        _mm256_and_ps(_mm256_cmp_ps(raw, zero, _CMP_GT_OQ), _mm256_cmp_ps(raw, _mm256_set1_ps(60.0f), _CMP_LT_OQ)),
        _mm256_cmp_ps(rz, zero, _CMP_GT_OQ));
    const __m256 d = _mm256_mul_ps(raw, scale);
    return {d, _mm256_mul_ps(d, _mm256_loadu_ps(r.x.data() + i)), _mm256_mul_ps(d, _mm256_loadu_ps(r.y.data() + i)),
            _mm256_mul_ps(d, rz), unsigned(_mm256_movemask_ps(in))};
}

// One whole row, eight pixels at a time; `out` (and `index`) have room for w more points.
// Which blocks are whole is as good as random where an image has scattered holes, so nothing
// here branches on it: a mispredicted branch per block costs more than the masked stores.
VX_AVX2 int64_t row_avx2(const PclRays& r, const float* dist, float scale, int32_t v, float* out, int64_t n,
                         PclLayout layout, int32_t* index) {
    const int stride = layout == PclLayout::xyz ? 3 : 4;
    const __m256 sv = _mm256_set1_ps(scale);
    const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    const size_t row = size_t(v) * size_t(r.w);
    int32_t u = 0;
    for (; u + 8 <= r.w; u += 8) {
        const size_t i = row + size_t(u);
        Block b = block(r, dist, i, sv);
        if (b.mask == 0) continue;
        const int k = __builtin_popcount(b.mask);
        const __m256i idx = _mm256_cvtepu8_epi32(_mm_cvtsi64_si128(static_cast<long long>(kCompress[b.mask])));
        interleave(out + n * stride, _mm256_permutevar8x32_ps(b.x, idx), _mm256_permutevar8x32_ps(b.y, idx),
                   _mm256_permutevar8x32_ps(b.z, idx), _mm256_permutevar8x32_ps(b.d, idx), k, layout);
        if (index) {
            const __m256i pix = _mm256_add_epi32(_mm256_set1_epi32(static_cast<int32_t>(i)), lanes);
            _mm256_maskstore_epi32(index + n, _mm256_cmpgt_epi32(_mm256_set1_epi32(k), lanes),
                                   _mm256_permutevar8x32_epi32(pix, idx));
        }
        n += k;
    }
    return scan_pixels(r, dist, scale, v, u, r.w, out, n, INT64_MAX, layout, index);
}

VX_AVX2 int64_t organised_avx2(const PclRays& r, const float* dist, float* out) {
    const size_t total = size_t(r.w) * size_t(r.h);
    const __m256 one = _mm256_set1_ps(1.0f), nan = _mm256_set1_ps(kNaN);
    int64_t n = 0;
    size_t i = 0;
    for (; i + 8 <= total; i += 8) {
        const Block b = block(r, dist, i, one);
        const __m256 keep = _mm256_castsi256_ps(_mm256_cmpgt_epi32(
            _mm256_and_si256(_mm256_set1_epi32(int32_t(b.mask)), _mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128)),
            _mm256_setzero_si256()));
        interleave(out + 3 * i, _mm256_blendv_ps(nan, b.x, keep), _mm256_blendv_ps(nan, b.y, keep),
                   _mm256_blendv_ps(nan, b.z, keep), nan, 8, PclLayout::xyz);
        n += __builtin_popcount(b.mask);
    }
    for (; i < total; ++i) {
        float* p = out + 3 * i;
        if (gives_point(dist[i], r.z[i])) {
            p[0] = dist[i] * r.x[i], p[1] = dist[i] * r.y[i], p[2] = dist[i] * r.z[i];
            ++n;
        } else {
            p[0] = p[1] = p[2] = kNaN;
        }
    }
    return n;
}
#endif

// Replaces the distance of each of n xyzd points by its colour word from the library colour map,
// in batches through the map's vector path.
void colour_points(float* out, int64_t n) {
    const vx_cmap& map = *library_cmap();
    constexpr int32_t kBatch = 1024;
    float r[kBatch];
    uint8_t rgbx[4 * kBatch];
    for (int64_t i = 0; i < n; i += kBatch) {
        const int32_t m = static_cast<int32_t>(std::min<int64_t>(kBatch, n - i));
        for (int32_t k = 0; k < m; ++k) r[k] = out[(i + k) * 4 + 3];
        colorize_float(map, r, m, VEXEL_COLOR_RGBX8888, rgbx, true);
        // Colour words stay below 2^24: exact as floats.
        for (int32_t k = 0; k < m; ++k) {
            const uint8_t* c = rgbx + 4 * k;
            out[(i + k) * 4 + 3] = static_cast<float>(uint32_t{c[0]} | uint32_t{c[1]} << 8 | uint32_t{c[2]} << 16);
        }
    }
}

}  // namespace

std::shared_ptr<const PclRays> pcl_rays(const vexel_lens_param& lens, int32_t w, int32_t h, PclLens kind) {
    RaysKey key{lens, w, h, kind};
    if (kind == PclLens::pinhole) std::fill(std::begin(key.lens.dcoeff), std::end(key.lens.dcoeff), 0.0);
    // A handful of recent tables: one camera, its binned sizes, perhaps a second lens. Building
    // happens outside the lock, so a slow build never holds up a frame of another size.
    static std::mutex mu;
    static std::array<std::pair<RaysKey, std::shared_ptr<const PclRays>>, 6> cache{};
    static size_t next = 0;
    {
        std::lock_guard lock(mu);
        for (const auto& [k, r] : cache)
            if (r && k == key) return r;
    }
    std::shared_ptr<const PclRays> made;
    try {
        made = make_rays(key);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    if (!made) return nullptr;
    std::lock_guard lock(mu);
    cache[next] = {key, made};
    next = (next + 1) % cache.size();
    return made;
}

PclSimd pcl_best_simd() {
#ifdef VX_PCL_SIMD
    static const PclSimd best = __builtin_cpu_supports("avx2") ? PclSimd::kAvx2 : PclSimd::kScalar;
    return best;
#else
    return PclSimd::kScalar;
#endif
}

int64_t pcl_scan(const PclRays& rays, const float* dist, float scale, float* out, int64_t cap, PclLayout layout,
                 PclSimd level, int32_t* index) {
    int64_t n = 0;
    for (int32_t v = 0; v < rays.h && n < cap; ++v) {
        if (level == PclSimd::kScalar || cap - n < rays.w) {
            n = scan_pixels(rays, dist, scale, v, 0, rays.w, out, n, cap, layout, index);
            continue;
        }
#ifdef VX_PCL_SIMD
        n = row_avx2(rays, dist, scale, v, out, n, layout, index);
#endif
    }
    if (layout == PclLayout::xyzc) colour_points(out, n);
    return n;
}

int64_t pcl_organised(const PclRays& rays, const float* dist, float* out, PclSimd level) {
#ifdef VX_PCL_SIMD
    if (level == PclSimd::kAvx2) return organised_avx2(rays, dist, out);
#endif
    (void)level;
    const size_t total = size_t(rays.w) * size_t(rays.h);
    int64_t n = 0;
    for (size_t i = 0; i < total; ++i) {
        float* p = out + 3 * i;
        const bool ok = gives_point(dist[i], rays.z[i]);
        p[0] = ok ? dist[i] * rays.x[i] : kNaN;
        p[1] = ok ? dist[i] * rays.y[i] : kNaN;
        p[2] = ok ? dist[i] * rays.z[i] : kNaN;
        n += ok;
    }
    return n;
}

}  // namespace vx

namespace {

using vx::PclLayout;
using vx::PclLens;

constexpr uint32_t kLensMask = 3, kKnownFlags = kLensMask | VEXEL_PCL_ORGANISED;

bool bad_sizes(const char* fn, const void* out, const float* dist, int32_t dist_len, int32_t img_w, int32_t img_h) {
    if (out && dist && int64_t{dist_len} >= int64_t{img_w} * img_h) return false;
    vx::logf(vx::kErr, "[%s] wrong parameters: out=%p, dist=%p, dist_len=%d, size=%dx%d\n", fn, out,
             static_cast<const void*>(dist), dist_len, img_w, img_h);
    return true;
}

// The lens of the driver bound to an open `call`, at the image's size; false (logged) without.
bool driver_lens(const char* fn, const vx::DeviceCall& call, int32_t img_w, int32_t img_h, vexel_lens_param& lp) {
    vexel_driver_entry* drv = call ? call.handle()->driver : nullptr;
    if (!drv || !drv->ops || !drv->ops->lens_param_get) {
        vx::logf(vx::kErr, "[%s] Cannot generate PCL: no lens parameter in driver.\n", fn);
        return false;
    }
    lp = {};
    return drv->ops->lens_param_get(drv, &lp, img_w, img_h) != 0;  // the driver says why not
}

// The shared rays for a caller's lens, or the driver's when it is null.
std::shared_ptr<const vx::PclRays> rays_for(const char* fn, const vx::DeviceCall& call, const vexel_lens_param* lens,
                                            int32_t img_w, int32_t img_h, PclLens kind) {
    vexel_lens_param lp{};
    if (lens) {
        lp = *lens;
        if (lp.img_w < img_w || lp.img_h < img_h || lp.img_w % img_w || lp.img_h % img_h) {
            vx::logf(vx::kErr, "[%s] lens param not match the frame size: lens: %dx%d, frame: %dx%d\n", fn,
                     lp.img_w, lp.img_h, img_w, img_h);
            return nullptr;
        }
    } else if (!driver_lens(fn, call, img_w, img_h, lp)) {
        return nullptr;
    }
    auto rays = vx::pcl_rays(lp, img_w, img_h, kind);
    if (!rays) vx::logf(vx::kErr, "[%s] no memory for the rays of a %dx%d image\n", fn, img_w, img_h);
    return rays;
}

int32_t frame_get_pcl(const char* fn, vexel_dev* dev, float* pcl, int32_t pcl_len, const float* dist,
                      int32_t dist_len, int32_t img_w, int32_t img_h, const vexel_camera_param* lens,
                      PclLayout layout) {
    if (!dev || img_w <= 0 || img_h <= 0) return 0;
    if (bad_sizes(fn, pcl, dist, dist_len, img_w, img_h)) return 0;
    // Busy while the record is open; caller intrinsics also work on a record never opened.
    vx::DeviceCall call(dev);
    float scale = 1.0f;
    vexel_lens_param lp{};
    if (lens) {
        lp = {lens->cx, lens->cy, lens->fx, lens->fy, {}, img_w, img_h};
        scale = lens->dist_scale;
    } else if (!driver_lens(fn, call, img_w, img_h, lp)) {
        return 0;
    }
    auto rays = rays_for(fn, call, &lp, img_w, img_h, PclLens::pinhole);
    if (!rays) return 0;
    const int64_t cap = pcl_len > 0 ? pcl_len / (layout == PclLayout::xyz ? 3 : 4) : 0;
    return static_cast<int32_t>(vx::pcl_scan(*rays, dist, scale, pcl, cap, layout, vx::pcl_best_simd()));
}

PclLens lens_kind(uint32_t flags) {
    switch (flags & kLensMask) {
        case VEXEL_PCL_DISTORTED: return PclLens::distorted;
        case VEXEL_PCL_UNDISTORTED: return PclLens::undistorted;
        default: return PclLens::pinhole;
    }
}

bool bad_flags(const char* fn, uint32_t flags, uint32_t known) {
    if ((flags & ~known) == 0 && (flags & kLensMask) != kLensMask) return false;
    vx::logf(vx::kErr, "[%s] wrong parameters: flags 0x%x\n", fn, flags);
    return true;
}

}  // namespace

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

VX_API int32_t vexel_frame_get_pcl_ex(vexel_dev* dev, float* pcl, int32_t pcl_len, const float* dist,
                                      int32_t dist_len, int32_t img_w, int32_t img_h, const vexel_lens_param* lens,
                                      uint32_t flags, int32_t* index, int32_t index_len) {
    static constexpr const char* fn = "vexel_frame_get_pcl_ex";
    if ((!dev && !lens) || img_w <= 0 || img_h <= 0) return 0;
    if (bad_sizes(fn, pcl, dist, dist_len, img_w, img_h) || bad_flags(fn, flags, kKnownFlags)) return 0;
    const int64_t pixels = int64_t{img_w} * img_h;
    const bool organised = flags & VEXEL_PCL_ORGANISED;
    if (organised && int64_t{pcl_len} < 3 * pixels) {
        vx::logf(vx::kErr, "[%s] wrong parameters: an organised cloud of %dx%d needs %lld floats, pcl_len=%d\n", fn,
                 img_w, img_h, static_cast<long long>(3 * pixels), pcl_len);
        return 0;
    }
    vx::DeviceCall call(dev);
    auto rays = rays_for(fn, call, lens, img_w, img_h, lens_kind(flags));
    if (!rays) return 0;
    if (organised) return static_cast<int32_t>(vx::pcl_organised(*rays, dist, pcl, vx::pcl_best_simd()));
    int64_t cap = pcl_len > 0 ? pcl_len / 3 : 0;
    if (index) cap = std::min<int64_t>(cap, std::max(index_len, 0));
    return static_cast<int32_t>(
        vx::pcl_scan(*rays, dist, 1.0f, pcl, cap, PclLayout::xyz, vx::pcl_best_simd(), index));
}

VX_API int32_t vexel_frame_get_zdepth(vexel_dev* dev, float* zdepth, int32_t zdepth_len, const float* dist,
                                      int32_t dist_len, int32_t img_w, int32_t img_h, const vexel_lens_param* lens,
                                      uint32_t flags) {
    static constexpr const char* fn = "vexel_frame_get_zdepth";
    if ((!dev && !lens) || img_w <= 0 || img_h <= 0) return 0;
    if (bad_sizes(fn, zdepth, dist, dist_len, img_w, img_h) || bad_flags(fn, flags, kLensMask)) return 0;
    const int64_t pixels = int64_t{img_w} * img_h;
    if (int64_t{zdepth_len} < pixels) {
        vx::logf(vx::kErr, "[%s] wrong parameters: %dx%d > zdepth_len=%d\n", fn, img_w, img_h, zdepth_len);
        return 0;
    }
    vx::DeviceCall call(dev);
    auto rays = rays_for(fn, call, lens, img_w, img_h, lens_kind(flags));
    if (!rays) return 0;
    for (int64_t i = 0; i < pixels; ++i) {
        const float d = dist[i], dz = rays->z[size_t(i)];
        // Marks and empty pixels stay as they are; a measured pixel without a ray is invalid.
        zdepth[i] = !(d > 0.0f && d < 60.0f) ? d : dz > 0.0f ? d * dz : 65.5f;
    }
    return static_cast<int32_t>(pixels);
}

}  // extern "C"
