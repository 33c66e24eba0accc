// The vexel program as a user runs it: under vexel-sim, in a scratch directory, judged by its
// exit status, its two output streams and the files it leaves.
#include <fcntl.h>
#include <png.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <vexel/vexel.hpp>

#include "test_util.hpp"

namespace {

namespace fs = std::filesystem;
using vxtest::contains;
using vxtest::slurp;

struct Result {
    int code = -1;
    std::string out, err;
};

class Cli : public vxtest::ScratchDirTest {
  protected:
    // `sim` empty runs the program alone; otherwise under vexel-sim with those camera options.
    // Calibration goes to the scratch directory's cache unless `env` says otherwise.
    Result run(const std::string& args, const std::string& sim = "", const std::string& env = "") {
        const std::string cmd = "env " + (env.empty() ? "XDG_CACHE_HOME=$PWD/cache" : env) + " " +
                                (sim.empty() ? "" : std::string(VXSIM_LAUNCHER) + " " + sim + " -- ") + VEXEL_CLI +
                                " " + args + " >out.txt 2>err.txt";
        const int status = std::system(cmd.c_str());
        Result r{WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp("out.txt"), slurp("err.txt")};
        fs::remove("out.txt");
        fs::remove("err.txt");
        return r;
    }
};

struct Png {
    unsigned w = 0, h = 0, channels = 0;
    std::vector<uint8_t> px;
};
Png read_png(const fs::path& p) {
    png_image img{};
    img.version = PNG_IMAGE_VERSION;
    Png r;
    if (!png_image_begin_read_from_file(&img, p.c_str())) return r;
    std::vector<uint8_t> px(PNG_IMAGE_SIZE(img));
    if (png_image_finish_read(&img, nullptr, px.data(), 0, nullptr))
        r = {img.width, img.height, PNG_IMAGE_PIXEL_CHANNELS(img.format), std::move(px)};
    return r;
}

// Frames of a frame file read back through the library's loader.
int load_frames(const fs::path& p, bool distance) {
    const int fd = ::open(p.c_str(), O_RDONLY);
    std::vector<float> v(320 * 240);
    int frames = 0, w = 0, h = 0;
    while ((distance ? vexel_frame_load_distance(fd, v.data(), 320 * 240, &w, &h)
                     : vexel_frame_load_gray(fd, v.data(), 320 * 240, &w, &h)) == 320 * 240)
        ++frames;
    ::close(fd);
    return w == 320 && h == 240 ? frames : -1;
}

TEST_F(Cli, CaptureWritesFilesThatReadBackAndCompareWithTheTruth) {
    // Without the light the boxes relay to one another (centimetres by itself), the comparison's
    // median shows the decode's accuracy.
    const Result r = run("-vv --prefix calib capture -n 3 -o shot", "--multipath off --warmup off --truth truth.vx");
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "3 frames decoded")) << r.out;
    // Library lines go to stderr only, and no dated log file appears.
    EXPECT_FALSE(contains(r.out, "[DBG]")) << r.out;
    EXPECT_TRUE(contains(r.err, "[DBG]"));
    for (const auto& e : fs::directory_iterator(dir_)) EXPECT_NE(e.path().extension(), ".log") << e.path();

    const Png depth = read_png("shot/depth.png"), amp = read_png("shot/amplitude.png");
    EXPECT_EQ(depth.w, 320u);
    EXPECT_EQ(depth.h, 240u);
    EXPECT_EQ(depth.channels, 3u);
    EXPECT_EQ(amp.w, 320u);
    EXPECT_EQ(amp.channels, 1u);

    const std::string ply = slurp("shot/cloud.ply");
    const size_t end = ply.find("end_header\n");
    ASSERT_NE(end, std::string::npos);
    const size_t at = ply.find("element vertex ");
    const size_t points = std::stoul(ply.substr(at + 15));
    EXPECT_GT(points, 70000u);  // the boxes scene fills almost every pixel
    EXPECT_LE(points, 320u * 240u);
    EXPECT_EQ(ply.size(), end + 11 + points * 15) << "x y z floats and three colour bytes per point";
    EXPECT_TRUE(contains(r.out, "cloud.ply: " + std::to_string(points) + " points"));

    EXPECT_EQ(load_frames("shot/depth.vx", true), 3);
    EXPECT_EQ(load_frames("shot/amplitude.vx", false), 3);
    // The summary's valid share is the one of the pixels the file holds.
    {
        const int fd = ::open("shot/depth.vx", O_RDONLY);
        std::vector<float> v(320 * 240);
        size_t valid = 0, all = 0;
        while (vexel_frame_load_distance(fd, v.data(), 320 * 240, nullptr, nullptr) == 320 * 240)
            for (float d : v) ++all, valid += d > 0.0f && d < 60.0f;
        ::close(fd);
        char share[64];
        std::snprintf(share, sizeof share, "%.1f %% of the pixels valid", 100.0 * double(valid) / double(all));
        EXPECT_TRUE(contains(r.out, share)) << share << "\n" << r.out;
    }
    EXPECT_FALSE(fs::exists("shot/depth.vx.part"));

    const Result cmp = run("compare shot/depth.vx truth.vx");
    ASSERT_EQ(cmp.code, 0) << cmp.err;
    const size_t med = cmp.out.find("median ");
    ASSERT_NE(med, std::string::npos) << cmp.out;
    EXPECT_LT(std::stod(cmp.out.substr(med + 7)), 30.0) << cmp.out;  // millimetres
}

// --filter takes every name of the library's table (the one the C++ and Python layers use) at
// both ends of its bounds and refuses just beyond them, naming the filter.
TEST_F(Cli, FilterTakesEveryNameOfTheLibrarysTableWithinItsBounds) {
    for (int32_t i = 0; const vexel_filter_info* f = vexel_filter_at(i); ++i) {
        const std::string name = f->name;
        SCOPED_TRACE(name);
        const auto arg = [&](double v) {
            char b[64];
            std::snprintf(b, sizeof b, "%s=%.10g", f->name, v);
            return std::string(b);
        };
        std::vector<std::string> good = {name, name + "=off", std::string(f->id_name) + "=off"}, bad;
        if (f->kind == VEXEL_FILTER_VALUE_NONE) {
            bad = {name + "=1"};
        } else {
            const double step = f->kind == VEXEL_FILTER_VALUE_FLOAT ? 0.5 : f->odd ? 2 : 1;
            good.push_back(arg(f->lo_open ? f->lo + step : f->lo));
            good.push_back(arg(f->hi));
            bad = {arg(f->lo_open ? f->lo : f->lo - step), arg(f->hi + step)};
            if (!f->has_default) bad.push_back(good[0]), good.erase(good.begin());
        }
        for (const std::string& g : good) EXPECT_EQ(run("capture -d 63 --filter " + g).code, 1) << g;
        for (const std::string& b : bad) {
            const Result r = run("capture -d 63 --filter " + b);
            EXPECT_EQ(r.code, 2) << b;
            EXPECT_TRUE(contains(r.err, name)) << b << ": " << r.err;
        }
    }
}

// Pixels without a measurement are black in every picture: the library's colour map when asked
// to, the C++ layer's colours and the vexel program's depth and amplitude pictures, whose
// saturated pixels measured nothing either; measured ones in range are not black.
TEST_F(Cli, EveryPictureShowsPixelsWithoutAMeasurementBlack) {
    const Result r = run("--prefix calib capture -n 2 -o shot --format png,vx", "--scene wall:0.25 --bad-pixels 400");
    ASSERT_EQ(r.code, 0) << r.err;
    const auto last_frame = [](const char* path, bool distance) {
        const int fd = ::open(path, O_RDONLY);
        std::vector<float> v(320 * 240), last;
        while ((distance ? vexel_frame_load_distance(fd, v.data(), 320 * 240, nullptr, nullptr)
                         : vexel_frame_load_gray(fd, v.data(), 320 * 240, nullptr, nullptr)) == 320 * 240)
            last = v;
        ::close(fd);
        return last;
    };
    const vexel::Library lib(nullptr, VX_LOG_OFF);  // builds the library's colour map
    const auto no_depth = [](float d) { return !(d > 0.0f && d < 60.0f); };
    const std::vector<float> values = {std::nanf(""), -1.0f, 0.0f, 65.3f, 65.4f, 65.5f, 0.002f, 1.0f, 4.0f};
    const auto map = [&](int fmt) {
        std::vector<uint8_t> px(values.size() * 4);
        EXPECT_EQ(vexel_cmap_float(px.data(), int32_t(px.size()), values.data(), int32_t(values.size()),
                                   fmt | VEXEL_COLOR_NO_DATA_BLACK, 0.0f, 4.0f),
                  int32_t(values.size()));
        px.resize(values.size() * (fmt == VEXEL_COLOR_RGBX8888 ? 4 : 3));
        return px;
    };
    const std::vector<vexel::Rgb> cpp = vexel::colours(values, 0.0f, 4.0f);
    const std::vector<uint8_t> cpp_px(&cpp.data()->r, &cpp.data()->r + 3 * cpp.size());
    const Png depth = read_png("shot/depth.png"), amp = read_png("shot/amplitude.png");
    const struct {
        const char* picture;
        std::vector<float> values;
        std::vector<uint8_t> px;
        size_t channels;
        bool (*no_data)(float);
        bool measured_not_black;
    } pictures[] = {
        {"colour map rgb", values, map(VEXEL_COLOR_RGB888), 3, no_depth, true},
        {"colour map bgr", values, map(VEXEL_COLOR_BGR888), 3, no_depth, true},
        {"colour map rgbx", values, map(VEXEL_COLOR_RGBX8888), 4, no_depth, true},
        {"vexel::colours", values, cpp_px, 3, no_depth, true},
        {"depth.png", last_frame("shot/zdepth.vx", true), depth.px, 3, no_depth, true},  // what it shows
        {"amplitude.png", last_frame("shot/amplitude.vx", false), amp.px, 1,
         [](float a) { return a >= 65000.0f; }, false},
    };
    for (const auto& p : pictures) {
        SCOPED_TRACE(p.picture);
        ASSERT_EQ(p.px.size(), p.values.size() * p.channels);
        size_t none = 0, measured = 0;
        for (size_t i = 0; i < p.values.size(); ++i) {
            const bool black = std::all_of(p.px.begin() + long(i * p.channels),
                                           p.px.begin() + long((i + 1) * p.channels), [](uint8_t c) { return c == 0; });
            if (p.no_data(p.values[i])) {
                ++none;
                EXPECT_TRUE(black) << "pixel " << i << " value " << p.values[i];
            } else if (p.measured_not_black) {
                ++measured;
                EXPECT_FALSE(black) << "pixel " << i << " value " << p.values[i];
            }
        }
        EXPECT_GT(none, 0u) << "the picture has pixels without a measurement";
        if (p.measured_not_black) {
            EXPECT_GT(measured, 0u);
        }
    }
}

// Frames pair by number up to the shorter file, invalid pixels are left out, and the mean error
// carries the sign of first minus second.
TEST_F(Cli, CompareSignsTheErrorAndPairsOnlyTheFramesBothFilesHave) {
    const auto write = [](const char* path, int frames, float offset) {
        const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        for (int k = 0; k < frames; ++k) {
            std::vector<float> v(8, 1.0f + 0.25f * float(k) + offset);
            if (k == 0 && offset > 0) v[3] = 65.5f;  // invalid in one file only
            EXPECT_EQ(vexel_frame_save_distance(fd, VEXEL_FRAME_SAVE_F32, v.data(), 8, 4, 2), 1);
        }
        ::close(fd);
    };
    write("long.vx", 3, 0.0078125f);  // 7.8125 mm, exact in binary
    write("short.vx", 2, 0.0f);
    for (const auto& [args, mean] : {std::pair{"long.vx short.vx", "mean +7.81 mm"}, {"short.vx long.vx", "mean -7.81 mm"}}) {
        const Result r = run(std::string("compare ") + args);
        ASSERT_EQ(r.code, 0) << r.err;
        EXPECT_TRUE(contains(r.out, "pixels valid in both: 15 of 16 (93.8 %)")) << r.out;
        EXPECT_TRUE(contains(r.out, mean)) << r.out;
        EXPECT_TRUE(contains(r.out, "long.vx: 3 frames of 4x2")) << r.out;
    }
}

// A camera warming up from 25 degC, as the simulated camera does by default: the program
// compensates the sensor below its calibration temperature too and reads within the camera's own
// drift (13 mm at 25 degC, sim/README.md); the chip library's one-sided term, the C default,
// switched back by name, leaves the sensor's whole drift, about 17 cm short. `vexel info` shows
// the program's choice.
TEST_F(Cli, ColdCameraReadsWithinItsOwnDriftWithTheProgramsCompensation) {
    const Result info = run("--prefix calib info", "--scene wall:2");
    ASSERT_EQ(info.code, 0) << info.err;
    EXPECT_TRUE(contains(info.out, " temp-two-sided\n")) << info.out;
    const struct {
        const char* filter;
        double lo, hi;  // signed mean error against the truth, mm
    } cases[] = {{"", -16, 16}, {" --filter temp-two-sided=off", -220, -120}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.filter);
        const Result r = run(std::string("--prefix calib capture -n 1 --format vx -o cold") + c.filter,
                             "--scene wall:2 --truth truth.vx");
        ASSERT_EQ(r.code, 0) << r.err;
        const Result cmp = run("compare cold/depth.vx truth.vx");
        ASSERT_EQ(cmp.code, 0) << cmp.err;
        const std::string key = "error (first - second): mean ";
        const size_t at = cmp.out.find(key);
        ASSERT_NE(at, std::string::npos) << cmp.out;
        const double mean = std::stod(cmp.out.substr(at + key.size()));
        std::printf("[ cold ] capture%s: mean error %+.2f mm\n", c.filter, mean);
        EXPECT_GE(mean, c.lo) << cmp.out;
        EXPECT_LE(mean, c.hi) << cmp.out;
    }
}

// z-depth beside the ray lengths, and the clouds as text PLY and PCD: a wall at 2 m, whose
// z-depth is 2 m everywhere while its ray lengths grow towards the corners.
TEST_F(Cli, CaptureWritesZDepthAndCloudsInEveryFormat) {
    const Result r = run("--prefix calib capture -o w --format vx,ply-ascii,pcd --filter lens", "--scene wall:2 --fpn 0 --warmup off");
    ASSERT_EQ(r.code, 0) << r.err;
    const auto frame = [](const char* p) {
        std::vector<float> v(320 * 240);
        const int fd = ::open(p, O_RDONLY);
        const int n = vexel_frame_load_distance(fd, v.data(), 320 * 240, nullptr, nullptr);
        ::close(fd);
        return n == 320 * 240 ? v : std::vector<float>{};
    };
    const std::vector<float> ray = frame("w/depth.vx"), z = frame("w/zdepth.vx");
    ASSERT_FALSE(ray.empty() || z.empty());
    const size_t corner = 20 * 320 + 20;
    EXPECT_NEAR(z[corner], 2.0, 0.02);
    EXPECT_GT(ray[corner], 2.3f);
    EXPECT_NEAR(z[120 * 320 + 160], ray[120 * 320 + 160], 0.001);

    const std::string ply = slurp("w/cloud.ply"), pcd = slurp("w/cloud.pcd");
    ASSERT_TRUE(contains(ply, "format ascii 1.0\n")) << ply.substr(0, 300);
    const size_t end = ply.find("end_header\n") + 11;
    const size_t points = std::stoul(ply.substr(ply.find("element vertex ") + 15));
    EXPECT_GT(points, 50000u);
    EXPECT_EQ(size_t(std::count(ply.begin() + long(end), ply.end(), '\n')), points);
    EXPECT_TRUE(contains(pcd, "POINTS " + std::to_string(points) + "\nDATA binary\n"));
    EXPECT_EQ(pcd.size(), pcd.find("DATA binary\n") + 12 + 16 * points);
    EXPECT_FALSE(fs::exists("w/depth.png"));
}

TEST_F(Cli, BadUsageExitsTwoWithTheReasonAndHelpExitsZero) {
    const struct {
        const char* args;
        const char* says;
    } bad[] = {
        {"", "a command is required"},
        {"foo", "unknown command 'foo'"},
        {"list extra", "unexpected argument 'extra'"},
        {"stream --bogus 5", "--bogus"},
        {"param-get 256", "256 not in range 0 to 255"},
        {"reg-read 1 0 65536", "65536 not in range 1 to 65535"},
        {"reg-read 1 0x100000000 1", "not in range"},
        {"info -d 64", "not in range 0 to 63"},
        {"capture --filter median=4", "median kernel must be odd"},
        {"capture --filter auto-intg=1001", "not in range 1 to 1000"},
        {"capture --filter lens=2", "lens takes no value"},
        {"capture --format jpg", "jpg"},
        {"compare only.vx", "compare"},
        {"calib", "subcommand is required"},
        {"firmware write f.bin --type 1", "--version"},
        {"--log missing/dir/x.log list", "cannot open the log file missing/dir/x.log"},
        {"stream -n abc", "'abc' is not a whole number"},
        {"distance --timeout 1.5", "'1.5' is not a whole number"},
        {"capture --fps 0", "not in range 1 to 1000"},
        {"stream --fps 1001", "not in range 1 to 1000"},
        {"record --integration 65536", "not in range 1 to 65535"},
        {"param-set 12 256", "256 not in range 0 to 255"},
        {"param-set 12 0 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18", "param-set"},
    };
    for (const auto& c : bad) {
        const Result r = run(c.args);
        EXPECT_EQ(r.code, 2) << c.args;
        EXPECT_TRUE(contains(r.err, c.says)) << c.args << ": " << r.err;
        EXPECT_EQ(r.out, "") << c.args;
    }
    EXPECT_FALSE(fs::exists("vx.log")) << "no fallback log file";
    // The last values accepted pass parsing and fail only for want of a camera.
    for (const char* ok : {"param-get -d 63 255", "reg-read -d 63 1 0xffffffff 65535", "info -d 63",
                           "stream -d 63 --fps 1000 --integration 65535", "distance -d 63 --fps 1 --integration 1",
                           "param-set -d 63 255 0 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 0xff",
                           "capture -d 63 --filter median=255 --filter auto-intg=1000"})
        EXPECT_EQ(run(ok).code, 1) << ok;

    for (const char* help : {"--help", "-h", "stream --help", "capture -h", "calib download --help"}) {
        const Result r = run(help);
        EXPECT_EQ(r.code, 0) << help;
        EXPECT_TRUE(contains(r.out, "Usage: vexel")) << help << ": " << r.out;
        EXPECT_FALSE(contains(r.out, "in the frame index")) << "help must not stream";
    }
    const Result v = run("--version");
    EXPECT_EQ(v.code, 0);
    EXPECT_EQ(v.out, "vexel " VEXEL_VERSION "\n");
}

TEST_F(Cli, FailedOperationsExitOneWithAMessageAndLeaveNoOutputFile) {
    fs::create_directory("locked");
    const struct {
        const char* sim;
        const char* args;
        const char* says;
        const char* no_file;
    } cases[] = {
        {"", "info -d 1", "camera 1 not found (1 attached", nullptr},
        {"", "capture -d 1", "camera 1 not found", nullptr},
        {"", "stream -n 3 -o missing/dir/raw.bin", "cannot write missing/dir/raw.bin", "missing"},
        {"--silent", "stream -n 3 --timeout 1 -o raw.bin", "no frame for 1 s", "raw.bin"},
        {"--stall 40", "stream -n 3 -o raw.bin", "VEXEL_ERR_CAP_STALL", "raw.bin"},
        {"", "data read 9 image.bin", "data read of image slot 9 failed", "image.bin"},
        {"--calib-package none", "--prefix calib calib download", "no usable calibration package", nullptr},
        {"", "--prefix calib stream -n 1", "(no rate)", nullptr},
    };
    for (const auto& c : cases) {
        const Result r = run(c.args, std::string("--calib-package none ") + c.sim);
        EXPECT_EQ(r.code, contains(c.says, "rate") ? 0 : 1) << c.args << ": " << r.err;
        EXPECT_TRUE(contains(r.err + r.out, c.says)) << c.args << ": " << r.err;
        if (c.no_file) {
            EXPECT_FALSE(fs::exists(c.no_file)) << c.args;
        }
    }
    EXPECT_FALSE(fs::exists("raw.bin.part"));
}

TEST_F(Cli, CtrlCEndsWithTheSummaryAndTheFilesInEitherOrderOfArrival) {
    // A terminal's Ctrl-C reaches vexel-sim and the program alike, and vexel-sim forwards its own
    // copy: the program sees two SIGINTs, in either order. Each is sent once a frame has arrived
    // (`ready`; a started capture is not enough on a loaded machine, and a stream interrupted before
    // its first frame rightly writes no file); a Ctrl-C on a camera that sends no frames must end
    // the program at once.
    const char* const arrived = "grep -q \"frame \" out.txt";
    const struct {
        const char* sim;
        const char* args;
        const char* ready;
        const char* send;  // $pid: the launcher, $child: the program
        const char* says;
        const char* file;
    } cases[] = {
        {"", "stream -n 0 -o raw.bin", arrived, "kill -INT -$pid", " in the frame index", "raw.bin"},
        {"", "capture -n 100000 -o shot", arrived, "kill -INT $child; kill -INT $pid",
         " decoded, ", "shot/depth.vx"},
        {"", "distance -n 100000", arrived, "kill -INT $pid; kill -INT $child",
         "in the frame index", nullptr},
        // The cache holds the calibration by now: the first capture start is the command's.
        {"--fps 0", "capture -n 3 -o none", "grep -q \"issue start cmd\" err.txt", "kill -INT -$pid", "interrupted",
         nullptr},
    };
    for (const auto& c : cases) {
        const std::string script =
            std::string("set -m; XDG_CACHE_HOME=$PWD/cache ") + VXSIM_LAUNCHER + " " + c.sim + " -- " + VEXEL_CLI +
            " -vv " + c.args + " >out.txt 2>err.txt & pid=$!; for i in $(seq 300); do " + c.ready +
            " 2>/dev/null && break; sleep 0.1; done; sleep 0.3; child=$(pgrep -P $pid); " + c.send +
            "; t0=$(date +%s%N); wait $pid; rc=$?; echo $(( ($(date +%s%N) - t0) / 1000000 )) >ms.txt; exit $rc";
        const int status = std::system(("bash -c '" + script + "'").c_str());
        const std::string out = slurp("out.txt"), err = slurp("err.txt");
        ASSERT_TRUE(WIFEXITED(status)) << c.args;
        // The program's own messages, without the debug log around them.
        std::string said;
        for (size_t at = 0, end; at < err.size(); at = end + 1) {
            end = std::min(err.find('\n', at), err.size());
            const std::string line = err.substr(at, end - at);
            if (line.find("][DBG]") == std::string::npos && line.find("][TRC]") == std::string::npos) said += line + "\n";
        }
        EXPECT_EQ(WEXITSTATUS(status), 130) << c.args << ": " << said << "out: " << out;
        EXPECT_TRUE(contains(out + err, c.says)) << c.args << ": " << out;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
        const int limit_ms = 5000;  // instrumented programs take their summary's time several times over
#else
        const int limit_ms = 1500;
#endif
        EXPECT_LT(std::stoi(slurp("ms.txt")), limit_ms) << c.args;
        if (c.file) {
            EXPECT_TRUE(fs::exists(c.file)) << c.args;
        }
        for (const auto& e : fs::recursive_directory_iterator(dir_))
            EXPECT_NE(e.path().extension(), ".part") << c.args << ": " << e.path();
    }
    EXPECT_FALSE(fs::exists("none/depth.png"));
}

TEST_F(Cli, CalibrationLivesInTheUsersCacheAndCamerasThatCannotMeasureAreRefused) {
    std::ofstream("afile") << "not a directory";
    const struct {
        const char* sim;
        const char* env;
        const char* args;
        int code;
        const char* says;
        const char* calib;  // where the calibration files must be, or null
    } cases[] = {
        {"", "", "distance -n 1", 0, "frame ", "cache/vexel/VX0001-42/"},
        {"", "-u XDG_CACHE_HOME HOME=$PWD/home", "distance -n 1", 0, "frame ", "home/.cache/vexel/VX0001-42/"},
        {"", "XDG_CACHE_HOME=relative HOME=$PWD/home2", "info", 0, "home2/.cache/vexel/VX0001-42/",
         "home2/.cache/vexel/VX0001-42/"},
        {"", "XDG_CACHE_HOME=$PWD/afile", "distance -n 1", 1, "afile/vexel/VX0001-42/", nullptr},
        {"", "XDG_CACHE_HOME=$PWD/afile", "capture -n 1 -o shot", 1, "--uncalibrated", nullptr},
        {"", "XDG_CACHE_HOME=$PWD/afile", "distance -n 1 --uncalibrated", 0, "frame ", nullptr},
        {"--calib-package none --serial NOPKG", "", "distance -n 1", 1, "cache/vexel/NOPKG-42/", nullptr},
        {"", "-u XDG_CACHE_HOME -u HOME", "distance -n 1", 1, "give --prefix", nullptr},
        {"--serial 'a/b c'", "", "--prefix pinned info", 0, "pinned/", "pinned/"},
        {"--serial 'a/b c'", "", "info", 0, "cache/vexel/a_b_c-42/", "cache/vexel/a_b_c-42/"},
        {"--product A-T0-1", "", "capture -n 1 -o shot", 1, "its family (T0, TI OP8241 chip driver) gives no depth",
         nullptr},
        {"--product A-T0-1", "", "distance", 1, "gives no depth", nullptr},
        {"--product A-E4-1", "", "info", 1, "A-E4-1: no driver in this library", nullptr},
    };
    for (const auto& c : cases) {
        const Result r = run(c.args, std::string("--scene wall:2 ") + c.sim, c.env);
        EXPECT_EQ(r.code, c.code) << c.env << " " << c.args << ": " << r.err;
        EXPECT_TRUE(contains(r.out + r.err, c.says)) << c.env << " " << c.args << ": " << r.out << r.err;
        if (c.calib) {
            bool found = false;
            for (const auto& e : fs::directory_iterator(c.calib))
                found |= e.path().filename().string().rfind("tcm_ex_images_drnu", 0) == 0;
            EXPECT_TRUE(found) << c.args << ": no calibration files in " << c.calib;
        }
        // Nothing of the camera's lands in the working directory, and a refused capture writes nothing.
        for (const auto& e : fs::directory_iterator(dir_))
            EXPECT_EQ(e.path().filename().string().rfind("tcm_ex", 0), std::string::npos) << c.args;
        EXPECT_FALSE(fs::exists("shot")) << c.args;
    }
}

// Settings reach the camera before its frames: the rate the stream measures, the integration
// time and raw parameters read back in the same simulated camera; -v adds a line per frame
// with its host time and the temperatures of its header.
TEST_F(Cli, SettingsOnTheFrameCommandsAndPerFrameDetailsWithVerbose) {
    const Result slow = run("-v stream -n 8 --fps 5", "--temperature 41.5,-3.2");
    ASSERT_EQ(slow.code, 0) << slow.err;
    std::vector<double> at;  // host seconds of the day, one per frame line
    for (size_t p = 0; (p = slow.out.find(": host ", p)) != std::string::npos; ++p) {
        const std::string line = slow.out.substr(p, slow.out.find('\n', p) - p);
        EXPECT_TRUE(contains(line, ", sensor 41.5 C, illumination -3.2 C")) << line;
        at.push_back(std::stoi(line.substr(7, 2)) * 3600.0 + std::stoi(line.substr(10, 2)) * 60.0 +
                     std::stod(line.substr(13, 9)));
    }
    ASSERT_EQ(at.size(), 8u) << slow.out;
    // The camera holds a few frames made before the change, and a setting reaches the exposure a
    // frame late; the last ones come 0.2 s apart.
    EXPECT_GT(at[7] - at[6], 0.15) << slow.out;
    const Result quiet = run("stream -n 2", "--fps 30");
    EXPECT_FALSE(contains(quiet.out, "host ")) << "without -v: the summary only";

    // The driver reads the camera's rate and integration time back on the first decoded frame.
    const Result depth = run("-vv distance -n 1 --integration 300 --fps 7", "--fps 30");
    ASSERT_EQ(depth.code, 0) << depth.err;
    EXPECT_TRUE(contains(depth.err, "FPS:7\n")) << depth.err;
    EXPECT_TRUE(contains(depth.err, "intg_time:300 us")) << depth.err;
    // param-set writes the bytes as given: the next command reads the rate back.
    const std::string both = "env XDG_CACHE_HOME=$PWD/cache " + std::string(VXSIM_LAUNCHER) + " -- sh -c '" +
                             VEXEL_CLI + " param-set 12 9 0 0 0 && " + VEXEL_CLI + " param-get 12' >out.txt 2>err.txt";
    ASSERT_EQ(std::system(both.c_str()), 0) << slurp("err.txt");
    EXPECT_EQ(slurp("out.txt"), "12 [4]: 09 00 00 00\n");
    const Result refused = run("param-set 12 0 0 0 0", "--fps 30");
    EXPECT_EQ(refused.code, 1);
    EXPECT_TRUE(contains(refused.err, "the camera refused parameter 12")) << refused.err;
}

// -d all (or a list of numbers and serials) runs every camera at once: a directory per serial,
// one summary line per camera, each camera measured with its own calibration; Ctrl-C ends all
// of them with their summaries.
TEST_F(Cli, EveryCameraAtOnceWithADirectoryAndASummaryEach) {
    // Both held at the calibration temperatures: a cold camera reads centimetres short at first.
    const std::string two = "--serial AAA --scene wall:2 --warmup off --camera --serial BBB --scene wall:3 "
                            "--warmup off";
    const Result all = run("capture -d all -n 2 -o shots", two);
    ASSERT_EQ(all.code, 0) << all.err;
    EXPECT_TRUE(contains(all.out, "camera 0 (AAA): 2 frames in ")) << all.out;
    EXPECT_TRUE(contains(all.out, "camera 1 (BBB): 2 frames in ")) << all.out;
    EXPECT_EQ(std::count(all.out.begin(), all.out.end(), '\n'), 2) << all.out;
    // Each camera's files in its directory, its distances those of its own wall.
    for (const auto& [serial, wall] : {std::pair{"AAA", 2.0f}, std::pair{"BBB", 3.0f}}) {
        const fs::path dir = fs::path("shots") / serial;
        EXPECT_EQ(load_frames(dir / "depth.vx", true), 2) << serial;
        EXPECT_TRUE(fs::exists(dir / "cloud.ply")) << serial;
        const int fd = ::open((dir / "zdepth.vx").c_str(), O_RDONLY);
        std::vector<float> z(320 * 240);
        int w = 0, h = 0;
        ASSERT_EQ(vexel_frame_load_distance(fd, z.data(), 320 * 240, &w, &h), 320 * 240) << serial;
        ::close(fd);
        std::nth_element(z.begin(), z.begin() + z.size() / 2, z.end());
        EXPECT_NEAR(z[z.size() / 2], wall, 0.02) << serial;
    }
    const Result some = run("distance -d BBB,0,AAA -n 1", two);
    ASSERT_EQ(some.code, 0) << some.err;
    EXPECT_TRUE(contains(some.out, "camera 1 (BBB): 1 frame in ")) << some.out;
    EXPECT_TRUE(contains(some.out, "camera 0 (AAA): 1 frame in ")) << some.out;
    EXPECT_EQ(std::count(some.out.begin(), some.out.end(), '\n'), 2) << "named twice, ran once: " << some.out;
    // A file given to -o lands in a directory per serial beside it; each recording replays alone.
    const Result raw = run("stream -d all -n 1 -o raw/last.bin", two);
    ASSERT_EQ(raw.code, 0) << raw.err;
    const Result rec = run("record -d 1,0 -n 3 -o runs/run.vxr", two);
    ASSERT_EQ(rec.code, 0) << rec.err;
    for (const char* serial : {"AAA", "BBB"}) {
        EXPECT_EQ(fs::file_size(fs::path("raw") / serial / "last.bin"), 320u * 240u * 8u) << serial;
        const Result played = run("--replay runs/" + std::string(serial) + "/run.vxr stream -n 3");
        EXPECT_EQ(played.code, 0) << serial << ": " << played.err;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
        // Played at the recorded rate into a host this slow, older frames give way to newer ones
        // in the capture ring, as they would from the camera.
        EXPECT_TRUE(contains(played.out, " in the frame index")) << serial << ": " << played.out;
#else
        EXPECT_TRUE(contains(played.out, "3 frames in ")) << serial << ": " << played.out;
#endif
        // Each recording carries its own camera's calibration: its distances are its own wall's.
        const Result measured = run("--replay runs/" + std::string(serial) + "/run.vxr distance -n 1");
        ASSERT_EQ(measured.code, 0) << serial << ": " << measured.err;
        const size_t at = measured.out.find("centre ");
        ASSERT_NE(at, std::string::npos) << measured.out;
        EXPECT_NEAR(std::atof(measured.out.c_str() + at + 7), serial[0] == 'A' ? 2.0 : 3.0, 0.05) << measured.out;
    }
    EXPECT_FALSE(fs::exists("raw/last.bin") || fs::exists("runs/run.vxr")) << "nothing under the name given";
    for (const auto& e : fs::directory_iterator("."))
        EXPECT_NE(e.path().extension(), ".bin") << "a replay's calibration left behind: " << e.path();

    const struct {
        const char* args;
        int code;
        const char* says;
    } refused[] = {
        {"stream -d 0,2", 1, "camera 2 not found (2 attached"},
        {"stream -d AAA,ZZZ", 1, "no camera with serial ZZZ"},
        {"stream -d 0,,1", 2, "an empty camera"},
        {"stream -d all,1", 2, "`all` stands alone"},
        {"info -d all", 2, "takes one camera"},
        {"info -d 0,1", 2, "takes one camera"},
        {"--record r.vxr stream -d all", 1, "--replay and --record take one camera"},
    };
    for (const auto& c : refused) {
        const Result r = run(c.args, two);
        EXPECT_EQ(r.code, c.code) << c.args;
        EXPECT_TRUE(contains(r.err, c.says)) << c.args << ": " << r.err;
    }

    const std::string script = std::string("set -m; XDG_CACHE_HOME=$PWD/cache ") + VXSIM_LAUNCHER + " " + two +
                               " -- " + VEXEL_CLI + " -vv stream -d all -n 0 >out.txt 2>err.txt & pid=$!; " +
                               "for i in $(seq 300); do [ $(grep -c \"issue start cmd\" err.txt) -ge 2 ] && break; " +
                               "sleep 0.1; done; sleep 0.5; kill -INT -$pid; wait $pid";
    const int status = std::system(("bash -c '" + script + "'").c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 130);
    const std::string out = slurp("out.txt");
    EXPECT_TRUE(contains(out, "camera 0 (AAA): ")) << out;
    EXPECT_TRUE(contains(out, "camera 1 (BBB): ")) << out;
}

TEST_F(Cli, ListShowsProductAndSerialOfEveryCamera) {
    const Result r = run("list", "--product A-E2-2.0 --serial ONE --camera --product A-T0-1 --serial TWO");
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "A-E2-2.0 serial ONE")) << r.out;
    EXPECT_TRUE(contains(r.out, "A-T0-1 serial TWO")) << r.out;
    // Numbered in bus order; cameras given no serial or chip get distinct ones, so their
    // calibration files never mix.
    const Result two = run("list", "--bus 2 --camera --bus 1");
    ASSERT_EQ(two.code, 0) << two.err;
    EXPECT_TRUE(contains(two.out, "2 cameras, numbered in bus order")) << two.out;
    EXPECT_TRUE(contains(two.out, "0: A-E2-1.0 serial VX0002, bus 001")) << two.out;
    EXPECT_TRUE(contains(two.out, "1: A-E2-1.0 serial VX0001, bus 002")) << two.out;
    const Result chip = run("info -d 0", "--bus 2 --camera --bus 1");
    EXPECT_TRUE(contains(chip.out, "number 43")) << chip.out;
    EXPECT_TRUE(fs::exists("cache/vexel/VX0002-43")) << chip.err;
    // --watch reports the cameras there as arrivals and runs until Ctrl-C.
    const std::string cmd = std::string(VXSIM_LAUNCHER) + " --serial ONE --camera --serial TWO -- " + VEXEL_CLI +
                            " list --watch >out.txt 2>err.txt & pid=$!; "
                            "for i in $(seq 300); do [ $(grep -c '^arrived' out.txt 2>/dev/null) = 2 ] && break; "
                            "sleep 0.1; done; kill -INT $pid; wait $pid";
    const int status = std::system(cmd.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 130) << slurp("err.txt");
    const std::string out = slurp("out.txt");
    EXPECT_TRUE(contains(out, "arrived: serial ONE, bus ")) << out;
    EXPECT_TRUE(contains(out, "arrived: serial TWO, bus ")) << out;
}

// A run kept by `vexel record` plays back through the library (--replay before any command)
// and through the simulated camera (vexel-sim --replay, the whole USB path, downloading the
// recorded calibration into a fresh prefix); a cut-off recording fails the command after its
// complete part; bad replay options are usage errors.
TEST_F(Cli, RecordAndReplayThroughTheLibraryAndTheSimulatedCamera) {
    const Result rec = run("--prefix calib record -n 20 -o run.vxr", "--fps 60");
    ASSERT_EQ(rec.code, 0) << rec.err;
    EXPECT_TRUE(contains(rec.out, "run.vxr: ")) << rec.out;
    fs::copy_file("run.vxr", "cut.vxr");
    fs::resize_file("cut.vxr", fs::file_size("run.vxr") - 20000);
    const struct {
        const char* args;
        const char* sim;
        int code;
        const char* says;
    } cases[] = {
        {"--replay run.vxr --prefix calib capture -n 3 -o lib", "", 0, "3 frames decoded"},
        {"--prefix fresh capture -n 3 -o served", "--replay run.vxr", 0, "3 frames decoded"},
        {"--replay cut.vxr --prefix calib stream -n 100 -o raw.bin", "", 1, "the recording ends early: "},
        {"list", "--replay missing.vxr", 2, "--replay missing.vxr: "},
        {"list", "--loop", 2, "--loop needs --replay FILE"},
    };
    for (const auto& c : cases) {
        const Result r = run(c.args, c.sim);
        EXPECT_EQ(r.code, c.code) << c.args << ": " << r.err;
        EXPECT_TRUE(contains(c.code ? r.err : r.out, c.says)) << c.args << ": " << r.out << r.err;
    }
    EXPECT_EQ(load_frames("lib/depth.vx", true), 3);
    EXPECT_EQ(load_frames("served/depth.vx", true), 3);
    EXPECT_TRUE(fs::exists("fresh") && !fs::is_empty("fresh")) << "the calibration was downloaded";
}

}  // namespace
