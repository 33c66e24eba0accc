// The measured calibration kept on disk: a later process with the same camera reads it, any
// other camera or a damaged file measures again, and the user's own cache is never touched.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim/calib/calib_package.hpp"
#include "sim/calib/rig_cache.hpp"
#include "sim/sim.hpp"

namespace fs = std::filesystem;

namespace {

std::vector<uint8_t> slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void spill(const fs::path& p, const std::vector<uint8_t>& b) {
    std::ofstream(p, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
}

ino_t inode(const fs::path& p) {
    struct stat st {};
    return stat(p.c_str(), &st) == 0 ? st.st_ino : 0;
}

struct RigCache : ::testing::Test {
    fs::path dir = fs::path(testing::TempDir()) / ("rig_cache_" + std::to_string(getpid()));
    void SetUp() override { vxsim::set_calib_cache(dir.string()); }
    void TearDown() override {
        vxsim::set_calib_cache("");
        fs::remove_all(dir);
    }
    // The package a new process's camera would upload.
    static std::vector<uint8_t> package(const vxsim::Measurement& m) {
        vxsim::forget_measured_calibrations();
        vxsim::MeasurementModel model(m);
        return vxsim::generate_calib_package(model, 42);
    }
    std::vector<fs::path> files() const {
        std::vector<fs::path> out;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(dir, ec)) out.push_back(e.path());
        return out;
    }
};

TEST_F(RigCache, SameCameraReadsTheFileAnotherOrADamagedFileMeasuresAgain) {
    vxsim::Measurement m;
    m.seed = 7;
    const auto first = package(m);
    ASSERT_EQ(files().size(), 1u);
    const fs::path file = files()[0];
    const ino_t ino = inode(file);
    const auto good = slurp(file);

    // Read, not measured: the package is byte for byte the same and the file is not rewritten...
    EXPECT_EQ(package(m), first);
    EXPECT_EQ(inode(file), ino);
    // ... and it is the file's tables: a file for this key holding other phases is served as it is.
    vxsim::MeasurementModel model(m);
    const std::string key = vxsim::rig_key(model);
    auto images = vxsim::rig_cache_decode(good, key, size_t(vxsim::kCalibDistances) * vxsim::kPixels * 2);
    ASSERT_TRUE(images);
    (*images)[0] ^= 1;
    spill(file, vxsim::rig_cache_encode(key, *images));
    EXPECT_NE(package(m), first);
    spill(file, good);

    // A damaged file is measured again and replaced by a whole one.
    const std::vector<uint8_t> flipped = [&] {
        auto b = good;
        b[b.size() / 2] ^= 0x40;
        return b;
    }();
    for (const auto& bad : {flipped, std::vector<uint8_t>(good.begin(), good.end() - 1)}) {
        spill(file, bad);
        const ino_t before = inode(file);
        EXPECT_EQ(package(m), first);
        EXPECT_NE(inode(file), before);
        EXPECT_TRUE(slurp(file) == good);
    }

    // Another camera has its own file and tables; the first one's stays as it was.
    m.effects.wiggle_mm = 14;
    const auto other = package(m);
    EXPECT_NE(other, first);
    EXPECT_EQ(files().size(), 2u);
    EXPECT_TRUE(slurp(file) == good);

    // The launcher's --calib-cache: a camera of the same key reads the file (its last use moves,
    // nothing is added), whatever the environment names.
    const timespec old[2] = {{1, 0}, {1, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), old, 0), 0);
    const std::string cmd = "unset LD_PRELOAD UMOCKDEV_DIR; VEXEL_SIM_CACHE=off " VXSIM_LAUNCHER
                            " --seed 7 --calib-cache '" +
                            dir.string() + "' -- true";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    struct stat st {};
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_GT(st.st_mtim.tv_sec, 1);
    EXPECT_EQ(files().size(), 2u);

    // A directory that cannot be made is no cache, and no failure.
    vxsim::set_calib_cache((file / "sub").string());
    EXPECT_EQ(package(m), other);
    EXPECT_EQ(files().size(), 2u);
}

// Every parameter the tables depend on is in the key; what the rig never looks at is not.
TEST_F(RigCache, KeyHoldsWhatTheTablesDependOn) {
    const vxsim::Measurement base;
    auto key = [](const vxsim::Measurement& m) {
        vxsim::MeasurementModel model(m);
        return vxsim::rig_key(model);
    };
    const std::string k0 = key(base);
    using Change = void (*)(vxsim::Measurement&);
    const std::pair<const char*, Change> changes[] = {
        {"seed", [](vxsim::Measurement& m) { m.seed = 2; }},
        {"fpn", [](vxsim::Measurement& m) { m.fpn_mm = 19.5; }},
        {"noise", [](vxsim::Measurement& m) { m.noise_mm = 3.01; }},
        {"offset", [](vxsim::Measurement& m) { m.phase_offset = 7656; }},
        {"drift", [](vxsim::Measurement& m) { m.temperature_drift = false; }},
        {"drift error", [](vxsim::Measurement& m) { m.effects.drift_error = 0.06; }},
        {"curvature", [](vxsim::Measurement& m) { m.effects.drift_curvature = 0.003; }},
        {"wiggle", [](vxsim::Measurement& m) { m.effects.wiggle_mm = 15.001; }},
        {"dcs offset", [](vxsim::Measurement& m) { m.effects.dcs_offset = 0.6; }},
        {"dcs gain", [](vxsim::Measurement& m) { m.effects.dcs_gain = 0.004; }},
        {"bad pixels", [](vxsim::Measurement& m) { m.effects.bad_pixels = 61; }},
        {"compression", [](vxsim::Measurement& m) { m.effects.compression = false; }},
    };
    for (const auto& [what, change] : changes) {
        vxsim::Measurement m = base;
        change(m);
        EXPECT_NE(key(m), k0) << what;
        EXPECT_NE(vxsim::rig_cache_name(key(m)), vxsim::rig_cache_name(k0)) << what;
    }
    vxsim::Measurement unseen = base;
    unseen.scene = *vxsim::Scene::parse("corner");
    unseen.reflectivity = 2;
    unseen.effects.ambient = 100;
    unseen.effects.subrays = 1;
    unseen.effects.multipath = 0;
    EXPECT_EQ(key(unseen), k0);
}

// Where the cache lives: the choice, else the variable, else the XDG cache, else the home's.
TEST_F(RigCache, DirectoryFollowsTheOptionThenTheEnvironment) {
    struct Case {
        const char *chosen, *var, *xdg, *home, *want;
    } cases[] = {
        {"/c", "/v", "/x", "/h", "/c"},
        {"off", "/v", "/x", "/h", ""},
        {"", "/v", "/x", "/h", "/v"},
        {"", "off", "/x", "/h", ""},
        {"", "", "/x", "/h", "/x/vexel-sim"},
        {"", nullptr, "relative", "/h", "/h/.cache/vexel-sim"},
        {"", nullptr, nullptr, "/h", "/h/.cache/vexel-sim"},
        {"", nullptr, nullptr, nullptr, ""},
    };
    const char* names[] = {"VEXEL_SIM_CACHE", "XDG_CACHE_HOME", "HOME"};
    std::string saved[3];
    bool had[3];
    for (int i = 0; i < 3; ++i)
        if ((had[i] = std::getenv(names[i]))) saved[i] = std::getenv(names[i]);
    for (const Case& c : cases) {
        const char* values[] = {c.var, c.xdg, c.home};
        for (int i = 0; i < 3; ++i) values[i] ? setenv(names[i], values[i], 1) : unsetenv(names[i]);
        vxsim::set_calib_cache(c.chosen);
        EXPECT_EQ(vxsim::rig_cache_dir(), c.want) << c.chosen << " " << (c.var ? c.var : "-");
    }
    for (int i = 0; i < 3; ++i) had[i] ? setenv(names[i], saved[i].c_str(), 1) : unsetenv(names[i]);
}

}  // namespace
