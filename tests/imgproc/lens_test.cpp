#include "imgproc/lens.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <vexel/lens.h>
#include <vexel/log.h>

namespace {

// The parameters the driver starts with.
vexel_lens_param startup_lens() {
    return {157.262, 122.083, 210.783, 204.817, {-0.378924, 0.145035, -0.000970854, 6.20728e-05, -0.0133954}, 320, 240};
}

vexel_lens_param plain_lens(int w, int h) { return {w / 2.0 - 0.3, h / 2.0 + 0.7, 0.8 * w, 0.8 * w, {}, w, h}; }

// Straight from the definition: divide by the binning factor in float, add 0.5 in wide
// precision, truncate toward zero, keep what lands inside the image.
template <class T>
std::vector<T> reference_undistort(const vx_calib_len_map& m, const std::vector<T>& src, int w, int h, T fill) {
    const int bx = m.width / w, by = m.height / h;
    std::vector<T> out(size_t(w) * h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const size_t e = size_t(y) * by * m.width + size_t(x) * bx;
            const float qx = m.map_x[e] / float(bx), qy = m.map_y[e] / float(by);
            const long double rx = std::trunc((long double)qx + 0.5L), ry = std::trunc((long double)qy + 0.5L);
            const bool in = rx >= 0 && ry >= 0 && rx < w && ry < h;
            out[size_t(y) * w + x] = in ? src[size_t(ry) * w + size_t(rx)] : fill;
        }
    return out;
}

std::vector<vx::LensSimd> available_levels() {
    std::vector<vx::LensSimd> v = {vx::LensSimd::kScalar};
    if (vx::lens_best_simd() >= vx::LensSimd::kSse2) v.push_back(vx::LensSimd::kSse2);
    if (vx::lens_best_simd() >= vx::LensSimd::kAvx2) v.push_back(vx::LensSimd::kAvx2);
    return v;
}

template <class T>
std::vector<T> ramp(int w, int h) {
    std::vector<T> v(size_t(w) * h);
    for (size_t i = 0; i < v.size(); ++i) v[i] = T(i % 60000 + 1);
    return v;
}

// A map owning hand-written tables, for exact rounding cases.
struct HandMap {
    std::vector<float> xs, ys;
    vx_calib_len_map m{};
    HandMap(int w, int h, std::vector<float> x, std::vector<float> y) : xs(std::move(x)), ys(std::move(y)) {
        m.map_x = xs.data();
        m.map_y = ys.data();
        m.width = w;
        m.height = h;
        m.size = w * h;
        m.ready = 1;
    }
};

class LensMap : public ::testing::Test {
protected:
    void TearDown() override { vx_calib_len_uninit_map(&map_); }
    vx_calib_len_map map_{};
};

}  // namespace

TEST_F(LensMap, StartupParametersGiveKnownCameraAndRectangle) {
    const vexel_lens_param lens = startup_lens();
    double kp[9];
    vx::LensRect valid;
    vx::lens_new_camera(lens, kp, valid);
    EXPECT_NEAR(kp[0], 148.86, 0.01);
    EXPECT_NEAR(kp[4], 144.72, 0.01);
    EXPECT_NEAR(kp[2], 156.94, 0.01);
    EXPECT_NEAR(kp[5], 120.93, 0.01);
    EXPECT_EQ(kp[8], 1);
    EXPECT_EQ(kp[1], 0);

    ASSERT_EQ(vx_calib_len_init_map(&map_, &lens), 76800);
    EXPECT_EQ(map_.ready, 1);
    EXPECT_EQ(map_.size, 76800);
    EXPECT_EQ(map_.width, 320);
    EXPECT_EQ(map_.height, 240);
    EXPECT_EQ(map_.roi_x, 10);
    EXPECT_EQ(map_.roi_y, 19);
    EXPECT_EQ(map_.roi_w, 301);
    EXPECT_EQ(map_.roi_h, 199);
    EXPECT_NEAR(map_.map_x[120 * 320 + 0], -7.06, 0.01);
    EXPECT_NEAR(map_.map_x[120 * 320 + 160], 161.6, 0.05);
    EXPECT_NEAR(map_.map_y[120 * 320 + 160], 120.8, 0.05);

    std::vector<uint16_t> src = ramp<uint16_t>(320, 240), dst(76800, 1);
    ASSERT_EQ(vx_calib_len_undistort_u16(&map_, dst.data(), 76800, src.data(), 320, 240, 0), 1);
    EXPECT_EQ(dst[120 * 320], 0);
    EXPECT_EQ(dst[120 * 320 + 160], src[121 * 320 + 162]);
}

TEST_F(LensMap, TableMatchesDirectProjection) {
    // Every entry against the distortion model evaluated from scratch at that pixel, which
    // catches drift in the incremental row walk and a wrong inverse.
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> jitter(-0.05, 0.05);
    for (int rep = 0; rep < 3; ++rep) {
        vexel_lens_param lens = startup_lens();
        for (double& c : lens.dcoeff) c *= 1 + jitter(rng);
        if (rep == 2) {
            lens.img_w /= 2;
            lens.img_h /= 2;
            for (double* k : {&lens.cx, &lens.cy, &lens.fx, &lens.fy}) *k /= 2;
        }
        double kp[9];
        vx::LensRect valid;
        vx::lens_new_camera(lens, kp, valid);
        ASSERT_EQ(vx_calib_len_init_map(&map_, &lens), lens.img_w * lens.img_h);
        const double k1 = lens.dcoeff[0], k2 = lens.dcoeff[1], p1 = lens.dcoeff[2], p2 = lens.dcoeff[3],
                     k3 = lens.dcoeff[4];
        double worst = 0;
        for (int v = 0; v < lens.img_h; ++v)
            for (int u = 0; u < lens.img_w; ++u) {
                const double x = (u - kp[2]) / kp[0], y = (v - kp[5]) / kp[4];
                const double r2 = x * x + y * y;
                const double radial = 1 + k1 * r2 + k2 * r2 * r2 + k3 * r2 * r2 * r2;
                const double xd = x * radial + 2 * p1 * x * y + p2 * (r2 + 2 * x * x);
                const double yd = y * radial + p1 * (r2 + 2 * y * y) + 2 * p2 * x * y;
                const size_t e = size_t(v) * lens.img_w + u;
                worst = std::max(worst, std::fabs(map_.map_x[e] - (lens.cx + lens.fx * xd)));
                worst = std::max(worst, std::fabs(map_.map_y[e] - (lens.cy + lens.fy * yd)));
            }
        EXPECT_LT(worst, 1e-3) << "rep " << rep;
        EXPECT_EQ(map_.roi_x, int(valid.x + 0.5));
        EXPECT_EQ(map_.roi_h, int(valid.h + 0.5));
    }
}

TEST_F(LensMap, ZeroCoefficientsArePureScaling) {
    for (const auto& [w, h] : {std::pair{320, 240}, std::pair{41, 30}}) {
        const vexel_lens_param lens = plain_lens(w, h);
        ASSERT_EQ(vx_calib_len_init_map(&map_, &lens), w * h);
        EXPECT_EQ(map_.roi_x, 0);
        EXPECT_EQ(map_.roi_y, 0);
        EXPECT_EQ(map_.roi_w, w - 1);
        EXPECT_EQ(map_.roi_h, h - 1);
        for (int v = 0; v < h; ++v)
            for (int u = 0; u < w; ++u) {
                EXPECT_NEAR(map_.map_x[v * w + u], u * double(w) / (w - 1), 1e-3);
                EXPECT_NEAR(map_.map_y[v * w + u], v * double(h) / (h - 1), 1e-3);
            }

        std::vector<float> src = ramp<float>(w, h), dst(size_t(w) * h, -7.0f);
        ASSERT_EQ(vx_calib_len_undistort_f32(&map_, dst.data(), w * h, src.data(), w, h, -1.0f), 1);
        EXPECT_EQ(dst, reference_undistort(map_, src, w, h, -1.0f));
        for (int y = 0; y < h; ++y) EXPECT_EQ(dst[size_t(y) * w + w - 1], -1.0f) << "last column, row " << y;
        for (int x = 0; x < w; ++x) EXPECT_EQ(dst[size_t(h - 1) * w + x], -1.0f) << "last row, column " << x;
        EXPECT_EQ(dst[0], src[0]);
        // Interior pixels read round(u * w / (w - 1)).
        const int u = w / 3, v = h / 3;
        const int su = int(u * double(w) / (w - 1) + 0.5), sv = int(v * double(h) / (h - 1) + 0.5);
        EXPECT_EQ(dst[size_t(v) * w + u], src[size_t(sv) * w + su]);
    }
}

TEST_F(LensMap, BinnedImagesUseBlockCornerEntries) {
    const vexel_lens_param lens = startup_lens();
    ASSERT_EQ(vx_calib_len_init_map(&map_, &lens), 76800);
    for (const auto& [w, h] : {std::pair{320, 240}, std::pair{160, 120}, std::pair{80, 60}, std::pair{64, 80},
                              std::pair{40, 48}, std::pair{320, 80}, std::pair{160, 80}, std::pair{324, 1}}) {
        if (320 % w || 240 % h) continue;
        SCOPED_TRACE(testing::Message() << w << "x" << h);
        std::vector<uint16_t> src16 = ramp<uint16_t>(w, h), dst16(size_t(w) * h);
        std::vector<float> src32 = ramp<float>(w, h), dst32(size_t(w) * h);
        ASSERT_EQ(vx_calib_len_undistort_u16(&map_, dst16.data(), w * h, src16.data(), w, h, 65500), 1);
        ASSERT_EQ(vx_calib_len_undistort_f32(&map_, dst32.data(), w * h, src32.data(), w, h, 65.5f), 1);
        const auto ref16 = reference_undistort<uint16_t>(map_, src16, w, h, 65500);
        const auto ref32 = reference_undistort<float>(map_, src32, w, h, 65.5f);
        EXPECT_EQ(dst16, ref16);
        EXPECT_EQ(dst32, ref32);
        for (const vx::LensSimd level : available_levels()) {
            std::fill(dst16.begin(), dst16.end(), 1);
            std::fill(dst32.begin(), dst32.end(), 1.0f);
            vx::lens_undistort_rows(map_, src16.data(), dst16.data(), w, h, uint16_t(65500), level);
            vx::lens_undistort_rows(map_, src32.data(), dst32.data(), w, h, 65.5f, level);
            EXPECT_EQ(dst16, ref16) << "level " << int(level);
            EXPECT_EQ(dst32, ref32) << "level " << int(level);
        }
    }
    // 160x120 reads entry (2x, 2y) with both coordinates halved.
    std::vector<uint16_t> src = ramp<uint16_t>(160, 120), dst(160 * 120);
    vx_calib_len_undistort_u16(&map_, dst.data(), 160 * 120, src.data(), 160, 120, 0);
    const int x = 80, y = 60;
    const int sx = int(map_.map_x[2 * y * 320 + 2 * x] / 2 + 0.5), sy = int(map_.map_y[2 * y * 320 + 2 * x] / 2 + 0.5);
    EXPECT_EQ(dst[y * 160 + x], src[sy * 160 + sx]);
}

TEST(LensRounding, AddsHalfAndTruncatesTowardZero) {
    const float below_half = std::nextafter(0.5f, 0.0f);  // float addition of 0.5 would round this up
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::vector<float> cases = {-0.9f, -1.6f, -1.5f, -1.4999f, 3.4999f, 3.5f, below_half, 1.5f, nan, 1e30f,
                                      -1e30f, 2.0f};
    const std::vector<uint16_t> want = {10, 0x2345, 0x2345, 10, 13, 14, 10, 12, 0x2345, 0x2345, 0x2345, 12};
    // Widths 12 and 24 put each case both in vector blocks and in the scalar tail; the 2x
    // binned table holds the doubled positions at even entries and poison at odd ones.
    for (int reps : {1, 2}) {
        for (int bx : {1, 2}) {
            const int w = 12 * reps;
            std::vector<float> xs(size_t(w) * bx, nan), ys(size_t(w) * bx, 0.0f);
            for (int i = 0; i < w; ++i) xs[size_t(i) * bx] = cases[i % 12] * float(bx);
            HandMap hm(w * bx, 1, xs, ys);
            std::vector<uint16_t> src(w), expect(w);
            for (int i = 0; i < w; ++i) src[i] = uint16_t(10 + i), expect[i] = want[i % 12];
            for (const vx::LensSimd level : available_levels()) {
                std::vector<uint16_t> dst(w);
                vx::lens_undistort_rows(hm.m, src.data(), dst.data(), w, 1, uint16_t(0x2345), level);
                EXPECT_EQ(dst, expect) << "width " << w << " bx " << bx << " level " << int(level);
            }
            std::vector<uint16_t> dst(w);
            ASSERT_EQ(vx_calib_len_undistort_u16(&hm.m, dst.data(), w, src.data(), w, 1, 0x12345), 1);
            EXPECT_EQ(dst, expect);
        }
    }

    // Right and bottom limits: q + 0.5 must stay below the size.
    HandMap edge(3, 2, {2.4999f, 2.5f, 0, 0, 0, 0}, {0, 0, 0, 1.4999f, 1.5f, -1.0f});
    std::vector<float> s = {1, 2, 3, 4, 5, 6}, d(6);
    ASSERT_EQ(vx_calib_len_undistort_f32(&edge.m, d.data(), 6, s.data(), 3, 2, -1.0f), 1);
    EXPECT_EQ(d, (std::vector<float>{3, -1, 1, 4, -1, 1}));
}

TEST(LensRounding, RandomTablesAgreeAcrossKernels) {
    // Positions spread over and beyond the image, with exact halves (times the binning
    // factor, 3 included), their float neighbours, corners and NaN mixed in: every kernel
    // must match the definition pixel for pixel.
    std::mt19937 rng(11);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (const auto& [tw, th, w, h] : {std::array{37, 9, 37, 9}, std::array{64, 6, 32, 3}, std::array{70, 12, 35, 4},
                                      std::array{33, 8, 33, 8}, std::array{40, 4, 40, 1},
                                      std::array{99, 6, 33, 2}}) {
        const int bx = tw / w, by = th / h;
        std::vector<float> xs(size_t(tw) * th), ys(size_t(tw) * th);
        auto pick = [&](int lim, int b) {
            const int kind = int(rng() % 8);
            const float half = (float(int(rng() % (lim + 3)) - 2) + 0.5f) * float(b);
            switch (kind) {
                case 0: return half;
                case 1: return std::nextafter(half, -1e9f);
                case 2: return std::nextafter(half, 1e9f);
                case 3: return rng() % 16 == 0 ? nan : 0.0f;
                default: return std::uniform_real_distribution<float>(-2.0f * b, float(lim + 1) * b)(rng);
            }
        };
        for (size_t i = 0; i < xs.size(); ++i) {
            xs[i] = pick(w, bx);
            ys[i] = pick(h, by);
        }
        HandMap hm(tw, th, xs, ys);
        std::vector<uint16_t> src16 = ramp<uint16_t>(w, h);
        std::vector<float> src32 = ramp<float>(w, h);
        const auto ref16 = reference_undistort<uint16_t>(hm.m, src16, w, h, 7);
        const auto ref32 = reference_undistort<float>(hm.m, src32, w, h, -7.0f);
        for (const vx::LensSimd level : available_levels()) {
            std::vector<uint16_t> d16(size_t(w) * h, 1);
            std::vector<float> d32(size_t(w) * h, 1.0f);
            vx::lens_undistort_rows(hm.m, src16.data(), d16.data(), w, h, uint16_t(7), level);
            vx::lens_undistort_rows(hm.m, src32.data(), d32.data(), w, h, -7.0f, level);
            EXPECT_EQ(d16, ref16) << tw << "x" << th << " -> " << w << "x" << h << " level " << int(level);
            EXPECT_EQ(d32, ref32) << tw << "x" << th << " -> " << w << "x" << h << " level " << int(level);
        }
    }
}

TEST_F(LensMap, ParameterErrorsWriteNothing) {
    const vexel_lens_param lens = startup_lens();
    ASSERT_EQ(vx_calib_len_init_map(&map_, &lens), 76800);
    std::vector<uint16_t> src(76800, 5), dst(76800, 9);
    std::vector<float> srcf(76800, 5.0f), dstf(76800, 9.0f);
    const std::vector<uint16_t> untouched = dst;
    const std::vector<float> untouchedf = dstf;

    testing::internal::CaptureStdout();
    EXPECT_EQ(vx_calib_len_undistort_u16(&map_, dst.data(), 76800, src.data(), 300, 240, 0), 0);
    EXPECT_EQ(vx_calib_len_undistort_f32(&map_, dstf.data(), 76799, srcf.data(), 320, 240, 0), 0);
    // The size test comes first even when the length is short too.
    EXPECT_EQ(vx_calib_len_undistort_u16(&map_, dst.data(), 10, src.data(), 320, 7, 0), 0);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("[ERR] [vx_calib_len_undistort_u16] Wrong parameter: calib_map: 320x240, src_img: 300x240\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("[ERR] [vx_calib_len_undistort_f32] Wrong parameter: 320x240 > dst_len=76799\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("calib_map: 320x240, src_img: 320x7\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("dst_len=10"), std::string::npos) << out;

    // Empty images are done before any division.
    testing::internal::CaptureStdout();
    for (const auto& [w, h] : {std::pair{0, 240}, std::pair{320, 0}, std::pair{-160, 120}, std::pair{0, 0}}) {
        EXPECT_EQ(vx_calib_len_undistort_u16(&map_, dst.data(), 76800, src.data(), w, h, 0), 1);
        EXPECT_EQ(vx_calib_len_undistort_f32(&map_, dstf.data(), 76800, srcf.data(), w, h, 0), 1);
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(dst, untouched);
    EXPECT_EQ(dstf, untouchedf);
}

TEST_F(LensMap, LifecycleAndExhaustion) {
    vx_calib_len_uninit_map(&map_);  // empty: nothing to do
    vx_calib_len_uninit_map(&map_);
    EXPECT_EQ(map_.ready, 0);

    const vexel_lens_param lens = startup_lens();
    ASSERT_EQ(vx_calib_len_init_map(&map_, &lens), 76800);
    ASSERT_EQ(vx_calib_len_init_map(&map_, &lens), 76800);  // the first pair is released (leak check in asan)
    vx_calib_len_uninit_map(&map_);
    EXPECT_EQ(map_.ready, 0);
    EXPECT_EQ(map_.map_x, nullptr);
    vx_calib_len_uninit_map(&map_);

    std::vector<uint16_t> src(76800, 5), dst(76800, 9);
    const std::vector<uint16_t> untouched = dst;
    testing::internal::CaptureStdout();
    EXPECT_EQ(vx_calib_len_undistort_u16(&map_, dst.data(), 76800, src.data(), 320, 240, 0), 0);
    EXPECT_EQ(vx_calib_len_undistort_u16(nullptr, dst.data(), 76800, src.data(), 320, 240, 0), 0);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("calib_map: 0x0, src_img: 320x240"), std::string::npos);

    // A failing first or second allocation leaves an empty map, also over a ready one.
    static int calls, fail_at;
    const vx::LensAlloc failing = [](size_t n) -> void* { return ++calls == fail_at ? nullptr : std::malloc(n); };
    for (int f : {1, 2}) {
        ASSERT_EQ(vx_calib_len_init_map(&map_, &lens), 76800);
        calls = 0;
        fail_at = f;
        EXPECT_EQ(vx::lens_init_map(&map_, &lens, failing), 0);
        EXPECT_EQ(map_.ready, 0);
        EXPECT_EQ(map_.map_x, nullptr);
        EXPECT_EQ(map_.map_y, nullptr);
        testing::internal::CaptureStdout();
        EXPECT_EQ(vx_calib_len_undistort_u16(&map_, dst.data(), 76800, src.data(), 320, 240, 0), 0);
        EXPECT_EQ(vx_calib_len_undistort_u16(&map_, dst.data(), 76800, src.data(), 160, 120, 0), 0);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(dst, untouched);
    }

    // Sizes that cannot make a table.
    for (const auto& [w, h] : {std::pair{0, 240}, std::pair{320, -1}, std::pair{70000, 70000}}) {
        vexel_lens_param bad = lens;
        bad.img_w = w;
        bad.img_h = h;
        EXPECT_EQ(vx_calib_len_init_map(&map_, &bad), 0);
        EXPECT_EQ(map_.ready, 0);
    }
    EXPECT_EQ(vx_calib_len_init_map(&map_, nullptr), 0);
}

TEST_F(LensMap, DegenerateLensesBuildHarmlessTables) {
    // No focal length, or a one-pixel image (singular new camera matrix): the table may hold
    // NaN or infinities, but building and correcting with it stays defined.
    vexel_lens_param flat = startup_lens();
    flat.fx = 0;
    vexel_lens_param dot = startup_lens();
    dot.img_w = dot.img_h = 1;
    for (const vexel_lens_param& lens : {flat, dot}) {
        const int n = lens.img_w * lens.img_h;
        ASSERT_EQ(vx_calib_len_init_map(&map_, &lens), n);
        std::vector<uint16_t> src = ramp<uint16_t>(lens.img_w, lens.img_h), dst(n, 1);
        ASSERT_EQ(vx_calib_len_undistort_u16(&map_, dst.data(), n, src.data(), lens.img_w, lens.img_h, 9), 1);
        EXPECT_EQ(dst, reference_undistort<uint16_t>(map_, src, lens.img_w, lens.img_h, 9));
    }
}

TEST(LensTable, KernelsAgreeBitForBit) {
    // Also with a general (skewed, projective) inverse matrix, where Z changes along a row,
    // and with sizes that leave row and column remainders.
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> small(-0.002, 0.002);
    for (const auto& [w, h] : {std::pair{320, 240}, std::pair{37, 13}, std::pair{3, 6}, std::pair{1, 1}}) {
        vexel_lens_param lens = startup_lens();
        lens.img_w = w;
        lens.img_h = h;
        for (double& c : lens.dcoeff) c *= 1 + small(rng) * 100;
        double ik[9] = {1 / 148.9, 0, -156.9 / 148.9, 0, 1 / 144.7, -120.9 / 144.7, 0, 0, 1};
        if (w != 320) {
            ik[1] = small(rng);
            ik[3] = small(rng);
            ik[6] = small(rng) * 0.1;
            ik[7] = small(rng) * 0.1;
        }
        const size_t n = size_t(w) * h;
        std::vector<float> sx(n, 1.0f), sy(n, 1.0f);
        vx::lens_build_table(lens, ik, sx.data(), sy.data(), vx::LensSimd::kScalar);
        for (const vx::LensSimd level : available_levels()) {
            std::vector<float> vec_x(n, -1.0f), vec_y(n, -1.0f);
            vx::lens_build_table(lens, ik, vec_x.data(), vec_y.data(), level);
            EXPECT_EQ(std::memcmp(vec_x.data(), sx.data(), n * sizeof(float)), 0) << w << "x" << h << " " << int(level);
            EXPECT_EQ(std::memcmp(vec_y.data(), sy.data(), n * sizeof(float)), 0) << w << "x" << h << " " << int(level);
        }
    }
}
