// The camera's firmware: control protocol, registers, parameters and the packet stream.
// No USB and no threads here; the device side calls in under its own lock.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "sim/firmware/flash.hpp"
#include "sim/sensor/model.hpp"
#include "sim/sensor/readout.hpp"
#include "sim/sim.hpp"

namespace vxsim {

struct Setup {
    uint8_t request_type;
    uint8_t request;
    uint16_t value;
    uint16_t index;
    uint16_t length;
};

// Emulation details to stderr when verbose (set_verbose, VXSIM_DEBUG).
void debug_log(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// What the device side has to do after a control transfer.
// unplug: leave the bus with the transfer unanswered and stay away.
enum class Action { none, stall, hang, reboot, reenumerate, start_stream, stop_stream, unplug };

// What the sensor was set to when it exposed a frame, and when (seconds after capture start).
struct Exposure {
    SensorSettings settings;
    uint32_t fps = 0;
    double t_s = 0;
    Readout readout;  // the window read out
};

class Firmware {
public:
    using Clock = std::chrono::steady_clock;

    explicit Firmware(const CameraOptions& opt);

    // Power-on state: registers, parameters, status, stream.
    void power_on();

    // One control transfer reaching the camera at `now`. `out` is the OUT data stage; an IN
    // answer goes to `in` (at most setup.length bytes).
    Action control(const Setup& s, const uint8_t* out, std::vector<uint8_t>& in, Clock::time_point now);
    // How much later than usual the transfer control() just answered completes (0: on time).
    unsigned completion_delay_ms() const { return completion_delay_ms_; }

    // The sensor read a frame out: it joins the FIFO, or is lost when the FIFO is full.
    void capture_frame();
    // Stream bytes for the link, at most max; with on_demand the sensor reads a frame out
    // whenever the link wants one. Returns how many bytes were written into dst.
    size_t produce(uint8_t* dst, size_t max, bool on_demand);
    bool packet_in_progress() const { return pkt_pos_ < pkt_.size(); }
    bool streaming() const { return streaming_; }
    uint32_t frame_rate() const;
    void stop_stream() {
        streaming_ = false;
        pkt_.clear();
        pkt_pos_ = 0;
        pkt_frames_ = 0;
        frame_offset_ = 0;
        fifo_.clear();
        exposures_.clear();
        replayed_.clear();
        requested_.clear();
        clock_s_ = 0;
        active_fps_ = 0;
    }

    std::vector<WriteRecord>& write_log() { return writes_; }
    Faults& faults() { return faults_; }
    Flash& flash() { return flash_; }
    Counters& counters() { return counters_; }

    uint32_t reg(uint8_t target, uint32_t index) const;
    void set_reg(uint8_t target, uint32_t index, uint32_t value);
    // The read-out window the sensor registers set last (an invalid one is ignored).
    const Readout& readout() const { return readout_; }
    std::vector<uint8_t> param(uint8_t id);
    void set_param(uint8_t id, const std::vector<uint8_t>& v) { params_[id] = v; }

    // The measurement model and how the sensor is set up now (registers, parameters 13 and 15).
    MeasurementModel& model() { return model_; }
    void set_measurement(const Measurement& m);
    SensorSettings sensor_settings() const;
    // How a recently exposed frame (its 16-bit header index) was taken; nothing once forgotten.
    std::optional<Exposure> exposure(uint16_t frame_index) const;
    // The calibration package mode 9 uploads; empty when there is none.
    const std::vector<uint8_t>& calib_package();

    // USB string descriptors answered on the default pipe.
    std::vector<uint8_t> descriptors() const;  // device + configuration, as sysfs holds them

private:
    Action class_request(const Setup& s, const uint8_t* out, std::vector<uint8_t>& in, Clock::time_point now);
    Action standard_request(const Setup& s, std::vector<uint8_t>& in);
    Action status_query(const Setup& s, std::vector<uint8_t>& in, Clock::time_point now);
    bool fail(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    bool direction(const Setup& s, bool want_in, const char* what);
    Action cmd_dev(const Setup& s, const uint8_t* out, std::vector<uint8_t>& in);
    Action cmd_reg(const Setup& s, const uint8_t* out, std::vector<uint8_t>& in);
    bool param_write(const uint8_t* rec);
    void sensor_power_on();
    uint32_t frames_per_packet(uint32_t frame_bytes) const;
    void store_reg(uint8_t target, uint32_t index, uint32_t value);
    // Takes the window registers 150..156 describe, unless the sensor would refuse it.
    void latch_readout();
    // Raw rows and bytes of a frame read out through window w (--rows cuts them short).
    unsigned rows_of(const Readout& w) const {
        return opt_.frame_rows < kHeight ? std::min(opt_.frame_rows, w.rows()) : w.rows();
    }
    uint32_t bytes_of(const Readout& w) const { return kPlanes * w.cols() * rows_of(w) * 2; }
    bool build_packet(bool on_demand);
    void packet_sent();
    void fill_payload(uint8_t* pay, uint32_t len, uint32_t offset);
    uint32_t requested_fps() const;
    Exposure expose();
    // Parameter 15 and the frame headers from the thermal model, in tenths of a degree.
    void report_temperatures();

    CameraOptions opt_;
    // Last command memory, as the status query reports it.
    uint8_t last_type_ = 0, last_value_ = 0, last_status_ = 0;
    std::string last_error_;
    // Two-phase reads remember their write phase.
    std::vector<uint8_t> pending_param_ids_;
    bool reg_read_armed_ = false;
    uint8_t rd_target_ = 0;
    uint32_t rd_base_ = 0;
    uint16_t rd_bytes_ = 0;

    std::array<uint8_t, 256> sensor_{};
    std::map<uint64_t, uint32_t> other_regs_;  // (target << 32) | index
    std::map<uint8_t, std::vector<uint8_t>> params_;

    // Busy time of the last command, and what it costs (from CameraOptions::timing).
    Clock::time_point busy_until_{};
    unsigned busy_ms_ = 0;  // set by the command being executed
    unsigned completion_delay_ms_ = 0;
    std::mt19937 data_busy_rng_;  // which data commands answer busy for longer, and how long

    bool streaming_ = false;
    Readout readout_;
    uint64_t sensor_frame_ = 0;   // number of the next frame the sensor reads out
    std::deque<uint64_t> fifo_;   // frames read out and not yet sent, oldest first
    std::deque<ReplayFrame> replayed_;  // with CameraOptions::frames: their bytes, beside fifo_
    std::deque<Exposure> exposures_;    // how each frame of fifo_ was taken, beside it
    // Settings asked for at the last latency + 1 readouts, oldest first: the oldest is exposed.
    std::deque<Exposure> requested_;
    std::deque<std::pair<uint64_t, Exposure>> recent_;  // the last frames exposed, for their truth
    double clock_s_ = 0;       // the sensor's time since capture start
    Thermal thermal_;          // since power-on; holds between captures
    uint32_t active_fps_ = 0;  // the frame rate in force (0: none exposed yet)
    std::vector<uint8_t> pkt_;    // the packet on its way out
    size_t pkt_pos_ = 0;
    size_t pkt_frames_ = 0;       // frames whose last byte is in pkt_: they leave the FIFO with it
    uint32_t frame_offset_ = 0;   // bytes of fifo_.front() already packed
    uint16_t sidx_ = 0;
    std::vector<uint16_t> base_;  // frame 0's samples; frame f adds f
    unsigned base_cols_ = 0, base_rows_ = 0;  // the window base_ was made for

    MeasurementModel model_;
    std::vector<uint16_t> frame_;  // the rendered frame frame_no_, read out through its window
    std::vector<uint16_t> full_;   // ... and the whole image it came from
    std::vector<float> charges_;   // a binned frame's image before the clip
    uint64_t frame_no_ = UINT64_MAX;
    std::vector<uint8_t> package_;
    bool package_ready_ = false;
    bool upload_ = false;          // capture started in mode 9: the package, then nothing
    size_t upload_pos_ = 0;

    Flash flash_;
    std::vector<WriteRecord> writes_;
    Faults faults_;
    Counters counters_;
};

}  // namespace vxsim
