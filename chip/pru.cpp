// Decode geometry, amplitude hysteresis and the phase table.
#include <cmath>
#include <cstdint>
#include <cstring>

#include <vexel/chip.h>

#include "chip/chip.hpp"

namespace vx::chip {

namespace {

std::array<uint16_t, VX_CHIP_ATAN_ENTRIES> g_atan{};

constexpr int kPhaseHalf = 15000;
constexpr int kPhaseQuarter = 7500;
constexpr int kPhaseEighth = 3750;

uint32_t square_saturated(int64_t v) {
    if (v < -65535 || v > 65535) return UINT32_MAX;
    return static_cast<uint32_t>(v * v);
}

void set_thresholds(int a, int w) {
    upperThreshold = hysteresis_upper(a);
    lowerThreshold = hysteresis_lower(a, w);
    std::memset(hysteresisMap, 0, sizeof hysteresisMap);
}

}  // namespace

// Amplitudes come from callers as 32-bit ints; their squares must not overflow.
uint32_t hysteresis_upper(int a) { return square_saturated(a); }
uint32_t hysteresis_lower(int a, int w) { return square_saturated(static_cast<int64_t>(a) - w); }

const std::array<uint16_t, VX_CHIP_ATAN_ENTRIES>& atan_table() { return g_atan; }

std::array<uint16_t, VX_CHIP_ATAN_ENTRIES> make_phase_table() {
    std::array<uint16_t, VX_CHIP_ATAN_ENTRIES> t{};
    for (int i = 0; i < VX_CHIP_ATAN_ENTRIES; ++i) {
        // 15000 / pi: the table is in 1/30000 turn; lround rounds halves away from zero.
        const double v = std::atan(i / 4095.0) * 4774.648292756860073;
        t[static_cast<size_t>(i)] = static_cast<uint16_t>(std::lround(v));
    }
    return t;
}
void reset_phase_table() { g_atan.fill(0); }

}  // namespace vx::chip

using namespace vx::chip;

extern "C" {

VX_API uint32_t upperThreshold = 0;
VX_API uint32_t lowerThreshold = 0;
VX_API uint8_t hysteresisMap[VX_CHIP_PIXELS] = {};

VX_API void pruInit(void) {
    Geometry& g = geometry();
    if (is_epc635(config().part_type)) {
        g.cols = 160;
        g.rows_per_half = 60;
        g.halves = 1;
    } else {
        g.cols = 320;
        g.rows_per_half = 120;
        g.halves = 2;
    }
    g.dcs = config().flim ? 2 : 4;
    g.image = nullptr;
    g.image_set = false;
}

VX_API void pruSetSize(int cols, int rows) {
    Geometry& g = geometry();
    g.raw_cols = cols;
    g.raw_rows = rows;
    g.cols = cols / g.col_reduction;
    g.rows_per_half = rows / g.row_reduction;
}

VX_API void pruSetImage(void* descriptor) {
    geometry().image = descriptor;
    geometry().image_set = true;
}

VX_API int pruGetNCols(void) { return geometry().cols; }
VX_API int pruGetNRowsPerHalf(void) { return geometry().rows_per_half; }
VX_API int pruGetNumberOfHalves(void) { return geometry().halves; }
VX_API int pruGetColReduction(void) { return geometry().col_reduction; }
VX_API int pruGetRowReduction(void) { return geometry().row_reduction; }

VX_API void hysteresisUpdateThresholds(int a) { set_thresholds(a, config().hysteresis_width); }

VX_API void hysteresisSetThresholds(int a, int w) {
    config().hysteresis_width = w;
    set_thresholds(a, w);
}

VX_API void apiSetMinAmplitude(int a) {
    config().min_amplitude = a;
    hysteresisUpdateThresholds(a);
}

VX_API void apiSetHysteresis(int w) { hysteresisSetThresholds(config().min_amplitude, w); }

VX_API int hysteresisUpdate(int pixel, uint32_t s) {
    const bool in_map = pixel >= 0 && pixel < VX_CHIP_PIXELS;
    uint8_t state;
    if (s >= upperThreshold)
        state = 1;
    else if (s < lowerThreshold)
        state = 0;
    else
        state = in_map ? hysteresisMap[pixel] : 0;  // a pixel outside the array has no history
    if (in_map) hysteresisMap[pixel] = state;
    return state;
}

VX_API void atan2lut_Init(void) { g_atan = make_phase_table(); }

VX_API int atan2_lut(int y0, int x0) {
    // 64-bit so that negating INT_MIN and the 4096-fold index stay defined for any input.
    int64_t y = y0, x = x0;
    if (y == 0) return x < 0 ? kPhaseHalf : 0;
    int base = 0;
    if (y < 0) {
        y = -y;
        x = -x;
        base = kPhaseHalf;
        if (x <= 0) {
            base = kPhaseHalf + kPhaseQuarter;
            const int64_t t = x;
            x = y;
            y = -t;
        }
    } else if (x <= 0) {
        base = kPhaseQuarter;
        const int64_t t = x;
        x = y;
        y = -t;
    }
    if (y >= x) {
        base += kPhaseEighth;
        const int64_t t = y;
        y = t - x;
        x = x + t;
    }
    // Here 0 <= y < x, so the index stays below 4096.
    return base + g_atan[static_cast<size_t>(y * VX_CHIP_ATAN_ENTRIES / x)];
}

}  // extern "C"
