// Playback: a transport table beside USB that answers from a recording. The device core opens
// it like a camera (vx::open_device with this table); capture start runs a feeder thread that
// turns the recorded frames back into the camera's packet stream and hands it to the capture
// callback, so the device's own parser, error handling and delivery run as they did live.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include <vexel/record.h>
#include <vexel/stream.h>
#include <vexel/transport.h>

#include "core/device.hpp"
#include "core/log.hpp"
#include "core/path.hpp"
#include "record/reader.hpp"
#include "record/records.hpp"

namespace vx::rec {

namespace {

constexpr uint32_t kPacketPayload = 0x80000;  // below the header's 0x100000 bound
constexpr uint32_t kDiscardFrameBytes = 16;   // the stand-in for a frame the host discarded

uint16_t fletcher16(const uint8_t* p, size_t n) {
    unsigned s1 = 0, s2 = 0;
    for (size_t i = 0; i < n; ++i) {
        s1 = (s1 + p[i]) % 255;
        s2 = (s2 + s1) % 255;
    }
    return static_cast<uint16_t>(s1 | (s2 << 8));
}

void put_header(uint8_t* h, uint16_t sidx, uint32_t len, const vx_stream_frame_info& f, bool start) {
    Out o;
    o.u16(VX_STREAM_MAGIC);
    o.u16(sidx);
    o.u32(len);
    o.u32(f.frlen);
    o.u16(f.fridx);
    o.u16(f.frfmt);
    o.u16(f.width);
    o.u16(f.height);
    o.u16(static_cast<uint16_t>(f.sensor_temp));
    o.u16(static_cast<uint16_t>(f.illum_temp));
    o.u32(f.spare);
    o.u32(0);
    o.u8(start ? 1 : 0);
    o.u8(0);
    std::memcpy(h, o.bytes.data(), 34);
    const uint16_t sum = fletcher16(h, 34);
    h[34] = static_cast<uint8_t>(sum);
    h[35] = static_cast<uint8_t>(sum >> 8);
}

uint64_t reg_key(uint8_t target, uint32_t index) { return (uint64_t{target} << 32) | index; }

bool same_param(const vexel_ll_param_rec& a, const vexel_ll_param_rec& b) {
    return a.len == b.len && std::memcmp(a.val, b.val, sizeof a.val) == 0;
}

}  // namespace

class Player {
public:
    static std::unique_ptr<Player> open(const std::string& path, std::string& err);

    // Transport operations.
    bool prepare_files();
    bool param_get(vexel_ll_param_rec* recs, int count);
    bool param_set(const vexel_ll_param_rec* recs, int count);
    bool reg_read(uint8_t target, uint32_t base, uint32_t* values, uint16_t count);
    bool reg_write(uint8_t target, uint32_t base, const uint32_t* values, uint16_t count);
    bool start(vexel_ll_dev* ll, vexel_ll_cap_cb cb, void* user);
    void stop();
    void abort() {
        stop_.store(true);
        wake_.notify_all();
    }

    // The device open is over: from now on a write that would change a recorded value fails.
    void opened() {
        std::lock_guard lock(state_mu_);
        opening_ = false;
    }
    void set(int pacing, bool loop) {
        pacing_.store(pacing);
        loop_.store(loop);
        wake_.notify_all();
    }
    bool seek(uint32_t frame);
    void info(vexel_play_info& out);

private:
    Player() = default;
    void reset_state();
    void apply(const RecordView& r);
    bool seek_now(uint32_t frame, std::string& err);
    // The next record of the playback position; false at the end or on damage (err set then).
    bool next(RecordView& out, std::string& err);
    void run();
    bool pace(const FrameRec& f);
    // The camera's frame period from its recorded frame rate, or zero when none is recorded.
    std::chrono::nanoseconds frame_period();
    void emit_frame(const FrameRec& f);
    void emit_discards(uint32_t total);
    void emit(int code, const uint8_t* data, uint32_t len) {
        cb_(ll_, code, const_cast<uint8_t*>(data), static_cast<int>(len), user_);
    }

    std::string path_;
    std::unique_ptr<Reader> reader_;
    std::vector<vexel_ll_param_rec> identity_;
    Settings start_;
    std::vector<std::pair<FileRec, std::vector<uint8_t>>> files_;
    uint64_t first_time_ = 0, last_time_ = 0;

    // What the camera would answer now: guarded by state_mu_.
    std::mutex state_mu_;
    std::map<uint8_t, vexel_ll_param_rec> params_;
    std::map<uint64_t, uint32_t> regs_;
    bool opening_ = true;

    // Playback position: the feeder's while it runs, otherwise the caller's (pos_mu_).
    std::mutex pos_mu_;
    size_t chunk_ = 0;
    std::vector<uint8_t> raw_;
    std::vector<RecordView> records_;
    size_t record_ = 0;
    bool loaded_ = false;
    uint32_t next_frame_ = 0;
    std::optional<uint32_t> pending_seek_;
    bool running_ = false;
    uint32_t loops_ = 0;
    bool ended_ = false;
    std::string damage_;
    uint32_t last_discard_arg_ = 0;

    std::atomic<int> pacing_{VEXEL_PLAY_RECORDED_RATE};
    std::atomic<bool> loop_{false};
    std::atomic<bool> stop_{false};
    std::mutex wake_mu_;
    std::condition_variable wake_;
    std::thread feeder_;
    vexel_ll_dev* ll_ = nullptr;
    vexel_ll_cap_cb cb_ = nullptr;
    void* user_ = nullptr;
    uint16_t sidx_ = 0;
    uint16_t last_fridx_ = 0;
    // Pacing origin: the host time of the first frame given since start, seek or wrap.
    std::optional<std::pair<std::chrono::steady_clock::time_point, uint64_t>> origin_;
    // At the camera's rate: when the last frame given was due, and its index.
    std::optional<std::pair<std::chrono::steady_clock::time_point, uint16_t>> camera_due_;
    bool wrapped_ = false;  // the next frame starts a loop again: one period after the last
};

std::unique_ptr<Player> Player::open(const std::string& path, std::string& err) {
    std::unique_ptr<Player> p(new Player);
    p->path_ = path;
    p->reader_ = Reader::open(path, err);
    if (!p->reader_) return nullptr;
    bool have_identity = false, have_settings = false;
    // The start records fill the chunks before the first frame.
    for (size_t i = 0; i < p->reader_->chunks().size() && p->reader_->chunks()[i].head.frames == 0; ++i) {
        std::vector<uint8_t> raw;
        std::vector<RecordView> recs;
        if (!p->reader_->load(i, raw, recs, err)) return nullptr;
        for (const RecordView& r : recs) {
            bool ok = true;
            switch (r.kind) {
                case Kind::identity:
                    ok = decode_params(r, p->identity_);
                    have_identity = ok;
                    break;
                case Kind::settings:
                    ok = decode_settings(r, p->start_);
                    have_settings = ok;
                    break;
                case Kind::file: {
                    FileRec f;
                    ok = decode_file(r, f);
                    if (ok) {
                        std::vector<uint8_t> data(f.data, f.data + f.size);
                        f.data = nullptr;
                        p->files_.emplace_back(f, std::move(data));
                    }
                    break;
                }
                case Kind::lens: {
                    vexel_lens_param l{};
                    ok = decode_lens(r, l);
                    break;
                }
                default:
                    break;  // writes before the first frame are applied as playback reaches them
            }
            if (!ok) {
                err = "chunk " + std::to_string(i) + " is damaged: a start record does not decode";
                return nullptr;
            }
        }
    }
    if (!have_identity || !have_settings) {
        err = "the recording does not start with the camera's identity and settings";
        return nullptr;
    }
    // Receive times of the first and last frame, for the duration the info reports.
    const auto& cs = p->reader_->chunks();
    for (size_t i = 0; i < cs.size(); ++i) {
        if (cs[i].head.frames == 0) continue;
        std::vector<uint8_t> raw;
        std::vector<RecordView> recs;
        std::string e;
        if (!p->reader_->load(i, raw, recs, e)) break;
        for (const RecordView& r : recs) {
            FrameRec f;
            if (r.kind == Kind::frame && decode_frame(r, f)) {
                if (p->first_time_ == 0) p->first_time_ = f.time_ns;
                p->last_time_ = f.time_ns;
            }
        }
        if (p->first_time_ != 0) break;
    }
    if (!cs.empty() && cs.back().head.frames != 0) {
        std::vector<uint8_t> raw;
        std::vector<RecordView> recs;
        std::string e;
        if (p->reader_->load(cs.size() - 1, raw, recs, e))
            for (const RecordView& r : recs) {
                FrameRec f;
                if (r.kind == Kind::frame && decode_frame(r, f)) p->last_time_ = f.time_ns;
            }
    }
    p->reset_state();
    p->damage_ = p->reader_->damage();
    return p;
}

void Player::reset_state() {
    std::lock_guard lock(state_mu_);
    params_.clear();
    regs_.clear();
    for (const auto& p : identity_) params_[p.id] = p;
    for (const auto& p : start_.params) params_[p.id] = p;
    for (const RegBlock& b : start_.regs)
        for (size_t i = 0; i < b.values.size(); ++i) regs_[reg_key(b.target, b.base + static_cast<uint32_t>(i))] = b.values[i];
}

// A recorded write that the camera took changes what playback answers from then on.
void Player::apply(const RecordView& r) {
    if (r.kind == Kind::reg_write) {
        RegWriteRec w;
        if (!decode_reg_write(r, w) || !w.ok) return;
        std::lock_guard lock(state_mu_);
        for (size_t i = 0; i < w.block.values.size(); ++i)
            regs_[reg_key(w.block.target, w.block.base + static_cast<uint32_t>(i))] = w.block.values[i];
    } else if (r.kind == Kind::param_set) {
        ParamSetRec s;
        if (!decode_param_set(r, s) || !s.ok) return;
        std::lock_guard lock(state_mu_);
        for (const auto& p : s.params) params_[p.id] = p;
    }
}

// Files are put where the driver looks for them. A file of the same name with other contents
// is never overwritten: the decode would not be the recording's, so the open fails instead.
bool Player::prepare_files() {
    static const char* const fn = "vexel_dev_open_recording";
    for (const auto& [f, data] : files_) {
        const std::string path = vx::prefixed_path(f.name.c_str());
        std::vector<uint8_t> have;
        bool exists = false, same = false;
        if (std::FILE* in = std::fopen(path.c_str(), "rb")) {
            exists = true;
            have.resize(data.size() + 1);
            const size_t n = std::fread(have.data(), 1, have.size(), in);
            std::fclose(in);
            same = n == data.size() && std::equal(data.begin(), data.end(), have.begin());
        }
        if (same) continue;
        if (f.role == FileRole::lens_text) {
            // Not the camera's own file: another camera's work in this directory may use it.
            vx::logf(vx::kWrn, "[%s] %s %s: lens undistortion of the replay may differ from the recording's\n",
                     fn, path.c_str(), exists ? "differs from the recording's" : "is missing");
            continue;
        }
        if (exists) {
            vx::logf(vx::kErr, "[%s] %s holds another calibration than the recording %s: choose another path prefix\n",
                     fn, path.c_str(), path_.c_str());
            return false;
        }
        std::FILE* out = std::fopen(path.c_str(), "wb");
        const bool ok = out && std::fwrite(data.data(), 1, data.size(), out) == data.size();
        if (out && std::fclose(out) != 0) {
            vx::logf(vx::kErr, "[%s] cannot write %s\n", fn, path.c_str());
            return false;
        }
        if (!ok) {
            vx::logf(vx::kErr, "[%s] cannot write %s\n", fn, path.c_str());
            return false;
        }
        vx::logf(vx::kDbg, "[%s] calibration of the recording written to %s\n", fn, path.c_str());
    }
    return true;
}

bool Player::param_get(vexel_ll_param_rec* recs, int count) {
    std::lock_guard lock(state_mu_);
    for (int i = 0; i < count; ++i) {
        auto it = params_.find(recs[i].id);
        if (it == params_.end()) {
            vx::logf(vx::kErr, "[%s] parameter %d is not in the recording\n", "play_param_get", recs[i].id);
            return false;
        }
        recs[i] = it->second;
    }
    return true;
}

bool Player::param_set(const vexel_ll_param_rec* recs, int count) {
    std::lock_guard lock(state_mu_);
    if (opening_) return true;
    for (int i = 0; i < count; ++i) {
        auto it = params_.find(recs[i].id);
        if (it == params_.end() || !same_param(it->second, recs[i])) {
            vx::logf(vx::kErr, "[%s] playing a recording: parameter %d not written, the recorded settings stand\n",
                     "play_param_set", recs[i].id);
            return false;
        }
    }
    return true;
}

bool Player::reg_read(uint8_t target, uint32_t base, uint32_t* values, uint16_t count) {
    std::lock_guard lock(state_mu_);
    for (uint32_t i = 0; i < count; ++i) {
        auto it = regs_.find(reg_key(target, base + i));
        if (it == regs_.end()) {
            vx::logf(vx::kErr, "[%s] register %u of target %u is not in the recording\n", "play_reg_read", base + i,
                     static_cast<unsigned>(target));
            return false;
        }
        values[i] = it->second;
    }
    return true;
}

bool Player::reg_write(uint8_t target, uint32_t base, const uint32_t* values, uint16_t count) {
    std::lock_guard lock(state_mu_);
    if (opening_) return true;  // the driver's start-up programming: the recorded registers stand
    for (uint32_t i = 0; i < count; ++i) {
        auto it = regs_.find(reg_key(target, base + i));
        if (it == regs_.end() || it->second != values[i]) {
            vx::logf(vx::kErr, "[%s] playing a recording: register %u of target %u not written, the recorded settings stand\n",
                     "play_reg_write", base + i, static_cast<unsigned>(target));
            return false;
        }
    }
    return true;
}

bool Player::next(RecordView& out, std::string& err) {
    const auto& cs = reader_->chunks();
    for (;;) {
        if (!loaded_) {
            if (chunk_ >= cs.size()) {
                err = damage_;
                return false;
            }
            if (!reader_->load(chunk_, raw_, records_, err)) {
                damage_ = err;
                return false;
            }
            loaded_ = true;
            record_ = 0;
        }
        if (record_ < records_.size()) {
            out = records_[record_++];
            return true;
        }
        loaded_ = false;
        ++chunk_;
    }
}

bool Player::seek_now(uint32_t frame, std::string& err) {
    const auto& cs = reader_->chunks();
    if (frame >= reader_->frames()) {
        err = "frame " + std::to_string(frame) + " is beyond the recording's " + std::to_string(reader_->frames());
        return false;
    }
    reset_state();
    size_t target = 0;
    while (!(cs[target].head.frames > 0 && frame < cs[target].head.first_frame + cs[target].head.frames)) ++target;
    // Writes recorded before the frame set up the camera as it was then.
    std::vector<uint8_t> raw;
    std::vector<RecordView> recs;
    for (size_t i = 0; i < target; ++i) {
        if (!(cs[i].head.flags & kChunkHasSettings)) continue;
        if (!reader_->load(i, raw, recs, err)) return false;
        for (const RecordView& r : recs) apply(r);
    }
    chunk_ = target;
    loaded_ = false;
    RecordView r;
    if (!next(r, err)) return false;
    record_ = 0;
    uint32_t n = cs[target].head.first_frame;
    for (; record_ < records_.size(); ++record_) {
        const RecordView& rv = records_[record_];
        if (rv.kind == Kind::frame) {
            if (n == frame) break;
            ++n;
        } else {
            apply(rv);
        }
    }
    next_frame_ = frame;
    origin_.reset();
    camera_due_.reset();
    wrapped_ = false;
    ended_ = false;
    return true;
}

bool Player::seek(uint32_t frame) {
    std::lock_guard lock(pos_mu_);
    if (frame >= reader_->frames()) {
        vx::logf(vx::kErr, "[%s] frame %u is beyond the recording's %u\n", "vexel_play_seek", frame, reader_->frames());
        return false;
    }
    if (running_) {
        pending_seek_ = frame;
        wake_.notify_all();
        return true;
    }
    std::string err;
    if (!seek_now(frame, err)) {
        vx::logf(vx::kErr, "[%s] %s\n", "vexel_play_seek", err.c_str());
        return false;
    }
    return true;
}

void Player::info(vexel_play_info& out) {
    out = vexel_play_info{};
    std::lock_guard lock(pos_mu_);
    out.version = reader_->version();
    out.frames = reader_->frames();
    out.position = next_frame_;
    out.loops = loops_;
    out.duration_us = last_time_ > first_time_ ? (last_time_ - first_time_) / 1000 : 0;
    out.ended = ended_ ? 1 : 0;
    out.damaged = damage_.empty() ? 0 : 1;
    std::snprintf(out.message, sizeof out.message, "%s", damage_.c_str());
}

bool Player::start(vexel_ll_dev* ll, vexel_ll_cap_cb cb, void* user) {
    std::lock_guard lock(pos_mu_);
    if (running_) return false;
    if (feeder_.joinable()) feeder_.join();
    ll_ = ll;
    cb_ = cb;
    user_ = user;
    stop_.store(false);
    running_ = true;
    origin_.reset();
    camera_due_.reset();
    wrapped_ = false;
    feeder_ = std::thread([this] { run(); });
    return true;
}

void Player::stop() {
    abort();
    if (feeder_.joinable() && feeder_.get_id() != std::this_thread::get_id()) feeder_.join();
    std::lock_guard lock(pos_mu_);
    running_ = false;
}

std::chrono::nanoseconds Player::frame_period() {
    std::lock_guard lock(state_mu_);
    const auto it = params_.find(VX_PARAM_FPS);
    if (it == params_.end() || it->second.len < 4) return {};
    uint32_t fps = 0;
    for (int i = 3; i >= 0; --i) fps = fps << 8 | it->second.val[i];
    return fps > 0 && fps <= 10000 ? std::chrono::nanoseconds(1000000000 / fps) : std::chrono::nanoseconds{};
}

// Waits until frame `f` is due; false when asked to stop.
bool Player::pace(const FrameRec& f) {
    const uint64_t t = f.time_ns;
    auto* h = reinterpret_cast<vexel_dev_handle*>(ll_);  // the open record begins with the transport's
    std::unique_lock lock(wake_mu_);
    for (;;) {
        if (stop_.load()) return false;
        {
            std::lock_guard p(pos_mu_);
            if (pending_seek_) return true;
        }
        if (pacing_.load() == VEXEL_PLAY_AS_PULLED) {
            // The next frame once the application took the last one and asks again (or is
            // not inside a pull at all): a pull takes every frame that is ready and keeps only
            // what it asked for, so a frame given while it drains would be lost. The queue is
            // read first: a pull clears its wait before it takes a frame.
            vx_stream_state st{};
            vx_stream_get_state(h->stream, &st);
            if (st.frames_ready == 0 && (h->pull_waiting.load() > 0 || h->pulls.load() == 0)) {
                origin_.reset();
                return true;
            }
            wake_.wait_for(lock, std::chrono::microseconds(100));
            continue;
        }
        const auto now = std::chrono::steady_clock::now();
        if (const auto period = pacing_.load() == VEXEL_PLAY_CAMERA_RATE ? frame_period() : std::chrono::nanoseconds{};
            period.count() > 0) {
            // The camera's clock: the frames it counted since the last one given (a gap in the
            // index is time the camera spent on frames the recording lacks), one period each.
            auto due = now;
            if (camera_due_) {
                const uint16_t step = wrapped_ ? 1 : static_cast<uint16_t>(f.info.fridx - camera_due_->second);
                due = camera_due_->first + period * std::max<int>(step, 1);
                // A host that fell far behind starts again from now rather than catching up in a burst.
                if (now - due > std::chrono::seconds(1)) due = now;
            }
            if (now >= due) {
                camera_due_.emplace(due, f.info.fridx);
                wrapped_ = false;
                return true;
            }
            wake_.wait_until(lock, due);
            continue;
        }
        if (!origin_) origin_.emplace(now, t);
        const auto due = origin_->first + std::chrono::nanoseconds(t >= origin_->second ? t - origin_->second : 0);
        if (now >= due) return true;
        wake_.wait_until(lock, due);
    }
}

void Player::emit_frame(const FrameRec& f) {
    uint8_t head[VX_STREAM_HDR_SIZE];
    uint32_t done = 0;
    bool first = true;
    while (done < f.info.frlen) {
        const uint32_t len = std::min(kPacketPayload, f.info.frlen - done);
        put_header(head, sidx_++, len, f.info, first);
        emit(VX_LL_CAP_OK, head, sizeof head);
        emit(VX_LL_CAP_OK, f.bytes + done, len);
        done += len;
        first = false;
    }
    last_fridx_ = f.info.fridx;
}

// The host threw frames away here: a frame start whose frame never completes makes the
// device's parser count one discard when the next frame begins, as it did live.
void Player::emit_discards(uint32_t total) {
    const uint32_t n = total > last_discard_arg_ ? total - last_discard_arg_ : 1;
    last_discard_arg_ = total;
    static const uint8_t zeros[kDiscardFrameBytes / 2] = {};
    for (uint32_t i = 0; i < n && i < 1024; ++i) {
        vx_stream_frame_info f{};
        f.frlen = kDiscardFrameBytes;
        f.fridx = static_cast<uint16_t>(last_fridx_ + 1);
        f.frfmt = 2;
        uint8_t head[VX_STREAM_HDR_SIZE];
        put_header(head, sidx_++, sizeof zeros, f, true);
        emit(VX_LL_CAP_OK, head, sizeof head);
        emit(VX_LL_CAP_OK, zeros, sizeof zeros);
    }
}

void Player::run() {
    static const char* const fn = "vexel_play";
    for (;;) {
        if (stop_.load()) break;
        RecordView r{};
        std::string err;
        bool have;
        {
            std::lock_guard lock(pos_mu_);
            if (pending_seek_) {
                const uint32_t to = *pending_seek_;
                pending_seek_.reset();
                if (!seek_now(to, err)) vx::logf(vx::kErr, "[%s] %s\n", "vexel_play_seek", err.c_str());
            }
            have = next(r, err);
            if (!have && err.empty() && loop_.load() && reader_->frames() > 0) {
                ++loops_;
                const auto last = camera_due_;
                have = seek_now(0, err) && next(r, err);
                camera_due_ = last;
                wrapped_ = true;
            }
            if (!have) ended_ = true;
        }
        if (!have) {
            if (!err.empty()) {
                vx::logf(vx::kErr, "[%s] %s: %s\n", fn, path_.c_str(), err.c_str());
                emit(VX_LL_CAP_ERROR, nullptr, 0);
            } else {
                emit(VX_LL_CAP_CANCELLED, nullptr, 0);  // the end: capture stops as when the host stops it
            }
            break;
        }
        switch (r.kind) {
            case Kind::frame: {
                FrameRec f;
                if (!decode_frame(r, f)) {
                    std::lock_guard lock(pos_mu_);
                    damage_ = "chunk " + std::to_string(chunk_) + " is damaged: a frame record does not decode";
                    ended_ = true;
                    vx::logf(vx::kErr, "[%s] %s: %s\n", fn, path_.c_str(), damage_.c_str());
                    emit(VX_LL_CAP_ERROR, nullptr, 0);
                    return;
                }
                if (!pace(f)) return;
                {
                    std::lock_guard lock(pos_mu_);
                    if (pending_seek_) {
                        --record_;  // the seek decides what comes next
                        continue;
                    }
                }
                emit_frame(f);
                std::lock_guard lock(pos_mu_);
                ++next_frame_;
                break;
            }
            case Kind::event: {
                EventRec e;
                if (!decode_event(r, e)) break;
                if (e.code == 3)
                    emit_discards(e.arg);
                else if (e.code < 0)
                    emit(e.code, nullptr, 0);
                break;
            }
            default:
                apply(r);
                break;
        }
    }
}

namespace {

Player* player_of(vexel_ll_dev* dev) { return dev ? static_cast<Player*>(dev->priv) : nullptr; }

const char* const kNotOnRecording = "[%s] not available when playing a recording\n";

int op_init(void) { return 1; }
void op_uninit(void) {}
void op_set_debug(unsigned) {}

vexel_ll_dev* op_dev_open(vexel_ll_dev* dev) {
    Player* p = player_of(dev);
    if (!p) return nullptr;
    if (!p->prepare_files()) {
        delete p;
        dev->priv = nullptr;
        return nullptr;
    }
    return dev;
}

vexel_ll_dev* op_dev_open_by_fd(vexel_ll_dev*) { return nullptr; }

void op_dev_close(vexel_ll_dev* dev) {
    if (Player* p = player_of(dev)) {
        p->stop();
        delete p;
    }
    dev->priv = nullptr;
}

int op_dev_list(vexel_ll_dev*, int) { return 0; }

int op_exe_cmd(vexel_ll_dev*, uint8_t, uint8_t, uint16_t, void*, uint16_t, uint32_t) {
    vx::logf(vx::kErr, kNotOnRecording, "play_exe_cmd");
    return 0;
}

int op_check_last_cmd(vexel_ll_dev*, uint8_t, uint8_t) { return 0; }

void op_cap_abort(vexel_ll_dev* dev) {
    if (Player* p = player_of(dev)) p->abort();
}

int op_cap_start(vexel_ll_dev* dev, uint32_t, vexel_ll_cap_cb cb, void* user) {
    Player* p = player_of(dev);
    return p && cb && p->start(dev, cb, user) ? 1 : 0;
}

int op_cap_stop(vexel_ll_dev* dev) {
    Player* p = player_of(dev);
    if (!p) return 0;
    p->stop();
    return 1;
}

int op_dev_reset(vexel_ll_dev*, uint8_t) {
    vx::logf(vx::kErr, kNotOnRecording, "play_dev_reset");
    return 0;
}

int op_reg_write(vexel_ll_dev* dev, uint8_t target, uint32_t base, const uint32_t* values, uint16_t count) {
    Player* p = player_of(dev);
    return p && (count == 0 || values) && p->reg_write(target, base, values, count) ? 1 : 0;
}

int op_reg_read(vexel_ll_dev* dev, uint8_t target, uint32_t base, uint32_t* values, uint16_t count) {
    Player* p = player_of(dev);
    return p && (count == 0 || values) && p->reg_read(target, base, values, count) ? 1 : 0;
}

int op_param_set(vexel_ll_dev* dev, vexel_ll_param_rec* recs, int count) {
    Player* p = player_of(dev);
    return p && count >= 0 && (count == 0 || recs) && p->param_set(recs, count) ? 1 : 0;
}

int op_param_get(vexel_ll_dev* dev, vexel_ll_param_rec* recs, int count) {
    Player* p = player_of(dev);
    return p && count >= 0 && (count == 0 || recs) && p->param_get(recs, count) ? 1 : 0;
}

const vexel_ll_op kPlayOps = {
    op_init,     op_uninit,   op_set_debug, op_dev_open,   op_dev_open_by_fd, op_dev_close,
    op_dev_list, op_exe_cmd,  op_check_last_cmd, op_cap_abort, op_cap_start, op_cap_stop,
    op_dev_reset, op_reg_write, op_reg_read, op_param_set,  op_param_get,
};

// The player behind a device opened from a recording, or null.
Player* playing(vx::DeviceCall& call) {
    if (!call || call.handle()->ll.ops != &kPlayOps) return nullptr;
    return static_cast<Player*>(call.handle()->ll.priv);
}

}  // namespace

}  // namespace vx::rec

using namespace vx::rec;

extern "C" {

VX_API vexel_dev* vexel_dev_open_recording(const char* path) {
    auto* dev = static_cast<vexel_dev*>(std::calloc(1, sizeof(vexel_dev)));
    if (!dev) return nullptr;
    dev->free_on_close = 1;
    return vexel_dev_open_recording_at(dev, path);  // a failed open releases the record
}

VX_API vexel_dev* vexel_dev_open_recording_at(vexel_dev* dev, const char* path) {
    static const char* const fn = "vexel_dev_open_recording";
    std::string err;
    std::unique_ptr<Player> p = path && *path ? Player::open(path, err) : nullptr;
    if (!p || !dev) {
        vx::logf(vx::kErr, "[%s] %s\n", fn, !dev ? "no device record" : !path || !*path ? "no file name" : err.c_str());
        if (dev && dev->free_on_close && !vx::handle_of(dev)) std::free(dev);
        return nullptr;
    }
    Player* player = p.release();  // the transport's from here; released at close or failed open
    vexel_dev* opened = vx::open_device(dev, &kPlayOps, player);
    if (opened) player->opened();
    return opened;
}

VX_API int vexel_play_set(vexel_dev* dev, int pacing, int loop) {
    vx::DeviceCall call(dev);
    Player* p = playing(call);
    if (!p) return 0;
    p->set(pacing == VEXEL_PLAY_AS_PULLED || pacing == VEXEL_PLAY_CAMERA_RATE ? pacing : VEXEL_PLAY_RECORDED_RATE,
           loop != 0);
    return 1;
}

VX_API int vexel_play_seek(vexel_dev* dev, uint32_t frame) {
    vx::DeviceCall call(dev);
    Player* p = playing(call);
    return p && p->seek(frame) ? 1 : 0;
}

VX_API int vexel_play_get_info(vexel_dev* dev, vexel_play_info* info) {
    if (!info) return 0;
    vx::DeviceCall call(dev);
    Player* p = playing(call);
    if (!p) return 0;
    p->info(*info);
    return 1;
}

}  // extern "C"
