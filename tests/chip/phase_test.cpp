#include <climits>
#include <cmath>

#include "chip_fixture.hpp"

namespace {

using vx::chip::config;
using vx::chip::geometry;

using ChipState = chiptest::ChipTest;

TEST_F(ChipState, IdentityAndChipType) {
    configSetPartType(2);
    configSetPartVersion(3);
    EXPECT_EQ(config().chip_type, 23);
    configSetPartType(4);
    EXPECT_EQ(config().chip_type, 43);
    configSetIcVersion(5);
    configSetWaferID(6);
    configSetChipID(7);
    configSetDeviceAddress(32);
    EXPECT_EQ(configGetPartType(), 4);
    EXPECT_EQ(configGetIcVersion(), 5);
    EXPECT_EQ(configGetWaferID(), 6);
    EXPECT_EQ(configGetChipID(), 7);
    EXPECT_EQ(configGetDeviceAddress(), 32);
    EXPECT_EQ(configIsFLIM(), 0);
}

TEST_F(ChipState, FrequencyTableFromClockRegisters) {
    using T = std::array<uint16_t, VX_CHIP_FREQS>;
    EXPECT_EQ(vx::chip::freq_table(23, 0), (T{36000, 24000, 12000, 6000, 3000, 1500, 750}));
    // Bits 4-5 of register 129 halve the base; bits above 4 of register 130 do not count.
    EXPECT_EQ(vx::chip::freq_table(23, 0x10), (T{36000, 12000, 6000, 3000, 1500, 750, 375}));
    EXPECT_EQ(vx::chip::freq_table(0xFF, 0xCF), (T{36000, 32000, 16000, 8000, 4000, 2000, 1000}));
    EXPECT_EQ(vx::chip::freq_table(0xFF, 0x30), (T{36000, 4000, 2000, 1000, 500, 250, 125}));
    EXPECT_EQ(vx::chip::freq_table(0, 0), (T{36000, 1000, 500, 250, 125, 62, 31}));
}

TEST_F(ChipState, GeometryByPartFamilyAndSize) {
    pruInit();
    EXPECT_EQ(pruGetNCols(), 320);
    EXPECT_EQ(pruGetNRowsPerHalf(), 120);
    EXPECT_EQ(pruGetNumberOfHalves(), 2);
    EXPECT_EQ(pruGetColReduction(), 1);
    EXPECT_EQ(pruGetRowReduction(), 1);
    int descriptor = 0;
    pruSetImage(&descriptor);
    EXPECT_TRUE(geometry().image_set);
    configSetPartType(5);
    pruInit();
    EXPECT_EQ(pruGetNCols(), 160);
    EXPECT_EQ(pruGetNRowsPerHalf(), 60);
    EXPECT_EQ(pruGetNumberOfHalves(), 1);
    EXPECT_FALSE(geometry().image_set);
    EXPECT_EQ(geometry().image, nullptr);
    pruSetSize(200, 50);
    EXPECT_EQ(pruGetNCols(), 200);
    EXPECT_EQ(pruGetNRowsPerHalf(), 50);
    EXPECT_EQ(pruGetNumberOfHalves(), 1);
}

TEST_F(ChipState, HysteresisKeepsStateBetweenThresholds) {
    apiSetMinAmplitude(30);
    apiSetHysteresis(20);
    EXPECT_EQ(upperThreshold, 900u);
    EXPECT_EQ(lowerThreshold, 100u);
    const int px = 1234;
    EXPECT_EQ(hysteresisUpdate(px, 500), 0);  // in the band, never valid before
    EXPECT_EQ(hysteresisUpdate(px, 900), 1);
    EXPECT_EQ(hysteresisUpdate(px, 500), 1);  // stays valid inside the band
    EXPECT_EQ(hysteresisUpdate(px, 100), 1);
    EXPECT_EQ(hysteresisUpdate(px, 99), 0);
    EXPECT_EQ(hysteresisUpdate(px, 500), 0);  // stays invalid inside the band
    EXPECT_EQ(hysteresisUpdate(px, 900), 1);
    EXPECT_EQ(hysteresisUpdate(px + 1, 500), 0);  // neighbours are independent

    apiSetMinAmplitude(30);  // every threshold change forgets the history
    EXPECT_EQ(hysteresisMap[px], 0);
    EXPECT_EQ(hysteresisUpdate(px, 500), 0);
}

TEST_F(ChipState, HysteresisDefaultsAndOutOfRangeInputs) {
    // Threshold 0: every pixel passes.
    EXPECT_EQ(hysteresisUpdate(0, 0), 1);
    EXPECT_EQ(hysteresisUpdate(VX_CHIP_PIXELS - 1, 0), 1);
    EXPECT_EQ(hysteresisUpdate(VX_CHIP_PIXELS, 0), 1);
    apiSetMinAmplitude(10);
    apiSetHysteresis(5);
    EXPECT_EQ(hysteresisUpdate(-1, 99), 0);
    EXPECT_EQ(hysteresisUpdate(INT_MAX, 100), 1);
    EXPECT_EQ(hysteresisUpdate(INT_MAX, 50), 0);
    // Squares saturate instead of wrapping.
    apiSetMinAmplitude(INT_MAX);
    EXPECT_EQ(upperThreshold, UINT32_MAX);
    EXPECT_EQ(lowerThreshold, UINT32_MAX);
    apiSetMinAmplitude(70000);
    EXPECT_EQ(upperThreshold, UINT32_MAX);
    EXPECT_EQ(hysteresisUpdate(3, 33529050), 0);
}

TEST_F(ChipState, PhaseTableShape) {
    atan2lut_Init();
    const auto& t = vx::chip::atan_table();
    EXPECT_EQ(t[0], 0);
    EXPECT_EQ(t[4095], 3750);
    EXPECT_EQ(t[1], 1);  // 4774.6 / 4095 = 1.166 rounds to 1
    for (size_t i = 1; i < t.size(); ++i) ASSERT_GE(t[i], t[i - 1]) << i;
}

TEST_F(ChipState, PhaseAtQuotedPoints) {
    atan2lut_Init();
    EXPECT_EQ(atan2_lut(0, -5), 15000);
    EXPECT_EQ(atan2_lut(0, 7), 0);
    EXPECT_EQ(atan2_lut(0, 0), 0);
    EXPECT_EQ(atan2_lut(100, 100), 3750);
    EXPECT_EQ(atan2_lut(5, 0), 7500);
    EXPECT_EQ(atan2_lut(-5, 0), 22500);
    EXPECT_EQ(atan2_lut(100, -100), 11250);
    EXPECT_EQ(atan2_lut(-100, -100), 18750);
    EXPECT_EQ(atan2_lut(-100, 100), 26250);
}

TEST_F(ChipState, PhaseSweepMatchesArctangentWithinTableResolution) {
    atan2lut_Init();
    const double units = 15000.0 / M_PI;
    int worst = 0;
    for (int y = -2047; y <= 2047; y += 23) {
        for (int x = -2047; x <= 2047; x += 29) {
            if (y == 0 && x == 0) continue;
            double want = std::atan2(y, x) * units;
            if (want < 0) want += 30000;
            int diff = static_cast<int>(std::lround(std::fabs(atan2_lut(y, x) - want)));
            diff = std::min(diff, 30000 - diff);  // 0 and 30000 are the same phase
            worst = std::max(worst, diff);
            ASSERT_LE(diff, 2) << "y=" << y << " x=" << x;
        }
    }
    EXPECT_GE(worst, 1);  // the sweep did reach the table's resolution
}

TEST_F(ChipState, PhaseOfExtremeInputsStaysInRange) {
    atan2lut_Init();
    for (int y : {INT_MIN, INT_MIN + 1, -1, 1, INT_MAX})
        for (int x : {INT_MIN, -1, 0, 1, INT_MAX}) {
            const int p = atan2_lut(y, x);
            EXPECT_GE(p, 0);
            EXPECT_LE(p, 30000);
        }
    EXPECT_EQ(atan2_lut(INT_MAX, INT_MAX), 3750);
    EXPECT_EQ(atan2_lut(INT_MIN, 0), 22500);
}

TEST_F(ChipState, CalculationAndDriverFlags) {
    calculationEnableHDR(1);
    EXPECT_EQ(calculationIsHDR(), 1);
    calculationEnableHDR(0);
    EXPECT_EQ(calculationIsHDR(), 0);
    calculationEnablePiDelay(1);
    calculationEnableDualMGX(1);
    calculationEnablePN(1);
    EXPECT_EQ(config().pi_delay + config().dual_mgx + config().pn, 3);
    epcSetExtModEnable(1);
    EXPECT_EQ(epcgetExtModEnable(), 1);
    apiEnableAdcOverflow(1);
    EXPECT_TRUE(config().adc_overflow);
}

}  // namespace
