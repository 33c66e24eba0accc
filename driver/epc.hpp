// The epc sensor driver's private state and the pieces its files share: the driver proper
// (start, stop, frame information, feature switches, calibration package) and the decode.
#pragma once

#include <array>
#include <atomic>
#include <climits>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>

#include <vexel/chip.h>
#include <vexel/depth_quality.h>
#include <vexel/driver.h>
#include <vexel/frame.h>
#include <vexel/lens.h>

#include "core/clock.hpp"

namespace vx::epc {

inline constexpr int kNameMax = 256;

// A camera's calibration as its frames decode with it (decode.hpp).
struct Calibration;

// One per open epc device, owned by its registry entry copy (entry->state). The feature switches
// are written by the filter entry points while another thread may be decoding, so they are
// relaxed atomics: a decode reads each one once per frame.
struct State {
    // Rebuilt by feature 0 while decodes may be running: readers hold lens_mu shared. `lens` is
    // this camera's lens parameter record, which its table and point cloud are built from.
    vx_calib_len_map len_map{};
    vexel_lens_param lens{};
    std::shared_mutex lens_mu;

    std::atomic<uint8_t> calib_sel{2};
    std::atomic<int32_t> min_amp{0};
    std::atomic<uint16_t> sat_ratio{0};
    std::atomic<uint16_t> dcs_fix_val{0};
    std::atomic<uint16_t> temp_mon_val{75};
    std::atomic<int16_t> t_sensor{0}, t_ib{0};
    // The header temperatures of the last frames described, by header index: an application
    // that pulls ahead of its decode (a pipeline, or a pull that drops the frames behind the one
    // it returns) still decodes each frame with its own temperatures. Each slot packs a valid
    // bit, the index and both temperatures, so a decode reads it whole without a lock. 4096
    // frames (68 s at 60 fps) cover an application that keeps a recording's frames and decodes
    // them after the pulls; the slot count divides the 16-bit index's range, so its wrap keeps
    // the slots.
    static constexpr size_t kTempSlots = 4096;
    std::array<std::atomic<uint64_t>, kTempSlots> temps_by_idx{};
    void remember_temps(uint16_t idx, int16_t ts, int16_t tib) {
        const uint64_t v = uint64_t{1} << 48 | uint64_t{idx} << 32 | uint64_t{uint16_t(ts)} << 16 | uint16_t(tib);
        temps_by_idx[idx % kTempSlots].store(v, std::memory_order_relaxed);
    }
    // The temperatures of frame `idx` if it was described lately, else the last described.
    void temps_of(uint16_t idx, int& ts, int& tib) const {
        const uint64_t v = temps_by_idx[idx % kTempSlots].load(std::memory_order_relaxed);
        if ((v >> 48) == 1 && uint16_t(v >> 32) == idx) {
            ts = int16_t(uint16_t(v >> 16));
            tib = int16_t(uint16_t(v));
            return;
        }
        ts = t_sensor.load(std::memory_order_relaxed);
        tib = t_ib.load(std::memory_order_relaxed);
    }
    std::atomic<uint8_t> frame_valid{0};
    std::atomic<uint8_t> en_pixel_calib{0}, en_lens{0};
    std::atomic<uint8_t> en_amp{1}, en_auto_intg{0}, en_dcs_check{0}, dcs_fix_flag{0}, en_temp_mon{1}, en_hdr{0};
    // The sensor's temperature term on both sides of its calibration temperature (decode.cpp
    // temperature_term); off, as the chip library compensates.
    std::atomic<uint8_t> en_temp_two_sided{0};
    char img_file[2][kNameMax] = {};
    char param_file[2][kNameMax] = {};
    std::atomic<uint8_t> en_median{1}, median_size{3};

    // Seconds of the last DCS-check correction sent to the camera.
    std::atomic<int64_t> dcs_last_fix_s{0};

    // Seconds of the temperature monitor's last report; per camera, so one camera's report
    // does not silence another's. INT64_MIN: nothing reported yet.
    std::atomic<int64_t> temp_mon_last_s{INT64_MIN};
    // What calib_load found (EPC_CALIB_*), for the application to show.
    std::atomic<int> calib_status{EPC_CALIB_UNKNOWN};

    // The camera's own decode state. `mu` guards what follows; it is held only for copies and
    // decisions, never for a camera command or the pixel work, and no other camera takes it.
    mutable std::mutex mu;
    // This camera's calibration; null while the state has not been started on a camera (the
    // decode then reads the chip library's process-wide calibration).
    std::shared_ptr<const Calibration> calib;
    // Amplitude hysteresis: the minimum amplitude, the width and the per-pixel states.
    int min_amplitude = 0, hyst_width = 0;
    std::array<uint8_t, VX_CHIP_PIXELS> hyst{};
    // Automatic integration time: the last run and the camera's 3D integration time as last
    // set (-1: not known yet, the chip library's cached value stands in).
    bool auto_ran = false;
    vx::Timestamp auto_last{};
    int intg_us = -1;
    // The header index of the frame that led to the last change (auto_intg_settling).
    bool auto_changed = false;
    uint16_t auto_changed_at = 0;

    std::shared_ptr<const Calibration> calibration() const {
        std::lock_guard lock(mu);
        return calib;
    }

    // Depth-quality steps (features 9 to 13) and their values.
    std::atomic<uint8_t> en_conf{0}, en_flying{0}, en_temporal{0}, en_spatial{0}, en_fill{0};
    std::atomic<float> conf_max_mm{30.0f}, flying_k{6.0f}, temporal_alpha{0.1f}, spatial_sigma{5.0f}, fill_px{4.0f};
    // The temporal filter's history, made at the first frame it filters. Frames must enter it one
    // at a time and in order, so decodes on several threads take turns on it under its own lock
    // (never `mu`, which the decode takes for its set-up).
    std::mutex temporal_mu;
    vexel_temporal* temporal = nullptr;
    int temporal_w = 0, temporal_h = 0;

    State() = default;
    State(const State&) = delete;
    State& operator=(const State&) = delete;
    ~State() { vexel_temporal_destroy(temporal); }
};

// The entry's state, or null when init never made one (the open ignores init's result).
inline State* state_of(const vexel_driver_entry* drv) {
    return drv ? static_cast<State*>(drv->state) : nullptr;
}

// The calibration set the chip library loaded the distance images into: set 0 under external
// modulation (A-E2-2.0 and its kind), set 1 otherwise. The decode reads the DRNU tables of this set.
int drnu_set();

// The process-wide lens parameter record, as a copy: what a camera starts from at its open, and
// what a driver state without a camera of its own reports.
vexel_lens_param lens_record();
void set_lens_record(const vexel_lens_param& p);
inline constexpr vexel_lens_param kDefaultLens = {
    157.262, 122.083, 210.783, 204.817, {-0.378924, 0.145035, -0.000970854, 6.20728e-05, -0.0133954}, 320, 240};
// Reloads the record from `path` (lens_param.txt); false when the file is missing, has the
// wrong number of lines, or holds a value that would make the record unusable.
bool update_lens_param(const std::string& path);
// The same reading into `p` (unchanged when the file is missing or would make it unusable);
// `count_ok` says whether the line count was right.
bool read_lens_param(const std::string& path, vexel_lens_param& p, bool& count_ok);

// The time source of the temperature monitor, the DCS correction and the automatic integration
// time; returns the previous one. Tests inject a clock.
using ClockFn = vx::Timestamp (*)();
ClockFn set_clock(ClockFn fn);
vx::Timestamp clock_now();

// The depth-quality steps the switches ask for, on a decoded distance image in millimetres
// (depth_steps.cpp); `raw` gives the amplitudes and offsets.
bool quality_steps_on(const State& st);
void quality_steps(State& st, const struct RawView& raw, uint16_t* mm, int w, int h, int freq_khz, int intg_us);

// Operation slot 3 (decode.cpp): bytes written into `out`, or -1.
int frame_decode(vexel_driver_entry* drv, void* out, int out_len, int type, const void* raw, int raw_len,
                 const vexel_frame_info* info);

}  // namespace vx::epc
