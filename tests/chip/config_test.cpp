#include <climits>
#include <string>

#include "chip_fixture.hpp"

namespace {

using chiptest::Bytes;
using vx::chip::calib;
using vx::chip::config;

// Configuration routines and the register shim without a device behind g_vx_dev: the
// process-wide state must follow the documented rules even when every transfer fails.
using ChipConfig = chiptest::ChipFiles;

TEST_F(ChipConfig, ModulationModeOutsideTheTableActsAsTwelveMegahertz) {
    for (int mode = 0; mode <= 6; ++mode) {
        configSetModulationFrequency(mode, 32);
        EXPECT_EQ(configGetModFreqMode(), mode);
        EXPECT_EQ(configGetModulationFrequency(), config().freqs[static_cast<size_t>(mode)]);
    }
    configSetModulationFrequency(9, 32);
    EXPECT_EQ(configGetModFreqMode(), 9);
    EXPECT_EQ(configGetModulationFrequency(), 12000);
    configSetModulationFrequency(-1, 32);
    EXPECT_EQ(configGetModulationFrequency(), 12000);
}

TEST_F(ChipConfig, IntegrationTimeLimitAndThreshold) {
    EXPECT_EQ(configSetIntegrationTime3D(4001), -1);
    EXPECT_EQ(configSetIntegrationTime3D(UINT_MAX), -1);
    EXPECT_EQ(configGetIntegrationTime3D(), 700);
    EXPECT_EQ(config().dcs_add_threshold, 80);

    EXPECT_EQ(configSetIntegrationTime3D(500), 0);
    EXPECT_EQ(configGetIntegrationTime3D(), 500);
    EXPECT_EQ(config().dcs_add_threshold, 80 + 37);  // 350 * 0.10811
    EXPECT_EQ(configSetIntegrationTime3D(4000), 0);
    EXPECT_EQ(config().dcs_add_threshold, 80 + 416);
    EXPECT_EQ(configSetIntegrationTime3D(150), 0);
    EXPECT_EQ(config().dcs_add_threshold, 80);
}

TEST_F(ChipConfig, RoiRefusesBadRectanglesWithTheirReason) {
    apiSetROI(4, 323, 6, 125, 32);
    struct Case {
        int x0, x1, y0, y1;
        const char* msg;
    } cases[] = {
        {5, 323, 6, 125, "bad x coordinates\n"},   {0, 3, 0, 1, "bad x coordinates\n"},
        {-2, 323, 6, 125, "bad x coordinates\n"},  {4, 324, 6, 125, "bad x coordinates\n"},
        {4, 329, 6, 125, "bad x coordinates\n"},   {200, 101, 6, 125, "bad x coordinates\n"},
        {4, 323, 7, 125, "bad y coordinates\n"},   {4, 323, 6, 127, "bad y coordinates\n"},
        {4, 323, 6, 124, "bad y coordinates\n"},   {4, 323, 10, 5, "bad y coordinates\n"},
        {4, 323, -2, 125, "bad y coordinates\n"},  {4, 7, 6, 125, "size too small: min size = 6 x 2\n"},
        {INT_MIN, INT_MAX, 0, 1, "bad x coordinates\n"},
    };
    for (const Case& c : cases) {
        const std::string out = output_of([&] { EXPECT_EQ(apiSetROI(c.x0, c.x1, c.y0, c.y1, 32), -1); });
        EXPECT_EQ(out, c.msg) << c.x0 << "," << c.x1 << "," << c.y0 << "," << c.y1;
        EXPECT_EQ(config().roi_x0, 4);
        EXPECT_EQ(config().roi_x1, 323);
        EXPECT_EQ(pruGetNCols(), 320);
    }
}

TEST_F(ChipConfig, ShimRefusesBadAddressesAndOperations) {
    unsigned char bytes[4] = {9, 9, 9, 9};
    unsigned char* p = bytes;
    std::string out = output_of([&] { EXPECT_EQ(i2c(128, 'r', 0, 1, &p), -1); });
    EXPECT_EQ(out, "Device address is out of range.\n");
    out = output_of([&] { EXPECT_EQ(i2c(32, 'w', 256, 1, &p), -1); });
    EXPECT_EQ(out, "Register address is out of range.\n");
    out = output_of([&] { EXPECT_EQ(i2c(32, 'x', 0, 1, &p), -1); });
    EXPECT_EQ(out,
              "Invalid operation: Only 'd' (devices), 'r' (read), 'w' (write) and 's' (software reset) are "
              "allowed.\n");
    out = output_of([&] { EXPECT_EQ(i2c(32, 'l', 0, 0, &p), 0); });
    EXPECT_EQ(out, "uncompleted function : <i2c device reload>!\n");
    // The last accepted address, register and count: no complaint.
    out = output_of([&] { EXPECT_EQ(i2c(127, 'd', 255, 257, &p), 0); });
    EXPECT_EQ(out, "");
    EXPECT_EQ(bytes[0], 32);
    EXPECT_EQ(bytes[1], 255);
    EXPECT_EQ(bytes[2], 9);
    EXPECT_EQ(i2c(32, 'r', 0, 1, nullptr), -1);
    unsigned char* none = nullptr;
    EXPECT_EQ(i2c(32, 'w', 0, 4, &none), -1);
}

TEST_F(ChipConfig, ShimWithoutDeviceReportsFailure) {
    unsigned char bytes[300] = {};
    bytes[0] = 0x5A;
    unsigned char* p = bytes;
    std::string out = output_of([&] { EXPECT_EQ(i2c(32, 'r', 10, 1, &p), -1); });
    EXPECT_NE(out.find("reg read faild!\n"), std::string::npos) << out;
    EXPECT_EQ(bytes[0], 0x5A);
    out = output_of([&] { EXPECT_EQ(i2c(32, 'w', 10, 1, &p), -1); });
    EXPECT_NE(out.find("reg write fail!\n"), std::string::npos) << out;
    out = output_of([&] { EXPECT_EQ(i2c(32, 's', 0, 0, &p), -1); });
    EXPECT_NE(out.find("reset kvr device failed!\n"), std::string::npos) << out;
    // Long transfers warn and still go through the checks (without a newline of their own).
    out = output_of([&] { EXPECT_EQ(i2c(32, 'r', 0, 300, &p), -1); });
    EXPECT_EQ(out.rfind("rw much data: 300", 0), 0u) << out;
    EXPECT_NE(out.find("reg read faild!\n"), std::string::npos) << out;
}

TEST_F(ChipConfig, RoutinesWithoutWorkOnThisSystemSayItAndFail) {
    const std::string out = output_of([] {
        EXPECT_EQ(calculationInitKalman() + imageCorrectionTransform() + dllInitialize(32) + dllLockAutomatically(32) +
                      flimSetT1(1, 32) + flimSetTREP(1, 32) + flimSetFlashWidth(1, 32),
                  -7);
        EXPECT_EQ(temperatureInit(), 0);  // nothing to open here
    });
    EXPECT_NE(out.find("[ERR] [calculationInitKalman] not supported on this system\n"), std::string::npos) << out;
    EXPECT_NE(out.find("[ERR] [flimSetFlashWidth] not supported on this system\n"), std::string::npos) << out;
}

TEST_F(ChipConfig, MissingParameterFileGivesDefaultsAndOffsetPhase) {
    EXPECT_EQ(calibrationLoadDRNU_LUT(), 0);
    EXPECT_EQ(calibrationGetOffsetDRNU(), 8364);
    EXPECT_EQ(calibrateGetTempCalib(), 361);
    EXPECT_EQ(calibrateGetIbTempCalib(), 341);
    EXPECT_DOUBLE_EQ(calibrateGetStepCalMM(), 298.2);
    EXPECT_EQ(calib().default_offset_phase, -7655);  // 885000 / 1249 - 8364
    EXPECT_EQ(calibrationGetOffsetPhase(), 0);
    EXPECT_EQ(configGetModFreqMode(), 2);
}

TEST_F(ChipConfig, LongFileSwitchesFrequencyBeforeReadingValues) {
    write_bytes(param_path(), Bytes{}.u32(24000).i32(-1234).i32(455).f64(301.25).i32(410).b);
    const std::string out = output_of([] { EXPECT_EQ(calibrationLoadDRNU_LUT(), 0); });
    EXPECT_EQ(configGetModFreqMode(), 1);
    EXPECT_EQ(configGetModulationFrequency(), 24000);
    EXPECT_NE(out.find("[calibrationLoadDRNU_LUT] Clib Freq:24000 k"), std::string::npos) << out;
    EXPECT_NE(out.find("gStepCalMM0:301.2500"), std::string::npos) << out;
    // Slot chosen with the mode in force before the file (2): slot 1; both slots hold the file.
    for (const auto& s : calib().slot) {
        EXPECT_EQ(s.offset_drnu, -1234);
        EXPECT_EQ(s.temp_cal, 455);
        EXPECT_EQ(s.temp_cal_ib, 410);
        EXPECT_DOUBLE_EQ(s.step_mm, 301.25);
    }
    EXPECT_EQ(calibrationGetOffsetDRNU(), -1234);
    EXPECT_EQ(calibrateGetIbTempCalib(), 410);
    // The default offset phase uses the new frequency: U10 = 624 at 24 MHz.
    EXPECT_EQ(calib().default_offset_phase, 2652);
}

TEST_F(ChipConfig, UnsupportedFrequencyProgramsTheTwelveMegahertzSetting) {
    write_bytes(param_path(), Bytes{}.u32(18000).i32(1).i32(2).f64(3).i32(4).b);
    const std::string out = output_of([] { calibrationLoadDRNU_LUT(); });
    EXPECT_NE(out.find("Not supported freq"), std::string::npos) << out;
    EXPECT_EQ(configGetModFreqMode(), 12000);
    EXPECT_EQ(configGetModulationFrequency(), 12000);
    EXPECT_EQ(calibrateGetIbTempCalib(), 4);
}

TEST_F(ChipConfig, ShortLayoutsWithAndWithoutBoardTemperature) {
    write_bytes(param_path(), Bytes{}.i32(9000).i32(377).f64(250.5).b);
    calibrationLoadDRNU_LUT();
    EXPECT_EQ(calibrateGetTempCalib(), 377);
    EXPECT_EQ(calibrateGetIbTempCalib(), 377);
    EXPECT_EQ(calibrationGetOffsetDRNU(), 9000);
    EXPECT_EQ(configGetModFreqMode(), 2);  // no frequency field, no switch

    write_bytes(param_path(), Bytes{}.i32(9001).i32(378).f64(250.5).i32(-12).b);
    calibrationLoadDRNU_LUT();
    EXPECT_EQ(calibrateGetTempCalib(), 378);
    EXPECT_EQ(calibrateGetIbTempCalib(), -12);
}

TEST_F(ChipConfig, TruncatedParameterFileFallsBackToDefaults) {
    write_bytes(param_path(), Bytes{}.i32(5).i32(6).b);
    const std::string out = output_of([] { EXPECT_EQ(calibrationLoadDRNU_LUT(), 0); });
    EXPECT_NE(out.find("Loading failed"), std::string::npos) << out;
    EXPECT_EQ(calibrationGetOffsetDRNU(), 8364);
    EXPECT_EQ(calibrateGetIbTempCalib(), 341);
}

}  // namespace
