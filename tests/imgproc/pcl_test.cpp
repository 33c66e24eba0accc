#include "imgproc/pcl.hpp"

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "core/device.hpp"
#include "imgproc/cmap.hpp"
#include "imgproc/lens_model.hpp"
#include "test_util.hpp"
#include <vexel/lens.h>
#include <vexel/pcl.h>

namespace {

// What fn prints; the console then returns to its default threshold, which other suites of
// this binary count on.
template <class Fn>
std::string console_of(Fn&& fn) {
    std::string out = vxtest::console_of(std::forward<Fn>(fn));
    vx_log_enable(VX_LOG_CONSOLE, 3, nullptr);
    return out;
}
using vxtest::contains;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// The start-up lens parameters, handed out with the binning rule: the frame size must divide
// 320 x 240 by whole factors.
uint8_t g_busy_seen;
uint8_t binning_lens(vexel_driver_entry* drv, vexel_lens_param* out, int w, int h) {
    g_busy_seen = drv->dev->busy;
    if (w < 1 || h < 1 || 320 % w || 240 % h) return 0;
    const int sx = 320 / w, sy = 240 / h;
    *out = {157.262 / sx, 122.083 / sy, 210.783 / sx, 204.817 / sy, {}, w, h};
    return 1;
}
const vexel_driver_op kBinningOps = [] {
    vexel_driver_op ops{};
    ops.lens_param_get = binning_lens;
    return ops;
}();

// An open record bound to a driver table, without a camera behind it.
struct BoundDevice {
    explicit BoundDevice(const vexel_driver_op* ops) : entry{"test", "X0", ops, &dev, nullptr} {
        h.open.store(1);
        h.driver = &entry;
        dev.handle = &h;
    }
    vexel_dev dev{};
    vexel_dev_handle h;
    vexel_driver_entry entry;
};

std::vector<float> image(int w, int h, std::initializer_list<std::pair<int, float>> set) {
    std::vector<float> d(size_t(w) * h, 0.0f);
    for (auto [i, v] : set) d[size_t(i)] = v;
    return d;
}

TEST(Pcl, WorkedExamplesWithCallerAndDriverIntrinsics) {
    BoundDevice bound(&kBinningOps);
    std::vector<float> pcl(3 * 4, kNaN);
    const vexel_camera_param lens{2, 1, 3, 5, 1};
    auto d = image(5, 3, {{7, 2.0f}});  // (2, 1): the principal point
    ASSERT_EQ(vexel_frame_get_pcl(&bound.dev, pcl.data(), 12, d.data(), 15, 5, 3, &lens), 1);
    EXPECT_EQ(std::vector<float>(pcl.begin(), pcl.begin() + 3), (std::vector<float>{0, 0, 2}));

    // Pixel (0, 0) at full size and binned by two sees the same ray, (a, b) = (-0.7461, -0.5961):
    // a ray of length 1 ends at z = 1 / sqrt(1 + a² + b²) (the formula as first written, x = r a,
    // y = r b, put it at z = 0.2968, 72.7° off the axis instead of 43.7°).
    for (int bin : {1, 2}) {
        const int w = 320 / bin, h = 240 / bin;
        d = image(w, h, {{0, 1.0f}});
        g_busy_seen = 0;
        ASSERT_EQ(vexel_frame_get_pcl(&bound.dev, pcl.data(), 12, d.data(), w * h, w, h, nullptr), 1) << bin;
        EXPECT_NEAR(pcl[0], -0.5396, 1e-4);
        EXPECT_NEAR(pcl[1], -0.4311, 1e-4);
        EXPECT_NEAR(pcl[2], 0.7232, 1e-4);
        EXPECT_EQ(g_busy_seen, 1);
    }
    EXPECT_EQ(bound.dev.busy, 0);
    d = image(300, 240, {{0, 1.0f}});
    EXPECT_EQ(vexel_frame_get_pcl(&bound.dev, pcl.data(), 12, d.data(), 300 * 240, 300, 240, nullptr), 0);
}

TEST(Pcl, OnlyDistancesStrictlyBetweenZeroAndSixtyGivePoints) {
    const vexel_camera_param lens{0, 0, 100, 100, 1};
    vexel_dev dev{};  // caller intrinsics need no open camera
    const float inf = std::numeric_limits<float>::infinity();
    const struct {
        float d;
        bool point;
    } cases[] = {{0.0f, false},    {-0.0f, false}, {-1.0f, false},        {60.0f, false}, {65.3f, false},
                 {kNaN, false},    {inf, false},   {59.999996f, true},     {1e-45f, true}, {1.5f, true}};
    for (const auto& c : cases) {
        float pcl[3];
        EXPECT_EQ(vexel_frame_get_pcl(&dev, pcl, 3, &c.d, 1, 1, 1, &lens), c.point ? 1 : 0) << c.d;
    }
    // The test sees the unscaled value: millimetres pass only below 60.
    const vexel_camera_param mm{0, 0, 100, 100, 0.001f};
    const float in[] = {1500.0f, 50.0f};
    float pcl[6];
    ASSERT_EQ(vexel_frame_get_pcl(&dev, pcl, 6, in, 2, 2, 1, &mm), 1);
    EXPECT_FLOAT_EQ(std::sqrt(pcl[0] * pcl[0] + pcl[1] * pcl[1] + pcl[2] * pcl[2]), 0.05f);
}

TEST(Pcl, CapacityStopsTheScanAndNothingBeyondIsWritten) {
    const vexel_camera_param lens{0, 0, 100, 100, 1};
    vexel_dev dev{};
    const std::vector<float> d(64, 1.0f);
    const struct {
        bool xyzd;
        int pcl_len, points;
    } cases[] = {{false, 2, 0}, {false, 3, 1}, {false, 5, 1}, {false, 6, 2}, {false, 191, 63}, {false, 192, 64},
                 {true, 3, 0},  {true, 4, 1},  {true, 7, 1},  {true, 8, 2},  {true, 255, 63},  {true, 256, 64}};
    for (const auto& c : cases) {
        std::vector<float> pcl(300, kNaN);
        const int n = c.xyzd ? vexel_frame_get_pcl_xyzd(&dev, pcl.data(), c.pcl_len, d.data(), 64, 8, 8, 0, &lens)
                             : vexel_frame_get_pcl(&dev, pcl.data(), c.pcl_len, d.data(), 64, 8, 8, &lens);
        EXPECT_EQ(n, c.points) << c.pcl_len << (c.xyzd ? " xyzd" : "");
        const size_t used = size_t(n) * (c.xyzd ? 4 : 3);
        for (size_t i = 0; i < pcl.size(); ++i) ASSERT_EQ(std::isnan(pcl[i]), i >= used) << c.pcl_len << " at " << i;
    }
}

TEST(Pcl, FourthValueIsTheDistanceOrItsColour) {
    ASSERT_TRUE(vx::library_cmap_init(30000));
    const vexel_camera_param lens{0, 0, 100, 100, 0.5f};
    vexel_dev dev{};
    const float d = 3.0f;
    float p[4];
    ASSERT_EQ(vexel_frame_get_pcl_xyzd(&dev, p, 4, &d, 1, 1, 1, 0, &lens), 1);
    EXPECT_EQ(p[3], 1.5f);
    ASSERT_EQ(vexel_frame_get_pcl_xyzd(&dev, p, 4, &d, 1, 1, 1, 1, &lens), 1);
    EXPECT_EQ(p[3], float(vx_cmap_get_color(vx::library_cmap(), 1500)));
    EXPECT_NE(p[3], 0.0f);
    vx::library_cmap_uninit();
}

TEST(Pcl, UnsoundCallsAreRefused) {
    BoundDevice ti(&g_vexel_driver_op_ti);
    vexel_dev closed{};
    const vexel_camera_param lens{1, 1, 100, 100, 1};
    std::vector<float> d(16, 1.0f), pcl(64);
    int n = -1;
    std::string out = console_of([&] { n = vexel_frame_get_pcl(&ti.dev, pcl.data(), 64, d.data(), 16, 4, 4, nullptr); });
    EXPECT_EQ(n, 0);
    EXPECT_TRUE(contains(out, "[vexel_frame_get_pcl] Cannot generate PCL: no lens parameter in driver.\n")) << out;
    out = console_of([&] { n = vexel_frame_get_pcl_xyzd(&closed, pcl.data(), 64, d.data(), 16, 4, 4, 1, nullptr); });
    EXPECT_EQ(n, 0);
    EXPECT_TRUE(contains(out, "[vexel_frame_get_pcl_xyzd] Cannot generate PCL: no lens parameter in driver.\n"));
    EXPECT_EQ(vexel_frame_get_pcl(nullptr, pcl.data(), 64, d.data(), 16, 4, 4, &lens), 0);

    // A distance image one value short is never read; 65536 x 65536 does not wrap to 0.
    out = console_of([&] { n = vexel_frame_get_pcl(&closed, pcl.data(), 64, d.data(), 15, 4, 4, &lens); });
    EXPECT_EQ(n, 0);
    EXPECT_TRUE(contains(out, "wrong parameters")) << out;
    EXPECT_EQ(vexel_frame_get_pcl(&closed, pcl.data(), 64, d.data(), 16, 4, 4, &lens), 16);
    console_of([&] { n = vexel_frame_get_pcl(&closed, pcl.data(), 64, d.data(), 16, 65536, 65536, &lens); });
    EXPECT_EQ(n, 0);

    // Wide intrinsics: every pixel still has a ray, and a point at distance 1 along it.
    const vexel_camera_param wide{1.5f, 1.5f, 1.0f, 1.0f, 1};
    n = vexel_frame_get_pcl(&closed, pcl.data(), 64, d.data(), 16, 4, 4, &wide);
    EXPECT_EQ(n, 16);
    for (int i = 0; i < n; ++i)
        EXPECT_NEAR(std::hypot(pcl[3 * i], pcl[3 * i + 1], pcl[3 * i + 2]), 1.0f, 1e-6f) << i;
    // Zero focal lengths give no rays and so no points.
    const vexel_camera_param flat{1.5f, 1.5f, 0.0f, 0.0f, 1};
    EXPECT_EQ(vexel_frame_get_pcl(&closed, pcl.data(), 64, d.data(), 16, 4, 4, &flat), 0);
}

// The vector path agrees bit for bit with the pixel-by-pixel arithmetic for every layout, kind
// of ray and capacity, pixel indices and organised clouds included.
TEST(Pcl, VectorPathMatchesThePixelByPixelArithmetic) {
    if (vx::pcl_best_simd() == vx::PclSimd::kScalar) GTEST_SKIP() << "no vector path on this machine";
    ASSERT_TRUE(vx::library_cmap_init(30000));
    std::mt19937 rng(17);
    std::uniform_real_distribution<float> dist(-5.0f, 70.0f);
    const int w = 37, h = 11;
    std::vector<float> d(size_t(w) * h);
    for (float& v : d) v = dist(rng);
    for (int i = 0; i < 40; ++i) d[rng() % d.size()] = (i % 3 == 0) ? 1e-44f : (i % 3 == 1) ? 1e-30f : kNaN;
    const vexel_lens_param lens{18.5, 5.0, 20.0, 18.0, {-0.378924, 0.145035, -0.000970854, 6.20728e-05, -0.0133954},
                                w, h};
    for (auto kind : {vx::PclLens::pinhole, vx::PclLens::distorted, vx::PclLens::undistorted}) {
        const auto rays = vx::pcl_rays(lens, w, h, kind);
        ASSERT_TRUE(rays);
        for (auto layout : {vx::PclLayout::xyz, vx::PclLayout::xyzd, vx::PclLayout::xyzc}) {
            const size_t stride = layout == vx::PclLayout::xyz ? 3 : 4;
            for (int64_t cap : {int64_t{1}, int64_t{w} - 1, int64_t{200}, int64_t{w} * h}) {
                std::vector<float> a(size_t(cap) * stride + 4, 7.0f), b = a;
                std::vector<int32_t> ia(size_t(cap) + 1, -7), ib = ia;
                const int64_t na = vx::pcl_scan(*rays, d.data(), 0.5f, a.data(), cap, layout, vx::PclSimd::kAvx2,
                                                ia.data());
                const int64_t nb = vx::pcl_scan(*rays, d.data(), 0.5f, b.data(), cap, layout, vx::PclSimd::kScalar,
                                                ib.data());
                ASSERT_EQ(na, nb);
                ASSERT_EQ(std::memcmp(a.data(), b.data(), a.size() * sizeof(float)), 0) << int(kind) << " " << cap;
                ASSERT_EQ(ia, ib);
            }
        }
        std::vector<float> a(3 * d.size()), b(3 * d.size());
        ASSERT_EQ(vx::pcl_organised(*rays, d.data(), a.data(), vx::PclSimd::kAvx2),
                  vx::pcl_organised(*rays, d.data(), b.data(), vx::PclSimd::kScalar));
        ASSERT_EQ(std::memcmp(a.data(), b.data(), a.size() * sizeof(float)), 0);
    }
    vx::library_cmap_uninit();
}

using pcltest::kLens;

// Distorted rays lead back to their pixel through the lens; undistorted pixels carry the ray of
// the sensor pixel the correction copies into them; both are built once and then shared.
TEST(Pcl, RaysFollowTheLens) {
    const auto sensor = vx::pcl_rays(kLens, 320, 240, vx::PclLens::distorted);
    ASSERT_TRUE(sensor);
    EXPECT_EQ(vx::pcl_rays(kLens, 320, 240, vx::PclLens::distorted), sensor);
    double worst = 0;
    for (int v = 0; v < 240; v += 7)
        for (int u = 0; u < 320; u += 7) {
            const size_t i = size_t(v) * 320 + size_t(u);
            ASSERT_NEAR(std::hypot(sensor->x[i], sensor->y[i], sensor->z[i]), 1.0, 1e-6);
            const auto [pu, pv] = pcltest::seen_at(sensor->x[i] / sensor->z[i], sensor->y[i] / sensor->z[i]);
            worst = std::max(worst, std::hypot(pu - u, pv - v));
        }
    EXPECT_LT(worst, 1e-3);  // pixels, the float rounding of the stored direction
    const size_t corner = 0;
    const auto pinhole = vx::pcl_rays(kLens, 320, 240, vx::PclLens::pinhole);
    EXPECT_GT(std::acos(double(sensor->z[corner])) - std::acos(double(pinhole->z[corner])), 0.05);  // radians

    const auto fixed = vx::pcl_rays(kLens, 320, 240, vx::PclLens::undistorted);
    vx_calib_len_map map{};
    ASSERT_EQ(vx_calib_len_init_map(&map, &kLens), 76800);
    int without = 0;
    for (size_t i = 0; i < 76800; ++i) {
        // Nearest pixel as the correction rounds: add 0.5, truncate toward zero.
        const double sx = std::trunc(map.map_x[i] + 0.5), sy = std::trunc(map.map_y[i] + 0.5);
        if (sx < 0 || sy < 0 || sx >= 320 || sy >= 240) {
            ASSERT_TRUE(std::isnan(fixed->z[i])) << i;
            ++without;
            continue;
        }
        const size_t s = size_t(sy) * 320 + size_t(sx);
        ASSERT_EQ(fixed->x[i], sensor->x[s]) << i;
        ASSERT_EQ(fixed->z[i], sensor->z[s]) << i;
    }
    EXPECT_GT(without, 0);
    vx_calib_len_uninit_map(&map);
}

TEST(Pcl, OrganisedCloudsIndicesAndZDepth) {
    const int w = 160, h = 120;  // binned by two from the lens's 320 x 240
    std::vector<float> d(size_t(w) * h, 2.0f);
    d[5] = 0.0f, d[6] = 65.3f, d[7] = 65.5f, d[8] = kNaN;
    vexel_lens_param binned = kLens;
    binned.cx /= 2, binned.cy /= 2, binned.fx /= 2, binned.fy /= 2, binned.img_w = w, binned.img_h = h;
    const int32_t pixels = w * h;
    const auto n3 = static_cast<size_t>(3 * pixels), n1 = static_cast<size_t>(pixels);
    std::vector<float> org(n3), pts(n3), z(n1);
    std::vector<int32_t> idx(n1);
    // The full-size lens and the binned one give the same cloud.
    for (const vexel_lens_param* lens : {&kLens, static_cast<const vexel_lens_param*>(&binned)}) {
        ASSERT_EQ(vexel_frame_get_pcl_ex(nullptr, org.data(), 3 * pixels, d.data(), pixels, w, h, lens,
                                         VEXEL_PCL_DISTORTED | VEXEL_PCL_ORGANISED, nullptr, 0),
                  pixels - 4);
        ASSERT_EQ(vexel_frame_get_pcl_ex(nullptr, pts.data(), 3 * pixels, d.data(), pixels, w, h, lens,
                                         VEXEL_PCL_DISTORTED, idx.data(), pixels),
                  pixels - 4);
        ASSERT_EQ(vexel_frame_get_zdepth(nullptr, z.data(), pixels, d.data(), pixels, w, h, lens, VEXEL_PCL_DISTORTED),
                  pixels);
        for (int k = 0; k < pixels - 4; ++k) {
            const auto i = size_t(idx[size_t(k)]);
            ASSERT_EQ(i, size_t(k < 5 ? k : k + 4));
            for (int c = 0; c < 3; ++c) ASSERT_EQ(pts[3 * size_t(k) + size_t(c)], org[3 * i + size_t(c)]);
            ASSERT_EQ(z[i], org[3 * i + 2]);
        }
        for (size_t i : {5, 6, 7, 8}) EXPECT_TRUE(std::isnan(org[3 * i]) && std::isnan(org[3 * i + 2])) << i;
        EXPECT_EQ(z[5], 0.0f);
        EXPECT_EQ(z[6], 65.3f);
        EXPECT_EQ(z[7], 65.5f);
        EXPECT_TRUE(std::isnan(z[8]));
    }
    // The index array limits the points as the cloud's capacity does.
    EXPECT_EQ(vexel_frame_get_pcl_ex(nullptr, pts.data(), 3 * pixels, d.data(), pixels, w, h, &kLens, 0, idx.data(), 4), 4);
    EXPECT_EQ(vexel_frame_get_pcl_ex(nullptr, pts.data(), 11, d.data(), pixels, w, h, &kLens, 0, idx.data(), 9), 3);

    // Refused: unknown flags, both lens kinds at once, an organised cloud one float short, a
    // lens whose size the image does not divide, no lens and no device, the organised flag for
    // the z-depth.
    int32_t n = -1;
    const std::string out = console_of([&] {
        n = vexel_frame_get_pcl_ex(nullptr, org.data(), 3 * pixels, d.data(), pixels, w, h, &kLens, 0x100, nullptr, 0) +
            vexel_frame_get_pcl_ex(nullptr, org.data(), 3 * pixels, d.data(), pixels, w, h, &kLens, 3, nullptr, 0) +
            vexel_frame_get_pcl_ex(nullptr, org.data(), 3 * pixels - 1, d.data(), pixels, w, h, &kLens,
                                   VEXEL_PCL_ORGANISED, nullptr, 0) +
            vexel_frame_get_pcl_ex(nullptr, org.data(), 3 * pixels, d.data(), pixels, w - 1, h, &kLens, 0, nullptr, 0) +
            vexel_frame_get_pcl_ex(nullptr, org.data(), 3 * pixels, d.data(), pixels, w, h, nullptr, 0, nullptr, 0) +
            vexel_frame_get_zdepth(nullptr, z.data(), pixels, d.data(), pixels, w, h, &kLens, VEXEL_PCL_ORGANISED) +
            vexel_frame_get_zdepth(nullptr, z.data(), pixels - 1, d.data(), pixels, w, h, &kLens, 0);
    });
    EXPECT_EQ(n, 0);
    EXPECT_TRUE(contains(out, "[vexel_frame_get_pcl_ex] wrong parameters: flags 0x100")) << out;
    EXPECT_TRUE(contains(out, "needs 57600 floats, pcl_len=57599")) << out;
    EXPECT_TRUE(contains(out, "lens param not match the frame size: lens: 320x240, frame: 159x120")) << out;
    EXPECT_TRUE(contains(out, "[vexel_frame_get_zdepth] wrong parameters: 160x120 > zdepth_len=19199")) << out;
}

}  // namespace
