// The epc sensor driver's private state and the pieces its files share: the driver proper
// (start, stop, frame information, feature switches, calibration package) and the decode.
#pragma once

#include <atomic>
#include <cstdint>
#include <shared_mutex>

#include <vexel/driver.h>
#include <vexel/frame.h>
#include <vexel/lens.h>

namespace vx::epc {

inline constexpr int kNameMax = 256;

// One per open epc device, owned by its registry entry copy (entry->state). The feature switches
// are written by the filter entry points while another thread may be decoding, so they are
// relaxed atomics: a decode reads each one once per frame.
struct State {
    // Rebuilt by feature 0 while decodes may be running: readers hold lens_mu shared.
    vx_calib_len_map len_map{};
    std::shared_mutex lens_mu;

    std::atomic<uint8_t> calib_sel{2};
    std::atomic<int32_t> min_amp{0};
    std::atomic<uint16_t> sat_ratio{0};
    std::atomic<uint16_t> dcs_fix_val{0};
    std::atomic<uint16_t> temp_mon_val{75};
    std::atomic<int16_t> t_sensor{0}, t_ib{0};
    std::atomic<uint8_t> frame_valid{0};
    std::atomic<uint8_t> en_pixel_calib{0}, en_lens{0};
    std::atomic<uint8_t> en_amp{1}, en_auto_intg{0}, en_dcs_check{0}, dcs_fix_flag{0}, en_temp_mon{1}, en_hdr{0};
    char img_file[2][kNameMax] = {};
    char param_file[2][kNameMax] = {};
    std::atomic<uint8_t> en_median{1}, median_size{3};

    // Seconds of the last DCS-check correction sent to the camera.
    std::atomic<int64_t> dcs_last_fix_s{0};
};

// The entry's state, or null when init never made one (the open ignores init's result).
inline State* state_of(const vexel_driver_entry* drv) {
    return drv ? static_cast<State*>(drv->state) : nullptr;
}

// Operation slot 3 (decode.cpp): bytes written into `out`, or -1.
int frame_decode(vexel_driver_entry* drv, void* out, int out_len, int type, const void* raw, int raw_len,
                 const vexel_frame_info* info);

}  // namespace vx::epc
