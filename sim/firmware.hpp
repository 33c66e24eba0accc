// The camera's firmware: control protocol, registers, parameters and the packet stream.
// No USB and no threads here; the device side calls in under its own lock.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "sim/flash.hpp"
#include "sim/scene.hpp"
#include "sim/sim.hpp"

namespace vxsim {

struct Setup {
    uint8_t request_type;
    uint8_t request;
    uint16_t value;
    uint16_t index;
    uint16_t length;
};

// What the device side has to do after a control transfer.
// unplug: leave the bus with the transfer unanswered and stay away.
enum class Action { none, stall, hang, reboot, reenumerate, start_stream, stop_stream, unplug };

class Firmware {
public:
    explicit Firmware(const CameraOptions& opt);

    // Power-on state: registers, parameters, status, stream counters.
    void power_on();

    // One control transfer. `data` is the OUT data stage or, for IN, receives the answer
    // (at most setup.length bytes).
    Action control(const Setup& s, const uint8_t* out, std::vector<uint8_t>& in);

    // Stream production. Bytes of frames numbered below `frame_limit` may be produced; returns
    // how many bytes were written into dst (stops at max).
    size_t produce(uint8_t* dst, size_t max, uint64_t frame_limit);
    // Number of the next frame the stream will start (for pacing).
    uint64_t next_frame() const { return next_frame_; }
    bool packet_in_progress() const { return pkt_pos_ < pkt_.size(); }
    bool streaming() const { return streaming_; }
    uint32_t frame_rate() const;
    void stop_stream() {
        streaming_ = false;
        pkt_.clear();
        pkt_pos_ = 0;
    }

    std::vector<WriteRecord>& write_log() { return writes_; }
    Faults& faults() { return faults_; }
    Flash& flash() { return flash_; }
    Counters& counters() { return counters_; }

    uint32_t reg(uint8_t target, uint32_t index) const;
    void set_reg(uint8_t target, uint32_t index, uint32_t value);
    std::vector<uint8_t> param(uint8_t id);
    void set_param(uint8_t id, const std::vector<uint8_t>& v) { params_[id] = v; }

    // The measurement model and how the sensor is set up now (registers, parameters 13 and 15).
    MeasurementModel& model() { return model_; }
    void set_measurement(const Measurement& m);
    SensorSettings sensor_settings() const;
    // The calibration package mode 9 uploads; empty when there is none.
    const std::vector<uint8_t>& calib_package();

    // USB string descriptors answered on the default pipe.
    std::vector<uint8_t> descriptors() const;  // device + configuration, as sysfs holds them

private:
    Action class_request(const Setup& s, const uint8_t* out, std::vector<uint8_t>& in);
    Action standard_request(const Setup& s, std::vector<uint8_t>& in);
    bool fail(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    Action cmd_dev(const Setup& s, const uint8_t* out, std::vector<uint8_t>& in);
    Action cmd_reg(const Setup& s, const uint8_t* out, std::vector<uint8_t>& in);
    bool param_write(const uint8_t* rec);
    void build_packet();
    void fill_payload(uint8_t* pay, uint32_t len, uint64_t first, uint32_t offset);

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

    bool streaming_ = false;
    std::vector<uint8_t> pkt_;
    size_t pkt_pos_ = 0;
    uint64_t pkt_last_frame_ = 0;  // packet may leave once this frame is released
    uint64_t next_frame_ = 0;      // next frame the generator starts
    uint32_t frame_offset_ = 0;    // bytes of next_frame_ already packed
    uint16_t sidx_ = 0;
    std::vector<uint16_t> base_;   // frame 0's samples; frame f adds f

    MeasurementModel model_;
    std::vector<uint16_t> frame_;  // the rendered frame frame_no_
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
