// Process-wide state of the chip library, the sensor identity and the switches the driver
// and the decode flip.
#include <cstring>

#include <vexel/chip.h>

#include "chip/chip.hpp"

namespace vx::chip {

namespace {

Config g_config;
Geometry g_geometry;
Calib g_calib;
FrameTemps g_temps;

}  // namespace

Config& config() { return g_config; }
Geometry& geometry() { return g_geometry; }
Calib& calib() { return g_calib; }
FrameTemps& frame_temps() { return g_temps; }

void reset_all() {
    g_config = Config{};
    g_geometry = Geometry{};
    g_calib = Calib{};
    for (auto& t : g_temps.sensor) t.store(0, std::memory_order_relaxed);
    g_temps.ib.store(0, std::memory_order_relaxed);
    reset_phase_table();
    upperThreshold = lowerThreshold = 0;
    std::memset(hysteresisMap, 0, sizeof hysteresisMap);
    std::memset(distImagesDRNU, 0, sizeof distImagesDRNU);
    std::memset(distImagesDRNUMax, 0, sizeof distImagesDRNUMax);
    std::memset(distImagesDRNUMin, 0, sizeof distImagesDRNUMin);
    g_vx_dev = nullptr;
    forget_windows();
}

bool is_epc635(int part_type) { return part_type == 4 || part_type == 5; }

// The ambient-light routines scale their factor by the integration time in use.
void update_ambient_factor() {
    Config& c = config();
    c.ambient_factor = c.t3d > 0 ? c.ambient_factor_base / c.t3d : 0.0;
}

std::array<uint16_t, VX_CHIP_FREQS> freq_table(uint8_t reg130, uint8_t reg129) {
    const unsigned base = (((reg130 & 0x1Fu) + 1) * 4000u) >> ((reg129 >> 4) & 3u);
    std::array<uint16_t, VX_CHIP_FREQS> t{};
    t[0] = 36000;
    for (unsigned i = 1; i < VX_CHIP_FREQS; ++i) t[i] = static_cast<uint16_t>(base / ((1u << (i - 1)) * 4u));
    return t;
}

}  // namespace vx::chip

using namespace vx::chip;

extern "C" {

VX_API struct vexel_dev* g_vx_dev = nullptr;

VX_API void configSetPartType(int v) {
    config().part_type = v;
    config().chip_type = config().part_version + 10 * v;
}
VX_API void configSetPartVersion(int v) {
    config().part_version = v;
    config().chip_type = v + 10 * config().part_type;
}
VX_API void configSetIcVersion(int v) { config().ic_version = v; }
VX_API void configSetWaferID(int v) { config().wafer_id = v; }
VX_API void configSetChipID(int v) { config().chip_id = v; }
VX_API void configSetDeviceAddress(int v) { config().dev_addr = v; }
VX_API int configGetPartType(void) { return config().part_type; }
VX_API int configGetIcVersion(void) { return config().ic_version; }
VX_API int configGetWaferID(void) { return config().wafer_id; }
VX_API int configGetChipID(void) { return config().chip_id; }
VX_API int configGetDeviceAddress(void) { return config().dev_addr; }
VX_API int configIsFLIM(void) { return config().flim; }

VX_API void calculationEnablePiDelay(int flag) { config().pi_delay = flag; }
VX_API void calculationEnableDualMGX(int flag) { config().dual_mgx = flag; }
VX_API void calculationEnablePN(int flag) { config().pn = flag; }
VX_API void calculationEnableHDR(int flag) { config().hdr = flag; }
VX_API int calculationIsHDR(void) { return config().hdr; }

VX_API void adcOverflowEnable(int flag) { config().adc_overflow = flag != 0; }
VX_API void apiEnableAdcOverflow(int flag) { adcOverflowEnable(flag); }
VX_API void adcOverflowSetMin(int v) { config().adc_min = v; }
VX_API void adcOverflowSetMax(int v) { config().adc_max = v; }
VX_API void epcSetExtModEnable(int flag) { config().ext_mod = flag; }
VX_API int epcgetExtModEnable(void) { return config().ext_mod; }

}  // extern "C"
