#include "sim/firmware/firmware.hpp"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "sim/calib/calib_package.hpp"
#include "sim/firmware/le_bytes.hpp"

namespace vxsim {

namespace {

constexpr uint8_t kOut = 0x22;  // class request, endpoint recipient, host to device
constexpr uint8_t kIn = 0xA2;
constexpr uint8_t kCmdDev = 0xC0, kCmdReg = 0xC2, kCmdData = 0xCC, kCmdStatus = 0xB0;
constexpr uint8_t kStatusError = 0xFF, kStatusBusy = 0xFE, kStatusDone = 0x00;
constexpr size_t kStatusLen = 63;
constexpr size_t kRec = 20;
constexpr unsigned kRegReadMax = 16;  // registers per read, as the host chunks them

std::vector<uint8_t> text_param(const std::string& s) {
    std::vector<uint8_t> v(s.begin(), s.end());
    v.resize(std::min<size_t>(v.size(), 17));
    v.push_back(0);
    return v;
}

}  // namespace

uint16_t fletcher16(const uint8_t* p, size_t n) {
    unsigned s1 = 0, s2 = 0;
    for (size_t i = 0; i < n; ++i) {
        s1 = (s1 + p[i]) % 255;
        s2 = (s2 + s1) % 255;
    }
    return static_cast<uint16_t>(s1 | s2 << 8);
}

uint32_t word_sum(const uint8_t* p, size_t n) {
    uint32_t s = 0;
    for (size_t i = 0; i + 4 <= n; i += 4) s += get32(p + i);
    return s;
}

Firmware::Firmware(const CameraOptions& opt)
    : opt_(opt),
      data_busy_rng_(static_cast<std::mt19937::result_type>(opt.measurement.seed * 0x9E3779B97F4A7C15ull >> 32)),
      model_(opt.measurement),
      flash_(opt.flash, opt.flash_erase_ms, opt.flash_erase_acks) {
    opt_.packet_payload = std::min(opt_.packet_payload, kMaxPacketPayload);
    opt_.frames_per_packet = std::max(opt_.frames_per_packet, 1u);
    opt_.frame_rows = std::clamp(opt_.frame_rows, 1u, kHeight);
    // Flash slot 0 holds the firmware the camera runs: a preloaded one decides the version,
    // otherwise the slot gets an image of the configured version.
    if (!flash_.image(0)) {
        std::vector<uint8_t> image(2 * Flash::kBlockBytes + 100);
        for (size_t k = 0; k < image.size(); ++k) image[k] = static_cast<uint8_t>(k * 7 + opt_.firmware_version);
        flash_.set_image(0, {opt_.firmware_version, std::move(image)});
    }
    power_on();
}

void Firmware::sensor_power_on() {
    sensor_.fill(0);
    // Values the chip configuration reads back before it writes: the clock (130 = 23, 129 = 0
    // gives the 36000..750 kHz table), 12 MHz modulation, DLL bypassed, full region of interest.
    sensor_[130] = 23;
    sensor_[129] = 0;
    sensor_[133] = 1;
    sensor_[128] = 63;
    sensor_[139] = 2;
    sensor_[174] = 4;
    sensor_[34] = 0x04;
    sensor_[37] = 0x01;
    sensor_[40] = 0x0E;
    sensor_[43] = 0x0B;
    const uint8_t roi[6] = {0x00, 0x04, 0x01, 0x43, 6, 125};
    std::copy(roi, roi + 6, sensor_.begin() + kRegRoi);
    sensor_[kRegBinning] = 0;
    readout_ = {};
    sensor_[160] = 0x00;
    sensor_[161] = 0x01;
    sensor_[162] = 0x03;
    sensor_[163] = 0x00;
}

void Firmware::power_on() {
    // The board boots the firmware in slot 0; a slot erased by a write that never finished
    // leaves the firmware that was running.
    if (const auto fw = flash_.image(0)) opt_.firmware_version = fw->version;
    sensor_power_on();
    other_regs_.clear();

    params_.clear();
    params_[0] = {0};
    params_[2] = text_param(opt_.serial);
    params_[3] = text_param(opt_.product);
    std::vector<uint8_t> info(18, 0);
    put16(info.data(), 0x0102);  // board revision
    std::memcpy(info.data() + 2, opt_.serial.data(), std::min<size_t>(opt_.serial.size(), 15));
    params_[5] = info;
    std::vector<uint8_t> ver(8, 0);
    put16(ver.data(), 0x0100);
    put16(ver.data() + 2, opt_.firmware_version);
    put16(ver.data() + 4, 0x0001);
    params_[6] = ver;
    std::vector<uint8_t> chip(6, 0);
    put16(chip.data(), opt_.part_version);
    put16(chip.data() + 2, opt_.chip_number);
    put16(chip.data() + 4, opt_.wafer_id);
    params_[7] = chip;
    params_[8] = std::vector<uint8_t>(17, 0);  // no calibration data stored
    params_[10] = {0};
    std::vector<uint8_t> fps(4);
    put32(fps.data(), opt_.frame_rate);
    params_[12] = fps;
    std::vector<uint8_t> it(2);
    put16(it.data(), opt_.integration_time_us);
    params_[13] = it;
    std::vector<uint8_t> temps(4);
    put16(temps.data(), static_cast<uint16_t>(opt_.sensor_temp));
    put16(temps.data() + 2, static_cast<uint16_t>(opt_.illum_temp));
    params_[15] = temps;
    thermal_ = {};
    if (model_.measurement().effects.warmup) report_temperatures();
    params_[17] = {0, 0, 0};
    for (const auto& [id, value] : opt_.params) params_[id] = value;

    last_type_ = last_value_ = last_status_ = 0;
    last_error_.clear();
    flash_.power_on();
    busy_until_ = {};
    pending_param_ids_.clear();
    reg_read_armed_ = false;
    stop_stream();
    sensor_frame_ = 0;
    recent_.clear();
    sidx_ = 0;
    frame_no_ = UINT64_MAX;
    upload_ = false;
}

uint32_t Firmware::frame_rate() const {
    // A new frame rate reaches the sensor with the latency of any setting.
    return streaming_ && active_fps_ ? active_fps_ : requested_fps();
}

uint32_t Firmware::requested_fps() const {
    auto it = params_.find(12);
    return it == params_.end() || it->second.size() < 4 ? 0 : get32(it->second.data());
}

uint32_t Firmware::reg(uint8_t target, uint32_t index) const {
    if (target == 1) return index < sensor_.size() ? sensor_[index] : 0;
    auto it = other_regs_.find(uint64_t(target) << 32 | index);
    return it == other_regs_.end() ? 0 : it->second;
}

void Firmware::set_reg(uint8_t target, uint32_t index, uint32_t value) {
    store_reg(target, index, value);
    if (target == 1 && index >= kRegRoi && index <= kRegBinning) latch_readout();
}

void Firmware::latch_readout() {
    if (const auto w = readout_of(sensor_.data()))
        readout_ = *w;
    else
        debug_log("window x %u..%u y %u..%u binning 0x%02X refused: the window stays\n",
                  unsigned(sensor_[kRegRoi]) << 8 | sensor_[kRegRoi + 1], unsigned(sensor_[kRegRoi + 2]) << 8 | sensor_[kRegRoi + 3],
                  sensor_[kRegRoi + 4], sensor_[kRegRoi + 5], sensor_[kRegBinning]);
}

void Firmware::store_reg(uint8_t target, uint32_t index, uint32_t value) {
    if (target == 1) {
        if (index < sensor_.size()) sensor_[index] = static_cast<uint8_t>(value);
    } else {
        other_regs_[uint64_t(target) << 32 | index] = value;
    }
}

std::vector<uint8_t> Firmware::param(uint8_t id) {
    if (id == 8) {
        // The record opens the package; a shorter served package is padded.
        std::vector<uint8_t> rec(calib_package().begin(),
                                 calib_package().begin() + std::min(calib_package().size(), kCalibRecordBytes));
        rec.resize(kCalibRecordBytes, 0);
        return rec;
    }
    auto it = params_.find(id);
    return it == params_.end() ? std::vector<uint8_t>{} : it->second;
}

bool Firmware::fail(const char* fmt, ...) {
    char buf[60];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    last_status_ = kStatusError;
    last_error_ = buf;
    return false;
}

std::vector<uint8_t> Firmware::descriptors() const {
    const uint16_t mps = opt_.speed_mbps < 480 ? 64 : 512;  // full speed caps bulk at 64
    const uint16_t fw = opt_.firmware_version;
    return {18, 1, 0x00, 0x02, 0, 0, 0, 64,
            uint8_t(opt_.usb_vendor), uint8_t(opt_.usb_vendor >> 8), uint8_t(opt_.usb_product),
            uint8_t(opt_.usb_product >> 8),
            uint8_t(fw), uint8_t(fw >> 8), 1, 2, 3, 1,
            9, 2, 34, 0, 2, 1, 0, 0x80, 250,
            9, 4, 0, 0, 1, 0xFF, 0, 0, 0,
            7, 5, kBulkEndpoint, 2, uint8_t(mps), uint8_t(mps >> 8), 0,
            9, 4, 1, 0, 0, 0xFF, 0, 0, 0};
}

bool Firmware::direction(const Setup& s, bool want_in, const char* what) {
    if ((s.request_type == kIn) == want_in) return true;
    return fail("%s must be %s", what, want_in ? "device-to-host" : "host-to-device");
}

Action Firmware::control(const Setup& s, const uint8_t* out, std::vector<uint8_t>& in,
                         Clock::time_point now) {
    in.clear();
    ++counters_.control;
    completion_delay_ms_ = 0;
    if ((s.request_type & 0x60) == 0) return standard_request(s, in);
    if (s.request_type != kOut && s.request_type != kIn) return Action::stall;
    if (faults_.hang_control > 0) {
        --faults_.hang_control;
        return Action::hang;
    }
    const Action a = class_request(s, out, in, now);
    if (s.request != kCmdStatus && faults_.slow_command > 0) {
        --faults_.slow_command;
        completion_delay_ms_ = faults_.slow_command_ms;
    }
    return a;
}

Action Firmware::standard_request(const Setup& s, std::vector<uint8_t>& in) {
    const bool dev_in = s.request_type == 0x80;
    if (dev_in && s.request == 0) {  // GET_STATUS: bus powered, no remote wake-up
        in = {0, 0};
    } else if (dev_in && s.request == 8) {  // GET_CONFIGURATION
        in = {1};
    } else if (dev_in && s.request == 6) {  // GET_DESCRIPTOR
        const uint8_t type = s.value >> 8, idx = s.value & 0xFF;
        auto all = descriptors();
        if (type == 1) {
            in.assign(all.begin(), all.begin() + 18);
        } else if (type == 2 && idx == 0) {
            in.assign(all.begin() + 18, all.end());
        } else if (type == 3) {
            if (idx == 0) {
                in = {4, 3, 0x09, 0x04};
            } else {
                const std::string* str = idx == 1   ? &opt_.manufacturer
                                         : idx == 2 ? nullptr
                                         : idx == 3 ? &opt_.serial
                                                    : nullptr;
                std::string text = str ? *str : idx == 2 ? std::string("ToF Camera") : std::string();
                if (text.empty()) return Action::stall;
                in.push_back(static_cast<uint8_t>(2 + 2 * text.size()));
                in.push_back(3);
                for (char c : text) {
                    in.push_back(static_cast<uint8_t>(c));
                    in.push_back(0);
                }
            }
        } else {
            return Action::stall;
        }
    } else if (s.request_type == 0x00 && (s.request == 9 || s.request == 1 || s.request == 3)) {
        // SET_CONFIGURATION, CLEAR/SET_FEATURE: accepted without data
    } else if (s.request_type == 0x02 && s.request == 1) {  // CLEAR_FEATURE(ENDPOINT_HALT)
    } else {
        return Action::stall;
    }
    if (in.size() > s.length) in.resize(s.length);
    return Action::none;
}

Action Firmware::status_query(const Setup& s, std::vector<uint8_t>& in, Clock::time_point now) {
    if (s.request_type != kIn || s.value != 0 || s.index != 0) {
        // A malformed query is itself a command that fails; the host sees the failure on its
        // next query.
        last_type_ = s.request;
        last_value_ = static_cast<uint8_t>(s.value);
        if (s.request_type != kIn)
            fail("status query must be device-to-host");
        else
            fail("status query: value %u, index %u, want 0, 0", s.value, s.index);
        return Action::none;
    }
    // A shorter data stage would cut the error text off; a longer one gets the 63 bytes.
    if (s.length < kStatusLen) return Action::stall;
    std::vector<uint8_t> st(kStatusLen, 0);
    if (faults_.status_busy > 0) {
        --faults_.status_busy;
        st[0] = kStatusBusy;
    } else if (last_status_ != kStatusError && now < busy_until_) {
        st[0] = kStatusBusy;
    } else {
        st[0] = last_status_;
    }
    if (st[0] == kStatusBusy) ++counters_.busy_answers;
    st[1] = last_type_;
    st[2] = last_value_;
    if (st[0] == kStatusError) std::memcpy(&st[3], last_error_.c_str(), std::min<size_t>(last_error_.size(), 59));
    in = st;
    return Action::none;
}

Action Firmware::class_request(const Setup& s, const uint8_t* out, std::vector<uint8_t>& in,
                               Clock::time_point now) {
    if (s.request == kCmdStatus) return status_query(s, in, now);

    const bool still_busy = last_status_ != kStatusError && now < busy_until_;
    const uint8_t prev_type = last_type_, prev_value = last_value_;
    last_type_ = s.request;
    last_value_ = static_cast<uint8_t>(s.value);
    last_status_ = kStatusDone;
    last_error_.clear();
    busy_ms_ = 0;
    if (still_busy) {
        // The camera remembers one command: a host that does not wait for "done" loses the new one.
        fail("busy with command 0x%02X/%u", prev_type, prev_value);
        return Action::none;
    }
    if (!faults_.fail_next.empty()) {
        fail("%s", faults_.fail_next.c_str());
        faults_.fail_next.clear();
        return Action::none;
    }
    if (s.index != 0) {
        fail("wIndex %u must be 0", s.index);
        return Action::none;
    }
    Action a;
    switch (s.request) {
        case kCmdDev: a = cmd_dev(s, out, in); break;
        case kCmdReg: a = cmd_reg(s, out, in); break;
        case kCmdData: {
            const Flash::Outcome r = flash_.command(s, out, in, faults_, now);
            if (!r.error.empty()) fail("%s", r.error.c_str());
            a = r.leave_bus ? Action::unplug : Action::none;
            if (s.value == 6 && s.request_type == kOut) busy_ms_ = opt_.timing.flash_program_ms;
            const unsigned p = opt_.timing.data_busy_percent, most = opt_.timing.data_busy_ms;
            if (p > 0 && most > 0 && data_busy_rng_() % 100 < p)
                busy_ms_ = std::max(busy_ms_, 1 + static_cast<unsigned>(data_busy_rng_() % most));
            break;
        }
        default: fail("unknown command type 0x%02X", s.request); return Action::none;
    }
    busy_until_ =
        last_status_ == kStatusDone ? now + std::chrono::milliseconds(busy_ms_) : Clock::time_point{};
    return a;
}

Action Firmware::cmd_dev(const Setup& s, const uint8_t* out, std::vector<uint8_t>& in) {
    const bool is_in = s.request_type == kIn;
    switch (s.value) {
        case 0: {  // reset
            if (!direction(s, false, "reset")) return Action::none;
            if (s.length != 4) {
                fail("reset: %u data bytes, want 4", s.length);
                return Action::none;
            }
            const uint32_t target = get32(out);
            if (target > 8) {
                fail("reset: no target %u", target);
                return Action::none;
            }
            if (target == 0) return Action::reboot;
            if (target == 3) return Action::reenumerate;
            // Target 1 is the sensor's soft reset: its registers return to power-on values and
            // nothing else changes (the stream goes on). The others are the camera's own.
            if (target == 1) sensor_power_on();
            busy_ms_ = opt_.timing.reset_ms;
            return Action::none;
        }
        case 3: {  // parameter set
            if (!direction(s, false, "param set")) return Action::none;
            if (s.length == 0 || s.length % kRec != 0) {
                fail("param set: %u bytes, not records of 20", s.length);
                return Action::none;
            }
            // Validate the whole batch before applying any of it.
            auto saved = params_;
            auto saved_writes = writes_.size();
            for (size_t i = 0; i < s.length; i += kRec) {
                if (!param_write(out + i)) {
                    params_ = saved;
                    writes_.resize(saved_writes);
                    return Action::none;
                }
            }
            return Action::none;
        }
        case 4: {  // parameter get, two phases
            if (!is_in) {
                pending_param_ids_.clear();
                if (s.length == 0 || s.length % kRec != 0 || s.length > 3 * kRec) {
                    fail("param get: %u bytes, want 1 to 3 records of 20", s.length);
                    return Action::none;
                }
                for (size_t i = 0; i < s.length; i += kRec) {
                    if (std::any_of(out + i + 1, out + i + kRec, [](uint8_t b) { return b != 0; })) {
                        fail("param get: record %zu has non-zero bytes after its id", i / kRec);
                        pending_param_ids_.clear();
                        return Action::none;
                    }
                    if (!params_.count(out[i])) {
                        fail("param get: unknown id %u", out[i]);
                        pending_param_ids_.clear();
                        return Action::none;
                    }
                    pending_param_ids_.push_back(out[i]);
                }
                return Action::none;
            }
            if (pending_param_ids_.empty()) {
                fail("param get: no ids sent");
                return Action::none;
            }
            if (s.length != pending_param_ids_.size() * kRec) {
                fail("param get: read %u bytes, want %zu", s.length, pending_param_ids_.size() * kRec);
                pending_param_ids_.clear();
                return Action::none;
            }
            in.assign(s.length, 0);
            for (size_t i = 0; i < pending_param_ids_.size(); ++i) {
                const auto v = param(pending_param_ids_[i]);
                in[i * kRec] = pending_param_ids_[i];
                in[i * kRec + 1] = static_cast<uint8_t>(v.size());
                std::copy(v.begin(), v.end(), in.begin() + i * kRec + 2);
            }
            pending_param_ids_.clear();
            return Action::none;
        }
        default: fail("unknown device command %u", s.value); return Action::none;
    }
}

bool Firmware::param_write(const uint8_t* rec) {
    const uint8_t id = rec[0], len = rec[1];
    const uint8_t* v = rec + 2;
    if (len > 18) return fail("param %u: length %u", id, len);
    std::vector<uint8_t> bytes(v, v + len);
    switch (id) {
        case 0:
            if (len < 1) return fail("mode: no value byte");
            if (v[0] != 0 && v[0] != 9) return fail("mode %u: want 0 or 9", v[0]);
            params_[0] = {v[0]};
            break;
        case 10:
            if (len < 1) return fail("chip mode: no value");
            params_[10] = {v[0]};
            break;
        case 12: {
            if (len < 4) return fail("frame rate: %u value bytes, want 4", len);
            const uint32_t fps = get32(v);
            if (fps == 0 || fps > 1000) return fail("frame rate %u out of range 1..1000", fps);
            params_[12] = std::vector<uint8_t>(v, v + 4);
            busy_ms_ = std::max(busy_ms_, opt_.timing.exposure_ms);
            break;
        }
        case 13: {
            // The automatic integration time sends length 0 with the value in place.
            const uint16_t t = get16(v);
            if (t == 0) return fail("integration time 0");
            params_[13] = std::vector<uint8_t>(v, v + 2);
            busy_ms_ = std::max(busy_ms_, opt_.timing.exposure_ms);
            break;
        }
        case 17: params_[17] = std::vector<uint8_t>(v, v + 3); break;
        default:
            if (params_.count(id)) return fail("param %u is read-only", id);
            return fail("unknown param %u", id);
    }
    writes_.push_back({WriteRecord::param, 0, id, get32(v), bytes});
    return true;
}

Action Firmware::cmd_reg(const Setup& s, const uint8_t* out, std::vector<uint8_t>& in) {
    const bool is_in = s.request_type == kIn;
    switch (s.value) {
        case 0: {  // register write
            if (!direction(s, false, "reg write")) return Action::none;
            if (s.length < 7) {
                fail("reg write: %u bytes, shorter than its header", s.length);
                return Action::none;
            }
            const uint8_t target = out[0];
            const uint32_t base = get32(out + 1);
            const uint16_t bytes = get16(out + 5);
            if (bytes % 4 != 0 || bytes != s.length - 7u) {
                fail("reg write: count %u vs %u data bytes", bytes, s.length - 7u);
                return Action::none;
            }
            const uint32_t n = bytes / 4;
            if (target == 1) {
                if (uint64_t(base) + n > sensor_.size()) {
                    fail("reg write: %u+%u out of range", base, n);
                    return Action::none;
                }
                for (uint32_t i = 0; i < n; ++i)
                    if (get32(out + 7 + 4 * i) > 0xFF) {
                        fail("reg %u: value 0x%X over 8 bits", base + i, get32(out + 7 + 4 * i));
                        return Action::none;
                    }
            }
            for (uint32_t i = 0; i < n; ++i) {
                const uint32_t v = get32(out + 7 + 4 * i);
                store_reg(target, base + i, v);
                writes_.push_back({WriteRecord::reg, target, base + i, v, {}});
            }
            // The window as the whole command leaves it: its registers may arrive in any order.
            if (target == 1 && base <= kRegBinning && base + n > kRegRoi) latch_readout();
            if (target == 1 && n > 0) busy_ms_ = opt_.timing.sensor_write_ms;
            return Action::none;
        }
        case 1: {  // register read, two phases
            if (!is_in) {
                reg_read_armed_ = false;
                if (s.length != 7) {
                    fail("reg read: header of %u bytes, want 7", s.length);
                    return Action::none;
                }
                rd_target_ = out[0];
                rd_base_ = get32(out + 1);
                rd_bytes_ = get16(out + 5);
                if (rd_bytes_ == 0 || rd_bytes_ % 4 != 0) {
                    fail("reg read: byte count %u, not whole registers", rd_bytes_);
                    return Action::none;
                }
                if (rd_bytes_ > 4 * kRegReadMax) {
                    fail("reg read: %u registers, at most %u", rd_bytes_ / 4u, kRegReadMax);
                    return Action::none;
                }
                if (rd_target_ == 1 && uint64_t(rd_base_) + rd_bytes_ / 4 > sensor_.size()) {
                    fail("reg read: %u+%u out of range", rd_base_, rd_bytes_ / 4);
                    return Action::none;
                }
                reg_read_armed_ = true;
                return Action::none;
            }
            if (!reg_read_armed_) {
                fail("reg read: no header sent");
                return Action::none;
            }
            reg_read_armed_ = false;
            if (s.length != rd_bytes_) {
                fail("reg read: read %u bytes, want %u", s.length, rd_bytes_);
                return Action::none;
            }
            in.assign(rd_bytes_, 0);
            for (uint32_t i = 0; i < rd_bytes_ / 4u; ++i) put32(&in[4 * i], reg(rd_target_, rd_base_ + i));
            return Action::none;
        }
        case 4:
            if (!direction(s, false, "capture start")) return Action::none;
            if (s.length != 4) {
                fail("capture start: %u data bytes, want 4", s.length);
                return Action::none;
            }
            if (streaming_) return Action::none;
            stop_stream();  // a new run starts with a fresh frame
            streaming_ = true;
            frame_no_ = UINT64_MAX;
            upload_ = !params_[0].empty() && params_[0][0] == 9;
            upload_pos_ = upload_ && !calib_package().empty() ? 0 : SIZE_MAX;
            return Action::start_stream;
        case 5:
            if (!direction(s, false, "capture stop")) return Action::none;
            if (s.length != 1) {
                fail("capture stop: %u data bytes, want 1", s.length);
                return Action::none;
            }
            if (out[0] != 0xC2) {
                fail("capture stop: data 0x%02X, want 0xC2", out[0]);
                return Action::none;
            }
            stop_stream();
            return Action::stop_stream;
        default: fail("unknown register command %u", s.value); return Action::none;
    }
}

SensorSettings Firmware::sensor_settings() const {
    SensorSettings s;
    // Clock from registers 129/130, divided by the modulation code of 133; register 128 at 127
    // selects the fixed 36 MHz setting.
    const uint32_t clock = (((sensor_[130] & 0x1Fu) + 1) * 4000u) >> ((sensor_[129] >> 4) & 3u);
    const uint32_t code = sensor_[133] & 0x1Fu;
    s.freq_khz = sensor_[128] == 127 ? 36000 : clock / (4 * (code + 1));
    if (auto it = params_.find(13); it != params_.end() && it->second.size() >= 2) s.integration_us = get16(it->second.data());
    s.hdr = sensor_[148] & 0x80;
    if (s.hdr) {
        // Row pairs: the 3D length (162/163) and the HDR length (158/159), times the multiplier.
        const double period_ns = 1e6 * (code + 1) / clock;
        const unsigned m = sensor_[160] << 8 | sensor_[161];
        auto time = [&](unsigned reg) { return m * ((sensor_[reg] << 8 | sensor_[reg + 1]) + 1.0) * period_ns / 1000; };
        s.integration_us = time(162);
        s.hdr_short_us = time(158);
    }
    if (auto it = params_.find(15); it != params_.end() && it->second.size() >= 4) {
        s.sensor_temp = static_cast<int16_t>(get16(it->second.data()));
        s.illum_temp = static_cast<int16_t>(get16(it->second.data() + 2));
    }
    return s;
}

Exposure Firmware::expose() {
    requested_.push_back({sensor_settings(), requested_fps(), 0, readout_});
    while (requested_.size() > model_.measurement().effects.latency_frames + 1) requested_.pop_front();
    Exposure e = requested_.front();
    e.t_s = clock_s_;
    const Effects& fx = model_.measurement().effects;
    if (fx.warmup) {
        // The frame carries the temperatures at its start; it heats the camera while it is taken.
        report_temperatures();
        if (e.fps) thermal_.advance(1.0 / e.fps, e.fps, e.settings.integration_us, fx.warmup_tau_s);
    }
    if (e.fps) clock_s_ += 1.0 / e.fps;
    active_fps_ = e.fps;
    recent_.push_back({sensor_frame_, e});
    if (recent_.size() > 256) recent_.pop_front();
    return e;
}

void Firmware::report_temperatures() {
    std::vector<uint8_t> temps(4);
    put16(temps.data(), static_cast<uint16_t>(static_cast<int16_t>(std::lround(thermal_.sensor_c * 10))));
    put16(temps.data() + 2, static_cast<uint16_t>(static_cast<int16_t>(std::lround(thermal_.illum_c * 10))));
    params_[15] = temps;
}

std::optional<Exposure> Firmware::exposure(uint16_t frame_index) const {
    for (auto it = recent_.rbegin(); it != recent_.rend(); ++it)
        if (static_cast<uint16_t>(it->first) == frame_index) return it->second;
    return std::nullopt;
}

void Firmware::set_measurement(const Measurement& m) {
    model_.set(m);
    frame_no_ = UINT64_MAX;
    package_ready_ = false;
}

const std::vector<uint8_t>& Firmware::calib_package() {
    if (!package_ready_) {
        switch (opt_.calib_package) {
            case CalibPackage::generated: package_ = generate_calib_package(model_, opt_.chip_number); break;
            case CalibPackage::none: package_.clear(); break;
            case CalibPackage::bytes: package_ = opt_.calib_package_bytes; break;
        }
        package_ready_ = true;
    }
    return package_;
}

}  // namespace vxsim
