// The recording file's layout (docs/recording-format.md): constants, record kinds and the
// little-endian field helpers the writer and the reader share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace vx::rec {

inline constexpr char kFileMagic[8] = {'V', 'X', 'R', 'E', 'C', 0, '\r', '\n'};
inline constexpr char kChunkMagic[4] = {'V', 'X', 'C', 'K'};
inline constexpr char kIndexMagic[4] = {'V', 'X', 'I', 'X'};
inline constexpr char kEndMagic[8] = {'V', 'X', 'E', 'N', 'D', 0, '\r', '\n'};
// Version 2 added chunk flag kChunkFramePlanes; a reader takes both.
inline constexpr uint32_t kVersion = 2;
inline constexpr uint32_t kOldestVersion = 1;

inline constexpr size_t kFileHeaderBytes = 32;
inline constexpr size_t kChunkHeaderBytes = 32;
inline constexpr size_t kIndexEntryBytes = 32;
inline constexpr size_t kEndBytes = 16;
inline constexpr size_t kRecordHeaderBytes = 8;

// Bounds a reader checks before it allocates anything.
inline constexpr uint32_t kMaxChunkRaw = 256u << 20;     // decompressed chunk
inline constexpr uint32_t kMaxFrameBytes = 0x8000000;    // what the stream header allows
inline constexpr uint32_t kMaxChunks = 1u << 24;
inline constexpr uint32_t kMaxRegisters = 1u << 16;      // in one register block or write
inline constexpr uint32_t kMaxParams = 256;
inline constexpr uint32_t kMaxNameBytes = 255;

enum class Kind : uint8_t {
    identity = 1,   // parameters 2, 3, 5, 6, 7, 8 as the camera answered them
    settings = 2,   // parameters and sensor registers when recording started
    lens = 3,       // the driver's lens parameters
    file = 4,       // a calibration or lens file from the path prefix
    frame = 5,      // one frame as the host assembled it
    event = 6,      // a capture error or a parser discard
    reg_write = 7,  // registers written during the recording
    param_set = 8,  // parameters written during the recording
};

// Chunk flags.
inline constexpr uint32_t kChunkHasSettings = 1;  // holds register or parameter writes
// The bytes of each frame record are stored as two planes: the even bytes, then the odd ones
// (then an odd length's last byte). The 12-bit samples' high bytes are nearly constant, and
// apart from the noisy low bytes zstd finds them far sooner than interleaved.
inline constexpr uint32_t kChunkFramePlanes = 2;
inline constexpr uint32_t kChunkKnownFlags = kChunkHasSettings | kChunkFramePlanes;

// Frame bytes to planes and back; `out` must not overlap `in`.
inline void split_planes(const uint8_t* in, size_t n, uint8_t* out) {
    const size_t h = n / 2;
    uint8_t* hi = out + h;
    for (size_t i = 0; i < h; ++i) {
        out[i] = in[2 * i];
        hi[i] = in[2 * i + 1];
    }
    if (n % 2) out[n - 1] = in[n - 1];
}
inline void join_planes(const uint8_t* in, size_t n, uint8_t* out) {
    const size_t h = n / 2;
    const uint8_t* hi = in + h;
    for (size_t i = 0; i < h; ++i) {
        out[2 * i] = in[i];
        out[2 * i + 1] = hi[i];
    }
    if (n % 2) out[n - 1] = in[n - 1];
}

inline uint32_t fnv1a(const uint8_t* p, size_t n) {
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 16777619u;
    return h;
}

class Out {
public:
    std::vector<uint8_t> bytes;
    void u8(uint8_t v) { bytes.push_back(v); }
    void u16(uint16_t v) { put(v, 2); }
    void u32(uint32_t v) { put(v, 4); }
    void u64(uint64_t v) { put(v, 8); }
    void f64(double v) {
        uint64_t b;
        std::memcpy(&b, &v, 8);
        u64(b);
    }
    void raw(const void* p, size_t n) {
        const auto* b = static_cast<const uint8_t*>(p);
        bytes.insert(bytes.end(), b, b + n);
    }

private:
    void put(uint64_t v, int n) {
        for (int i = 0; i < n; ++i) bytes.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
};

// Reads fields from a bounded span; any read past the end marks it bad and yields zeros.
class In {
public:
    In(const uint8_t* p, size_t n) : p_(p), n_(n) {}
    bool ok() const { return ok_; }
    size_t left() const { return n_ - at_; }
    uint8_t u8() { return static_cast<uint8_t>(get(1)); }
    uint16_t u16() { return static_cast<uint16_t>(get(2)); }
    uint32_t u32() { return static_cast<uint32_t>(get(4)); }
    uint64_t u64() { return get(8); }
    double f64() {
        const uint64_t b = get(8);
        double v;
        std::memcpy(&v, &b, 8);
        return v;
    }
    // Pointer to the next n bytes, or null (and bad) when fewer remain.
    const uint8_t* take(size_t n) {
        if (!ok_ || n > n_ - at_) {
            ok_ = false;
            return nullptr;
        }
        const uint8_t* r = p_ + at_;
        at_ += n;
        return r;
    }

private:
    uint64_t get(int n) {
        const uint8_t* b = take(static_cast<size_t>(n));
        uint64_t v = 0;
        if (b)
            for (int i = 0; i < n; ++i) v |= uint64_t{b[i]} << (8 * i);
        return v;
    }
    const uint8_t* p_;
    size_t n_;
    size_t at_ = 0;
    bool ok_ = true;
};

// One record of a decompressed chunk: its kind and body.
struct RecordView {
    Kind kind;
    const uint8_t* body;
    uint32_t size;
};

// Frame record body: receive time, the raw frame information, then the frame bytes.
inline constexpr size_t kFrameFixedBytes = 8 + 20;

struct ChunkHeader {
    uint32_t seq = 0;
    uint32_t stored = 0;  // compressed bytes that follow the header
    uint32_t raw = 0;     // bytes after decompression
    uint32_t records = 0;
    uint32_t first_frame = 0;
    uint32_t frames = 0;
    uint32_t flags = 0;
};

inline void put_chunk_header(uint8_t* out, const ChunkHeader& c) {
    Out o;
    o.raw(kChunkMagic, 4);
    o.u32(c.seq);
    o.u32(c.stored);
    o.u32(c.raw);
    o.u32(c.records);
    o.u32(c.first_frame);
    o.u32(c.frames);
    o.u32(0);
    std::memcpy(out, o.bytes.data(), kChunkHeaderBytes);
    // The flags share the last word with the header checksum: flags in the low byte.
    const uint32_t sum = fnv1a(out, 28) & 0xFFFFFF00u;
    const uint32_t tail = sum | (c.flags & 0xFF);
    for (int i = 0; i < 4; ++i) out[28 + i] = static_cast<uint8_t>(tail >> (8 * i));
}

// False when the bytes are not a chunk header (magic or checksum).
inline bool get_chunk_header(const uint8_t* in, ChunkHeader& c) {
    if (std::memcmp(in, kChunkMagic, 4) != 0) return false;
    In i(in + 4, kChunkHeaderBytes - 4);
    c.seq = i.u32();
    c.stored = i.u32();
    c.raw = i.u32();
    c.records = i.u32();
    c.first_frame = i.u32();
    c.frames = i.u32();
    const uint32_t tail = i.u32();
    uint8_t copy[kChunkHeaderBytes];
    std::memcpy(copy, in, kChunkHeaderBytes);
    std::memset(copy + 28, 0, 4);
    if ((fnv1a(copy, 28) & 0xFFFFFF00u) != (tail & 0xFFFFFF00u)) return false;
    c.flags = tail & 0xFF;
    return true;
}

}  // namespace vx::rec
