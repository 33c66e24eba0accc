// Frame stream parser internals. The C entry points in stream.cpp are thin wrappers.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <shared_mutex>

#include <vexel/stream.h>

namespace vx {

inline constexpr uint32_t kStreamHdrSize = VX_STREAM_HDR_SIZE;
inline constexpr uint32_t kStreamMaxLen = 0x100000;
inline constexpr uint32_t kStreamMaxFrameLen = 0x8000000;
inline constexpr uint32_t kStreamMaxFormat = 0x400;

// Fletcher-16 over the first 34 header bytes (sum1 low byte, sum2 high byte).
uint16_t stream_hdr_checksum(const uint8_t* hdr);
vx_stream_hdr stream_hdr_decode(const uint8_t* hdr);
// Magic, checksum and bounds; a zero frame length is refused too (it could never be assembled).
bool stream_hdr_valid(const uint8_t* hdr);

// Wrapping sum of `n` bytes read as little-endian 32-bit words; `n` must be a multiple of 4.
uint32_t stream_word_sum(const uint8_t* p, std::size_t n);

// One frame; its bytes follow the node in the same allocation.
struct FrameNode {
    FrameNode* prev;
    FrameNode* next;
    vx_stream_frame_info info;
    uint32_t filled;
    uint32_t cap;

    uint8_t* data() { return reinterpret_cast<uint8_t*>(this + 1); }
    const uint8_t* data() const { return reinterpret_cast<const uint8_t*>(this + 1); }
    bool full() const { return filled == cap; }
};

struct FrameList {
    FrameNode* head = nullptr;
    FrameNode* tail = nullptr;
    uint32_t count = 0;

    void push_back(FrameNode* n);
    FrameNode* pop_front();
    void unlink(FrameNode* n);
};

class StreamParser {
  public:
    using AllocFn = void* (*)(std::size_t);

    explicit StreamParser(const vx_stream_cfg& cfg);
    ~StreamParser();
    StreamParser(const StreamParser&) = delete;
    StreamParser& operator=(const StreamParser&) = delete;

    bool feed(const uint8_t* data, std::size_t n);
    uint32_t fetch(void* dst, uint32_t dst_len, uint32_t count, vx_stream_frame_info* info, bool peek);
    void reset();
    vx_stream_state state() const;
    vx_stream_cfg cfg() const { return {max_frames_.load(std::memory_order_relaxed)}; }
    void set_cfg(const vx_stream_cfg& c) { max_frames_.store(c.max_frames, std::memory_order_relaxed); }

    // Lets tests make frame node allocation fail; null restores malloc.
    void set_node_alloc(AllocFn fn);

  private:
    // Statistics words; stored atomically because the feeder bumps some without the lock
    // while readers copy them under it.
    enum Stat {
        kAssembled,
        kMoved,
        kDiscarded,
        kDropped,
        kReady,
        kRes0,
        kSkipped,
        kRes1,
        kSec,
        kUsec,
        kStatCount
    };

    void bump(Stat s, uint32_t by = 1) { stats_[s].fetch_add(by, std::memory_order_relaxed); }
    uint32_t stat(Stat s) const { return stats_[s].load(std::memory_order_relaxed); }
    void zero_stats();

    std::size_t take_payload(const uint8_t* p, std::size_t n);
    void end_packet();
    std::size_t sync_hdr(const uint8_t* p, std::size_t n);
    std::size_t resync_held(const uint8_t* p, std::size_t n, std::size_t need);
    void accept_hdr(const uint8_t* bytes);
    void check_hdr();
    void frame_start_check();
    void packet_index_check();
    void sum_add(const uint8_t* p, std::size_t n);
    void sum_clear();
    void discard(FrameNode* n);
    void discard_cur_frame();
    uint32_t discard_packet_frames();  // returns how many frames went
    void add_data(const uint8_t* p, std::size_t n, bool verified);
    void list_refresh();
    FrameNode* cur_frame() const;
    static void release(FrameList& list);

    std::atomic<uint32_t> max_frames_;
    std::atomic<uint32_t> stats_[kStatCount];
    mutable std::shared_mutex mu_;  // the ready list and consistent statistics snapshots
    FrameList ready_;

    // The assembly state below is the feeder's; a reset from another thread (a capture started
    // again while the last run's transfers still report) takes it under feed_mu_ too.
    std::mutex feed_mu_;
    FrameList asm_;  // the frame under assembly, briefly also complete frames of this packet
    uint8_t hbuf_[kStreamHdrSize];
    uint32_t h_ = 0;       // header bytes held
    vx_stream_hdr hdr_{};  // decoded once a header is complete
    uint32_t p_ = 0;       // payload bytes received in this packet
    uint32_t s_ = 0;       // running data sum
    uint32_t carry_ = 0;   // bytes of a word split across pieces, little-endian
    uint32_t carry_n_ = 0;
    bool pd_ = false;  // payload done
    bool d_ = false;   // discard mode
    uint16_t k_ = 0;   // frames completed since the current header
    int32_t ps_ = -1;  // previous packet index, -1 unknown
    int32_t pf_ = -1;  // previous frame index, -1 unknown
    uint16_t t_ = 1;   // frame index step between packets
    AllocFn alloc_;
};

}  // namespace vx

struct vx_stream final : vx::StreamParser {
    using vx::StreamParser::StreamParser;
};
