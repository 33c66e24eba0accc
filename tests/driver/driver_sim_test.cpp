// The epc driver against the simulated camera: open and close, calibration files, the feature
// switches, the temperature monitor, several cameras, and the chip library's stand-alone start.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <vexel/stream.h>
#include <vexel/vexel.h>

#include "calib_fixture.hpp"
#include "chip/chip_fixture.hpp"
#include "driver/calib_pkg.hpp"
#include "driver/epc.hpp"
#include "sim/calib/calib_package.hpp"
#include "sim/sim.hpp"

namespace {

namespace fs = std::filesystem;
using vxtest::contains;

size_t count(const std::string& hay, const std::string& needle) {
    size_t n = 0;
    for (size_t p = 0; (p = hay.find(needle, p)) != std::string::npos; ++p) ++n;
    return n;
}

std::atomic<int64_t> g_fake_sec{0};
vx::Timestamp fake_now() { return {g_fake_sec.load(), 0}; }

class DriverSim : public chiptest::ChipTest {
protected:
    void SetUp() override {
        ChipTest::SetUp();
        vx_log_enable(VX_LOG_CONSOLE, VX_LOG_OFF, nullptr);
        vx::epc::set_lens_record(vx::epc::kDefaultLens);
    }
    void TearDown() override {
        for (vexel_dev& d : devs_) vexel_dev_close(&d);
        vx::epc::set_clock(nullptr);
        vx::epc::set_lens_record(vx::epc::kDefaultLens);
        ChipTest::TearDown();
    }
    // A camera without a calibration package unless `edit` gives it one.
    vxsim::Camera& camera(const std::string& product, const std::function<void(vxsim::CameraOptions&)>& edit = {}) {
        vxsim::CameraOptions o;
        o.product = product;
        o.pacing = vxsim::Pacing::fast;
        o.calib_package = vxsim::CalibPackage::none;
        if (edit) edit(o);
        return tb_.add_camera(o);
    }
    // Opens listed camera i into devs_[i].
    vexel_dev& open(int i) {
        vexel_dev list[4];
        EXPECT_GT(vexel_dev_list(list, 4), i);
        devs_[static_cast<size_t>(i)] = list[i];
        EXPECT_NE(vexel_dev_open(&devs_[static_cast<size_t>(i)]), nullptr);
        return devs_[static_cast<size_t>(i)];
    }
    static vx::epc::State* state(vexel_dev& d) { return vx::epc::state_of(vexel_dev_get_drv(&d)); }
    // Calibration files of wafer 7, chip 42 with nd images of 1000, 1001, ...
    void calibration_files(int nd) {
        const std::string cal = calibtest::calibration_file(nd);
        std::ofstream(dir_ / "tcm_ex_drnu_param_W007_C042_10.bin", std::ios::binary) << cal.substr(0, 24);
        std::ofstream(dir_ / "tcm_ex_images_drnu_W007_C042_10.bin", std::ios::binary) << cal.substr(24);
    }
    std::vector<uint32_t> mode_writes(const vxsim::Camera& cam) const {
        std::vector<uint32_t> out;
        for (const auto& w : cam.write_log())
            if (w.kind == vxsim::WriteRecord::param && w.index == VX_PARAM_MODE) out.push_back(w.value);
        return out;
    }

    vxsim::Testbed tb_;
    std::array<vexel_dev, 4> devs_{};
};

// External modulation picks the calibration set the images go to; the decode reads that set.
TEST_F(DriverSim, OpenLoadsFoundCalibrationIntoTheSetOfItsModulation) {
    calibration_files(2);
    vxsim::Camera& cam = camera("A-E2-1.0");
    const struct {
        const char* product;
        int ext_mod;
    } cases[] = {{"A-E2-2.0", 1}, {"A-E2-2.05", 1}, {"A-E2-2.1", 0}, {"A-E2-20", 0}};
    for (const auto& c : cases) {
        cam.set_param(VX_PARAM_PRODUCT, std::vector<uint8_t>(c.product, c.product + std::strlen(c.product) + 1));
        std::memset(distImagesDRNU, 0, sizeof distImagesDRNU);
        vexel_dev& d = open(0);
        EXPECT_EQ(epcgetExtModEnable(), c.ext_mod) << c.product;
        const int set = vx::epc::drnu_set();
        EXPECT_EQ(set, c.ext_mod ? 0 : 1) << c.product;
        EXPECT_EQ(distImagesDRNU[set][0], 1000);  // pixel 0, image 0
        EXPECT_EQ(distImagesDRNU[set][1], 1001);  // pixel 0, image 1
        EXPECT_EQ(epc_calib_status(vexel_dev_get_drv(&d)), EPC_CALIB_FOUND);
        EXPECT_TRUE(mode_writes(cam).empty()) << "no download when the files are there";
        vexel_dev_close(&d);
    }
}


TEST_F(DriverSim, OpenDownloadsTheCalibrationOnce) {
    vxsim::Camera& cam = camera("A-E2-1.0", [](vxsim::CameraOptions& o) { o.calib_package = vxsim::CalibPackage::generated; });
    open(0);
    EXPECT_EQ(epc_calib_status(vexel_dev_get_drv(&devs_[0])), EPC_CALIB_DOWNLOADED);
    const std::string param = "tcm_ex_drnu_param_W007_C042_10.bin", images = "tcm_ex_images_drnu_W007_C042_10.bin";
    EXPECT_EQ(calibtest::tree(dir_), (std::vector<std::string>{param, images}));  // work files gone
    const std::vector<uint8_t> want = vxsim::calib_param_file(cam.measurement().phase_offset);
    EXPECT_EQ(vxtest::slurp(dir_ / param), std::string(want.begin(), want.end()));
    const auto bytes = fs::file_size(dir_ / images);
    EXPECT_EQ(bytes % 153600, 0u);
    EXPECT_EQ(calibrateGetNumDistances(), static_cast<int>(bytes / 153600));  // loaded by the second configInit
    EXPECT_EQ(mode_writes(cam), (std::vector<uint32_t>{9, 0}));
    vexel_dev_close(&devs_[0]);
    cam.clear_logs();
    open(0);
    EXPECT_EQ(epc_calib_status(vexel_dev_get_drv(&devs_[0])), EPC_CALIB_FOUND);
    EXPECT_TRUE(mode_writes(cam).empty());
}

// Files that are there but do not load (empty, cut short, a single distance) are fetched from
// the camera again, once; when the camera has no package either, the open says so and pixel
// calibration stays off instead of correcting with tables that are not this camera's.
TEST_F(DriverSim, CalibrationThatDoesNotLoadIsFetchedAgainOnce) {
    const std::string param = "tcm_ex_drnu_param_W007_C042_10.bin", images = "tcm_ex_images_drnu_W007_C042_10.bin";
    const struct {
        size_t image_bytes;
        bool camera_has_package;
    } cases[] = {{0, true}, {100, true}, {153600 * 3 / 2, true}, {100, false}, {153600 * 3 / 2, false}};
    // Two cameras with the same chip number, one with a package and one without.
    vxsim::Camera* cams[2] = {&camera("A-E2-1.0"), &camera("A-E2-1.0", [](vxsim::CameraOptions& o) {
                                  o.calib_package = vxsim::CalibPackage::generated;
                              })};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.image_bytes) + (c.camera_has_package ? " with package" : " without"));
        calibration_files(2);
        fs::resize_file(dir_ / images, c.image_bytes);
        vxsim::Camera& cam = *cams[c.camera_has_package];
        cam.clear_logs();
        vexel_dev list[2];
        ASSERT_EQ(vexel_dev_list(list, 2), 2);
        vexel_dev& d = devs_[0];
        d = list[0].port == cam.port() ? list[0] : list[1];
        const std::string log = output_of([&] { ASSERT_EQ(vexel_dev_open(&d), &d); });
        EXPECT_TRUE(contains(log, images + " did not load: fetching the camera's calibration again")) << log;
        EXPECT_EQ(mode_writes(cam), (std::vector<uint32_t>{9, 0}));  // one download
        uint8_t set = 1;
        if (c.camera_has_package) {
            EXPECT_EQ(epc_calib_status(vexel_dev_get_drv(&d)), EPC_CALIB_DOWNLOADED);
            EXPECT_EQ(fs::file_size(dir_ / images) % 153600, 0u);
            EXPECT_GE(calibrateGetNumDistances(), 2);
            EXPECT_EQ(calculationGetEnableDRNU(), 2);
            EXPECT_FALSE(contains(log, "Load calibration data failed")) << log;
            EXPECT_EQ(vexel_filter_enable(&d, VEXEL_FILTER_PIXEL_CALIB, &set, 1), 1);
        } else {
            EXPECT_EQ(epc_calib_status(vexel_dev_get_drv(&d)), EPC_CALIB_UNUSABLE);
            EXPECT_TRUE(contains(log, "no pixel calibration for this camera (" + images + " does not load)")) << log;
            EXPECT_TRUE(contains(log, "Load calibration data failed")) << log;
            EXPECT_EQ(vexel_filter_enable(&d, VEXEL_FILTER_PIXEL_CALIB, &set, 1), 0);
            EXPECT_EQ(calculationGetEnableDRNU(), 0);
        }
        vexel_dev_close(&d);
    }
}

// A download that cannot start or whose capture fails: the camera is left in its normal mode
// and not streaming, and nothing of the package stays on disk.
TEST_F(DriverSim, DownloadWhoseModeSwitchOrCaptureFailsLeavesTheCameraAsItWas) {
    vxsim::Camera& cam = camera("A-E2-1.0", [](vxsim::CameraOptions& o) { o.calib_package = vxsim::CalibPackage::generated; });
    vexel_dev& d = open(0);
    const struct {
        const char* what;
        std::function<void(vxsim::Faults&)> fault;
        bool result;
        std::vector<uint32_t> modes;
        const char* says;
    } cases[] = {
        {"mode switch refused", [](vxsim::Faults& f) { f.fail_next = "refused"; }, false, {},
         "set mode to DATA_UP failed!"},
        {"no frame arrives", [](vxsim::Faults& f) { f.drop_frame_start = 1000; }, true, {9, 0},
         "capturing is stopped due to some error!"},
    };
    for (const auto& c : cases) {
        cam.clear_logs();
        cam.set_faults(c.fault);
        bool result = !c.result;
        const std::string log = output_of([&] { result = vx::epc::load_calib_data(vexel_dev_get_drv(&d)); });
        cam.set_faults([](vxsim::Faults& f) { f = vxsim::Faults{}; });
        EXPECT_EQ(result, c.result) << c.what;
        EXPECT_TRUE(contains(log, c.says)) << c.what << ": " << log;
        EXPECT_EQ(mode_writes(cam), c.modes) << c.what;
        EXPECT_FALSE(cam.streaming()) << c.what;
        EXPECT_FALSE(fs::exists(dir_ / "calibration.bin")) << c.what;
    }
}

enum class Hostile { none, escapes, symlink, huge, beyond, no_zip, not_zip, truncated, other_chip };

std::vector<uint8_t> hostile_package(Hostile h, const std::string& outside) {
    const std::string cal = calibtest::calibration_file(2);
    const std::vector<uint8_t> x{1, 2, 3}, calv(cal.begin(), cal.end());
    auto pkg = [](const std::vector<vxsim::ZipEntry>& e) { return vxsim::calib_package_from_zip(vxsim::zip_archive(e)); };
    std::vector<uint8_t> p = pkg({{"calib_and_param_007.bin", calv}});  // not this camera's number
    auto put32 = [&](size_t at, uint32_t v) { std::memcpy(p.data() + at, &v, 4); };
    switch (h) {
        case Hostile::none: return {};  // parameter 8 reports 17 zero bytes
        case Hostile::escapes:
            return pkg({{"../evil.bin", x}, {"..\\evil.bin", x}, {outside, x}, {"C:evil.bin", x}, {"a/../../evil.bin", x},
                        {"escape/evil.bin", x}, {"sub/./kept.bin", x}});
        case Hostile::symlink: return pkg({{"calib_and_param_042.bin", {'.', '.', '/', 'v'}, true}});
        case Hostile::huge: put32(7, (64u << 20) + 1); break;
        case Hostile::beyond: put32(11, static_cast<uint32_t>(p.size()) - 16); break;
        case Hostile::no_zip: p[2] = 0; break;
        case Hostile::not_zip: std::fill(p.begin() + 17, p.end(), uint8_t{0x5A}); break;
        case Hostile::truncated: p.resize(p.size() / 2); break;
        case Hostile::other_chip: break;
    }
    return p;
}

struct HostileCase {
    Hostile kind;
    const char* message;
    friend void PrintTo(const HostileCase& c, std::ostream* os) { *os << '"' << c.message << '"'; }
};
class HostilePackage : public DriverSim, public ::testing::WithParamInterface<HostileCase> {};

// Whatever the package, nothing lands outside the prefix directory, the camera ends in mode 0
// and streams; a package without usable calibration is a failed load.
TEST_P(HostilePackage, WritesOnlyInsideThePrefixAndLeavesTheCameraUsable) {
    ASSERT_EQ(vexel_path_cfg((dir_ / "p/").c_str()), 0);
    fs::create_directory(dir_ / "elsewhere");
    fs::create_directory_symlink(dir_ / "elsewhere", dir_ / "p" / "escape");  // a way out already there
    vxsim::Camera& cam = camera("A-E2-1.0", [&](vxsim::CameraOptions& o) {
        o.calib_package = vxsim::CalibPackage::bytes;
        o.calib_package_bytes = hostile_package(GetParam().kind, (dir_ / "abs.bin").string());
    });
    const std::string log = output_of([&] { open(0); });
    const bool usable = GetParam().kind == Hostile::other_chip;
    EXPECT_TRUE(contains(log, GetParam().message)) << GetParam().message << "\n" << log;
    EXPECT_EQ(epc_calib_status(vexel_dev_get_drv(&devs_[0])), usable ? EPC_CALIB_DOWNLOADED : EPC_CALIB_MISSING);
    EXPECT_EQ(contains(log, "Load calibration data failed"), !usable) << log;
    EXPECT_EQ(cam.param(VX_PARAM_MODE), std::vector<uint8_t>{0});
    for (const std::string& f : calibtest::tree(dir_)) EXPECT_EQ(f.rfind("p/", 0), 0u) << f;
    EXPECT_EQ(fs::exists(dir_ / "p/sub/kept.bin"), GetParam().kind == Hostile::escapes);  // inside is fine
    std::vector<uint8_t> buf(614400);
    vexel_frame_info info{};
    EXPECT_EQ(vexel_cap_snapshot(&devs_[0], buf.data(), 614400, &info), 1);
    EXPECT_EQ(info.frame_format, 2);
}

INSTANTIATE_TEST_SUITE_P(Packages, HostilePackage,
                         ::testing::Values(HostileCase{Hostile::none, "Calib data not valid"},
                                           HostileCase{Hostile::escapes, "parent directory component"},
                                           HostileCase{Hostile::symlink, "(symbolic link)"},
                                           HostileCase{Hostile::huge, "calibration package refused"},
                                           HostileCase{Hostile::beyond, "calibration package refused"},
                                           HostileCase{Hostile::no_zip, "No zip used"},
                                           HostileCase{Hostile::not_zip, "Not a zip archive"},
                                           HostileCase{Hostile::truncated, "tmp.zip zip failed"},
                                           HostileCase{Hostile::other_chip, "find:calib_and_param_007.bin"}));

TEST_F(DriverSim, TemperatureMonitorReportsOnTheFirstFrameThenEvery90Seconds) {
    camera("A-E2-1.0", [](vxsim::CameraOptions& o) { o.measurement.effects.warmup = false; });  // 35 and 30 C
    vexel_dev& d = open(0);
    vx::epc::set_clock(&fake_now);
    ASSERT_TRUE(vexel_cap_set_frame_buffer(&d, nullptr, 4 * 307200));
    ASSERT_TRUE(vexel_cap_start(&d));
    std::vector<uint8_t> buf(614400);
    vexel_frame_info info{};
    std::string log;
    for (int64_t t : {1000, 1010, 1089, 1090, 1179, 1180}) {
        g_fake_sec = t;
        log += output_of([&] { ASSERT_EQ(vexel_cap_get_frames(&d, 1, buf.data(), 614400, &info), 1); });
    }
    EXPECT_EQ(count(log, "INTERV:"), 3u) << log;
    EXPECT_TRUE(contains(log, "INTERV:90, IBtemp:30.00, Tsensor:35.00, FPS:30")) << log;
    EXPECT_TRUE(contains(log, "intg_time:500 us")) << log;
    vexel_cap_stop(&d);
}

// The consistency check counts pixels whose opposite samples sum into 4017..4175, needs more
// than 60 % (whole per cent) in both pairs, and asks the camera for a fix at most once a second.
TEST_F(DriverSim, DcsCheckCountsOppositeSamplesAndAsksForAFixOnceASecond) {
    vxsim::Camera& cam = camera("A-E2-1.0");
    vexel_dev& d = open(0);
    vx::epc::set_clock(&fake_now);
    uint8_t fix[] = {0x05, 0x01};  // correction 261
    ASSERT_EQ(vexel_filter_enable(&d, VEXEL_FILTER_DCS_CHECK, fix, 2), 1);
    constexpr int kPx = 76800, kNeed = kPx * 61 / 100;  // 61 %: the least that passes
    const vexel_frame_info info{8 * kPx, 2, 0, 320, 240, 8, {}};
    // `good` pixels with both pairs summing to s02 and s13, the rest with every sample 0.
    auto frame = [](int good, int s02, int s13) {
        std::vector<uint16_t> raw(4 * kPx, 0);
        for (int k = 0; k < good; ++k) {
            raw[k] = uint16_t(s02 / 2), raw[2 * kPx + k] = uint16_t(s02 - s02 / 2);
            raw[kPx + k] = uint16_t(s13 / 2), raw[3 * kPx + k] = uint16_t(s13 - s13 / 2);
        }
        return raw;
    };
    auto fixes = [&] {
        int n = 0;
        for (const auto& w : cam.write_log())
            if (w.kind == vxsim::WriteRecord::param && w.index == 17) {
                // Length byte 1 as the camera expects it; the value bytes still carry the flag,
                // then the correction little-endian.
                EXPECT_EQ(w.bytes, std::vector<uint8_t>{1});
                EXPECT_EQ(w.value, 0x010501u);
                ++n;
            }
        return n;
    };
    std::vector<float> out(kPx);
    auto decode = [&](const std::vector<uint16_t>& raw) {
        return vexel_frame_get_distance(&d, out.data(), kPx, raw.data(), uint32_t(2 * raw.size()), &info);
    };
    const struct {
        int good, s02, s13;
        bool passes;
    } cases[] = {{kNeed, 4096, 4096, true},      {kNeed - 1, 4096, 4096, false}, {kNeed, 4017, 4175, true},
                 {kNeed, 4016, 4096, false},     {kNeed, 4096, 4176, false},     {kPx, 4096, 4016, false}};
    int64_t t = 1000;
    for (const auto& c : cases) {
        g_fake_sec = ++t;
        cam.clear_logs();
        const auto raw = frame(c.good, c.s02, c.s13);
        EXPECT_EQ(decode(raw), c.passes ? kPx : 0) << c.good << " " << c.s02 << " " << c.s13;
        EXPECT_EQ(fixes(), c.passes ? 0 : 1);
        if (c.passes) continue;
        // Within the same second the frame decodes (marked invalid) and nothing more is sent.
        EXPECT_EQ(decode(raw), kPx);
        EXPECT_EQ(state(d)->frame_valid.load(), 0);
        EXPECT_EQ(fixes(), 1);
    }
    vexel_filter_disable(&d, VEXEL_FILTER_DCS_CHECK);
    EXPECT_EQ(decode(frame(0, 0, 0)), kPx) << "no check once switched off";
}

// The automatic integration time as the decode runs it: ahead of the frame's own checks (so a
// calibration frame or a short header still steers the exposure), written to the frame's camera
// as parameter 13 with length byte 0, and kept in the driver only when the camera took it.
TEST_F(DriverSim, AutomaticIntegrationTimeIsWrittenAheadOfTheFrameChecks) {
    vxsim::Camera& cam = camera("A-E2-1.0");
    vexel_dev& d = open(0);
    vx::epc::set_clock(&fake_now);
    constexpr int kPx = 76800;
    const std::vector<uint16_t> raw(4 * kPx, 2000);  // nothing saturated: the time goes up
    std::vector<float> out(kPx);
    const struct {
        uint16_t ratio, format;
        uint32_t frame_size;
        bool camera_fails, decodes, written;
    } cases[] = {
        {5, 2, 8 * kPx, false, true, true},     {5, 171, 8 * kPx, false, false, true},
        {5, 2, 4 * kPx, false, false, true},    {0, 2, 8 * kPx, false, true, false},
        {5, 2, 8 * kPx, true, true, true},
    };
    int64_t t = 2000;
    for (const auto& c : cases) {
        uint8_t ratio[2] = {uint8_t(c.ratio), uint8_t(c.ratio >> 8)};
        ASSERT_EQ(vexel_filter_enable(&d, VEXEL_FILTER_AUTO_INTG, ratio, 2), 1);
        const int before = state(d)->intg_us;
        cam.clear_logs();
        if (c.camera_fails) cam.set_faults([](vxsim::Faults& f) { f.fail_next = "refused"; });
        g_fake_sec = t += 10;
        const vexel_frame_info info{c.frame_size, c.format, 0, 320, 240, 8, {}};
        EXPECT_EQ(vexel_frame_get_distance(&d, out.data(), kPx, raw.data(), c.frame_size, &info), c.decodes ? kPx : 0)
            << c.format << " " << c.frame_size;
        std::vector<vxsim::WriteRecord> writes;
        for (const auto& w : cam.write_log())
            if (w.kind == vxsim::WriteRecord::param && w.index == 13) writes.push_back(w);
        const int after = state(d)->intg_us;
        if (!c.written) {
            EXPECT_TRUE(writes.empty()) << "ratio 0 does nothing";
            EXPECT_EQ(after, before);
            continue;
        }
        if (c.camera_fails) {
            EXPECT_TRUE(cam.faults().fail_next.empty()) << "the write reached the camera and was refused";
            EXPECT_EQ(after, before) << "a refused write leaves the driver's time";
            continue;
        }
        ASSERT_EQ(writes.size(), 1u) << c.format << " " << c.frame_size;
        EXPECT_TRUE(writes[0].bytes.empty()) << "length byte 0";
        EXPECT_GT(after, before);
        EXPECT_EQ(writes[0].value & 0xFFFFu, uint32_t(after)) << "the new time, little-endian";
        EXPECT_EQ(cam.param(13).at(0) | cam.param(13).at(1) << 8, after) << "the camera runs with it";
    }
}

// Snapshot of every switch and value the filter ids touch.
std::vector<int> switches(const vx::epc::State& s) {
    return {s.en_lens,      s.en_pixel_calib, s.calib_sel,    s.en_median,   s.median_size,
            s.en_amp,       s.min_amp,        s.en_auto_intg, s.sat_ratio,   s.en_dcs_check,
            s.dcs_fix_val,  s.dcs_fix_flag,   s.en_temp_mon,  s.temp_mon_val, s.en_hdr, s.en_temp_two_sided};
}

TEST_F(DriverSim, FilterSwitchesSetTheDriverState) {
    vxsim::Camera& cam = camera("A-E2-1.0");
    vexel_dev& d = open(0);
    vx::epc::State& st = *state(d);
    enum F { kLens, kPix, kSel, kMed, kSize, kAmp, kMin, kAuto, kSat, kDcs, kVal, kFlag, kMon, kMval, kHdr, kTwo };
    using Changes = std::vector<std::pair<F, int>>;
    const struct {
        int id;
        std::vector<uint8_t> value;
        Changes on, off;  // what enabling, then disabling, changes
        int result = 1;
    } cases[] = {
        {2, {5, 9}, {{kSize, 5}}, {{kMed, 0}, {kSize, 0}}},
        {4, {0xF9, 0xFF, 0xFF, 0xFF}, {{kMin, -7}}, {{kAmp, 0}}},
        {5, {0x02, 0x01}, {{kAuto, 1}, {kSat, 258}}, {{kAuto, 0}, {kSat, 0}}},
        {6, {0x00, 0x02}, {{kDcs, 1}, {kVal, 512}}, {{kDcs, 0}}},
        {6, {0x05, 0x01}, {{kDcs, 1}, {kVal, 261}, {kFlag, 1}}, {{kDcs, 0}}},
        {7, {0x2C, 0x01}, {{kMval, 300}}, {{kMon, 0}}},
        {8, {}, {{kHdr, 1}}, {{kHdr, 0}}},
        {3, {1}, {}, {}},  // ids without an action: accepted, nothing changes
        {14, {}, {{kTwo, 1}}, {{kTwo, 0}}},  // no value read
        {15, {1}, {}, {}},
        {-1, {1}, {}, {}},
        {9, {1}, {}, {}, 0},  // a float32 switch refuses a shorter value
        {1, {7}, {{kPix, 1}}, {{kPix, 0}}, 0},  // refused while the calibration files are missing
    };
    std::vector<int> want{0, 0, 2, 1, 3, 1, 0, 0, 0, 0, 0, 0, 1, 75, 0, 0};  // after the open: the chip library's
    EXPECT_EQ(switches(st), want);
    for (const auto& c : cases) {
        std::vector<uint8_t> v = c.value;
        EXPECT_EQ(vexel_filter_enable(&d, c.id, v.empty() ? nullptr : v.data(), static_cast<int>(v.size())), c.result);
        for (auto [f, x] : c.on) want[f] = x;
        EXPECT_EQ(switches(st), want) << "enable " << c.id;
        EXPECT_TRUE(c.id != VEXEL_FILTER_HDR || (cam.reg(1, 148) & 0x80)) << "HDR read-out on the sensor";
        EXPECT_TRUE(c.id != VEXEL_FILTER_PIXEL_CALIB || v[0] == 1) << "a set above 1 is rewritten";
        EXPECT_EQ(vexel_filter_disable(&d, c.id), 1) << c.id;
        for (auto [f, x] : c.off) want[f] = x;
        EXPECT_EQ(switches(st), want) << "disable " << c.id;
    }
    EXPECT_EQ(cam.reg(1, 148) & 0x80, 0u);
    EXPECT_EQ(vexel_filter_enable(&d, VEXEL_FILTER_MEDIAN, nullptr, 1), 0);  // a value is needed

    calibration_files(2);
    uint8_t b = 0;
    EXPECT_EQ(vexel_filter_enable(&d, VEXEL_FILTER_PIXEL_CALIB, &b, 1), 1);
    EXPECT_EQ(st.calib_sel.load(), 0);
    EXPECT_EQ(calculationGetEnableDRNU(), 2);
    EXPECT_EQ(vexel_filter_disable(&d, VEXEL_FILTER_PIXEL_CALIB), 1);
    EXPECT_EQ(calculationGetEnableDRNU(), 0);

    // Lens: enabling reloads lens_param.txt and rebuilds the table at its size.
    std::ofstream(dir_ / "lens_param.txt") << "80\n60\n100\n100\n0\n0\n0\n0\n0\n160\n120\n";
    EXPECT_EQ(vexel_filter_enable(&d, VEXEL_FILTER_LENS_UNDISTORT, nullptr, 0), 1);
    EXPECT_EQ(st.en_lens.load(), 1);
    EXPECT_EQ(st.len_map.width, 160);
    EXPECT_EQ(vexel_filter_disable(&d, VEXEL_FILTER_LENS_UNDISTORT), 1);
    EXPECT_EQ(st.en_lens.load(), 0);

    EXPECT_EQ(vexel_filter_disable(nullptr, VEXEL_FILTER_LENS_UNDISTORT), -1);
    vexel_dev other{};
    std::strcpy(other.product, "A-E4-1");
    const std::string log = output_of([&] { EXPECT_EQ(vexel_filter_enable(&other, 2, &b, 1), -1); });
    EXPECT_TRUE(contains(log, "[vexel_filter_enable] cannot find driver for device: product=A-E4-1")) << log;
}

TEST_F(DriverSim, TwoCamerasKeepTheirOwnDriverState) {
    vxsim::Camera& first = camera("A-E2-1.0");
    vxsim::Camera& second = camera("A-E3-1.0", [](vxsim::CameraOptions& o) { o.chip_number = 43; });
    vexel_dev& a = open(0);
    vexel_dev& b = open(1);
    ASSERT_TRUE(state(a) && state(b));
    EXPECT_NE(state(a), state(b));
    EXPECT_EQ(g_vx_dev, &b);  // the chip library follows the last camera opened
    EXPECT_EQ(configGetChipID(), b.port == second.port() ? 43 : 42);
    uint8_t k = 5;
    ASSERT_EQ(vexel_filter_enable(&a, VEXEL_FILTER_MEDIAN, &k, 1), 1);
    EXPECT_EQ(state(a)->median_size.load(), 5);
    EXPECT_EQ(state(b)->median_size.load(), 3);
    epc_adapater_set_frame_valid(1);  // b's, through g_vx_dev
    EXPECT_EQ(state(b)->frame_valid.load() * 10 + state(a)->frame_valid.load(), 10);
    epc_adapater_set_frame_valid(0);
    EXPECT_EQ(epc_adapater_get_frame_valid(), 0);

    // HDR programs the sensor of the camera it is switched on, whichever the chip library
    // follows; the other sensor is not touched.
    vxsim::Camera& cam_a = a.port == first.port() ? first : second;
    vxsim::Camera& cam_b = a.port == first.port() ? second : first;
    auto hdr = [](const vxsim::Camera& c) { return (c.reg(1, 148) & 0x80 ? 1 : 0) + (c.reg(1, 146) & 0x08 ? 2 : 0); };
    // Register writes of a step: 0 none, 1 some, 2 some including the HDR exposure length.
    auto writes = [](const vxsim::Camera& c) {
        int w = 0;
        for (const auto& r : c.write_log())
            if (r.kind == vxsim::WriteRecord::reg) w = std::max(w, r.index == 158 ? 2 : 1);
        return w;
    };
    const struct {
        vexel_dev* dev;
        bool on;
        int a, b;  // HDR bits of each sensor afterwards
    } steps[] = {{&a, true, 3, 0}, {&b, true, 3, 3}, {&a, false, 0, 3}, {&b, false, 0, 0}};
    for (const auto& s : steps) {
        cam_a.clear_logs();
        cam_b.clear_logs();
        ASSERT_EQ(s.on ? vexel_filter_enable(s.dev, VEXEL_FILTER_HDR, nullptr, 0)
                       : vexel_filter_disable(s.dev, VEXEL_FILTER_HDR), 1);
        EXPECT_EQ(hdr(cam_a) * 10 + hdr(cam_b), s.a * 10 + s.b) << (s.dev == &a ? "a " : "b ") << s.on;
        EXPECT_EQ(state(a)->en_hdr.load() * 10 + state(b)->en_hdr.load(), (s.a ? 10 : 0) + (s.b ? 1 : 0));
        EXPECT_EQ(writes(cam_a) * 10 + writes(cam_b), s.dev == &a ? 20 : 2) << (s.dev == &a ? "a " : "b ") << s.on;
    }

    // Each camera keeps the lens parameters it loaded: b's reload leaves a's record, table and
    // reported parameters alone.
    vexel_driver_entry* da = vexel_dev_get_drv(&a);
    vexel_driver_entry* db = vexel_dev_get_drv(&b);
    ASSERT_TRUE(da && db);
    std::ofstream(dir_ / "lens_param.txt") << "80\n60\n100\n100\n0\n0\n0\n0\n0\n160\n120\n";
    ASSERT_EQ(vexel_filter_enable(&a, VEXEL_FILTER_LENS_UNDISTORT, nullptr, 0), 1);
    std::ofstream(dir_ / "lens_param.txt") << "150\n110\n200\n200\n0\n0\n0\n0\n0\n320\n240\n";
    ASSERT_EQ(vexel_filter_enable(&b, VEXEL_FILTER_LENS_UNDISTORT, nullptr, 0), 1);
    vexel_lens_param pa{}, pb{};
    EXPECT_EQ(da->ops->lens_param_get(da, &pa, 160, 120), 1);
    EXPECT_EQ(db->ops->lens_param_get(db, &pb, 320, 240), 1);
    EXPECT_EQ(pa.cx * 1000 + pa.fx, 80 * 1000 + 100);
    EXPECT_EQ(pb.cx * 1000 + pb.fx, 150 * 1000 + 200);
    EXPECT_EQ(da->ops->lens_param_get(da, &pa, 320, 240), 0);  // a's record is 160 x 120
    EXPECT_EQ(state(a)->len_map.width * 1000 + state(b)->len_map.width, 160 * 1000 + 320);

    // Closing the older camera leaves the chip library with the newer one.
    vexel_dev_close(&a);
    EXPECT_EQ(g_vx_dev, &b);
    vexel_dev_close(&b);
    EXPECT_EQ(g_vx_dev, nullptr);
    EXPECT_EQ(epc_adapater_get_frame_valid(), 1);  // no driver behind g_vx_dev
}

// A camera whose chip information cannot be read fails alone; the library stays up.
TEST_F(DriverSim, UnreadableChipInformationFailsOnlyThatDevice) {
    vxsim::Camera& cam = camera("A-T0-1");
    vexel_dev& d = open(0);
    vexel_driver_entry drv{"EPC chip driver", "E2", &g_vexel_driver_op_epc, nullptr, nullptr};
    std::strcpy(d.product, "A-E2-1.0");
    cam.set_faults([](vxsim::Faults& f) { f.fail_next = "no chip today"; });
    std::string out = output_of([&] { EXPECT_EQ(drv.ops->init(&drv, &d), 0); });
    EXPECT_TRUE(contains(out, "Get chip info failed")) << out;
    EXPECT_TRUE(contains(out, "epc_adapter_init failed!")) << out;
    EXPECT_EQ(drv.state, nullptr);
    EXPECT_EQ(g_vx_dev, nullptr);
    // The open goes on regardless: every slot then works or refuses cleanly.
    const vexel_driver_op& ops = *drv.ops;
    vx_stream_frame_info raw{614400, 1, 2, 0, 0, 300, 300, 0};
    vexel_frame_info info{};
    EXPECT_EQ(ops.frame_get_info(&drv, &info, &raw) * info.frame_width, 320u);
    uint8_t v = 5;
    for (int id = -1; id <= 9; ++id) EXPECT_EQ(ops.filter_enable(&drv, id, &v, 1) + ops.filter_disable(&drv, id), 0);
    EXPECT_EQ(v, 5);
    EXPECT_EQ(ops.calib_load(&drv, 0, 0, 2), -1);
    EXPECT_EQ(ops.chip_reinit(&drv, 1, 7, 2), 7);
    EXPECT_EQ(epc_calib_status(&drv), EPC_CALIB_UNKNOWN);
    vexel_lens_param p{};
    EXPECT_EQ(ops.lens_param_get(&drv, &p, 320, 240), 1);
    ops.uninit(&drv);
    // The log and the transport still work.
    EXPECT_TRUE(contains(output_of([] { vexel_dev_list(nullptr, 1); }), "wrong params"));
    vexel_param_item item{};
    item.param_id = VX_PARAM_FPS;
    EXPECT_EQ(vexel_param_batch_get(&d, &item, 1), 1);
}

TEST_F(DriverSim, StandAloneModeRunsTheLibraryAndTheFirstCamera) {
    vxsim::Camera& cam = camera("A-E2-1.0");
    const fs::path old = fs::current_path();
    fs::current_path(dir_);  // the library's dated log file goes here
    std::string out = output_of([] {
        EXPECT_EQ(epc_adapter_init(nullptr), 1);
        EXPECT_EQ(epc_adapter_init(nullptr), 1);  // closes and opens again
        EXPECT_NE(g_vx_dev, nullptr);
        epc_adapter_uninit();
    });
    vx_log_enable(VX_LOG_CONSOLE, VX_LOG_OFF, nullptr);
    fs::current_path(old);
    EXPECT_EQ(g_vx_dev, nullptr);
    EXPECT_EQ(count(out, "close dev..\n") + count(out, "uninit done..\n"), 4u) << out;
    EXPECT_TRUE(cam.wait_until([](const vxsim::Camera& c) { return c.claimed_interfaces().empty(); }));
    epc_adapter_uninit();  // nothing left to close
    EXPECT_EQ(vexel_dev_list(devs_.data(), 1), 1);
}

}  // namespace
