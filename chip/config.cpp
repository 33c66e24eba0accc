// Sensor configuration: identity, start-up programming, modulation, integration times, ABS,
// HDR and the region of interest.
#include <algorithm>
#include <cstdio>
#include <initializer_list>
#include <mutex>
#include <utility>
#include <vector>

#include <vexel/chip.h>
#include <vexel/device.h>

#include "chip/chip.hpp"
#include "core/log.hpp"

namespace vx::chip {

namespace {

// Register map of the sensor (decimal addresses).
enum : unsigned {
    kRegAbs0 = 34,
    kRegAbs1 = 37,
    kRegAbs2 = 40,
    kRegAbs3 = 43,
    kRegDllFine = 113,
    kRegDllCoarse0 = 114,
    kRegDllCoarse1 = 115,
    kRegModulation = 128,
    kRegClock129 = 129,
    kRegClock130 = 130,
    kRegModDivider = 133,
    kRegDemodDelay = 139,
    kRegHdr146 = 146,
    kRegHdr148 = 148,
    kRegRoi = 150,
    kRegHdrLength = 158,
    kRegIntgMultiplier = 160,
    kRegIntgLength = 162,
    kRegDllControl = 174,
    kRegEpc635 = 203,
};

constexpr unsigned kAbsRegs[4] = {kRegAbs0, kRegAbs1, kRegAbs2, kRegAbs3};
constexpr unsigned kMaxIntegration3D = 4000;

struct RegValue {
    unsigned reg;
    uint8_t value;
};

// One-byte writes in the order given.
void write_sequence(int dev, std::initializer_list<RegValue> seq) {
    for (const RegValue& rv : seq) write_reg(dev, rv.reg, rv.value);
}

void write_u16(int dev, unsigned reg, unsigned v) {
    const uint8_t b[2] = {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
    write_regs(dev, reg, b, 2);
}

void update_reg(int dev, unsigned reg, uint8_t clear, uint8_t set) {
    uint8_t v = read_reg(dev, reg);
    write_reg(dev, reg, static_cast<uint8_t>((v & ~clear) | set));
}

// Steps shared by configSetIntegrationTime3D and the modulation change.
void apply_integration_3d(int t) {
    Config& c = config();
    if (calculationIsHDR()) {
        c.t3d = t;
        configSetIntegrationTimesHDR();
    } else {
        if (c.current_mode == 1) set_integration_param(t);
        c.t3d = t;
        // Thresholds of the DCS add: base 80 at 150 us, 0.10811 per further microsecond.
        c.dcs_add_threshold = t > 150 ? 80 + static_cast<int>((t - 150) * 0.10811) : 80;
    }
    update_ambient_factor();
}

// Per camera: the decode and the lens parameters of one camera must not take another camera's
// window for its own. Starting a camera writes its window, so a record left by a closed camera
// whose address a new one reuses is replaced before it could be read.
std::mutex g_windows_mu;
std::vector<std::pair<const vexel_dev*, Window>> g_windows;

void record_window(const vexel_dev* dev, const Window& w) {
    std::lock_guard lock(g_windows_mu);
    for (auto& [d, win] : g_windows)
        if (d == dev) {
            win = w;
            return;
        }
    g_windows.emplace_back(dev, w);
}

}  // namespace

void forget_windows() {
    std::lock_guard lock(g_windows_mu);
    g_windows.clear();
}

Window window_of(const vexel_dev* dev) {
    std::lock_guard lock(g_windows_mu);
    for (const auto& [d, win] : g_windows)
        if (d == dev) return win;
    return {};
}

bool roi_valid(int x0, int x1, int y0, int y1, int col_reduction, int row_reduction) {
    // Evenness of a negative value is never asked: x0 < 0 already fails.
    if (x0 < 0 || x0 % 2 != 0 || x1 % 2 == 0 || x0 > x1 || x1 < 5 || x1 > 327) {
        std::puts("bad x coordinates");
        return false;
    }
    if (y0 < 0 || y0 % 2 != 0 || y1 % 2 == 0 || y0 > y1 || y1 < 1 || y1 > 125) {
        std::puts("bad y coordinates");
        return false;
    }
    const int min_w = 6 * col_reduction, min_h = 2 * row_reduction;
    if (x1 - x0 + 1 < min_w || y1 - y0 + 1 < min_h) {
        std::printf("size too small: min size = %i x %i\n", min_w, min_h);
        return false;
    }
    return true;
}

void write_hdr_integration(int t3d) {
    const Config& c = config();
    const int dev = c.dev_addr;
    const uint8_t a = read_reg(dev, kRegModDivider);
    const uint8_t b = read_reg(dev, kRegClock130);
    const uint8_t cc = read_reg(dev, kRegClock129);
    // Clock in kHz after the modulation divider: at least 500 / 32, never 0.
    const int clk = static_cast<int>((((b & 0x1Fu) + 1) * 4000u) >> ((cc >> 4) & 3u)) / ((a & 0x1F) + 1);
    const double period = 1000000.0 / clk;           // ns
    const double unit = period * 65536.0 / 1000.0;   // us per full 16-bit count
    const int h3 = static_cast<int>(t3d / unit + 1);
    const int hh = static_cast<int>(c.t3d_hdr / unit + 1);
    const int m = std::max(h3, hh);
    auto length = [&](int t) { return t > 0 ? static_cast<unsigned>(static_cast<int>(t / static_cast<double>(m) * 1000.0 / period - 1)) : 0u; };
    write_u16(dev, kRegIntgMultiplier, static_cast<unsigned>(m));
    write_u16(dev, kRegIntgLength, length(t3d));
    write_u16(dev, kRegHdrLength, length(c.t3d_hdr));
}

}  // namespace vx::chip

using namespace vx::chip;

extern "C" {

VX_API int dllDetermineAndSetDemodulationDelay(int devAddr) {
    write_sequence(devAddr, {{kRegDemodDelay, 2}, {kRegDllControl, 1}});
    return 0;
}

VX_API int dllBypassDLL(int bypass, int devAddr) {
    if (bypass) {
        update_reg(devAddr, kRegDllControl, 0, 0x01);
        return 0;
    }
    update_reg(devAddr, kRegDllControl, 0x01, 0);
    // The DLL now runs unlocked: the caller must know the lock did not happen.
    vx::logf(vx::kErr, "[%s] automatic DLL lock not supported on this system\n", __func__);
    return -1;
}

VX_API int configLoad(int type) {
    vexel_param_item item{};
    item.param_id = VX_PARAM_CHIP_MODE;
    item.param_len = 1;
    item.param_val[0] = static_cast<uint8_t>(type);
    return vexel_param_batch_set(vx::chip::command_target(), &item, 1) ? 0 : -1;
}

VX_API int configGetModulationFrequency(void) {
    if (config().print_level > 0)
        vx::logf(vx::kDbg, "[%s] ---- modulation frequency = %i ----\n", "configGetModulationFrequency",
                 config().freq_khz);
    return config().freq_khz;
}

VX_API int configGetModFreqMode(void) { return config().freq_mode; }

VX_API int configSetModulationFrequency(int mode, int devAddr) {
    Config& c = config();
    // Divider code of register 133 by mode; the frequency is table entry `mode`. Unknown modes
    // program mode 2 (but are stored as given).
    static constexpr uint8_t kDividerCode[VX_CHIP_FREQS] = {0, 0, 1, 3, 7, 15, 31};
    const int entry = mode >= 0 && mode < VX_CHIP_FREQS ? mode : 2;
    c.freq_khz = c.freqs[static_cast<size_t>(entry)];
    c.freq_mode = mode;
    write_sequence(devAddr, {{kRegModDivider, kDividerCode[entry]}, {kRegModulation, uint8_t(mode == 0 ? 127 : 63)}});
    if (c.t2d <= 1000000 && c.current_mode == 0) set_integration_param(c.t2d);
    if (c.t3d > static_cast<int>(kMaxIntegration3D)) return 0;
    apply_integration_3d(c.t3d);
    return 0;
}

VX_API int configSetIntegrationTime3D(unsigned t) {
    if (t > kMaxIntegration3D) return -1;
    apply_integration_3d(static_cast<int>(t));
    return 0;
}

VX_API int configGetIntegrationTime3D(void) { return config().t3d; }

VX_API int configSetIntegrationTimesHDR(void) {
    vx::chip::write_hdr_integration(config().t3d);
    return 0;
}

VX_API int configEnableABS(int flag, int devAddr) {
    for (unsigned reg : kAbsRegs) update_reg(devAddr, reg, 0x30, flag ? 0x30 : 0x00);
    config().abs_enabled = flag;
    return 0;
}

VX_API int apiEnableABS(int flag, int devAddr) {
    configEnableABS(flag, devAddr);
    ++config().image_diff_resets;
    return 0;
}

VX_API int readOutEnableHDR(int flag, int devAddr) {
    // Sequence values of the four ABS registers: HDR pairs long and short exposures.
    static constexpr uint8_t kOn[4] = {0, 5, 10, 15};
    static constexpr uint8_t kOff[4] = {4, 1, 14, 11};
    update_reg(devAddr, kRegHdr148, 0x80, flag ? 0x80 : 0x00);
    for (int i = 0; i < 4; ++i) update_reg(devAddr, kAbsRegs[i], 0x0F, flag ? kOn[i] : kOff[i]);
    update_reg(devAddr, kRegHdr146, 0x08, flag ? 0x08 : 0x00);
    return 0;
}

VX_API int configEnableHDR(int flag, int devAddr) {
    readOutEnableHDR(flag, devAddr);
    calculationEnableHDR(flag);
    configSetIntegrationTimesHDR();
    ++config().image_diff_resets;
    return 0;
}

VX_API int readOutSetROI(int x0, int x1, int y0, int y1, int devAddr) {
    Config& c = config();
    c.roi_x0 = x0;
    c.roi_x1 = x1;
    c.roi_y0 = y0;
    c.roi_y1 = y1;
    const uint8_t b[6] = {static_cast<uint8_t>(x0 >> 8), static_cast<uint8_t>(x0), static_cast<uint8_t>(x1 >> 8),
                          static_cast<uint8_t>(x1), static_cast<uint8_t>(y0), static_cast<uint8_t>(y1)};
    write_regs(devAddr, kRegRoi, b, 6);
    record_window(command_target(), {x0, x1, y0, y1});
    pruSetSize(x1 - x0 + 1, y1 - y0 + 1);
    ++c.image_diff_resets;
    return 0;
}

VX_API int apiSetROI(int x0, int x1, int y0, int y1, int devAddr) {
    const Geometry& g = geometry();
    if (!roi_valid(x0, x1, y0, y1, g.col_reduction, g.row_reduction)) return -1;
    return readOutSetROI(x0, x1, y0, y1, devAddr);
}

VX_API void printChipParam(void) {
    const Config& c = config();
    const Calib& k = calib();
    const Geometry& g = geometry();
    constexpr const char* f = "printChipParam";
    auto line = [&](const char* fmt, auto... v) { vx::logf(vx::kDbg, fmt, f, v...); };
    // Heading, then its settings: one value each, printed with the row's format.
    struct Row {
        const char* fmt;
        int v;  // the 0x%x rows' unsigned values travel as their int bit pattern
    };
    auto section = [&](const char* heading, std::initializer_list<Row> rows) {
        line(heading);
        for (const Row& r : rows) line(r.fmt, r.v);
    };
    section("[%s] *** device type and IDs: \n",
            {{"[%s] chip_type: %d \n", c.chip_type},
             {"[%s] icType: %d \n", c.ic_version},
             {"[%s] partVersion: %d \n", c.part_version},
             {"[%s] waferID: %d \n", c.wafer_id},
             {"[%s] chipID: %d \n", c.chip_id},
             {"[%s] sequencerVersion: %d \n", c.sequencer_version},
             {"[%s] devAddress: 0x%x \n", c.dev_addr},
             {"[%s] currentMode: %d \n", c.current_mode},
             {"[%s] currentFreq: %d \n", c.freq_mode},
             {"[%s] modulationFrequency: %d \n", c.freq_khz}});
    for (int i = 0; i < VX_CHIP_FREQS; ++i)
        line("[%s] modulationFrequencies[%d]: %d \n", i, static_cast<int>(c.freqs[static_cast<size_t>(i)]));
    section("[%s] *** runtime settings: \n",
            {{"[%s] integrationTime2D: %d \n", c.t2d},
             {"[%s] integrationTime3D: %d \n", c.t3d},
             {"[%s] integrationTime3DHDR: %d \n", c.t3d_hdr},
             {"[%s] nDCSTOF: %d \n", g.dcs},
             {"[%s] absEnabled: %d \n", c.abs_enabled},
             {"[%s] isFLIM: %d \n", c.flim}});
    section("[%s] *** calibration/correction settings: \n",
            {{"[%s] correctionBGMode: %d \n", c.correction_bg_mode},
             {"[%s] enabledDRNU: %d \n", c.drnu},
             {"[%s] enabledDRNU2: %d \n", c.drnu2},
             {"[%s] enabledGrayscale: %d \n", c.grayscale},
             {"[%s] enabledTemperatureCorrection: %d \n", k.enable_temperature},
             {"[%s] enabledAmbientLightCorrection: %d \n", c.ambient_correction}});
    section("[%s] *** Print level: \n", {{"[%s] gPrint: %d \n", c.print_level}});
    section("[%s] *** trimming values for temperature readout level: \n",
            {{"[%s] gX: 0x%x \n", static_cast<int>(c.g_x)},
             {"[%s] gY: 0x%x \n", static_cast<int>(c.g_y)},
             {"[%s] gM: %d \n", c.g_m},
             {"[%s] gC: %d \n", c.g_c},
             {"[%s] gL: %d \n", c.g_l},
             {"[%s] gZ: %d \n", c.g_z}});
}

VX_API int configInit(int devAddr) {
    Config& c = config();
    dllDetermineAndSetDemodulationDelay(devAddr);
    dllBypassDLL(1, devAddr);

    const bool epc635 = is_epc635(c.part_type);
    calibrateSetWidth(epc635 ? 160 : 320);
    calibrateSetHeight(epc635 ? 60 : 240);

    c.g_x = 0x8d343910u;
    c.g_z = -268;
    c.g_l = 0;
    c.sequencer_version = 9;
    c.flim = 0;
    if (c.print_level > 0) configGetModulationFrequency();

    const uint8_t b = read_reg(devAddr, kRegClock130);
    const uint8_t cc = read_reg(devAddr, kRegClock129);
    c.freqs = freq_table(b, cc);

    calibrateSetNumDistances(VX_CHIP_MAX_DISTANCES);
    temperatureInit();
    pruInit();

    if (epc635) {
        c.pixel_mask = 0xFFFF;
        adcOverflowSetMin(16);
        adcOverflowSetMax(65503);
        write_reg(devAddr, kRegEpc635, 99);
        calibrationSetNumberOfColumnsMax(168);
        calibrationSetNumberOfRowsMax(72);
    }

    write_sequence(devAddr, {{kRegDllFine, 0}, {kRegDllCoarse0, 0}, {kRegDllCoarse1, 0}, {kRegDllControl, 4}});

    c.grayscale = 1;
    if (calculateLoadGrayscaleGainOffset() != 0) c.grayscale = 0;
    c.drnu = 1;
    calibrationLoadDRNU_LUT();
    c.ambient_correction = 0;
    configLoadParameters();
    c.drnu2 = 1;
    if (calibrationLoadDistanceImages(epcgetExtModEnable() ? 0 : 1) != 0) {
        c.drnu = 0;
        c.drnu2 = 0;
        // The tables (and their distance count) may be those of an earlier load, of another
        // camera or frequency: the decode must not keep correcting with them. Nor with the
        // offset phase and temperature correction that load switched on: without calibration
        // the sensor reads as it does in a process that never loaded any.
        calib().enable_drnu = 0;
        calib().offset_phase = 0;
        calib().enable_temperature = 0;
    }
    // (The chip-level Kalman table that would be filled here serves no path of this library.)
    if (c.drnu2 == 1) {
        calculationSetEnableDRNU(2);
        calculationSetEnableTemperature(1);
    }

    printChipParam();
    atan2lut_Init();
    return 0;
}

}  // extern "C"
