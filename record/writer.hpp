// Writes a recording: records are queued from any thread, a writer thread packs them into
// zstd-compressed chunks, appends each to the file as soon as it is cut, and ends the file with
// the chunk index.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <vexel/record.h>

#include "record/format.hpp"

namespace vx::rec {

struct WriterOptions {
    int level = 1;
    uint32_t chunk_bytes = 4u << 20;
    uint32_t chunk_ms = 500;
    uint64_t queue_bytes = 64u << 20;
};

class Writer {
public:
    // Null with `err` set when the file cannot be created.
    static std::unique_ptr<Writer> create(const std::string& path, const WriterOptions& opt, uint64_t mono_ns,
                                          std::string& err);
    ~Writer();
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    // Queues one record. A droppable record (a frame) is refused, and counted lost, while the
    // queue holds more than the option allows. False when refused or writing already failed.
    bool push(Kind kind, std::vector<uint8_t>&& body, bool droppable);
    // A frame body the writer is done with, `size` bytes long (contents undefined): frames
    // reuse buffers rather than map and fault in fresh pages for each.
    std::vector<uint8_t> buffer(size_t size);
    // Asks the writer to cut the chunk after what is queued now.
    void cut();
    // Writes the rest, the index and the end mark; true when the file is complete.
    bool finish();
    void stats(vexel_rec_stats& out) const;

private:
    Writer() = default;
    struct Pending {
        Kind kind;
        std::vector<uint8_t> body;  // empty with kind 0: a cut
        bool cut = false;
    };
    struct IndexEntry {
        uint64_t offset;
        ChunkHeader head;
        uint64_t first_time;
    };
    void run();
    void append(Pending& p);
    bool write_chunk();
    void fail(const std::string& why);

    std::FILE* file_ = nullptr;
    WriterOptions opt_;
    std::thread thread_;
    mutable std::mutex mu_;
    std::condition_variable cv_;
    std::deque<Pending> queue_;
    uint64_t queued_bytes_ = 0;
    bool finishing_ = false;
    vexel_rec_stats stats_{};
    std::vector<std::vector<uint8_t>> spare_;  // frame bodies appended already

    // Writer thread only.
    void* cctx_ = nullptr;
    std::vector<uint8_t> raw_;  // records of the open chunk
    ChunkHeader cur_{};
    uint64_t cur_first_time_ = 0;
    std::chrono::steady_clock::time_point cur_opened_{};
    uint32_t frames_total_ = 0;
    uint64_t offset_ = 0;
    std::vector<IndexEntry> index_;
    std::vector<uint8_t> packed_;
};

}  // namespace vx::rec
