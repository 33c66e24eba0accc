#include "sim/firmware/flash.hpp"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "sim/firmware/firmware.hpp"
#include "sim/firmware/le_bytes.hpp"

namespace vxsim {

namespace {

constexpr uint8_t kStatusIdle = 0, kStatusReady = 1, kStatusRefused = 2, kStatusStarted = 3, kStatusErasing = 4;
constexpr uint32_t kFlashBase = 0x08000000;  // storage address reported for slot 0
constexpr uint32_t kSlotSpan = 0x00100000;

Flash::Outcome failure(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
Flash::Outcome failure(const char* fmt, ...) {
    char buf[60];  // the status reply's text field
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return {buf, false};
}

}  // namespace

uint16_t crc16_xmodem(const uint8_t* p, size_t n) {
    uint16_t crc = 0;
    for (size_t i = 0; i < n; ++i) {
        crc = static_cast<uint16_t>(crc ^ (p[i] << 8));
        for (int b = 0; b < 8; ++b) crc = static_cast<uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}

Flash::Flash(const std::map<uint8_t, FlashImage>& preload, unsigned erase_ms, unsigned erase_acks)
    : slots_(preload), erase_ms_(erase_ms), erase_acks_(erase_acks) {}

void Flash::power_on() {
    state_ = State::idle;
    incoming_.clear();
    set_ack(0, kStatusIdle);
    armed_ = -1;
    selected_ = 0;
    read_pos_ = 0;
}

std::optional<FlashImage> Flash::image(uint8_t type) const {
    auto it = slots_.find(type);
    if (it == slots_.end()) return std::nullopt;
    return it->second;
}

Flash::Outcome Flash::command(const Setup& s, const uint8_t* out, std::vector<uint8_t>& in, Faults& f,
                              Clock::time_point now) {
    now_ = now;
    if (s.request_type & 0x80) return in_phase(s, in, f);
    armed_ = -1;  // any OUT phase ends a two-phase command that was left half-way
    return out_phase(s, out, f);
}

Flash::Outcome Flash::out_phase(const Setup& s, const uint8_t* out, Faults& f) {
    auto want = [&](uint16_t n) { return s.length == n; };
    switch (s.value) {
        case 0:  // information query: selects the image later reads continue through
            if (!want(16)) return failure("info: %u bytes, want 16", s.length);
            selected_ = out[0];
            read_pos_ = 0;
            armed_ = 0;
            return {};
        case 1:
            if (!want(12)) return failure("start: %u bytes, want 12", s.length);
            return start(out, f);
        case 4:
        case 5:
            if (!want(s.value == 4 ? 13 : 9)) return failure("ack %u: %u bytes", s.value, s.length);
            armed_ = s.value;
            return {};
        case 6: return block(s, out, f);
        case 7:
            if (!want(13)) return failure("erase: %u bytes, want 13", s.length);
            return erase(out);
        case 17: {
            if (!want(12)) return failure("payload: %u bytes, want 12", s.length);
            const uint32_t len = get32(out + 4);
            if (len == 0 || len > kPieceBytes) return failure("payload: %u bytes asked, 1..%u", len, kPieceBytes);
            armed_ = 17;
            armed_len_ = len;
            return {};
        }
        default: return failure("data command %u unknown", s.value);
    }
}

Flash::Outcome Flash::in_phase(const Setup& s, std::vector<uint8_t>& in, Faults& f) {
    const int value = s.value;
    const bool armed = armed_ == value;
    armed_ = -1;
    if (value != 0 && value != 4 && value != 5 && value != 17) return failure("data command %u has no read", s.value);
    if (!armed) return failure("data read %u without its request", s.value);
    switch (value) {
        case 0: {
            if (s.length != 16) return failure("info: read %u bytes, want 16", s.length);
            in.assign(16, 0);
            in[0] = selected_;
            auto it = slots_.find(selected_);
            put16(&in[2], it == slots_.end() ? 0 : it->second.version);
            put32(&in[4], it == slots_.end() ? kNothingStored : static_cast<uint32_t>(it->second.bytes.size()));
            put32(&in[8], kFlashBase + selected_ * kSlotSpan);
            return {};
        }
        case 4:
        case 5: {
            const uint16_t n = value == 4 ? 13 : 9;
            if (s.length != n) return failure("ack: read %u bytes, want %u", s.length, n);
            if (state_ == State::erasing && !f.flash_erase_hangs) {
                if (erase_left_ > 0) {
                    --erase_left_;
                } else if (now_ >= erase_until_) {
                    state_ = State::receiving;
                    set_ack(0, kStatusReady);
                }
            }
            in.assign(n, 0);
            put32(&in[0], ack_next_);
            in[4] = ack_status_;
            return {};
        }
        default: {
            if (s.length != armed_len_) return failure("payload: read %u bytes, asked %u", s.length, armed_len_);
            auto it = slots_.find(selected_);
            if (it == slots_.end()) return failure("payload: slot %u holds nothing", selected_);
            const auto& bytes = it->second.bytes;
            if (read_pos_ + uint64_t(armed_len_) > bytes.size())
                return failure("payload: %u bytes past the end at %u", armed_len_, read_pos_);
            in.assign(bytes.begin() + read_pos_, bytes.begin() + read_pos_ + armed_len_);
            read_pos_ += armed_len_;
            return {};
        }
    }
}

Flash::Outcome Flash::start(const uint8_t* out, Faults& f) {
    // A start always abandons whatever write was in progress.
    state_ = State::idle;
    incoming_.clear();
    const uint8_t type = out[0];
    const uint16_t version = get16(out + 2);
    const uint32_t size = get32(out + 4);
    auto it = slots_.find(type);
    const uint16_t stored = it == slots_.end() ? 0 : it->second.version;
    if (f.flash_refuse_start > 0 || version <= stored) {
        if (f.flash_refuse_start > 0) --f.flash_refuse_start;
        set_ack(stored, kStatusRefused);
        return {};
    }
    if (size == 0 || size > kSlotSpan) return failure("start: image of %u bytes, 1..%u", size, kSlotSpan);
    type_ = type;
    version_ = version;
    size_ = size;
    state_ = State::started;
    set_ack(0, kStatusStarted);
    return {};
}

Flash::Outcome Flash::erase(const uint8_t* out) {
    if (state_ != State::started) return failure("erase: no write started");
    if (out[0] != type_ || get32(out + 1) != size_) return failure("erase: type %u size %u differ from start", out[0], get32(out + 1));
    if (get32(out + 5) != kBlockBytes || get32(out + 9) != 0) return failure("erase: block size %u", get32(out + 5));
    slots_.erase(type_);
    incoming_.assign(size_, 0);
    next_ = 0;
    erase_left_ = erase_acks_;
    const uint32_t sectors = (size_ + kSectorBytes - 1) / kSectorBytes;
    erase_until_ = now_ + std::chrono::milliseconds(uint64_t(erase_ms_) * sectors);
    state_ = State::erasing;
    set_ack(0, kStatusErasing);
    return {};
}

Flash::Outcome Flash::block(const Setup& s, const uint8_t* out, Faults& f) {
    if (state_ != State::receiving) return failure("data: flash not erased for writing");
    if (s.length < 6) return failure("data: %u bytes, no header", s.length);
    const uint16_t crc = get16(out);
    const uint32_t len = get32(out + 2);
    if (len == 0 || len > kBlockBytes || s.length != 6 + len) return failure("data: length %u in %u bytes", len, s.length);
    if (next_ >= block_count()) return failure("data: image already complete");
    const uint32_t at = next_ * kBlockBytes;
    const uint32_t expect = std::min(kBlockBytes, size_ - at);
    if (len != expect) return failure("data: block %u has %u bytes", next_, len);
    if (f.flash_drop_block >= 0 && uint32_t(f.flash_drop_block) == next_) {
        f.flash_drop_block = -1;
        return {"", true};
    }
    std::vector<uint8_t> got(out + 6, out + 6 + len);
    if (f.flash_bad_crc_block >= 0 && uint32_t(f.flash_bad_crc_block) == next_) {
        f.flash_bad_crc_block = -1;
        got[len / 2] ^= 0x10;  // damaged on the way in
    }
    if (crc16_xmodem(got.data(), len) != crc) {
        set_ack(next_, kStatusReady);  // the same block again
        return {};
    }
    std::copy(got.begin(), got.end(), incoming_.begin() + at);
    ++next_;
    set_ack(next_, kStatusReady);
    if (f.flash_bad_ack_block >= 0 && uint32_t(f.flash_bad_ack_block) == next_ - 1) {
        f.flash_bad_ack_block = -1;
        ack_next_ = next_ + 1;
    }
    if (next_ == block_count()) {
        slots_[type_] = FlashImage{version_, std::move(incoming_)};
        incoming_.clear();
        state_ = State::idle;
    }
    return {};
}

}  // namespace vxsim
