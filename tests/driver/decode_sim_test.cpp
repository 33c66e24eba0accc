// Decoded distances against the simulated camera's ground truth, through the public frame
// access calls, with the camera's own calibration package downloaded at open; the automatic
// integration time on a saturated scene; the frame access entry points' edge cases.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <vexel/driver.h>
#include <vexel/features.h>
#include <vexel/vexel.h>

#include "chip/chip_fixture.hpp"
#include "sim/sim.hpp"
#include "test_util.hpp"

namespace {

constexpr uint32_t kPixels = vxsim::kWidth * vxsim::kHeight;

std::string label(const char* fmt, double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, fmt, v);
    return buf;
}

struct Errors {
    double median_abs_mm, p99_abs_mm, rms_mm;
    size_t valid;
};

class DecodeSim : public chiptest::ChipTest {
protected:
    void SetUp() override {
        ChipTest::SetUp();
        vx_log_enable(VX_LOG_CONSOLE, VX_LOG_OFF, nullptr);
    }
    void TearDown() override {
        if (open_) vexel_dev_close(&dev_);
        ChipTest::TearDown();
    }

    // A camera facing `m`; opening it downloads its calibration package into the fresh prefix
    // directory. Pixel calibration on, lens and median off: decoded pixel and truth pixel are
    // the same sensor pixel.
    void open(const vxsim::Measurement& m) {
        vxsim::CameraOptions o;
        o.product = "A-E2-1.0";
        o.measurement = m;
        cam_ = &tb_.add_camera(o);
        vexel_dev list[2];
        ASSERT_EQ(vexel_dev_list(list, 2), 1);
        dev_ = list[0];
        ASSERT_EQ(vexel_dev_open(&dev_), &dev_);
        open_ = true;
        uint8_t set = 1;
        ASSERT_EQ(vexel_filter_enable(&dev_, VEXEL_FILTER_PIXEL_CALIB, &set, 1), 1);
        ASSERT_EQ(vexel_filter_disable(&dev_, VEXEL_FILTER_MEDIAN), 1);
        ASSERT_EQ(vexel_cap_set_frame_buffer(&dev_, nullptr, 4 * 307200), 1);
    }

    // The newest of `n` captured frames.
    std::vector<uint8_t> capture(int n = 2) {
        std::vector<uint8_t> raw(vxsim::kFrameBytes);
        EXPECT_EQ(vexel_cap_start(&dev_), 1);
        for (int k = 0; k < n; ++k)
            EXPECT_EQ(vexel_cap_get_frames(&dev_, 1, raw.data(), static_cast<uint32_t>(raw.size()), &info_), 1);
        vexel_cap_stop(&dev_);
        return raw;
    }

    std::vector<float> distance(const std::vector<uint8_t>& raw) {
        std::vector<float> d(kPixels);
        EXPECT_EQ(vexel_frame_get_distance(&dev_, d.data(), kPixels, raw.data(), static_cast<uint32_t>(raw.size()),
                                           &info_),
                  static_cast<int>(kPixels));
        return d;
    }

    // Errors of the valid decoded pixels against the truth, in millimetres.
    Errors errors(const std::vector<float>& d) const {
        const std::vector<float> truth = cam_->truth().distance;
        std::vector<double> e;
        double sq = 0;
        for (uint32_t i = 0; i < kPixels; ++i) {
            if (d[i] >= 60.0f || truth[i] <= 0) continue;
            const double err = (d[i] - truth[i]) * 1000.0;
            e.push_back(std::fabs(err));
            sq += err * err;
        }
        if (e.empty()) return {1e9, 1e9, 1e9, 0};
        auto quantile = [&](double f) {
            const auto at = e.begin() + static_cast<long>(f * double(e.size() - 1));
            std::nth_element(e.begin(), at, e.end());
            return *at;
        };
        const double med = quantile(0.5), p99 = quantile(0.99);
        return {med, p99, std::sqrt(sq / double(e.size())), e.size()};
    }

    // A wall lit for about 1500 units of amplitude at its centre (A = 4 rho t / r^2 at 500 us),
    // as a suitable exposure would give: the rounding of the samples then costs well under a
    // millimetre, and the phase is what is measured.
    static vxsim::Measurement wall(double metres, double noise_mm = 0, double fpn_mm = 0) {
        vxsim::Measurement m;
        m.scene.kind = vxsim::Scene::Kind::wall;
        m.scene.distance_m = metres;
        m.reflectivity = 0.75 * metres * metres;
        m.noise_mm = noise_mm;
        m.fpn_mm = fpn_mm;
        return m;
    }

    void expect_accurate(const Errors& e, double metres, const std::string& what) {
        SCOPED_TRACE(what);
        EXPECT_GT(e.valid, kPixels * 9 / 10);
        EXPECT_LE(e.median_abs_mm, 2.0);
        EXPECT_LE(e.p99_abs_mm, 5.0 * metres);  // 0.5 % of the distance
        std::printf("[ accuracy ] %s: median %.2f mm, p99 %.2f mm, rms %.2f mm over %zu pixels\n", what.c_str(),
                    e.median_abs_mm, e.p99_abs_mm, e.rms_mm, e.valid);
    }

    vxsim::Testbed tb_;
    vxsim::Camera* cam_ = nullptr;
    vexel_dev dev_{};
    vexel_frame_info info_{};
    bool open_ = false;
};

// Noise and fixed pattern off: walls at 1, 2 and 4 m, then 15 degrees above the calibration
// temperatures (the temperature term removes the drift), then noise on.
TEST_F(DecodeSim, WallDistancesMatchTheTruth) {
    open(wall(2));
    for (double metres : {1.0, 2.0, 4.0}) {
        cam_->set_measurement(wall(metres));
        expect_accurate(errors(distance(capture())), metres, label("wall %.0f m", metres));
    }
    cam_->set_param(15, {0xF4, 0x01, 0xC2, 0x01});  // 50.0 and 45.0 degrees: 15 above calibration
    for (double metres : {1.0, 2.0, 4.0}) {
        cam_->set_measurement(wall(metres));
        expect_accurate(errors(distance(capture())), metres, label("+15 C, wall %.0f m", metres));
    }
    cam_->set_param(15, {0x5E, 0x01, 0x2C, 0x01});
    for (double metres : {1.0, 2.0, 4.0}) {
        cam_->set_measurement(wall(metres, 3.0));
        const Errors e = errors(distance(capture()));
        std::printf("[ accuracy ] noise 3 mm, wall %.0f m: median %.2f mm, rms %.2f mm\n", metres, e.median_abs_mm,
                    e.rms_mm);
        EXPECT_LT(e.median_abs_mm, 10.0 * metres) << metres;  // 1 % of the distance
    }
}

// The camera's fixed-pattern error: its own package's pixel calibration removes it.
TEST_F(DecodeSim, PixelCalibrationRemovesTheFixedPattern) {
    open(wall(2, 0, 20));
    const auto raw = capture();
    const Errors on = errors(distance(raw));
    ASSERT_EQ(vexel_filter_disable(&dev_, VEXEL_FILTER_PIXEL_CALIB), 1);
    const Errors off = errors(distance(raw));
    std::printf("[ accuracy ] fixed pattern 20 mm, wall 2 m: rms %.2f mm calibrated, %.2f mm uncalibrated\n",
                on.rms_mm, off.rms_mm);
    expect_accurate(on, 2, "fixed pattern, calibrated");
    EXPECT_GE(off.rms_mm, 5 * on.rms_mm);
}

// A reflective wall at 0.5 m with 1500 us saturates; the automatic integration time brings the
// share of bad samples under its target within a few seconds of frames.
TEST_F(DecodeSim, AutomaticIntegrationLeavesSaturation) {
    vxsim::Measurement m = wall(0.5);
    m.reflectivity = 1.0;  // 24000 units of amplitude at 1500 us
    open(m);
    // The open programs the modulation, which sets the integration time; set 1500 us after it.
    vexel_param_item it{VX_PARAM_INTG_TIME, 2, {0xDC, 0x05}, {}};
    ASSERT_EQ(vexel_param_batch_set(&dev_, &it, 1), 1);
    ASSERT_EQ(configSetIntegrationTime3D(1500), 0);
    uint16_t target = 5;  // per mille
    ASSERT_EQ(vexel_filter_enable(&dev_, VEXEL_FILTER_AUTO_INTG, &target, 2), 1);
    auto bad_per_mille = [](const std::vector<uint8_t>& raw) {
        size_t bad = 0;
        for (size_t i = 0; i + 1 < raw.size(); i += 2) {
            const unsigned v = raw[i] | raw[i + 1] << 8;
            bad += v <= 1 || v >= 4095;
        }
        return bad * 1000 / (raw.size() / 2);
    };
    std::vector<uint8_t> raw(vxsim::kFrameBytes);
    std::vector<float> d(kPixels);
    ASSERT_EQ(vexel_cap_start(&dev_), 1);
    size_t first = 0, last = 1000;
    int frames = 0;
    for (; frames < 150 && last >= target; ++frames) {  // 5 s at 30 frames per second
        ASSERT_EQ(vexel_cap_get_frames(&dev_, 1, raw.data(), static_cast<uint32_t>(raw.size()), &info_), 1);
        last = bad_per_mille(raw);
        if (frames == 0) first = last;
        vexel_frame_get_distance(&dev_, d.data(), kPixels, raw.data(), static_cast<uint32_t>(raw.size()), &info_);
    }
    vexel_cap_stop(&dev_);
    const auto p13 = cam_->param(13);
    std::printf("[ accuracy ] auto integration: %zu per mille bad at 1500 us, %zu after %d frames at %u us\n", first,
                last, frames, p13.size() >= 2 ? unsigned(p13[0] | p13[1] << 8) : 0u);
    EXPECT_GT(first, 100u);
    EXPECT_LT(last, target);
    EXPECT_LT(configGetIntegrationTime3D(), 1500);
}

// The public entry points: sizes refused before anything is written, the 16-bit decode widened
// in the caller's buffer (millimetres to metres, gray as is), only width x height values written.
TEST_F(DecodeSim, FrameAccessWidensTheDecode) {
    open(wall(2));
    const auto raw = capture();
    vexel_driver_entry* drv = vexel_dev_get_drv(&dev_);
    std::vector<uint16_t> mm(kPixels), gray(kPixels);
    ASSERT_EQ(drv->ops->frame_decode(drv, mm.data(), 2 * kPixels, 1, raw.data(), int(raw.size()), &info_), 2 * int(kPixels));
    ASSERT_EQ(drv->ops->frame_decode(drv, gray.data(), 2 * kPixels, 2, raw.data(), int(raw.size()), &info_),
              2 * int(kPixels));

    std::vector<float> d(kPixels + 100, -1.0f), g(kPixels, -1.0f);
    EXPECT_EQ(vexel_frame_get_distance(&dev_, d.data(), kPixels + 100, raw.data(), uint32_t(raw.size()), &info_),
              int(kPixels));
    EXPECT_EQ(vexel_frame_get_gray(&dev_, g.data(), kPixels, raw.data(), uint32_t(raw.size()), &info_), int(kPixels));
    size_t wrong = 0;
    for (uint32_t i = 0; i < kPixels; ++i) wrong += d[i] != mm[i] / 1000.0f || g[i] != float(gray[i]);
    EXPECT_EQ(wrong, 0u);

    std::vector<float> untouched(kPixels - 1, -1.0f);
    const std::string short_dst = vxtest::console_of([&] {
        EXPECT_EQ(vexel_frame_get_distance(&dev_, untouched.data(), kPixels - 1, raw.data(), uint32_t(raw.size()),
                                           &info_),
                  0);
    });
    EXPECT_TRUE(vxtest::contains(short_dst, "wrong dst_len: 76799 (wxh=320x240)"));
    EXPECT_TRUE(std::all_of(untouched.begin(), untouched.end(), [](float f) { return f == -1.0f; }));
    const std::string short_src = vxtest::console_of([&] {
        EXPECT_EQ(vexel_frame_get_gray(&dev_, g.data(), kPixels, raw.data(), uint32_t(raw.size() - 1), &info_), 0);
    });
    EXPECT_TRUE(vxtest::contains(short_src, "raw frame length too small: datalen=614399, frlen=614400"));
    EXPECT_EQ(dev_.busy, 0);
}

}  // namespace
