// The C++ layer of <vexel/vexel.hpp> end to end against a simulated camera looking at a wall.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
#include <utility>

#include <chrono>

#include <gtest/gtest.h>

#include <vexel/vexel.hpp>

#include "sim/sim.hpp"
#include "test_util.hpp"

namespace {

// Devices keep calibration in the user's cache: here, the scratch directory's.
class Hpp : public vxtest::ScratchDirTest {
  protected:
    void SetUp() override {
        ScratchDirTest::SetUp();
        ::setenv("XDG_CACHE_HOME", (dir_ / "cache").c_str(), 1);
    }
};

TEST_F(Hpp, OpensCapturesDecodesProjectsAndReportsFailuresAsExceptions) {
    vxsim::Testbed tb;
    vxsim::CameraOptions opt;
    opt.measurement.scene = *vxsim::Scene::parse("wall:2");
    opt.serial = "HPP42";
    opt.sensor_temp = 512;
    // Held where they are set, and drifting by the host's own coefficients: the decode's
    // accuracy, not the temperature compensation, is checked here.
    opt.measurement.effects.warmup = false;
    opt.measurement.effects.drift_error = opt.measurement.effects.drift_curvature = 0;
    opt.flash[7] = {3, std::vector<uint8_t>(1000, 0x5A)};
    vxsim::Camera& sim = tb.add_camera(opt);
    vexel::Library lib(nullptr, VX_LOG_OFF);
    EXPECT_THROW(vexel::Device::open(1), vexel::Error);
    EXPECT_THROW(vexel::Device::open_serial("HPP4"), vexel::Error);  // a prefix is not the serial

    vexel::Device first = vexel::Device::open();
    vexel::Device cam = std::move(first);  // the open record moves with it
    EXPECT_EQ(first.get(), nullptr);
    EXPECT_THROW(first.start(), vexel::Error);
    EXPECT_EQ(cam.product(), "A-E2-1.0");
    EXPECT_EQ(cam.serial(), "HPP42");
    EXPECT_EQ(cam.calibration(), EPC_CALIB_DOWNLOADED);
    EXPECT_THROW(cam.median(4), std::invalid_argument);
    EXPECT_THROW(cam.read_registers(256, 0, 1), std::invalid_argument);
    cam.median(5);
    cam.pixel_calibration(true);

    try {
        cam.next_frame();
        ADD_FAILURE() << "a frame without capture";
    } catch (const vexel::Error& e) {
        EXPECT_STREQ(e.name(), "");
        EXPECT_NE(std::string(e.what()).find("not running"), std::string::npos) << e.what();
    }

    std::vector<float> metres, gray;
    std::vector<vexel::Point> cloud;
    {
        vexel::Capture run(cam);
        EXPECT_TRUE(cam.capturing());
        const auto before = std::chrono::system_clock::now();
        const vexel::Frame f = cam.next_frame();
        ASSERT_EQ(f.pixels(), 320u * 240u);
        EXPECT_EQ(f.sensor_celsius(), 51.2);
        EXPECT_EQ(f.illumination_celsius(), 30.0);
        EXPECT_GE(f.host_time(), before);
        EXPECT_LE(f.host_time(), std::chrono::system_clock::now());
        EXPECT_EQ(f.raw().size(), f.info().frame_size);
        metres = cam.distance(f);
        gray = cam.amplitude(f);
        cloud = cam.point_cloud(f);
    }
    EXPECT_FALSE(cam.capturing());
    // The depth-quality steps: as switches with their state, and on the caller's images.
    EXPECT_FALSE(cam.filter_state(VEXEL_FILTER_FLYING).on);
    cam.flying(6);
    EXPECT_TRUE(cam.filter_state(VEXEL_FILTER_FLYING).on);
    EXPECT_EQ(cam.filter_state(VEXEL_FILTER_FLYING).value_f(), 6.0f);
    EXPECT_EQ(cam.filter_state(VEXEL_FILTER_MEDIAN).value_i(1), 5);
    EXPECT_THROW(cam.fill(65), vexel::Error);
    cam.flying(0);
    EXPECT_FALSE(cam.filter_state(VEXEL_FILTER_FLYING).on);
    EXPECT_THROW(cam.filter_state(99), vexel::Error);
    {
        const std::vector<float> sigma = vexel::depth::confidence(gray, 320, 240);
        std::vector<float> smooth = metres;
        vexel::depth::Temporal history(320, 240);
        history(smooth, 0.1f, sigma);
        EXPECT_EQ(smooth, metres);  // a first frame comes through
        vexel::depth::spatial(smooth, sigma, 320, 240);
        EXPECT_NE(smooth, metres);
        EXPECT_THROW(vexel::depth::fill(smooth, 320, 241), std::invalid_argument);
        EXPECT_THROW(vexel::depth::Temporal(0, 1), std::invalid_argument);
    }
    EXPECT_TRUE(sim.wait_until([](const vxsim::Camera& c) { return !c.streaming(); }));

    // Decoded ray lengths against the truth: the median error is a few millimetres.
    const std::vector<float> truth = sim.truth().distance;
    std::vector<float> err;
    for (size_t i = 0; i < metres.size(); ++i)
        if (metres[i] > 0 && metres[i] < 60 && truth[i] > 0) err.push_back(std::fabs(metres[i] - truth[i]));
    ASSERT_GT(err.size(), metres.size() * 9 / 10);
    std::nth_element(err.begin(), err.begin() + static_cast<long>(err.size() / 2), err.end());
    EXPECT_LT(err[err.size() / 2], 0.02f);
    EXPECT_GT(*std::max_element(gray.begin(), gray.end()), 0.0f);

    // One point per valid pixel in scan order, at the pixel's decoded distance from the camera.
    std::vector<size_t> valid;
    for (size_t i = 0; i < metres.size(); ++i)
        if (metres[i] > 0 && metres[i] < 60) valid.push_back(i);
    ASSERT_EQ(cloud.size(), valid.size());
    for (size_t k : {size_t{0}, valid.size() / 2, valid.size() - 1}) {
        const vexel::Point& p = cloud[k];
        EXPECT_GT(p.z, 0.0f);
        EXPECT_NEAR(std::sqrt(p.x * p.x + p.y * p.y + p.z * p.z), metres[valid[k]], 1e-3f) << k;
    }
    const std::vector<float> none(320 * 240, 65.5f);
    EXPECT_TRUE(cam.point_cloud(none, 320, 240).empty());
    EXPECT_THROW(cam.point_cloud(none, 321, 240), std::invalid_argument);

    // Transfers relay progress; a callback that asks to stop cancels with an exception.
    uint32_t last = 0;
    cam.read_image(7, "image.bin", [&](uint32_t done, uint32_t, int) { return last = done, false; });
    EXPECT_EQ(last, 1000u);
    EXPECT_EQ(std::filesystem::file_size("image.bin"), 1000u);
    EXPECT_THROW(cam.read_image(7, "again.bin", [](uint32_t, uint32_t, int) { return true; }), vexel::Error);
    EXPECT_FALSE(std::filesystem::exists("again.bin"));
}

TEST_F(Hpp, SerialCacheAndLogHandler) {
    vxsim::Testbed tb;
    vxsim::CameraOptions opt;
    opt.serial = "S/1";
    tb.add_camera(opt);
    std::mutex mu;
    std::vector<std::pair<int, std::string>> lines;
    vexel::Library lib(nullptr, VX_LOG_DBG, [&](int level, std::string_view text) {
        std::lock_guard lock(mu);
        lines.emplace_back(level, std::string(text));
    });
    EXPECT_THROW(vexel::Device::open_serial("S/2"), vexel::Error);
    vexel::Device cam = vexel::Device::open_serial("S/1");
    // The calibration went to the cache, named after serial and chip; the messages to the handler.
    EXPECT_EQ(std::string(vexel_path_get()), (dir_ / "cache/vexel/S_1-42/").string());
    {
        std::lock_guard lock(mu);
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const auto& l) {
            return l.first == VX_LOG_DBG && l.second.find("PATH_PREIFX") != std::string::npos && l.second.back() != '\n';
        }));
    }

}

// Cameras opened from several threads at once, by serial and from the list: each finds its own
// calibration in its own cache directory, never another's (the directory is process-wide state).
TEST_F(Hpp, CamerasOpenedFromSeveralThreadsKeepTheirOwnCalibration) {
    vxsim::Testbed tb;
    const char* serials[] = {"T1", "T2", "T3", "T4"};
    for (const char* s : serials) {
        vxsim::CameraOptions opt;
        opt.serial = s;
        tb.add_camera(opt);
    }
    vexel::Library lib(nullptr, VX_LOG_OFF);
    std::vector<vexel_dev> listed = vexel::devices(8);
    ASSERT_EQ(listed.size(), 4u);
    for (vexel_dev& rec : listed) ASSERT_GE(vexel_path_cfg_cache(&rec), 0);  // learns the serial
    // In the order of `serials`, so each thread has a camera of its own.
    std::sort(listed.begin(), listed.end(),
              [](const vexel_dev& a, const vexel_dev& b) { return std::strcmp(a.dev_id, b.dev_id) < 0; });
    std::vector<std::string> got(4);
    std::vector<int> status(4, -1);
    std::vector<std::thread> threads;
    for (size_t k = 0; k < 4; ++k) {
        threads.emplace_back([&, k] {
            try {
                vexel::Device cam = k % 2 ? vexel::Device(listed[k]) : vexel::Device::open_serial(serials[k]);
                got[k] = cam.serial();
                status[k] = cam.calibration();
            } catch (const std::exception& e) {
                got[k] = e.what();
            }
        });
    }
    for (std::thread& t : threads) t.join();
    for (size_t k = 0; k < 4; ++k) {
        EXPECT_EQ(got[k], serials[k]);
        EXPECT_EQ(status[k], EPC_CALIB_DOWNLOADED) << got[k];
        // Each camera's download in its own directory (SERIAL-CHIP).
        const auto own = dir_ / "cache/vexel" / (std::string(serials[k]) + "-42");
        EXPECT_TRUE(std::filesystem::exists(own / "tcm_ex_images_drnu_W007_C042_10.bin")) << own;
    }
    size_t dirs = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir_ / "cache/vexel")) dirs += e.is_directory();
    EXPECT_EQ(dirs, 4u);
}

// One table of switch names for every layer: each name and the id's own find its row, the C++
// layer switches each by name at both ends of its bounds and refuses just beyond them, and
// every refusal (C++ exception, library log) names the switch.
TEST_F(Hpp, EverySwitchByNameWithinItsBoundsAndRefusalsThatNameIt) {
    vxsim::Testbed tb;
    vxsim::CameraOptions opt;
    opt.measurement.scene = *vxsim::Scene::parse("wall:2");
    tb.add_camera(opt);
    std::mutex mu;
    std::string log;
    vexel::Library lib(nullptr, VX_LOG_WRN, [&](int, std::string_view text) {
        std::lock_guard lock(mu);
        log.append(text).append("\n");
    });
    vexel::Device cam = vexel::Device::open();
    const auto refused = [](auto&& call) -> std::string {
        try {
            call();
        } catch (const std::invalid_argument& e) {
            return e.what();
        }
        return "accepted";
    };
    ASSERT_EQ(vexel_filter_count(), 14);
    EXPECT_EQ(vexel_filter_at(14), nullptr);
    // The layer's choice after the open, where the C default (off) keeps the chip library's term.
    EXPECT_EQ(cam.filter_value("temp-two-sided"), 1.0);
    EXPECT_EQ(vexel_filter_at(-1), nullptr);
    for (int32_t i = 0; const vexel_filter_info* f = vexel_filter_at(i); ++i) {
        const std::string name = f->name;
        SCOPED_TRACE(name);
        EXPECT_EQ(vexel_filter_find(f->name), f);
        EXPECT_EQ(vexel_filter_find(f->id_name), f);
        EXPECT_EQ(vexel_filter_name(f->id), name);
        if (f->kind == VEXEL_FILTER_VALUE_NONE) {
            cam.set_filter(name);
            EXPECT_EQ(cam.filter_value(name), 1.0);
        } else {
            const double step = f->kind == VEXEL_FILTER_VALUE_FLOAT ? 0.5 : f->odd ? 2 : 1;
            const double lo = f->lo_open ? f->lo + step : f->lo;
            // drnu: the simulated camera holds calibration set 0 only.
            const double hi = f->id == VEXEL_FILTER_PIXEL_CALIB ? f->lo : f->hi;
            for (double v : {lo, hi}) {
                cam.set_filter(name, v);
                EXPECT_EQ(cam.filter_value(name), v) << v;
            }
            for (double v : {f->lo_open ? f->lo : f->lo - step, f->hi + step})
                EXPECT_NE(refused([&] { cam.set_filter(name, v); }).find("filter " + name), std::string::npos) << v;
            if (f->has_default) {
                cam.set_filter(name);
                EXPECT_EQ(float(cam.filter_value(name).value_or(-1)), float(f->default_value));  // as stored
            } else {
                EXPECT_NE(refused([&] { cam.set_filter(name); }).find(name + " needs a value"), std::string::npos);
            }
        }
        cam.disable_filter(name);
        EXPECT_EQ(cam.filter_value(name), std::nullopt);
    }
    EXPECT_NE(refused([&] { cam.set_filter("lens-undistort", 1); }).find("(lens, drnu, median, amp,"), std::string::npos);
    EXPECT_NE(refused([&] { cam.set_filter("median", 4); }).find("filter median"), std::string::npos);
    EXPECT_EQ(vexel_filter_set(cam.get(), 3, 1, 0), -2);  // an id without a row
    // The driver refuses a float switch given too few bytes: the log names it.
    const float k = 6;
    EXPECT_EQ(vexel_filter_enable(cam.get(), VEXEL_FILTER_FLYING, const_cast<float*>(&k), 2), 0);
    std::lock_guard lock(mu);
    EXPECT_NE(log.find("refused filter flying"), std::string::npos) << log;
}

}  // namespace
