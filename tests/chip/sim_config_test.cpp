// The chip configuration library against the simulated camera: what reaches the sensor's
// registers, in which order, through the device core and the real transport.
#include <cstring>
#include <filesystem>
#include <utility>
#include <vector>

#include <vexel/device.h>
#include <vexel/vexel.h>

#include "chip_fixture.hpp"
#include "sim/sim.hpp"

namespace {

using chiptest::Bytes;
using vx::chip::calib;
using vx::chip::config;
using Reg = std::pair<uint32_t, uint32_t>;

class ChipSim : public chiptest::ChipTest {
protected:
    void SetUp() override {
        ChipTest::SetUp();
        vx_log_enable(VX_LOG_CONSOLE, VX_LOG_OFF, nullptr);
        vxsim::CameraOptions o;
        o.product = "A-T0-1";  // a driver that leaves the sensor alone: the test programs it
        cam_ = &tb_.add_camera(o);
        cam_->set_reg(1, 130, 23);
        cam_->set_reg(1, 129, 0);
        ASSERT_EQ(vexel_dev_open(&dev_), &dev_);
        g_vx_dev = &dev_;
        configSetPartType(2);
        configSetWaferID(7);
        configSetChipID(42);
        configSetDeviceAddress(32);
        cam_->clear_logs();
    }
    void TearDown() override {
        g_vx_dev = nullptr;
        vexel_dev_close(&dev_);
        ChipTest::TearDown();
    }

    std::vector<Reg> reg_writes() const {
        std::vector<Reg> out;
        for (const auto& w : cam_->write_log())
            if (w.kind == vxsim::WriteRecord::reg && w.target == 1) out.emplace_back(w.index, w.value);
        return out;
    }
    std::vector<vxsim::WriteRecord> param_writes() const {
        std::vector<vxsim::WriteRecord> out;
        for (const auto& w : cam_->write_log())
            if (w.kind == vxsim::WriteRecord::param) out.push_back(w);
        return out;
    }
    void expect_integration_param(const vxsim::WriteRecord& w, uint32_t us) const {
        EXPECT_EQ(w.index, 13u);
        ASSERT_EQ(w.bytes.size(), 2u);
        EXPECT_EQ(w.bytes[0] | (w.bytes[1] << 8), static_cast<int>(us));
    }
    // Registers 148 and 146 and the four sequence registers after an HDR switch.
    void expect_readout(uint32_t r148, uint32_t r146, std::array<uint32_t, 4> seq) const {
        EXPECT_EQ(cam_->reg(1, 148), r148);
        EXPECT_EQ(cam_->reg(1, 146), r146);
        const unsigned regs[4] = {34, 37, 40, 43};
        for (size_t i = 0; i < 4; ++i) EXPECT_EQ(cam_->reg(1, regs[i]), seq[i]) << regs[i];
    }
    void write_calibration(uint32_t khz, int32_t offset) {
        char name[VX_CHIP_NAME_MAX];
        calibrationGetParamName(name);
        write_bytes(file(name), Bytes{}.u32(khz).i32(offset).i32(380).f64(300.0).i32(350).b);
        calibrationGetDistanceImagesName(name);
        std::vector<uint8_t> img(30u * 76800 * 2);
        for (size_t i = 0; i < img.size(); i += 2) img[i] = static_cast<uint8_t>(i / (76800 * 2) + 1);
        write_bytes(file(name), img);
    }

    vxsim::Testbed tb_;
    vxsim::Camera* cam_ = nullptr;
    vexel_dev dev_{};
};

TEST_F(ChipSim, ShimReadsWritesAndResetsTheSensor) {
    unsigned char out[3] = {0x11, 0x22, 0x33};
    unsigned char* p = out;
    ASSERT_EQ(i2c(32, 'w', 200, 3, &p), 0);
    EXPECT_EQ(reg_writes(), (std::vector<Reg>{{200, 0x11}, {201, 0x22}, {202, 0x33}}));
    cam_->set_reg(1, 201, 0x1A5);  // only the register's low byte reaches the caller
    unsigned char in[3] = {};
    p = in;
    ASSERT_EQ(i2c(32, 'r', 200, 3, &p), 0);
    EXPECT_EQ(in[0], 0x11);
    EXPECT_EQ(in[1], 0xA5);
    EXPECT_EQ(in[2], 0x33);
    EXPECT_EQ(i2c(32, 's', 0, 0, &p), 0);

    cam_->set_faults([](vxsim::Faults& f) { f.fail_next = "refused"; });
    const std::string msg = output_of([&] { EXPECT_EQ(i2c(32, 'r', 200, 3, &p), -1); });
    EXPECT_NE(msg.find("reg read faild!\n"), std::string::npos) << msg;
    EXPECT_EQ(in[1], 0xA5);  // left as it was
}

TEST_F(ChipSim, ShimCarriesWholeRegisterFileAndForwardsLongerCounts) {
    std::vector<unsigned char> bytes(300);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(i * 7);
    unsigned char* p = bytes.data();
    ASSERT_EQ(i2c(32, 'w', 0, 256, &p), 0);
    std::vector<unsigned char> back(256, 0);
    p = back.data();
    ASSERT_EQ(i2c(32, 'r', 0, 256, &p), 0);
    EXPECT_EQ(back, std::vector<unsigned char>(bytes.begin(), bytes.begin() + 256));

    // Past 257 registers the shim warns and still sends the whole count; the sensor refuses it.
    cam_->clear_logs();
    p = bytes.data();
    const std::string msg = output_of([&] { EXPECT_EQ(i2c(32, 'w', 0, 300, &p), -1); });
    EXPECT_EQ(msg.rfind("rw much data: 300", 0), 0u) << msg;
    EXPECT_NE(msg.find("reg write fail!\n"), std::string::npos) << msg;
    EXPECT_TRUE(cam_->write_log().empty());
}

TEST_F(ChipSim, ConfigInitProgramsTheSensorInOrder) {
    cam_->set_reg(1, 174, 0x40);
    EXPECT_EQ(configInit(32), 0);
    EXPECT_EQ(reg_writes(), (std::vector<Reg>{{139, 2}, {174, 1}, {174, 1}, {113, 0}, {114, 0}, {115, 0}, {174, 4}}));
    EXPECT_TRUE(param_writes().empty());
    EXPECT_EQ(config().freqs, (std::array<uint16_t, VX_CHIP_FREQS>{36000, 24000, 12000, 6000, 3000, 1500, 750}));
    EXPECT_EQ(pruGetNCols(), 320);
    EXPECT_EQ(pruGetNumberOfHalves(), 2);
    EXPECT_EQ(calibrateGetNumDistances(), 30);
    // No calibration files: defaults, DRNU off, and the phase table built.
    EXPECT_EQ(calibrationGetOffsetDRNU(), 8364);
    EXPECT_EQ(calculationGetEnableDRNU(), 0);
    EXPECT_EQ(calculationGetEnableTemperature(), 0);
    EXPECT_EQ(atan2_lut(100, 100), 3750);
}

TEST_F(ChipSim, ConfigInitWithCalibrationFilesSwitchesFrequencyAndEnablesDrnu) {
    write_calibration(24000, 1000);
    EXPECT_EQ(configInit(32), 0);
    EXPECT_EQ(reg_writes(), (std::vector<Reg>{{139, 2},
                                              {174, 1},
                                              {174, 1},
                                              {113, 0},
                                              {114, 0},
                                              {115, 0},
                                              {174, 4},
                                              {133, 0},
                                              {128, 63}}));
    const auto params = param_writes();
    ASSERT_EQ(params.size(), 1u);
    expect_integration_param(params[0], 700);  // the 2D time, as the modulation change sets it
    EXPECT_EQ(configGetModFreqMode(), 1);
    EXPECT_EQ(configGetModulationFrequency(), 24000);
    EXPECT_EQ(calculationGetEnableDRNU(), 2);
    EXPECT_EQ(calculationGetEnableTemperature(), 1);
    EXPECT_EQ(calibrateGetTempCalib(), 380);
    EXPECT_EQ(calibrationGetOffsetPhase(), 885000 / 624 - 1000);
    EXPECT_EQ(distImagesDRNU[1][29], 30);  // pixel 0, image 29 in calibration set 1
    EXPECT_EQ(distImagesDRNUMax[1][76799], 30);
}

TEST_F(ChipSim, ConfigInitKeepsItsOwnDrnuFlagsAndDropsStaleTables) {
    write_calibration(12000, 1000);
    char name[VX_CHIP_NAME_MAX];
    calibrationGetDistanceImagesName(name);
    for (const int flag : {1, 0}) {  // loaded; then a reload that finds no distance images
        if (flag == 0) std::filesystem::remove(file(name));
        const std::string out = output_of([] { configInit(32); }), f = std::to_string(flag) + " \n";
        EXPECT_NE(out.find("] enabledDRNU: " + f), std::string::npos) << out;
        EXPECT_NE(out.find("enabledDRNU2: " + f), std::string::npos) << out;
        EXPECT_EQ(calculationGetEnableDRNU(), 2 * flag);  // not left on the old tables
    }
}

TEST_F(ChipSim, DllBypassSetsOrClearsItsBitAndConfigLoadWritesTheMode) {
    cam_->set_reg(1, 174, 0x04);
    EXPECT_EQ(dllBypassDLL(1, 32), 0);
    EXPECT_EQ(cam_->reg(1, 174), 0x05u);
    // Cleared, but the automatic lock that would follow is not this system's: said, and -1.
    const std::string out = output_of([] { EXPECT_EQ(dllBypassDLL(0, 32), -1); });
    EXPECT_EQ(cam_->reg(1, 174), 0x04u);
    EXPECT_NE(out.find("[dllBypassDLL] automatic DLL lock not supported"), std::string::npos) << out;
    EXPECT_EQ(configLoad(3), 0);
    ASSERT_EQ(param_writes().size(), 1u);
    EXPECT_TRUE(param_writes()[0].index == 10 && param_writes()[0].bytes == std::vector<uint8_t>{3});
}

TEST_F(ChipSim, ConfigInitForEpc635Parts) {
    configSetPartType(4);
    configInit(32);
    const auto w = reg_writes();
    ASSERT_EQ(w.size(), 8u);
    EXPECT_EQ(w[3], (Reg{203, 99}));
    EXPECT_EQ(pruGetNCols(), 160);
    EXPECT_EQ(pruGetNRowsPerHalf(), 60);
    EXPECT_EQ(pruGetNumberOfHalves(), 1);
    EXPECT_EQ(calib().width, 160);
    EXPECT_EQ(calib().cols_max, 160);
    EXPECT_EQ(calib().rows_max, 60);
    EXPECT_EQ(config().adc_max, 65503);
}

TEST_F(ChipSim, ModulationModesProgramDividerAndModulation) {
    config().freqs = vx::chip::freq_table(23, 0);
    EXPECT_EQ(configSetModulationFrequency(9, 32), 0);
    EXPECT_EQ(configGetModFreqMode(), 9);
    EXPECT_EQ(configGetModulationFrequency(), 12000);
    EXPECT_EQ(reg_writes(), (std::vector<Reg>{{133, 1}, {128, 63}}));
    ASSERT_EQ(param_writes().size(), 1u);
    expect_integration_param(param_writes()[0], 700);

    const std::pair<int, uint32_t> modes[] = {{0, 0}, {1, 0}, {3, 3}, {4, 7}, {5, 15}, {6, 31}};
    for (auto [mode, code] : modes) {
        cam_->clear_logs();
        configSetModulationFrequency(mode, 32);
        EXPECT_EQ(reg_writes(), (std::vector<Reg>{{133, code}, {128, mode == 0 ? 127u : 63u}})) << mode;
    }
}

TEST_F(ChipSim, IntegrationTimeOutsideHdr) {
    EXPECT_EQ(configSetIntegrationTime3D(4001), -1);
    EXPECT_TRUE(cam_->write_log().empty());
    EXPECT_EQ(configGetIntegrationTime3D(), 700);
    EXPECT_EQ(configSetIntegrationTime3D(900), 0);  // mode 0: stored only
    EXPECT_TRUE(cam_->write_log().empty());
    config().current_mode = 1;
    EXPECT_EQ(configSetIntegrationTime3D(1200), 0);
    ASSERT_EQ(param_writes().size(), 1u);
    expect_integration_param(param_writes()[0], 1200);
    EXPECT_TRUE(reg_writes().empty());
}

TEST_F(ChipSim, HdrSwitchesReadoutAndProgramsBothIntegrationLengths) {
    cam_->set_reg(1, 133, 1);  // 48 MHz clock after the divider: 20.833 ns, 1365.33 us per count
    cam_->set_reg(1, 148, 0x15);
    cam_->set_reg(1, 146, 0x41);
    for (unsigned r : {34u, 37u, 40u, 43u}) cam_->set_reg(1, r, 0xA7);
    EXPECT_EQ(configEnableHDR(1, 32), 0);
    EXPECT_EQ(calculationIsHDR(), 1);
    expect_readout(0x95, 0x49, {0xA0, 0xA5, 0xAA, 0xAF});
    // 700 us both: multiplier 1, length 700 / 20.833 ns - 1 = 33599, high byte first.
    auto w = reg_writes();
    ASSERT_GE(w.size(), 6u);
    EXPECT_EQ(std::vector<Reg>(w.end() - 6, w.end()),
              (std::vector<Reg>{{160, 0x00}, {161, 0x01}, {162, 0x83}, {163, 0x3F}, {158, 0x83}, {159, 0x3F}}));

    cam_->clear_logs();
    EXPECT_EQ(configSetIntegrationTime3D(4000), 0);  // multiplier 3: 63999 and 11199
    EXPECT_TRUE(param_writes().empty());
    EXPECT_EQ(reg_writes(),
              (std::vector<Reg>{{160, 0x00}, {161, 0x03}, {162, 0xF9}, {163, 0xFF}, {158, 0x2B}, {159, 0xBF}}));

    EXPECT_EQ(configEnableHDR(0, 32), 0);
    EXPECT_EQ(calculationIsHDR(), 0);
    expect_readout(0x15, 0x41, {0xA4, 0xA1, 0xAE, 0xAB});
}

TEST_F(ChipSim, AbsSetsAndClearsItsBitsOnly) {
    for (unsigned r : {34u, 37u, 40u, 43u}) cam_->set_reg(1, r, 0x45);
    EXPECT_EQ(apiEnableABS(1, 32), 0);
    for (unsigned r : {34u, 37u, 40u, 43u}) EXPECT_EQ(cam_->reg(1, r), 0x75u) << r;
    EXPECT_EQ(reg_writes(), (std::vector<Reg>{{34, 0x75}, {37, 0x75}, {40, 0x75}, {43, 0x75}}));
    EXPECT_EQ(configEnableABS(0, 32), 0);
    for (unsigned r : {34u, 37u, 40u, 43u}) EXPECT_EQ(cam_->reg(1, r), 0x45u) << r;
    EXPECT_EQ(config().abs_enabled, 0);
}

TEST_F(ChipSim, RoiWritesSixRegistersAndRefusalsWriteNothing) {
    EXPECT_EQ(apiSetROI(4, 323, 6, 125, 32), 0);
    EXPECT_EQ(reg_writes(), (std::vector<Reg>{{150, 0}, {151, 4}, {152, 1}, {153, 0x43}, {154, 6}, {155, 125}}));
    EXPECT_EQ(pruGetNCols(), 320);
    EXPECT_EQ(pruGetNRowsPerHalf(), 120);
    cam_->clear_logs();
    const std::string msg = output_of([] { EXPECT_EQ(apiSetROI(5, 323, 6, 125, 32), -1); });
    EXPECT_EQ(msg, "bad x coordinates\n");
    EXPECT_TRUE(cam_->write_log().empty());
    EXPECT_EQ(config().roi_x0, 4);
    EXPECT_EQ(apiSetROI(0, 5, 0, 1, 32), 0);  // the smallest rectangle
    EXPECT_EQ(pruGetNCols(), 6);
    EXPECT_EQ(pruGetNRowsPerHalf(), 2);
    cam_->clear_logs();
    EXPECT_EQ(apiSetROI(0, 327, 0, 125, 32), 0);  // the largest: x1 and y1 at their limits
    EXPECT_EQ(reg_writes(), (std::vector<Reg>{{150, 0}, {151, 0}, {152, 1}, {153, 0x47}, {154, 0}, {155, 125}}));
}

TEST_F(ChipSim, UnsupportedCalibrationFrequencyProgramsTwelveMegahertz) {
    config().freqs = vx::chip::freq_table(23, 0);
    write_calibration(18000, 5);
    calibrationLoadDRNU_LUT();
    EXPECT_EQ(reg_writes(), (std::vector<Reg>{{133, 1}, {128, 63}}));
    EXPECT_EQ(configGetModFreqMode(), 12000);
}

}  // namespace
