// Calibration package files without a camera: the unpacking limits and the split.
#include <fstream>

#include <vexel/vexel.h>

#include "calib_fixture.hpp"
#include "chip/chip_fixture.hpp"
#include "driver/calib_pkg.hpp"

namespace {

namespace fs = std::filesystem;

class CalibPkgTest : public chiptest::ChipTest {
protected:
    void put(const fs::path& p, const std::string& s) { std::ofstream(p, std::ios::binary) << s; }
    void name_targets(vx::epc::State& st) {
        for (int k = 0; k < 2; ++k) {
            std::snprintf(st.param_file[k], vx::epc::kNameMax, "param%d.bin", k);
            std::snprintf(st.img_file[k], vx::epc::kNameMax, "img%d.bin", k);
        }
    }
};

TEST_F(CalibPkgTest, UnpackingStopsAtTheLimits) {
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
    EXPECT_EQ(vx::epc::zip_extract(file("missing.zip"), dir_.string(), nullptr, nullptr), -1);
}

TEST_F(CalibPkgTest, SplitReplacesTheTargetsOnlyWhenComplete) {
    vx::epc::State st;
    name_targets(st);
    const std::string cal = calibtest::calibration_file(30);
    ASSERT_EQ(cal.size(), 4608024u);
    for (int ext : {0, 1}) {  // external modulation splits into pair 0
        epcSetExtModEnable(ext);
        put(dir_ / "calib_and_param_042.bin", cal);
        ASSERT_TRUE(vx::epc::parse_file_ex(st, file("calib_and_param_042.bin")));
        EXPECT_EQ(vxtest::slurp(file(ext ? "param0.bin" : "param1.bin")), cal.substr(0, 24));
        EXPECT_EQ(fs::file_size(file(ext ? "img0.bin" : "img1.bin")), 4608000u);
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

}  // namespace
