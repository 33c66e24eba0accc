// Reads a recording: checks the file header, finds the chunks through the index or, when the
// file was cut off, by walking them from the start, and decodes one chunk at a time.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "record/format.hpp"

namespace vx::rec {

struct ChunkInfo {
    uint64_t offset = 0;
    ChunkHeader head;
};

class Reader {
public:
    // Null with `err` set when the file is missing, not a recording, of a version this reader
    // does not know, or has no complete chunk at all.
    static std::unique_ptr<Reader> open(const std::string& path, std::string& err);
    // The same over bytes in memory (the fuzz target).
    static std::unique_ptr<Reader> open_memory(const uint8_t* data, size_t size, std::string& err);
    ~Reader();
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    uint32_t version() const { return version_; }
    uint64_t start_mono_ns() const { return start_mono_; }
    const std::vector<ChunkInfo>& chunks() const { return chunks_; }
    uint32_t frames() const { return frames_; }
    // Set when the file ends early or its index was unusable: where and why, for the user.
    const std::string& damage() const { return damage_; }

    // Decompresses chunk `i` into `raw` and splits it into records (views into `raw`).
    // False with `err` set when the chunk is damaged.
    bool load(size_t i, std::vector<uint8_t>& raw, std::vector<RecordView>& records, std::string& err);

private:
    Reader() = default;
    bool init(std::string& err);
    bool read_at(uint64_t off, void* dst, size_t n);
    bool from_index();
    void scan();

    std::FILE* file_ = nullptr;
    const uint8_t* mem_ = nullptr;
    uint64_t size_ = 0;
    uint32_t version_ = 0;
    uint64_t start_mono_ = 0;
    std::vector<ChunkInfo> chunks_;
    uint32_t frames_ = 0;
    std::string damage_;
    void* dctx_ = nullptr;
    std::vector<uint8_t> stored_;
    std::vector<uint8_t> planes_;  // a frame's stored planes while they are joined
};

// Split of a decompressed chunk into its records: false when a record runs past the end.
bool split_records(const std::vector<uint8_t>& raw, std::vector<RecordView>& out);

}  // namespace vx::rec
