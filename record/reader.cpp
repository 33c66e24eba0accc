// Recording reader: every size is checked against the file and the format's bounds before
// anything is allocated for it.
#include "record/reader.hpp"

#include <cerrno>
#include <cstring>

#include <zstd.h>

namespace vx::rec {

std::unique_ptr<Reader> Reader::open(const std::string& path, std::string& err) {
    std::unique_ptr<Reader> r(new Reader);
    r->file_ = std::fopen(path.c_str(), "rb");
    if (!r->file_) {
        err = path + ": " + std::strerror(errno);
        return nullptr;
    }
    if (std::fseek(r->file_, 0, SEEK_END) != 0) {
        err = path + ": cannot seek";
        return nullptr;
    }
    const long end = std::ftell(r->file_);
    r->size_ = end < 0 ? 0 : static_cast<uint64_t>(end);
    if (!r->init(err)) {
        err = path + ": " + err;
        return nullptr;
    }
    return r;
}

std::unique_ptr<Reader> Reader::open_memory(const uint8_t* data, size_t size, std::string& err) {
    std::unique_ptr<Reader> r(new Reader);
    r->mem_ = data;
    r->size_ = size;
    if (!r->init(err)) return nullptr;
    return r;
}

Reader::~Reader() {
    if (file_) std::fclose(file_);
    ZSTD_freeDCtx(static_cast<ZSTD_DCtx*>(dctx_));
}

bool Reader::read_at(uint64_t off, void* dst, size_t n) {
    if (off > size_ || n > size_ - off) return false;
    if (mem_) {
        std::memcpy(dst, mem_ + off, n);
        return true;
    }
    if (std::fseek(file_, static_cast<long>(off), SEEK_SET) != 0) return false;
    return std::fread(dst, 1, n, file_) == n;
}

bool Reader::init(std::string& err) {
    uint8_t head[kFileHeaderBytes];
    if (!read_at(0, head, sizeof head) || std::memcmp(head, kFileMagic, 8) != 0) {
        err = "not a vexel recording";
        return false;
    }
    In in(head + 8, sizeof head - 8);
    version_ = in.u32();
    const uint32_t head_bytes = in.u32();
    in.u64();  // wall-clock start, for people
    start_mono_ = in.u64();
    if (version_ < kOldestVersion || version_ > kVersion) {
        err = "recording format version " + std::to_string(version_) + " is not one this library reads (it reads " +
              std::to_string(kOldestVersion) + " to " + std::to_string(kVersion) + ")";
        return false;
    }
    if (head_bytes != kFileHeaderBytes) {
        err = "damaged file header";
        return false;
    }
    dctx_ = ZSTD_createDCtx();
    if (!dctx_) {
        err = "no memory for the decompressor";
        return false;
    }
    if (!from_index()) scan();
    if (chunks_.empty()) {
        err = damage_.empty() ? "the recording holds no chunk" : damage_;
        return false;
    }
    return true;
}

// The index is trusted only when it agrees with itself, with the file and with every chunk
// header it points at; otherwise the chunks are walked.
bool Reader::from_index() {
    if (size_ < kFileHeaderBytes + kEndBytes + 16) return false;
    uint8_t end[kEndBytes];
    if (!read_at(size_ - kEndBytes, end, sizeof end) || std::memcmp(end, kEndMagic, 8) != 0) return false;
    In e(end + 8, 8);
    const uint64_t at = e.u64();
    if (at < kFileHeaderBytes || at > size_ - kEndBytes - 16) {
        damage_ = "the index is damaged: chunks walked from the start";
        return false;
    }
    uint8_t ih[16];
    if (!read_at(at, ih, sizeof ih) || std::memcmp(ih, kIndexMagic, 4) != 0) {
        damage_ = "the index is damaged: chunks walked from the start";
        return false;
    }
    In i(ih + 4, 12);
    const uint32_t count = i.u32();
    const uint32_t sum = i.u32();
    if (count == 0 || count > kMaxChunks || uint64_t{count} * kIndexEntryBytes != size_ - kEndBytes - 16 - at) {
        damage_ = "the index is damaged: chunks walked from the start";
        return false;
    }
    std::vector<uint8_t> entries(size_t{count} * kIndexEntryBytes);
    if (!read_at(at + 16, entries.data(), entries.size()) || fnv1a(entries.data(), entries.size()) != sum) {
        damage_ = "the index is damaged: chunks walked from the start";
        return false;
    }
    In in(entries.data(), entries.size());
    std::vector<ChunkInfo> found;
    uint64_t next = kFileHeaderBytes;
    uint32_t frames = 0;
    for (uint32_t k = 0; k < count; ++k) {
        ChunkInfo c;
        c.offset = in.u64();
        const uint32_t first = in.u32();
        const uint32_t n = in.u32();
        in.u64();
        in.u32();
        in.u32();
        uint8_t hb[kChunkHeaderBytes];
        if (c.offset != next || !read_at(c.offset, hb, sizeof hb) || !get_chunk_header(hb, c.head) ||
            c.head.seq != k || c.head.first_frame != first || c.head.frames != n || first != frames ||
            c.head.stored > at - c.offset - kChunkHeaderBytes) {
            damage_ = "the index is damaged: chunks walked from the start";
            return false;
        }
        next = c.offset + kChunkHeaderBytes + c.head.stored;
        frames += n;
        found.push_back(c);
    }
    if (next != at) {
        damage_ = "the index is damaged: chunks walked from the start";
        return false;
    }
    chunks_ = std::move(found);
    frames_ = frames;
    damage_.clear();
    return true;
}

void Reader::scan() {
    const bool index_damaged = !damage_.empty();
    uint64_t off = kFileHeaderBytes;
    uint32_t frames = 0;
    for (;;) {
        if (off == size_) {
            damage_ = "the recording ends after chunk " + std::to_string(chunks_.size()) +
                      " without its index: it was not closed (cut off?)";
            break;
        }
        uint8_t hb[kChunkHeaderBytes];
        ChunkInfo c;
        c.offset = off;
        if (!read_at(off, hb, sizeof hb)) {
            damage_ = "the recording is cut off at byte " + std::to_string(off) + " inside chunk " +
                      std::to_string(chunks_.size());
            break;
        }
        if (std::memcmp(hb, kIndexMagic, 4) == 0) {
            damage_ = index_damaged ? "the index is damaged" : "the end mark is missing";
            break;
        }
        if (!get_chunk_header(hb, c.head) || c.head.seq != chunks_.size() || c.head.first_frame != frames ||
            chunks_.size() >= kMaxChunks) {
            damage_ = "damaged chunk header at byte " + std::to_string(off) + " (chunk " +
                      std::to_string(chunks_.size()) + ")";
            break;
        }
        if (c.head.stored > size_ - off - kChunkHeaderBytes) {
            damage_ = "the recording is cut off at byte " + std::to_string(size_) + " inside chunk " +
                      std::to_string(chunks_.size());
            break;
        }
        chunks_.push_back(c);
        frames += c.head.frames;
        off += kChunkHeaderBytes + c.head.stored;
    }
    frames_ = frames;
}

bool split_records(const std::vector<uint8_t>& raw, std::vector<RecordView>& out) {
    out.clear();
    In in(raw.data(), raw.size());
    while (in.left() > 0) {
        const uint8_t kind = in.u8();
        in.u8();
        in.u16();
        const uint32_t size = in.u32();
        const uint8_t* body = in.take(size);
        if (!body) return false;
        out.push_back({static_cast<Kind>(kind), body, size});
    }
    return true;
}

bool Reader::load(size_t i, std::vector<uint8_t>& raw, std::vector<RecordView>& records, std::string& err) {
    const std::string where = "chunk " + std::to_string(i);
    if (i >= chunks_.size()) {
        err = where + " does not exist";
        return false;
    }
    const ChunkInfo& c = chunks_[i];
    const uint32_t known = version_ >= 2 ? kChunkKnownFlags : kChunkHasSettings;
    if (c.head.flags & ~known) {
        err = where + " is stored in a way this library does not read (flags " + std::to_string(c.head.flags) + ")";
        return false;
    }
    if (c.head.raw > kMaxChunkRaw) {
        err = where + " is damaged: " + std::to_string(c.head.raw) + " bytes claimed";
        return false;
    }
    stored_.resize(c.head.stored);
    if (!read_at(c.offset + kChunkHeaderBytes, stored_.data(), stored_.size())) {
        err = where + " cannot be read";
        return false;
    }
    const unsigned long long content = ZSTD_getFrameContentSize(stored_.data(), stored_.size());
    if (content != c.head.raw) {  // the writer always states it; also bounds what is allocated
        err = where + " is damaged: its sizes disagree";
        return false;
    }
    raw.resize(c.head.raw);
    const size_t n =
        ZSTD_decompressDCtx(static_cast<ZSTD_DCtx*>(dctx_), raw.data(), raw.size(), stored_.data(), stored_.size());
    if (ZSTD_isError(n) || n != c.head.raw) {
        err = where + " is damaged: " + (ZSTD_isError(n) ? ZSTD_getErrorName(n) : "short");
        return false;
    }
    if (!split_records(raw, records) || records.size() != c.head.records) {
        err = where + " is damaged: its records do not add up";
        return false;
    }
    uint32_t frames = 0;
    for (const RecordView& r : records) {
        if (r.kind != Kind::frame) continue;
        ++frames;
        if ((c.head.flags & kChunkFramePlanes) && r.size > kFrameFixedBytes) {
            // The record lies inside `raw`, which this call owns: joined in place.
            auto* bytes = raw.data() + (r.body - raw.data()) + kFrameFixedBytes;
            const size_t len = r.size - kFrameFixedBytes;
            planes_.resize(len);
            std::memcpy(planes_.data(), bytes, len);
            join_planes(planes_.data(), len, bytes);
        }
    }
    if (frames != c.head.frames) {
        err = where + " is damaged: its frame count does not add up";
        return false;
    }
    return true;
}

}  // namespace vx::rec
