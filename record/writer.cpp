// Recording writer: chunking, compression, the index and the end mark.
#include "record/writer.hpp"

#include <chrono>
#include <cstring>
#include <ctime>

#include <zstd.h>

namespace vx::rec {

namespace {

void copy_message(vexel_rec_stats& s, const std::string& text) {
    std::snprintf(s.message, sizeof s.message, "%s", text.c_str());
}

uint64_t wall_us() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

}  // namespace

std::unique_ptr<Writer> Writer::create(const std::string& path, const WriterOptions& opt, uint64_t mono_ns,
                                       std::string& err) {
    std::unique_ptr<Writer> w(new Writer);
    w->opt_ = opt;
    w->file_ = std::fopen(path.c_str(), "wb");
    if (!w->file_) {
        err = path + ": " + std::strerror(errno);
        return nullptr;
    }
    w->cctx_ = ZSTD_createCCtx();
    if (!w->cctx_) {
        err = "no memory for the compressor";
        return nullptr;
    }
    ZSTD_CCtx_setParameter(static_cast<ZSTD_CCtx*>(w->cctx_), ZSTD_c_compressionLevel, opt.level);
    // Each chunk carries its own content checksum: a damaged chunk is found, not decoded.
    ZSTD_CCtx_setParameter(static_cast<ZSTD_CCtx*>(w->cctx_), ZSTD_c_checksumFlag, 1);
    Out head;
    head.raw(kFileMagic, 8);
    head.u32(kVersion);
    head.u32(kFileHeaderBytes);
    head.u64(wall_us());
    head.u64(mono_ns);
    if (std::fwrite(head.bytes.data(), 1, head.bytes.size(), w->file_) != head.bytes.size() ||
        std::fflush(w->file_) != 0) {
        err = path + ": " + std::strerror(errno);
        return nullptr;
    }
    w->offset_ = kFileHeaderBytes;
    w->stats_.file_bytes = kFileHeaderBytes;
    w->thread_ = std::thread([p = w.get()] { p->run(); });
    return w;
}

Writer::~Writer() {
    if (thread_.joinable()) finish();
    if (file_) std::fclose(file_);
    ZSTD_freeCCtx(static_cast<ZSTD_CCtx*>(cctx_));
}

bool Writer::push(Kind kind, std::vector<uint8_t>&& body, bool droppable) {
    {
        std::lock_guard lock(mu_);
        if (stats_.failed || finishing_) return false;
        if (droppable && queued_bytes_ + body.size() > opt_.queue_bytes) {
            ++stats_.frames_lost;
            return false;
        }
        queued_bytes_ += body.size();
        queue_.push_back({kind, std::move(body), false});
    }
    cv_.notify_one();
    return true;
}

std::vector<uint8_t> Writer::buffer(size_t size) {
    std::vector<uint8_t> b;
    {
        std::lock_guard lock(mu_);
        if (!spare_.empty()) {
            b = std::move(spare_.back());
            spare_.pop_back();
        }
    }
    b.resize(size);  // no fill when it had this size: frames of a run are alike
    return b;
}

void Writer::cut() {
    {
        std::lock_guard lock(mu_);
        queue_.push_back({Kind::identity, {}, true});
    }
    cv_.notify_one();
}

void Writer::fail(const std::string& why) {
    std::lock_guard lock(mu_);
    if (stats_.failed) return;
    stats_.failed = 1;
    copy_message(stats_, why);
}

void Writer::stats(vexel_rec_stats& out) const {
    std::lock_guard lock(mu_);
    out = stats_;
}

void Writer::append(Pending& p) {
    if (raw_.empty()) {
        cur_ = ChunkHeader{};
        cur_.flags = kChunkFramePlanes;
        cur_.seq = static_cast<uint32_t>(index_.size());
        cur_.first_frame = frames_total_;
        cur_first_time_ = 0;
        cur_opened_ = std::chrono::steady_clock::now();
    }
    Out h;
    h.u8(static_cast<uint8_t>(p.kind));
    h.u8(0);
    h.u16(0);
    h.u32(static_cast<uint32_t>(p.body.size()));
    raw_.insert(raw_.end(), h.bytes.begin(), h.bytes.end());
    if (p.kind == Kind::frame && p.body.size() > kFrameFixedBytes) {
        const size_t at = raw_.size();
        raw_.resize(at + p.body.size());
        std::memcpy(raw_.data() + at, p.body.data(), kFrameFixedBytes);
        split_planes(p.body.data() + kFrameFixedBytes, p.body.size() - kFrameFixedBytes,
                     raw_.data() + at + kFrameFixedBytes);
    } else {
        raw_.insert(raw_.end(), p.body.begin(), p.body.end());
    }
    ++cur_.records;
    if (p.kind == Kind::frame) {
        if (cur_.frames == 0) {
            In in(p.body.data(), p.body.size());
            cur_first_time_ = in.u64();
        }
        ++cur_.frames;
        ++frames_total_;
    }
    if (p.kind == Kind::reg_write || p.kind == Kind::param_set) cur_.flags |= kChunkHasSettings;
}

bool Writer::write_chunk() {
    if (raw_.empty()) return true;
    auto* cctx = static_cast<ZSTD_CCtx*>(cctx_);
    packed_.resize(kChunkHeaderBytes + ZSTD_compressBound(raw_.size()));
    const size_t n = ZSTD_compress2(cctx, packed_.data() + kChunkHeaderBytes, packed_.size() - kChunkHeaderBytes,
                                    raw_.data(), raw_.size());
    if (ZSTD_isError(n)) {
        fail(std::string("compression failed: ") + ZSTD_getErrorName(n));
        return false;
    }
    cur_.raw = static_cast<uint32_t>(raw_.size());
    cur_.stored = static_cast<uint32_t>(n);
    put_chunk_header(packed_.data(), cur_);
    const size_t total = kChunkHeaderBytes + n;
    // One write and a flush per chunk: a file cut off later still holds every chunk before.
    if (std::fwrite(packed_.data(), 1, total, file_) != total || std::fflush(file_) != 0) {
        fail(std::string("write failed: ") + std::strerror(errno));
        return false;
    }
    index_.push_back({offset_, cur_, cur_first_time_});
    offset_ += total;
    {
        std::lock_guard lock(mu_);
        stats_.chunks = static_cast<uint32_t>(index_.size());
        stats_.raw_bytes += raw_.size();
        stats_.file_bytes = offset_;
        stats_.frames += cur_.frames;
    }
    raw_.clear();
    return true;
}

void Writer::run() {
    std::unique_lock lock(mu_);
    for (;;) {
        if (queue_.empty()) {
            if (finishing_) break;
            if (!raw_.empty()) {
                const auto due = cur_opened_ + std::chrono::milliseconds(opt_.chunk_ms);
                if (cv_.wait_until(lock, due) == std::cv_status::timeout && queue_.empty() && !raw_.empty()) {
                    lock.unlock();
                    write_chunk();
                    lock.lock();
                }
            } else {
                cv_.wait(lock);
            }
            continue;
        }
        Pending p = std::move(queue_.front());
        queue_.pop_front();
        queued_bytes_ -= p.body.size();
        const bool failed = stats_.failed != 0;
        lock.unlock();
        if (!failed) {
            if (p.cut) {
                write_chunk();
            } else {
                append(p);
                if (p.kind == Kind::frame) {
                    std::lock_guard l(mu_);
                    if (spare_.size() < 4) spare_.push_back(std::move(p.body));
                }
                if (p.kind == Kind::event) {
                    std::lock_guard l(mu_);
                    ++stats_.events;
                } else if (p.kind == Kind::reg_write || p.kind == Kind::param_set) {
                    std::lock_guard l(mu_);
                    ++stats_.settings;
                }
                const bool old = std::chrono::steady_clock::now() - cur_opened_ >=
                                 std::chrono::milliseconds(opt_.chunk_ms);
                if (raw_.size() >= opt_.chunk_bytes || old) write_chunk();
            }
        }
        lock.lock();
    }
}

bool Writer::finish() {
    {
        std::lock_guard lock(mu_);
        finishing_ = true;
    }
    cv_.notify_one();
    if (thread_.joinable()) thread_.join();
    if (!file_) return false;
    {
        std::lock_guard lock(mu_);
        if (stats_.failed) return false;
    }
    if (!write_chunk()) return false;
    Out entries;
    for (const IndexEntry& e : index_) {
        entries.u64(e.offset);
        entries.u32(e.head.first_frame);
        entries.u32(e.head.frames);
        entries.u64(e.first_time);
        entries.u32(e.head.flags);
        entries.u32(0);
    }
    Out block;
    block.raw(kIndexMagic, 4);
    block.u32(static_cast<uint32_t>(index_.size()));
    block.u32(fnv1a(entries.bytes.data(), entries.bytes.size()));
    block.u32(0);
    block.raw(entries.bytes.data(), entries.bytes.size());
    block.raw(kEndMagic, 8);
    block.u64(offset_);
    const bool ok = std::fwrite(block.bytes.data(), 1, block.bytes.size(), file_) == block.bytes.size() &&
                    std::fflush(file_) == 0;
    const bool closed = std::fclose(file_) == 0;
    file_ = nullptr;
    if (!ok || !closed) {
        fail(std::string("write failed: ") + std::strerror(errno));
        return false;
    }
    std::lock_guard lock(mu_);
    stats_.file_bytes = offset_ + block.bytes.size();
    return true;
}

}  // namespace vx::rec
