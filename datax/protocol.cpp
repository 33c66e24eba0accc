// The data protocol's steps: each one command exchange of type LL_CMD_DATA with its status checks.
#include <array>
#include <cstdio>
#include <cstring>
#include <memory>

#include <vexel/datax_protocol.h>

#include "core/log.hpp"
#include "transport/cmd_lock.hpp"

static_assert(sizeof(al_data_info) == 16 && sizeof(al_action_info) == 12 && sizeof(al_erase_info) == 13);
static_assert(sizeof(al_ack) == 13 && sizeof(al_block_hdr) == 6 && sizeof(al_payload_req) == 12);

namespace {

constexpr uint32_t kInfoTimeoutMs = 1000;
constexpr uint32_t kAckTimeoutMs = 5000;
constexpr uint32_t kStartTimeoutMs = 10000;
constexpr uint32_t kEraseTimeoutMs = 10000;
constexpr uint32_t kShortTimeoutMs = 1000;

// One phase: the command and the camera's confirmation that it was this command and it completed.
// Callers hold the command lock across all phases of a step, so no other thread's command can
// come between a command and its status query, or between a request and its reply.
bool phase(vexel_ll_dev* ll, bool write, uint8_t value, void* data, uint16_t length, uint32_t timeout_ms) {
    return vexel_ll_exe_cmd(ll, write ? 1 : 0, LL_CMD_DATA, value, data, length, timeout_ms) &&
           vexel_ll_check_last_cmd(ll, LL_CMD_DATA, value);
}

constexpr std::array<uint16_t, 256> make_crc_table() {
    std::array<uint16_t, 256> t{};
    for (unsigned i = 0; i < 256; ++i) {
        uint16_t c = static_cast<uint16_t>(i << 8);
        for (int b = 0; b < 8; ++b) c = static_cast<uint16_t>(c & 0x8000 ? (c << 1) ^ 0x1021 : c << 1);
        t[i] = c;
    }
    return t;
}
constexpr auto kCrcTable = make_crc_table();

}  // namespace

extern "C" {

VX_API int al_get_data_info(vexel_ll_dev* ll, uint8_t value, void* record, uint8_t length) {
    static const char* const fn = "al_get_data_info";
    if (!record) return 0;
    vx::ll::CommandLock hold(ll);
    if (!phase(ll, true, value, record, length, kInfoTimeoutMs)) {
        vx::logf(vx::kErr, "[%s] write phase failed\n", fn);
        return 0;
    }
    if (!phase(ll, false, value, record, length, kInfoTimeoutMs)) {
        vx::logf(vx::kErr, "[%s] read phase failed\n", fn);
        return 0;
    }
    return 1;
}

VX_API int al_get_data_payload(vexel_ll_dev* ll, uint8_t* buffer, uint16_t length) {
    static const char* const fn = "al_get_data_payload";
    if (!buffer) return 0;
    // The request travels in a record of its own, so the caller's buffer needs only `length` bytes.
    al_payload_req req{};
    req.len = length;
    vx::ll::CommandLock hold(ll);
    if (!phase(ll, true, AL_DATA_PAYLOAD, &req, sizeof req, kInfoTimeoutMs)) {
        vx::logf(vx::kErr, "[%s] write phase failed\n", fn);
        return 0;
    }
    if (!phase(ll, false, AL_DATA_PAYLOAD, buffer, length, kInfoTimeoutMs)) {
        vx::logf(vx::kErr, "[%s] read phase failed\n", fn);
        return 0;
    }
    return 1;
}

VX_API int al_data_read_action_info(vexel_ll_dev* ll, uint8_t value, void* record) {
    static const char* const fn = "al_data_read_action_info";
    uint16_t n;
    if (value == AL_ACTION_ACK)
        n = sizeof(al_ack);
    else if (value == AL_ACTION_ACK_SHORT)
        n = 9;
    else
        return 1;
    if (!record) return -1;
    uint8_t buf[sizeof(al_ack)] = {};
    vx::ll::CommandLock hold(ll);
    if (!phase(ll, true, value, buf, n, kAckTimeoutMs)) {
        vx::logf(vx::kErr, "[%s] Write phase failed\n", fn);
        return 0;
    }
    if (!phase(ll, false, value, buf, n, kAckTimeoutMs)) {
        vx::logf(vx::kErr, "[%s] Read phase failed\n", fn);
        return -1;
    }
    std::memcpy(record, buf, n);
    return 1;
}

VX_API int al_data_send_action_info(vexel_ll_dev* ll, uint8_t value, const void* record) {
    static const char* const fn = "al_data_send_action_info";
    if (!record) return -1;
    uint16_t n;
    uint32_t timeout_ms = kShortTimeoutMs;
    switch (value) {
        case AL_ACTION_START: {
            al_action_info a;
            std::memcpy(&a, record, sizeof a);
            vx::logf(vx::kInf, "[%s] type = %hu, version = %hu, size = %d\n", fn, static_cast<unsigned short>(a.type),
                     static_cast<unsigned short>(a.version), static_cast<int>(a.size));
            n = sizeof a;
            timeout_ms = kStartTimeoutMs;
            break;
        }
        case AL_ACTION_ACK: n = sizeof(al_ack); break;
        case AL_ACTION_DATA: {
            al_block_hdr h;
            std::memcpy(&h, record, sizeof h);
            if (h.len == 0) return -1;
            // A longer block would not fit the camera's buffer (nor, far enough, wLength).
            if (h.len > AL_DATA_BLOCK_SIZE) {
                vx::logf(vx::kErr, "[%s] block of %u bytes, at most %d\n", fn, h.len, AL_DATA_BLOCK_SIZE);
                return -1;
            }
            n = static_cast<uint16_t>(sizeof h + h.len);
            break;
        }
        case AL_ACTION_ERASE:
            n = sizeof(al_erase_info);
            timeout_ms = kEraseTimeoutMs;
            break;
        default: return -1;
    }
    vx::ll::CommandLock hold(ll);
    return phase(ll, true, value, const_cast<void*>(record), n, timeout_ms) ? 1 : -1;
}

VX_API uint16_t al_data_calc_crc(const uint8_t* data, uint16_t length) {
    uint16_t crc = 0;
    if (!data) return crc;
    for (uint16_t i = 0; i < length; ++i)
        crc = static_cast<uint16_t>((crc << 8) ^ kCrcTable[((crc >> 8) ^ data[i]) & 0xFF]);
    return crc;
}

VX_API int al_data_build_file_buffer(const char* path, uint32_t* size_out) {
    static const char* const fn = "al_data_build_file_buffer";
    uint32_t ignored;
    if (!size_out) size_out = &ignored;
    vx::logf(vx::kInf, "[%s] Loading data image file:%s\n", fn, path ? path : "(null)");
    if (!path) return -1;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(path, "rb"), &std::fclose);
    if (!f) return -1;
    long size = -1;
    if (std::fseek(f.get(), 0, SEEK_END) == 0) size = std::ftell(f.get());
    std::rewind(f.get());
    vx::logf(vx::kInf, "[%s] File size:%d\n", fn, static_cast<int>(size));
    // Read through in pieces: the bytes are only counted, never kept.
    uint8_t chunk[65536];
    size_t got = 0, n;
    int first = 0;
    while ((n = std::fread(chunk, 1, sizeof chunk, f.get())) > 0) {
        if (got == 0) first = chunk[0];
        got += n;
    }
    vx::logf(vx::kInf, "[%s] File read ok,%d,%x\n", fn, static_cast<int>(got), static_cast<unsigned>(first));
    // An empty file holds no image, whatever the caller's variable held before.
    if (size <= 0 || static_cast<unsigned long>(size) > UINT32_MAX || got != static_cast<size_t>(size)) {
        *size_out = 0;
        vx::logf(vx::kInf, "[%s] Data image file loading failed.\n", fn);
        return -1;
    }
    *size_out = static_cast<uint32_t>(size);
    vx::logf(vx::kInf, "[%s] Data image file loaded.\n", fn);
    return 1;
}

}  // extern "C"
