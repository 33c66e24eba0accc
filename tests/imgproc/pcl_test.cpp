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

    // Pixel (0, 0) at full size and binned by two sees the same ray.
    for (int bin : {1, 2}) {
        const int w = 320 / bin, h = 240 / bin;
        d = image(w, h, {{0, 1.0f}});
        g_busy_seen = 0;
        ASSERT_EQ(vexel_frame_get_pcl(&bound.dev, pcl.data(), 12, d.data(), w * h, w, h, nullptr), 1) << bin;
        EXPECT_NEAR(pcl[0], -0.7461, 1e-4);
        EXPECT_NEAR(pcl[1], -0.5961, 1e-4);
        EXPECT_NEAR(pcl[2], 0.2968, 1e-4);
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

    // Intrinsics wider than a hemisphere: the corner rays have no real z and give no point.
    const vexel_camera_param wide{1.5f, 1.5f, 1.0f, 1.0f, 1};
    n = vexel_frame_get_pcl(&closed, pcl.data(), 64, d.data(), 16, 4, 4, &wide);
    EXPECT_EQ(n, 4);  // only the four centre pixels: (±0.5)² + (±0.5)² < 1
    for (int i = 0; i < 3 * n; ++i) EXPECT_FALSE(std::isnan(pcl[size_t(i)]));
}

// The vector path agrees bit for bit with the pixel-by-pixel arithmetic, including quotients
// that sit on a float rounding boundary, tiny values and every capacity.
TEST(Pcl, VectorPathMatchesTheWrittenArithmetic) {
    ASSERT_TRUE(vx::library_cmap_init(30000));
    std::mt19937 rng(17);
    std::uniform_real_distribution<float> dist(-5.0f, 70.0f);
    const int w = 37, h = 11;
    std::vector<float> d(size_t(w) * h);
    for (float& v : d) v = dist(rng);
    for (int i = 0; i < 40; ++i) d[rng() % d.size()] = (i % 3 == 0) ? 1e-44f : (i % 3 == 1) ? 1e-30f : kNaN;
    struct Case {
        vx::PclIntrinsics in;
        float tie_r;  // put at (0, 0), where u - cx = 1
    };
    std::vector<Case> cases = {{{157.262, 122.083, 210.783, 204.817, 1.0f}, 0},
                               {{18.5, 5.0, 3.0, 2.0, 0.37f}, 0},  // negative radicands
                               {{-3.0, 40.0, 1e30, 0.5, 1.0f}, 0}};
    // Focal lengths for which r * (1 / f) and r / f round to different floats.
    for (int k = 1; cases.size() < 12 && k < 100000; ++k) {
        const float r = 1.0f + float(k % 50) + float(k) * 0x1p-16f;
        const double f = double(r) / (1.0 + (2.0 * k + 1) * 0x1p-24);
        if (float(double(r) * (1.0 / f)) != float(double(r) / f)) cases.push_back({{-1.0, 0.0, f, 1.0, 1.0f}, r});
    }
    ASSERT_EQ(cases.size(), 12u);
    std::vector<std::pair<vx::PclLayout, vx::PclSimd>> levels;
    for (auto layout : {vx::PclLayout::xyz, vx::PclLayout::xyzd, vx::PclLayout::xyzc})
        for (auto level : {vx::PclSimd::kAvx2, vx::PclSimd::kAvx512})
            if (level <= vx::pcl_best_simd()) levels.emplace_back(layout, level);
    for (const auto& c : cases) {
        std::vector<float> img = d;
        if (c.tie_r > 0) img[0] = c.tie_r;
        for (auto [layout, level] : levels) {
            const size_t stride = layout == vx::PclLayout::xyz ? 3 : 4;
            for (int64_t cap : {int64_t{1}, int64_t{w} - 1, int64_t{200}, int64_t{w} * h}) {
                std::vector<float> a(size_t(cap) * stride + 4, 7.0f), b = a;
                const int64_t na = vx::pcl_scan(c.in, img.data(), w, h, a.data(), cap, layout, level);
                const int64_t nb = vx::pcl_scan(c.in, img.data(), w, h, b.data(), cap, layout, vx::PclSimd::kScalar);
                ASSERT_EQ(na, nb);
                ASSERT_EQ(std::memcmp(a.data(), b.data(), a.size() * sizeof(float)), 0)
                    << "fx " << c.in.fx << " level " << int(level);
                if (c.tie_r > 0) {
                    ASSERT_EQ(a[0], float(double(c.tie_r) / c.in.fx));
                }
            }
        }
    }
    vx::library_cmap_uninit();
}

}  // namespace
