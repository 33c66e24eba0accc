// Calibration parameter and temperature store: the scalar values and DRNU tables the decode
// reads, their two files under the path prefix, and the frame temperatures.
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <vexel/chip.h>

#include "chip/chip.hpp"
#include "core/log.hpp"
#include "core/path.hpp"

namespace vx::chip {

namespace {

constexpr int kTableRoom = VX_CHIP_MAX_DISTANCES * VX_CHIP_PIXELS;
constexpr size_t kWorkBytes = static_cast<size_t>(kTableRoom) * 2;  // 4959360
constexpr int k36MHz = 36000;
constexpr int k36MHzDistances = 20;

// Writes stem + "_10.bin" into buf (VX_CHIP_NAME_MAX bytes, room for any two int fields);
// returns the stem's length.
int calib_file_name(char* buf, const char* stem_fmt) {
    if (!buf) return 0;
    const int stem = std::snprintf(buf, VX_CHIP_NAME_MAX, stem_fmt, config().wafer_id, config().chip_id);
    if (stem < 0 || stem >= VX_CHIP_NAME_MAX) return 0;
    std::snprintf(buf + stem, static_cast<size_t>(VX_CHIP_NAME_MAX - stem), "_10.bin");
    return stem;
}

}  // namespace

long file_size(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

std::optional<uint16_t> range_u10(double c_div2, int freq_khz) {
    if (freq_khz <= 0 || !std::isfinite(c_div2) || c_div2 <= 0) return std::nullopt;
    const double r = c_div2 / (freq_khz * 10.0);
    if (r >= 9.2e18) return std::nullopt;
    const auto u10 = static_cast<uint16_t>(static_cast<int64_t>(r));  // "taken as 16 bits"
    if (u10 == 0) return std::nullopt;
    return u10;
}

std::optional<int32_t> drnu_default_offset(double c_div2, int freq_khz, int32_t offset_drnu) {
    const auto u10 = range_u10(c_div2, freq_khz);
    if (!u10) return std::nullopt;
    // A calibration file's offset is taken as it comes; one far outside any real camera's must
    // still give a defined phase offset rather than an overflowing conversion.
    const double x = 885000.0 / *u10 - offset_drnu;
    return static_cast<int32_t>(std::clamp(x, double{INT32_MIN}, double{INT32_MAX}));
}

}  // namespace vx::chip

using namespace vx::chip;

extern "C" {

VX_API uint16_t distImagesDRNU[2][VX_CHIP_MAX_DISTANCES * VX_CHIP_PIXELS] = {};
VX_API uint16_t distImagesDRNUMax[2][VX_CHIP_PIXELS] = {};
VX_API uint16_t distImagesDRNUMin[2][VX_CHIP_PIXELS] = {};

VX_API double calibrateGetTempCoef(int partType) {
    return is_epc635(partType) ? calib().temp_coef_635 : calib().temp_coef_660;
}
VX_API double calibrateGetIbTempCoef(int partType) {
    return is_epc635(partType) ? calib().ib_temp_coef_635 : calib().ib_temp_coef_660;
}
VX_API void calibrateSetTempCoef(double v, int partType) {
    (is_epc635(partType) ? calib().temp_coef_635 : calib().temp_coef_660) = v;
}
VX_API void calibrateSetIbTempCoef(double v, int partType) {
    (is_epc635(partType) ? calib().ib_temp_coef_635 : calib().ib_temp_coef_660) = v;
}
VX_API double calibrateGetSpeedOfLightDiv2(void) { return calib().c_div2; }
VX_API void calibrateSetSpeedOfLightDiv2(double v) { calib().c_div2 = v; }

VX_API int calibrationGetOffsetDRNU(void) { return calib().sel.offset_drnu; }
VX_API int calibrateGetTempCalib(void) { return calib().sel.temp_cal; }
VX_API int calibrateGetIbTempCalib(void) { return calib().sel.temp_cal_ib; }
VX_API double calibrateGetStepCalMM(void) { return calib().sel.step_mm; }
VX_API void calibrationSetOffsetPhase(int v) { calib().offset_phase = v; }
VX_API int calibrationGetOffsetPhase(void) { return calib().offset_phase; }
VX_API void calibrationSetDefaultOffsetPhase(int v) { calib().default_offset_phase = v; }
VX_API int calibrateGetoffsetPhaseDefaultFPN(void) { return 0; }

VX_API void calibrateSetNumDistances(int nd) {
    // The decode indexes the tables with it: keep it within their room.
    calib().nd = nd < 0 ? 0 : (nd > VX_CHIP_MAX_DISTANCES ? VX_CHIP_MAX_DISTANCES : nd);
}
VX_API int calibrateGetNumDistances(void) { return calib().nd; }
VX_API void calibrateSetWidth(int w) { calib().width = w; }
VX_API void calibrateSetHeight(int h) { calib().height = h; }
// Given with the border the sensor array carries (328 x 252 for 320 x 240).
VX_API void calibrationSetNumberOfColumnsMax(int n) { calib().cols_max = n - 8; }
VX_API void calibrationSetNumberOfRowsMax(int n) { calib().rows_max = n - 12; }
VX_API void calibrateSetDRNUDiffTemp(int v) { calib().drnu_diff_temp = v; }
VX_API void calibrateSetDRNUCalibrateDelay(int v) { calib().drnu_delay = v; }
VX_API void calibrateSetDRNUAverage(int v) { calib().drnu_average = v; }

VX_API void calculationSetEnableDRNU(int v) {
    Calib& k = calib();
    k.enable_drnu = v;
    if (v == 0) {
        k.default_offset_phase = calibrateGetoffsetPhaseDefaultFPN();
        return;
    }
    if (auto x = drnu_default_offset(k.c_div2, config().freq_khz, k.sel.offset_drnu)) {
        k.default_offset_phase = *x;
        k.offset_phase = *x;
    }
}
VX_API int calculationGetEnableDRNU(void) { return calib().enable_drnu; }
VX_API void calculationSetEnableTemperature(int v) { calib().enable_temperature = v; }
VX_API int calculationGetEnableTemperature(void) { return calib().enable_temperature; }

VX_API int calibrationGetParamName(char* buf) {
    return calib_file_name(buf, is_epc635(config().part_type) ? "epc635_drnu_param_W%03i_C%03i"
                                                              : "tcm_ex_drnu_param_W%03i_C%03i");
}

VX_API int calibrationGetDistanceImagesName(char* buf) {
    return calib_file_name(buf, is_epc635(config().part_type) ? "epc635_images_drnu_W%03i_C%03i"
                                                              : "tcm_ex_images_drnu_W%03i_C%03i");
}

VX_API int calibrationDataFileCheck(int) {
    char name[VX_CHIP_NAME_MAX];
    calibrationGetDistanceImagesName(name);
    const std::string path = vx::prefixed_path(name);
    if (File f{std::fopen(path.c_str(), "rb")}) {
        vx::logf(vx::kDbg, "[%s] Find %s\n", "calibrationDataFileCheck", path.c_str());
        return 0;
    }
    vx::logf(vx::kDbg, "[%s] Can not open %s file\n", "calibrationDataFileCheck", path.c_str());
    return -1;
}

VX_API int calibrationLoadDistanceImages(int set) {
    constexpr const char* fn = "calibrationLoadDistanceImages";
    Calib& k = calib();
    char name[VX_CHIP_NAME_MAX];
    calibrationGetDistanceImagesName(name);
    const std::string path = vx::prefixed_path(name);

    // Image sizes the tables cannot hold take no distances at all.
    const bool fits = k.width > 0 && k.height > 0 && k.width <= VX_CHIP_PIXELS / k.height;
    const long pixels = fits ? static_cast<long>(k.width) * k.height : 0;
    const long size = file_size(path);
    int nd = fits ? VX_CHIP_MAX_DISTANCES : 0;
    if (fits && size > 0 && size / (pixels * 2) < nd) nd = static_cast<int>(size / (pixels * 2));
    if (fits && config().freq_khz == k36MHz) nd = k36MHzDistances;
    calibrateSetNumDistances(nd);

    File f{std::fopen(path.c_str(), "rb")};
    if (!f) {
        vx::logf(vx::kDbg, "[%s] Can not open %s file\n", fn, path.c_str());
        return -1;
    }
    vx::logf(vx::kDbg, "[%s] %s\n", fn, path.c_str());
    if (set < 0 || set > 1 || nd == 0) {
        vx::logf(vx::kErr, "[%s] Loading failed\n", fn);
        return -1;
    }

    std::unique_ptr<uint8_t, decltype(&std::free)> work{static_cast<uint8_t*>(std::malloc(kWorkBytes)), &std::free};
    if (!work) {
        vx::logf(vx::kErr, "[%s] malloc failed\n", fn);
        std::exit(-3);
    }
    const size_t want = static_cast<size_t>(nd) * static_cast<size_t>(pixels) * 2;  // <= kWorkBytes
    if (std::fread(work.get(), 1, want, f.get()) != want) {
        vx::logf(vx::kErr, "[%s] Loading failed\n", fn);
        return -1;
    }

    uint16_t* table = distImagesDRNU[set];
    uint16_t* vmax = distImagesDRNUMax[set];
    uint16_t* vmin = distImagesDRNUMin[set];
    std::fill(vmin, vmin + VX_CHIP_PIXELS, uint16_t{65535});
    std::fill(vmax, vmax + VX_CHIP_PIXELS, uint16_t{0});
    const uint8_t* src = work.get();
    for (long img = 0; img < nd; ++img) {
        for (long p = 0; p < pixels; ++p) {
            const uint8_t* b = src + 2 * (img * pixels + p);
            const auto v = static_cast<uint16_t>(b[0] | (b[1] << 8));
            table[p * nd + img] = v;
            if (v > vmax[p]) vmax[p] = v;
            if (v < vmin[p]) vmin[p] = v;
        }
    }
    k.loaded_set = set;
    return 0;
}

VX_API int calculateLoadGrayscaleGainOffset(void) {
    char path[VX_CHIP_NAME_MAX];
    const char* fmt = is_epc635(config().part_type) ? "./grayscale635_gain_offset_W%03i_C%03i.txt"
                                                    : "./grayscale660_gain_offset_W%03i_C%03i.txt";
    std::snprintf(path, sizeof path, fmt, config().wafer_id, config().chip_id);
    // The per-pixel tables serve chip-level corrections this library does not run; only the
    // file's presence decides whether grayscale correction stays on.
    if (File f{std::fopen(path, "r")}) return 0;
    vx::logf(vx::kDbg, "[%s] Could not open %s file.\n", __func__, path);
    return -1;
}

VX_API int configLoadParameters(void) {
    constexpr const char* fn = "configLoadParameters";
    Config& c = config();
    c.ambient_factor_base = 250.0;
    vx::logf(vx::kDbg, "[%s] ambientLightFactor = %2.4f\n", fn, c.ambient_factor_base);
    c.print_level = 0;
    vx::logf(vx::kDbg, "[%s] print = %d\n", fn, c.print_level);
    calibrateSetDRNUDiffTemp(7);
    vx::logf(vx::kDbg, "[%s] diffTemp = %d\n", fn, 7);
    calibrateSetDRNUCalibrateDelay(5000);
    vx::logf(vx::kDbg, "[%s] drnuDelay = %d\n", fn, 5000);
    calibrateSetDRNUAverage(25);
    vx::logf(vx::kDbg, "[%s] numAveragedFrames = %d\n", fn, 25);
    calibrateSetTempCoef(1.56131, 4);
    vx::logf(vx::kDbg, "[%s] epc635_TemperatureCoeff = %2.6f\n", fn, 1.56131);
    calibrateSetTempCoef(1.7, 2);
    vx::logf(vx::kDbg, "[%s] epc660_TemperatureCoeff = %2.6f\n", fn, 1.7);
    calibrateSetSpeedOfLightDiv2(149896229.0);
    vx::logf(vx::kDbg, "[%s] speed of light div 2 = %2.2f\n", fn, 149896229.0);
    calibrateSetIbTempCoef(0.33765, 2);
    vx::logf(vx::kDbg, "[%s] epc660_IbTemperatureCoeff = %2.6f\n", fn, 0.33765);
    update_ambient_factor();
    return 0;
}

VX_API void temperatureSetTemperatureByFrameHeader(const int16_t* t) {
    if (!t) return;
    FrameTemps& ft = frame_temps();
    for (auto& s : ft.sensor) s.store(t[0], std::memory_order_relaxed);
    ft.ib.store(t[1], std::memory_order_relaxed);
}

VX_API int16_t temperatureGetTemperatureByFrameHeader(void) {
    return frame_temps().sensor[0].load(std::memory_order_relaxed);
}

VX_API int16_t temperatureGetIbTemperatureByFrameHeader(void) {
    return frame_temps().ib.load(std::memory_order_relaxed);
}

}  // extern "C"
