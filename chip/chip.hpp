// Process-wide state of the chip configuration library and the pieces its files share.
#pragma once

#include <array>
#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <cstdint>
#include <optional>

#include <vexel/chip.h>

namespace vx::chip {

inline constexpr int kDefaultDevAddr = 32;
inline constexpr int kMaxShimCount = 257;

struct Config {
    int part_type = 0, part_version = 0, ic_version = 0, wafer_id = 0, chip_id = 0;
    int chip_type = 0;
    int dev_addr = 0;
    int freq_mode = 2;
    int freq_khz = 12000;
    std::array<uint16_t, VX_CHIP_FREQS> freqs{};
    int t2d = 700, t3d = 700, t3d_hdr = 700;
    int current_mode = 0;
    int abs_enabled = 0;
    int flim = 0;
    int sequencer_version = 0;
    int print_level = 0;
    int roi_x0 = 0, roi_x1 = 0, roi_y0 = 0, roi_y1 = 0;
    // Temperature read-out trimming.
    uint32_t g_x = 0, g_y = 0;
    int g_m = 0, g_c = 0, g_l = 0, g_z = 0;
    // Ambient-light ("DCS add") threshold and factor kept for chip-level routines.
    int dcs_add_threshold = 80;
    double ambient_factor_base = 0, ambient_factor = 0;
    bool adc_overflow = false;
    int adc_min = 0, adc_max = 0;
    uint16_t pixel_mask = 0;
    int ext_mod = 0;
    int min_amplitude = 0, hysteresis_width = 0;
    // Calculation flags.
    int pi_delay = 0, dual_mgx = 0, pn = 0, hdr = 0;
    // Correction switches that configInit reports.
    // configInit's own DRNU flags; the one the decode reads is Calib::enable_drnu.
    int correction_bg_mode = 0, grayscale = 0, drnu = 0, drnu2 = 0, ambient_correction = 0;
    unsigned image_diff_resets = 0;  // the chip library's image-difference state, cleared
};

struct Geometry {
    int cols = 320, rows_per_half = 120, halves = 2;
    int col_reduction = 1, row_reduction = 1;
    int dcs = 4;
    int raw_cols = 0, raw_rows = 0;
    void* image = nullptr;
    bool image_set = false;
};

// One set of calibration scalars; slot 1 serves frequency mode 2, slot 0 every other mode.
struct CalibSlot {
    int32_t offset_drnu = 0;
    int32_t temp_cal = 0, temp_cal_ib = 0;
    double step_mm = 0;
};

struct Calib {
    double c_div2 = 149896229.0;
    double temp_coef_660 = 1.7, ib_temp_coef_660 = 1.29;
    double temp_coef_635 = 1.56131, ib_temp_coef_635 = 1.56131;
    std::array<CalibSlot, 2> slot{};
    CalibSlot sel{};
    int32_t offset_phase = 0, default_offset_phase = 0;
    int nd = 0;
    int width = 320, height = 240;
    int cols_max = 320, rows_max = 240;
    int enable_drnu = 0, enable_temperature = 0;
    int drnu_diff_temp = 0, drnu_delay = 0, drnu_average = 0;
    // The set the distance images were last loaded into (configInit picks it by the external
    // modulation flag); the decode must read this one.
    int loaded_set = 1;
};

Config& config();
Geometry& geometry();
Calib& calib();

// The frame temperatures arrive on the transport's event thread while a decode may read them.
struct FrameTemps {
    std::array<std::atomic<int16_t>, 4> sensor{};
    std::atomic<int16_t> ib{0};
};
FrameTemps& frame_temps();

// Every process-wide value back to its load-time state.
void reset_all();

// Frequency table from clock registers 130 (b) and 129 (c).
std::array<uint16_t, VX_CHIP_FREQS> freq_table(uint8_t reg130, uint8_t reg129);

// Unambiguous range in units of 10 mm as the offset rules take it, or nothing when the
// frequency or the stored speed of light cannot give one.
std::optional<uint16_t> range_u10(double c_div2, int freq_khz);
// 885000 / U10 - DRNU offset, truncated: the phase offset of the calibration's zero distance.
std::optional<int32_t> drnu_default_offset(double c_div2, int freq_khz, int32_t offset_drnu);

// The sensor window (region of interest, sensor coordinates) the chip library last programmed on
// a camera: the image's 320 x 240 pixels are x 4..323, y 6..125 of each half.
struct Window {
    int x0 = 4, x1 = 323, y0 = 6, y1 = 125;
    bool full() const { return x0 == 4 && x1 == 323 && y0 == 6 && y1 == 125; }
};
// What readOutSetROI wrote to `dev` last; the sensor's own window when it wrote nothing there.
Window window_of(const vexel_dev* dev);
void forget_windows();

// Rectangle checks of apiSetROI; prints the reason on standard output when refused.
bool roi_valid(int x0, int x1, int y0, int y1, int col_reduction, int row_reduction);

// One-byte register access through the shim.
uint8_t read_reg(int dev_addr, unsigned reg);
void write_reg(int dev_addr, unsigned reg, uint8_t v);
void write_regs(int dev_addr, unsigned reg, const uint8_t* v, unsigned n);

// The camera this thread's register and parameter commands go to: g_vx_dev, unless a
// CommandTarget on this thread names another camera for its lifetime.
vexel_dev* command_target();
class CommandTarget {
public:
    explicit CommandTarget(vexel_dev* dev);
    ~CommandTarget();
    CommandTarget(const CommandTarget&) = delete;
    CommandTarget& operator=(const CommandTarget&) = delete;

private:
    vexel_dev* prev_;
};

// Sets device parameter 13 (integration time) on the command target.
bool set_integration_param(int t_us);

// Writes the HDR integration registers for 3D integration time t3d (and the stored HDR time).
void write_hdr_integration(int t3d);

bool is_epc635(int part_type);
void update_ambient_factor();

const std::array<uint16_t, VX_CHIP_ATAN_ENTRIES>& atan_table();
// Squared-amplitude thresholds of the hysteresis for minimum amplitude a and width w.
uint32_t hysteresis_upper(int a);
uint32_t hysteresis_lower(int a, int w);

// The table atan2lut_Init fills, computed afresh.
std::array<uint16_t, VX_CHIP_ATAN_ENTRIES> make_phase_table();

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Size in bytes, or -1 when the file cannot be examined.
long file_size(const std::string& path);
void reset_phase_table();

}  // namespace vx::chip
