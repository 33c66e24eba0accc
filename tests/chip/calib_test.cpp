#include <cstring>

#include "chip_fixture.hpp"

namespace {

using vx::chip::calib;
using vx::chip::config;

class CalibFiles : public chiptest::ChipFiles {
protected:
    // Image k, pixel p: its minimum sits at image (nd - p % nd) % nd, its maximum one image before.
    static uint16_t sample(int k, int p, int nd) { return static_cast<uint16_t>(1000 + 100 * ((k + p) % nd) + p % 50); }
    void write_images(int stored, int pattern_nd, int pixels = 320 * 240) {
        std::vector<uint8_t> b(static_cast<size_t>(stored) * pixels * 2);
        for (int k = 0; k < stored; ++k)
            for (int p = 0; p < pixels; ++p) {
                const uint16_t v = sample(k, p, pattern_nd);
                b[2 * (static_cast<size_t>(k) * pixels + p)] = static_cast<uint8_t>(v);
                b[2 * (static_cast<size_t>(k) * pixels + p) + 1] = static_cast<uint8_t>(v >> 8);
            }
        write_bytes(images_path(), b);
    }
    void use_36mhz() {
        config().freq_mode = 0;
        config().freq_khz = 36000;
    }
};

TEST_F(CalibFiles, NamesFollowWaferChipAndPartFamily) {
    char buf[VX_CHIP_NAME_MAX];
    // The length returned is the name's without its ending "_10.bin".
    EXPECT_EQ(calibrationGetParamName(buf), 27);
    EXPECT_STREQ(buf, "tcm_ex_drnu_param_W007_C042_10.bin");
    EXPECT_EQ(calibrationGetDistanceImagesName(buf), 28);
    EXPECT_STREQ(buf, "tcm_ex_images_drnu_W007_C042_10.bin");
    configSetPartType(5);
    configSetChipID(1234);
    calibrationGetParamName(buf);
    EXPECT_STREQ(buf, "epc635_drnu_param_W007_C1234_10.bin");
    calibrationGetDistanceImagesName(buf);
    EXPECT_STREQ(buf, "epc635_images_drnu_W007_C1234_10.bin");
    // The widest identifiers still fit the documented room.
    configSetWaferID(INT32_MIN);
    configSetChipID(INT32_MIN);
    const int n = calibrationGetDistanceImagesName(buf);
    EXPECT_EQ(static_cast<size_t>(n) + std::strlen("_10.bin"), std::strlen(buf));
    EXPECT_LT(std::strlen(buf), size_t(VX_CHIP_NAME_MAX));
}

TEST_F(CalibFiles, DataFileCheckLooksUnderThePrefix) {
    std::string out = output_of([] { EXPECT_EQ(calibrationDataFileCheck(0), -1); });
    EXPECT_NE(out.find("Can not open " + images_path() + " file"), std::string::npos) << out;
    write_bytes(images_path(), {1, 2});
    out = output_of([] { EXPECT_EQ(calibrationDataFileCheck(99), 0); });
    EXPECT_NE(out.find("[calibrationDataFileCheck] Find " + images_path()), std::string::npos) << out;
}

TEST_F(CalibFiles, PrefixWithBackslashesNamesTheSameDirectory) {
    const std::string rel = "win_prefix_" + std::to_string(::getpid());
    chiptest::fs::create_directories(rel);
    ASSERT_EQ(vexel_path_cfg((rel + "\\").c_str()), 0);
    write_bytes(rel + "/tcm_ex_images_drnu_W007_C042_10.bin", {1, 2});
    EXPECT_EQ(calibrationDataFileCheck(0), 0);
    chiptest::fs::remove_all(rel);
}

TEST_F(CalibFiles, EnableDrnuOffsetRules) {
    calib().sel.offset_drnu = 8364;  // the defaults at 12 MHz
    calibrationSetOffsetPhase(-6600);
    calculationSetEnableDRNU(0);
    EXPECT_EQ(calculationGetEnableDRNU(), 0);
    EXPECT_EQ(calibrationGetOffsetPhase(), -6600);
    EXPECT_EQ(calib().default_offset_phase, 0);

    calculationSetEnableDRNU(2);
    EXPECT_EQ(calculationGetEnableDRNU(), 2);
    EXPECT_EQ(calibrationGetOffsetPhase(), -7655);
    EXPECT_EQ(calib().default_offset_phase, -7655);
    // The decode's total offset is the phase of 295 mm at 12 MHz.
    EXPECT_NEAR(calibrationGetOffsetPhase() + calibrationGetOffsetDRNU(), 295.0 * 30000 / 12491, 1.5);
}

TEST_F(CalibFiles, OffsetRulesSurviveUnusableFrequencyOrSpeed) {
    calib().sel.offset_drnu = 8364;
    calibrationSetOffsetPhase(17);
    config().freq_khz = 0;  // table never filled
    calculationSetEnableDRNU(1);
    EXPECT_EQ(calibrationGetOffsetPhase(), 17);
    config().freq_khz = 12000;
    calibrateSetSpeedOfLightDiv2(0.0 / 0.0);
    calculationSetEnableDRNU(1);
    EXPECT_EQ(calibrationGetOffsetPhase(), 17);
    calibrateSetSpeedOfLightDiv2(1e300);
    calculationSetEnableDRNU(1);
    EXPECT_EQ(calibrationGetOffsetPhase(), 17);
}

TEST_F(CalibFiles, ThirtyImagesFillTableAndExtremes) {
    calibrateSetWidth(320);
    calibrateSetHeight(240);
    write_images(30, 30);
    ASSERT_EQ(chiptest::fs::file_size(images_path()), 4608000u);
    const std::string out = output_of([] { EXPECT_EQ(calibrationLoadDistanceImages(1), 0); });
    EXPECT_NE(out.find("[calibrationLoadDistanceImages] " + images_path()), std::string::npos) << out;
    ASSERT_EQ(calibrateGetNumDistances(), 30);
    for (int p : {0, 1, 319, 320, 40000, 76799})
        for (int k : {0, 13, 29}) ASSERT_EQ(distImagesDRNU[1][p * 30 + k], sample(k, p, 30)) << p << " " << k;
    for (int p : {0, 7, 76799}) {
        EXPECT_EQ(distImagesDRNUMin[1][p], 1000 + p % 50);
        EXPECT_EQ(distImagesDRNUMax[1][p], 1000 + 2900 + p % 50);
    }
    EXPECT_EQ(distImagesDRNUMin[1][76800], 65535);  // beyond the image: reset, never raised
    EXPECT_EQ(distImagesDRNUMax[1][76800], 0);
    EXPECT_EQ(distImagesDRNU[0][0], 0);  // the other set untouched
}

TEST_F(CalibFiles, ThirtySixMegahertzTakesTwentyImages) {
    write_images(30, 30);
    use_36mhz();
    EXPECT_EQ(calibrationLoadDistanceImages(0), 0);
    ASSERT_EQ(calibrateGetNumDistances(), 20);
    for (int p : {0, 5, 76799})
        for (int k : {0, 19}) EXPECT_EQ(distImagesDRNU[0][p * 20 + k], sample(k, p, 30));
    EXPECT_EQ(distImagesDRNUMax[0][0], 1000 + 1900);  // images 20..29 were not read
}

TEST_F(CalibFiles, ImageCountFollowsFileSize) {
    write_images(20, 20);
    ASSERT_EQ(chiptest::fs::file_size(images_path()), 3072000u);
    EXPECT_EQ(calibrationLoadDistanceImages(1), 0);
    EXPECT_EQ(calibrateGetNumDistances(), 20);
    EXPECT_EQ(distImagesDRNU[1][76799 * 20 + 19], sample(19, 76799, 20));

    write_images(31, 31);  // more than the tables hold: the first 30 count
    EXPECT_EQ(calibrationLoadDistanceImages(1), 0);
    EXPECT_EQ(calibrateGetNumDistances(), 30);
}

TEST_F(CalibFiles, TooSmallOrMissingImageFileFails) {
    distImagesDRNU[1][0] = 4242;
    write_bytes(images_path(), std::vector<uint8_t>(100, 7));
    std::string out = output_of([] { EXPECT_EQ(calibrationLoadDistanceImages(1), -1); });
    EXPECT_EQ(calibrateGetNumDistances(), 0);
    EXPECT_NE(out.find("[calibrationLoadDistanceImages] Loading failed"), std::string::npos) << out;
    EXPECT_EQ(distImagesDRNU[1][0], 4242);

    // At 36 MHz twenty images are asked for whatever the file holds.
    write_images(10, 10);
    use_36mhz();
    out = output_of([] { EXPECT_EQ(calibrationLoadDistanceImages(1), -1); });
    EXPECT_EQ(calibrateGetNumDistances(), 20);
    EXPECT_NE(out.find("Loading failed"), std::string::npos) << out;
    EXPECT_EQ(distImagesDRNU[1][0], 4242);

    chiptest::fs::remove(images_path());
    out = output_of([] { EXPECT_EQ(calibrationLoadDistanceImages(1), -1); });
    EXPECT_EQ(calibrateGetNumDistances(), 20);  // stored before the open fails
    EXPECT_NE(out.find("Can not open " + images_path() + " file"), std::string::npos) << out;
}

TEST_F(CalibFiles, ImageSizeBeyondTheTablesIsRefusedBeforeAnyCopy) {
    write_images(30, 30);
    distImagesDRNU[1][0] = 4242;
    for (auto [w, h] : {std::pair{400, 240}, {0, 240}, {320, 0}, {-320, -240}, {65536, 65536}}) {
        calibrateSetWidth(w);
        calibrateSetHeight(h);
        const std::string out = output_of([] { EXPECT_EQ(calibrationLoadDistanceImages(1), -1); });
        EXPECT_EQ(calibrateGetNumDistances(), 0) << w << "x" << h;
        EXPECT_NE(out.find("Loading failed"), std::string::npos) << out;
        EXPECT_EQ(distImagesDRNU[1][0], 4242);
    }
    // The full sensor array including its border still fits.
    calibrateSetWidth(328);
    calibrateSetHeight(252);
    write_images(30, 30, 328 * 252);
    EXPECT_EQ(calibrationLoadDistanceImages(1), 0);
    EXPECT_EQ(distImagesDRNU[1][(VX_CHIP_PIXELS - 1) * 30 + 29], sample(29, VX_CHIP_PIXELS - 1, 30));
    EXPECT_EQ(calibrationLoadDistanceImages(2), -1);
    EXPECT_EQ(calibrationLoadDistanceImages(-1), -1);
}

TEST_F(CalibFiles, NumberOfDistancesStaysWithinTheTables) {
    calibrateSetNumDistances(31);
    EXPECT_EQ(calibrateGetNumDistances(), 30);
    calibrateSetNumDistances(-4);
    EXPECT_EQ(calibrateGetNumDistances(), 0);
    calibrateSetNumDistances(12);
    EXPECT_EQ(calibrateGetNumDistances(), 12);
}

TEST_F(CalibFiles, LoadParametersAppliesAndLogsItsSettings) {
    calibrateSetSpeedOfLightDiv2(1.0);
    const std::string out = output_of([] { EXPECT_EQ(configLoadParameters(), 0); });
    EXPECT_DOUBLE_EQ(calibrateGetTempCoef(4), 1.56131);
    EXPECT_DOUBLE_EQ(calibrateGetTempCoef(5), 1.56131);
    EXPECT_DOUBLE_EQ(calibrateGetTempCoef(2), 1.7);
    EXPECT_DOUBLE_EQ(calibrateGetIbTempCoef(2), 0.33765);
    EXPECT_DOUBLE_EQ(calibrateGetIbTempCoef(4), 1.56131);
    EXPECT_DOUBLE_EQ(calibrateGetSpeedOfLightDiv2(), 149896229.0);
    EXPECT_EQ(calib().drnu_diff_temp, 7);
    EXPECT_EQ(calib().drnu_delay, 5000);
    EXPECT_EQ(calib().drnu_average, 25);
    const char* lines[] = {"ambientLightFactor = 250.0000",         "print = 0",
                           "diffTemp = 7",                          "drnuDelay = 5000",
                           "numAveragedFrames = 25",                "epc635_TemperatureCoeff = 1.561310",
                           "epc660_TemperatureCoeff = 1.700000",    "speed of light div 2 = 149896229.00",
                           "epc660_IbTemperatureCoeff = 0.337650"};
    size_t at = 0;
    for (const char* l : lines) {
        const size_t pos = out.find(std::string("[configLoadParameters] ") + l, at);
        ASSERT_NE(pos, std::string::npos) << l << "\n" << out;
        at = pos;
    }
}

TEST_F(CalibFiles, TemperatureCoefficientsByPartFamily) {
    EXPECT_DOUBLE_EQ(calibrateGetTempCoef(2), 1.7);
    EXPECT_DOUBLE_EQ(calibrateGetIbTempCoef(0), 1.29);
    EXPECT_DOUBLE_EQ(calibrateGetTempCoef(4), 1.56131);
    calibrateSetTempCoef(2.5, 5);
    calibrateSetIbTempCoef(0.5, 3);
    EXPECT_DOUBLE_EQ(calibrateGetTempCoef(4), 2.5);
    EXPECT_DOUBLE_EQ(calibrateGetTempCoef(2), 1.7);
    EXPECT_DOUBLE_EQ(calibrateGetIbTempCoef(6), 0.5);
    EXPECT_DOUBLE_EQ(calibrateGetIbTempCoef(5), 1.56131);
}

TEST_F(CalibFiles, FrameTemperatures) {
    const int16_t t[2] = {-123, 456};
    temperatureSetTemperatureByFrameHeader(t);
    EXPECT_EQ(temperatureGetTemperatureByFrameHeader(), -123);
    EXPECT_EQ(temperatureGetIbTemperatureByFrameHeader(), 456);
    for (const auto& s : vx::chip::frame_temps().sensor) EXPECT_EQ(s.load(), -123);
    temperatureSetTemperatureByFrameHeader(nullptr);
    EXPECT_EQ(temperatureGetIbTemperatureByFrameHeader(), 456);
}

}  // namespace
