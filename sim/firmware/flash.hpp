// The camera's data flash: image slots by type and the data protocol (command type 0xCC) that
// writes and reads them. No USB and no threads; the firmware calls in under the camera's lock.
//
// A write runs start (1) → erase (7) → blocks (6), each step answered through the
// acknowledgement record that the host reads with command 4 (13 bytes) or 5 (its first 9):
//   start:  next 0 / status 3 when the new version is above the stored one, else
//           next = stored version / status 2 (refused);
//   erase:  the slot is wiped at once; status 4 ("still erasing") until erase_ms have passed
//           for each 64 KiB sector the image spans, and for at least erase_acks reads, then
//           next 0 / status 1;
//   block:  next = index + 1, or the same index when the block's CRC-16/XMODEM is wrong.
// The image is in place once its last block arrives, and survives a reboot. A read selects an
// image with the info query (0) and then takes it front to back with payload requests (17).
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "sim/sim.hpp"

namespace vxsim {

struct Setup;

class Flash {
public:
    struct Outcome {
        std::string error;  // non-empty: the command fails with this text
        bool leave_bus = false;
    };

    static constexpr uint32_t kBlockBytes = 1018;
    static constexpr uint32_t kPieceBytes = 450;
    static constexpr uint32_t kSectorBytes = 65536;
    static constexpr uint32_t kNothingStored = 0xFFFFFFFF;

    using Clock = std::chrono::steady_clock;
    Flash(const std::map<uint8_t, FlashImage>& preload, unsigned erase_ms, unsigned erase_acks);

    // Protocol state back to idle; stored images stay.
    void power_on();

    // One data command (either direction); `in` receives an IN phase's answer.
    Outcome command(const Setup& s, const uint8_t* out, std::vector<uint8_t>& in, Faults& f,
                    Clock::time_point now);

    std::optional<FlashImage> image(uint8_t type) const;
    void set_image(uint8_t type, const FlashImage& img) { slots_[type] = img; }

private:
    enum class State { idle, started, erasing, receiving };

    Outcome out_phase(const Setup& s, const uint8_t* out, Faults& f);
    Outcome in_phase(const Setup& s, std::vector<uint8_t>& in, Faults& f);
    Outcome start(const uint8_t* out, Faults& f);
    Outcome erase(const uint8_t* out);
    Outcome block(const Setup& s, const uint8_t* out, Faults& f);
    uint32_t block_count() const { return (size_ + kBlockBytes - 1) / kBlockBytes; }
    void set_ack(uint32_t next, uint8_t status) {
        ack_next_ = next;
        ack_status_ = status;
    }

    std::map<uint8_t, FlashImage> slots_;
    unsigned erase_ms_, erase_acks_;

    // Write in progress.
    State state_ = State::idle;
    uint8_t type_ = 0;
    uint16_t version_ = 0;
    uint32_t size_ = 0;
    uint32_t next_ = 0;
    unsigned erase_left_ = 0;
    Clock::time_point erase_until_{};
    Clock::time_point now_{};  // of the command being answered
    std::vector<uint8_t> incoming_;
    uint32_t ack_next_ = 0;
    uint8_t ack_status_ = 0;

    // Two-phase commands: the value whose OUT phase came last and waits for its IN phase.
    int armed_ = -1;
    uint32_t armed_len_ = 0;

    // Read position in the image the last info query selected.
    uint8_t selected_ = 0;
    uint32_t read_pos_ = 0;
};

// CRC-16/XMODEM: polynomial 0x1021, initial 0, no reflection, no final XOR.
uint16_t crc16_xmodem(const uint8_t* p, size_t n);

}  // namespace vxsim
