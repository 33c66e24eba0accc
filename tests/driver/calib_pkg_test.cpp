// Calibration package files without a camera: unpacking (hostile archives included), the split,
// and the package parse.
#include <algorithm>
#include <cstring>
#include <fstream>

#include <vexel/vexel.h>

#include "calib_fixture.hpp"
#include "chip/chip_fixture.hpp"
#include "driver/calib_pkg.hpp"

namespace {

namespace fs = std::filesystem;
using calibtest::ZipEntry;
using vxtest::contains;

class CalibPkgTest : public chiptest::ChipTest {
protected:
    void put(const fs::path& p, const std::string& s) {
        std::ofstream(p, std::ios::binary) << s;
    }
    void name_targets(vx::epc::State& st) {
        for (int k = 0; k < 2; ++k) {
            std::snprintf(st.param_file[k], vx::epc::kNameMax, "param%d.bin", k);
            std::snprintf(st.img_file[k], vx::epc::kNameMax, "img%d.bin", k);
        }
    }
};

TEST_F(CalibPkgTest, UnpackingKeepsEveryEntryInsideTheDirectory) {
    const fs::path prefix = dir_ / "outer" / "prefix";
    fs::create_directories(prefix);
    fs::create_directories(dir_ / "elsewhere");
    fs::create_directory_symlink(dir_ / "elsewhere", prefix / "escape");
    calibtest::write_zip(dir_ / "a.zip", {{"good.bin", "g"},
                                          {"sub/dir/f.bin", "f"},
                                          {"./dot.bin", "d"},
                                          {"/abs.bin", "x"},
                                          {(dir_ / "elsewhere" / "abs2.bin").string(), "x"},
                                          {"../up.bin", "x"},
                                          {"..\\up2.bin", "x"},
                                          {"sub/../../up3.bin", "x"},
                                          {"sub\\..\\..\\up4.bin", "x"},
                                          {"C:evil.bin", "x"},
                                          {"link.bin", "../../elsewhere/victim", true},
                                          {"escape/through.bin", "x"}});
    int calls = 0;
    auto count = [](const char*, void* arg) { return ++*static_cast<int*>(arg), 0; };
    std::string log = output_of([&] {
        EXPECT_EQ(vx::epc::zip_extract(file("a.zip"), prefix.string(), count, &calls), 3);
    });
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(calibtest::tree(dir_ / "outer"),
              (std::vector<std::string>{"prefix/dot.bin", "prefix/escape", "prefix/good.bin", "prefix/sub/dir/f.bin"}));
    EXPECT_TRUE(calibtest::tree(dir_ / "elsewhere").empty());
    for (const char* why : {"absolute path", "parent directory component", "drive letter", "symbolic link",
                            "leads outside the directory"})
        EXPECT_TRUE(contains(log, why)) << why << "\n" << log;
    EXPECT_EQ(vxtest::slurp(prefix / "sub/dir/f.bin"), "f");
}

TEST_F(CalibPkgTest, UnpackingStopsAtTheLimitsAndOnBrokenArchives) {
    const std::string blob(100, 'z');
    calibtest::write_zip(dir_ / "three.zip", {{"a", blob}, {"b", blob}, {"c", blob}});
    struct Case {
        int entries;
        uint64_t bytes;
        int result;
    } cases[] = {{3, 300, 3}, {2, 300, -1}, {3, 299, -1}};
    for (const Case& c : cases) {
        fs::create_directories(dir_ / "out");
        const int r = vx::epc::zip_extract(file("three.zip"), (dir_ / "out").string(), nullptr, nullptr,
                                           {c.entries, c.bytes});
        EXPECT_EQ(r, c.result) << c.entries << " " << c.bytes;
        EXPECT_EQ(calibtest::tree(dir_ / "out").size(), r < 0 ? 0u : 3u);  // over a limit: nothing written
        fs::remove_all(dir_ / "out");
    }
    const std::string whole = vxtest::slurp(dir_ / "three.zip");
    put(dir_ / "half.zip", whole.substr(0, whole.size() / 2));
    put(dir_ / "text.zip", "not an archive");
    for (const char* name : {"half.zip", "text.zip", "missing.zip"})
        EXPECT_EQ(vx::epc::zip_extract(file(name), dir_.string(), nullptr, nullptr), -1) << name;
}

TEST_F(CalibPkgTest, SplitReplacesTheTargetsOnlyWhenComplete) {
    vx::epc::State st;
    name_targets(st);
    const std::string cal = calibtest::calibration_file(30);
    ASSERT_EQ(cal.size(), 4608024u);
    for (int ext = 0; ext <= 1; ++ext) {
        epcSetExtModEnable(ext);
        put(dir_ / "calib_and_param_042.bin", cal);
        ASSERT_TRUE(vx::epc::parse_file_ex(st, file("calib_and_param_042.bin")));
        const int k = ext ? 0 : 1;  // external modulation splits into pair 0
        EXPECT_EQ(vxtest::slurp(file("param" + std::to_string(k) + ".bin")), cal.substr(0, 24));
        EXPECT_EQ(fs::file_size(file("img" + std::to_string(k) + ".bin")), 4608000u);
        EXPECT_FALSE(fs::exists(file("calib_and_param_042.bin")));
    }

    // Failed splits leave the pair as it was, and the source in place.
    const std::string param_before = vxtest::slurp(file("param1.bin"));
    epcSetExtModEnable(0);
    for (const std::string& bad : {std::string(512, 'x'), std::string(24, 'x'), std::string()}) {
        put(dir_ / "c.bin", bad);
        EXPECT_FALSE(vx::epc::parse_file_ex(st, file("c.bin"))) << bad.size();
        EXPECT_TRUE(fs::exists(file("c.bin")));
    }
    EXPECT_FALSE(vx::epc::parse_file_ex(st, file("none.bin")));
    EXPECT_EQ(vxtest::slurp(file("param1.bin")), param_before);
    EXPECT_EQ(fs::file_size(file("img1.bin")), 4608000u);
    EXPECT_EQ(calibtest::tree(dir_).size(), 5u);  // no work files left: c.bin and the two pairs
}

TEST_F(CalibPkgTest, PackageParseByContent) {
    const std::string cal = calibtest::calibration_file(2);
    calibtest::write_zip(dir_ / "cal.zip", {{"readme.txt", "hi"}, {"calib_and_param_007.bin", cal}});
    calibtest::write_zip(dir_ / "none.zip", {{"readme.txt", "hi"}});
    const std::string good = vxtest::slurp(dir_ / "cal.zip"), none = vxtest::slurp(dir_ / "none.zip");
    fs::remove(dir_ / "cal.zip");
    fs::remove(dir_ / "none.zip");
    std::string invalid = calibtest::package(good);
    invalid[0] = 0;
    struct Case {
        std::string pkg;
        const char* message;
        bool split;
        bool tmp_left;
    } cases[] = {
        // Any chip number is accepted: the camera names the file with its own.
        {calibtest::package(good), "parse...", true, false},
        {invalid, "Data not valid", false, false},
        {calibtest::package(good, 0), "No zip used", false, false},
        {calibtest::package(none), "cann't find file in", false, false},
        {calibtest::package("garbage"), "tmp.zip zip failed", false, true},
    };
    for (const Case& c : cases) {
        vx::epc::State st;
        name_targets(st);
        put(dir_ / "calibration.bin", c.pkg);
        const std::string log = output_of([&] { vx::epc::calib_pk_parse(nullptr, st); });
        EXPECT_TRUE(contains(log, c.message)) << c.message << "\n" << log;
        EXPECT_EQ(fs::exists(file("img1.bin")), c.split) << c.message;
        if (c.split) {
            EXPECT_EQ(vxtest::slurp(file("img1.bin")), cal.substr(24));
        }
        EXPECT_EQ(fs::exists(file("tmp.zip")), c.tmp_left) << c.message;
        EXPECT_FALSE(fs::exists(file("calib_and_param_007.bin")));
        fs::remove(file("img1.bin"));
        fs::remove(file("tmp.zip"));
    }
}

}  // namespace
