// The calibration parameter file: DRNU offset, calibration temperatures and step, and in its
// long form the modulation frequency the camera was calibrated at.
#include <cstdio>
#include <cstring>

#include <vexel/chip.h>

#include "chip/chip.hpp"
#include "core/log.hpp"
#include "core/path.hpp"

namespace vx::chip {

namespace {

// Defaults when the camera's parameter file is missing.
constexpr CalibSlot kDefaultSlot{8364, 361, 341, 298.2};

bool read_le(std::FILE* f, size_t n, uint64_t* out) {
    uint8_t b[8];
    if (std::fread(b, 1, n, f) != n) return false;
    uint64_t v = 0;
    for (size_t i = n; i-- > 0;) v = (v << 8) | b[i];
    *out = v;
    return true;
}

bool read_i32(std::FILE* f, int32_t* out) {
    uint64_t v;
    if (!read_le(f, 4, &v)) return false;
    *out = static_cast<int32_t>(static_cast<uint32_t>(v));
    return true;
}

bool read_f64(std::FILE* f, double* out) {
    uint64_t v;
    if (!read_le(f, 8, &v)) return false;
    std::memcpy(out, &v, sizeof *out);
    return true;
}

void fill_slots(const CalibSlot& s) { calib().slot = {s, s}; }

// The file's calibration frequency selects the sensor's modulation before the values count.
void apply_calibration_frequency(uint32_t khz) {
    vx::logf(vx::kDbg, "[%s] Clib Freq:%d k\n", "calibrationLoadDRNU_LUT", static_cast<int>(khz));
    int mode;
    switch (khz) {
    case 24000: mode = 1; break;
    case 12000: mode = 2; break;
    case 36000: mode = 0; break;
    default:
        vx::logf(vx::kErr, "[%s] Not supported freq\n", "calibrationLoadDRNU_LUT");
        mode = 12000;
        break;
    }
    configSetModulationFrequency(mode, configGetDeviceAddress());
}

// Reads the values of an open parameter file; false when the file is too short for them.
bool read_param_values(std::FILE* f, CalibSlot* s) {
    if (!read_i32(f, &s->offset_drnu) || !read_i32(f, &s->temp_cal) || !read_f64(f, &s->step_mm)) return false;
    if (!read_i32(f, &s->temp_cal_ib)) s->temp_cal_ib = s->temp_cal;
    return true;
}

}  // namespace

}  // namespace vx::chip

using namespace vx::chip;

extern "C" {

VX_API int calibrationLoadDRNU_LUT(void) {
    constexpr const char* fn = "calibrationLoadDRNU_LUT";
    Calib& k = calib();
    const size_t s = configGetModFreqMode() == 2 ? 1 : 0;
    char name[VX_CHIP_NAME_MAX];
    calibrationGetParamName(name);
    const std::string path = vx::prefixed_path(name);
    const long size = file_size(path);
    File f{std::fopen(path.c_str(), "rb")};
    if (!f) {
        fill_slots(kDefaultSlot);
    } else {
        bool ok = true;
        if (size == 24) {
            uint64_t khz = 0;
            ok = read_le(f.get(), 4, &khz);
            if (ok) apply_calibration_frequency(static_cast<uint32_t>(khz));
        }
        CalibSlot v{};
        ok = ok && read_param_values(f.get(), &v);
        if (ok) {
            fill_slots(v);
            vx::logf(vx::kDbg, "[%s] gOffsetDRNU_Temp0:%d\n", fn, v.offset_drnu);
            vx::logf(vx::kDbg, "[%s] gTempCal0:%d\n", fn, v.temp_cal);
            vx::logf(vx::kDbg, "[%s] gTempCalIb0:%d\n", fn, v.temp_cal_ib);
            vx::logf(vx::kDbg, "[%s] gStepCalMM0:%2.4f\n", fn, v.step_mm);
        } else {
            // Too short to hold its values: the defaults serve better than half-read ones.
            vx::logf(vx::kErr, "[%s] Loading failed\n", fn);
            fill_slots(kDefaultSlot);
        }
    }
    f.reset();
    k.sel = k.slot[s];
    if (auto x = drnu_default_offset(k.c_div2, config().freq_khz, k.sel.offset_drnu)) k.default_offset_phase = *x;
    return 0;
}

}  // extern "C"
