#include "capture/stream.hpp"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "core/clock.hpp"
#include "core/log.hpp"

namespace vx {

namespace {

constexpr uint8_t kMagic0 = 0xFB;
constexpr uint8_t kMagic1 = 0x98;

// Step names as the log vocabulary knows them.
constexpr const char* kFeed = "vx_stream_feed_input";
constexpr const char* kSync = "_sync_stream_hdr";
constexpr const char* kDiscard = "_discard_cur_frame";
constexpr const char* kAddData = "_fr_node_add_data";
constexpr const char* kRefresh = "_fr_list_refresh";

uint16_t rd16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
uint32_t rd32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

uint16_t stream_hdr_checksum(const uint8_t* hdr) {
    uint32_t s1 = 0, s2 = 0;
    for (int i = 0; i < 34; ++i) {
        s1 = (s1 + hdr[i]) % 255;
        s2 = (s2 + s1) % 255;
    }
    return static_cast<uint16_t>(s1 | s2 << 8);
}

vx_stream_hdr stream_hdr_decode(const uint8_t* b) {
    vx_stream_hdr h;
    h.magic = rd16(b);
    h.sidx = rd16(b + 2);
    h.len = rd32(b + 4);
    h.frlen = rd32(b + 8);
    h.fridx = rd16(b + 12);
    h.frfmt = rd16(b + 14);
    h.width = rd16(b + 16);
    h.height = rd16(b + 18);
    h.sensor_temp = static_cast<int16_t>(rd16(b + 20));
    h.illum_temp = static_cast<int16_t>(rd16(b + 22));
    h.spare = rd32(b + 24);
    h.data_sum = rd32(b + 28);
    h.frame_start = b[32];
    h.has_data_sum = b[33];
    h.hdr_sum = rd16(b + 34);
    return h;
}

bool stream_hdr_valid(const uint8_t* b) {
    if (b[0] != kMagic0 || b[1] != kMagic1) return false;
    if (rd16(b + 34) != stream_hdr_checksum(b)) return false;
    const uint32_t frlen = rd32(b + 8);
    return rd32(b + 4) < kStreamMaxLen && frlen != 0 && frlen < kStreamMaxFrameLen &&
           rd16(b + 14) < kStreamMaxFormat;
}

uint32_t stream_word_sum(const uint8_t* p, std::size_t n) {
    std::size_t i = 0;
    uint32_t sum = 0;
    if constexpr (std::endian::native == std::endian::little) {
        // Independent vector accumulators keep the adds off one dependency chain.
        typedef uint32_t v4u __attribute__((vector_size(16)));
        v4u a0{}, a1{}, a2{}, a3{};
        for (; i + 64 <= n; i += 64) {
            v4u x0, x1, x2, x3;
            std::memcpy(&x0, p + i, 16);
            std::memcpy(&x1, p + i + 16, 16);
            std::memcpy(&x2, p + i + 32, 16);
            std::memcpy(&x3, p + i + 48, 16);
            a0 += x0;
            a1 += x1;
            a2 += x2;
            a3 += x3;
        }
        const v4u a = a0 + a1 + a2 + a3;
        sum = a[0] + a[1] + a[2] + a[3];
    }
    for (; i + 4 <= n; i += 4) sum += rd32(p + i);
    return sum;
}

void FrameList::push_back(FrameNode* n) {
    n->next = nullptr;
    n->prev = tail;
    if (tail)
        tail->next = n;
    else
        head = n;
    tail = n;
    ++count;
}

FrameNode* FrameList::pop_front() {
    FrameNode* n = head;
    if (n) unlink(n);
    return n;
}

void FrameList::unlink(FrameNode* n) {
    (n->prev ? n->prev->next : head) = n->next;
    (n->next ? n->next->prev : tail) = n->prev;
    n->prev = n->next = nullptr;
    --count;
}

StreamParser::StreamParser(const vx_stream_cfg& cfg) : max_frames_(cfg.max_frames), alloc_(std::malloc) {
    std::memset(hbuf_, 0, sizeof hbuf_);
    hbuf_[2] = hbuf_[3] = 0xFF;  // no packet index seen yet
    zero_stats();
}

StreamParser::~StreamParser() {
    reset();
    release(ready_);
}

void StreamParser::set_node_alloc(AllocFn fn) {
    alloc_ = fn ? fn : std::malloc;
}

void StreamParser::release(FrameList& list) {
    while (FrameNode* n = list.pop_front()) std::free(n);
}

void StreamParser::zero_stats() {
    for (auto& w : stats_) w.store(0, std::memory_order_relaxed);
    const Timestamp t = now();
    stats_[kSec].store(static_cast<uint32_t>(t.sec), std::memory_order_relaxed);
    stats_[kUsec].store(t.usec, std::memory_order_relaxed);
}

void StreamParser::reset() {
    std::lock_guard feeding(feed_mu_);
    {
        std::unique_lock lock(mu_);
        zero_stats();
        release(ready_);
    }
    release(asm_);
    std::memset(hbuf_, 0, sizeof hbuf_);
    h_ = 0;
    ps_ = -1;
}

vx_stream_state StreamParser::state() const {
    std::shared_lock lock(mu_);
    return vx_stream_state{stat(kAssembled), stat(kMoved),   stat(kDiscarded), stat(kDropped), stat(kReady),
                           stat(kRes0),      stat(kSkipped), stat(kRes1),      stat(kSec),     stat(kUsec)};
}

FrameNode* StreamParser::cur_frame() const {
    FrameNode* n = asm_.tail;
    return n && !n->full() ? n : nullptr;
}

bool StreamParser::feed(const uint8_t* p, std::size_t n) {
    std::lock_guard feeding(feed_mu_);
    logf(kTrc, "[%s] %d raw bytes\n", kFeed, static_cast<int>(n));
    while (n > 0) {
        std::size_t used;
        if (h_ == kStreamHdrSize) {
            if (!d_ && !pd_) {
                used = take_payload(p, n);
            } else {
                end_packet();
                used = sync_hdr(p, n);
            }
        } else if (h_ >= 1 && !pd_) {
            const std::size_t need = kStreamHdrSize - h_;
            if (n < need) {
                std::memcpy(hbuf_ + h_, p, n);
                h_ += static_cast<uint32_t>(n);
                logf(kTrc, "[%s] partial stream hdr found: %d bytes, need more bytes.\n", kFeed, int(h_));
                break;
            }
            std::memcpy(hbuf_ + h_, p, need);
            if (stream_hdr_valid(hbuf_)) {
                accept_hdr(hbuf_);
                logf(kTrc, "[%s] HDR found: idx/len=%d/%d(frlen:%d,fridx=%d,frfmt=%d)\n", kFeed, hdr_.sidx,
                     int(hdr_.len), int(hdr_.frlen), hdr_.fridx, hdr_.frfmt);
                used = need;
                check_hdr();
            } else {
                used = resync_held(p, n, need);
            }
        } else {
            ps_ = pf_ = -1;
            t_ = 1;
            if (pd_) {
                h_ = 0;
                pd_ = false;
            }
            used = sync_hdr(p, n);
        }
        p += used;
        n -= used;
    }
    return stat(kReady) > 0;
}

std::size_t StreamParser::take_payload(const uint8_t* p, std::size_t n) {
    const uint32_t m = static_cast<uint32_t>(std::min<std::size_t>(n, hdr_.len - p_));
    p_ += m;
    if (!(hdr_.has_data_sum & 1)) {
        if (p_ == hdr_.len) {
            pd_ = true;
            p_ = 0;
            sum_clear();
        }
        add_data(p, m, true);
        return m;
    }
    // Frames of a summed packet stay back until the sum is known: a failed packet delivers
    // nothing, wherever the pieces were cut.
    sum_add(p, m);
    if (p_ < hdr_.len) {
        add_data(p, m, false);
        return m;
    }
    logf(kTrc, "[%s] check data checksum: sidx=%d\n", kFeed, hdr_.sidx);
    const bool ok = s_ == hdr_.data_sum;
    pd_ = true;
    p_ = 0;
    sum_clear();
    if (ok) {
        add_data(p, m, true);
    } else {
        logf(kDbg, "[%s] discard frame: verify data checksum failed: sidx=%d\n", kFeed, hdr_.sidx);
        // The last piece is not appended; the frame under assembly goes, and with it any frame
        // this packet completed and held back. Frames the packet began in that piece have no
        // node, but are lost all the same: a packet that starts its frame and arrives in one
        // piece must not vanish uncounted.
        const uint32_t carried = hdr_.frlen < hdr_.len ? hdr_.len / hdr_.frlen : 1;
        const uint32_t gone = discard_packet_frames();
        if (gone < carried) bump(kDiscarded, carried - gone);
        d_ = true;
    }
    return m;
}

void StreamParser::end_packet() {
    t_ = 1;
    ps_ = hdr_.sidx;
    pf_ = hdr_.fridx;
    if (hdr_.frlen < hdr_.len)
        t_ = static_cast<uint16_t>(hdr_.len / hdr_.frlen);  // frlen > 0: checked at accept
    if (pd_) {
        h_ = 0;
        pd_ = false;
    }
}

void StreamParser::accept_hdr(const uint8_t* bytes) {
    if (bytes != hbuf_) std::memcpy(hbuf_, bytes, kStreamHdrSize);
    h_ = kStreamHdrSize;
    hdr_ = stream_hdr_decode(hbuf_);
    p_ = 0;
    sum_clear();
    k_ = 0;
}

// The held bytes were no header, but a real one may begin inside them: a search over the
// uncut stream would find it, so a piece boundary there must not hide it (and lose its frame).
std::size_t StreamParser::resync_held(const uint8_t* p, std::size_t n, std::size_t need) {
    const uint32_t held = h_;
    h_ = 0;
    ps_ = pf_ = -1;
    t_ = 1;
    // hbuf_ holds the held bytes and the first `need` input bytes; window offset x is input offset x - held.
    uint8_t win[2 * kStreamHdrSize];
    const std::size_t extra = std::min<std::size_t>(n - need, kStreamHdrSize - 1);
    std::memcpy(win, hbuf_, kStreamHdrSize);
    std::memcpy(win + kStreamHdrSize, p + need, extra);
    const std::size_t avail = kStreamHdrSize + extra;
    for (uint32_t j = 1; j < held; ++j) {
        if (win[j] != kMagic0 || win[j + 1] != kMagic1) continue;
        if (avail - j < kStreamHdrSize) {  // the input ends inside this candidate
            h_ = static_cast<uint32_t>(avail - j);
            std::memcpy(hbuf_, win + j, h_);
            logf(kTrc, "[%s] partial stream hdr found: %d bytes, need more bytes.\n", kSync, int(h_));
            return n;
        }
        if (stream_hdr_valid(win + j)) {
            accept_hdr(win + j);
            logf(kTrc, "[%s] HDR found: idx/len=%d/%d (frlen:%d,fridx=%d,frfmt=%d)\n", kSync, hdr_.sidx,
                 int(hdr_.len), int(hdr_.frlen), hdr_.fridx, hdr_.frfmt);
            logf(kTrc, "[%s] sync hdr: skip %d bytes\n", kSync, int(j));
            bump(kSkipped, j);
            check_hdr();
            return j + kStreamHdrSize - held;
        }
    }
    return sync_hdr(p, n);
}

std::size_t StreamParser::sync_hdr(const uint8_t* p, std::size_t n) {
    std::size_t i = 0;
    bool partial = false;
    while (n >= 2 && i + 1 < n) {
        const auto* hit = static_cast<const uint8_t*>(std::memchr(p + i, kMagic0, n - 1 - i));
        if (!hit) break;
        i = static_cast<std::size_t>(hit - p);
        if (p[i + 1] != kMagic1) {
            ++i;
            continue;
        }
        if (n - i < kStreamHdrSize) {
            std::memcpy(hbuf_, p + i, n - i);
            h_ = static_cast<uint32_t>(n - i);
            partial = true;
            break;
        }
        if (stream_hdr_valid(p + i)) {
            accept_hdr(p + i);
            logf(kTrc, "[%s] HDR found: idx/len=%d/%d (frlen:%d,fridx=%d,frfmt=%d)\n", kSync, hdr_.sidx,
                 int(hdr_.len), int(hdr_.frlen), hdr_.fridx, hdr_.frfmt);
            if (i > 0) {
                logf(kTrc, "[%s] sync hdr: skip %d bytes\n", kSync, int(i));
                bump(kSkipped, static_cast<uint32_t>(i));
            }
            check_hdr();
            return i + kStreamHdrSize;
        }
        h_ = 0;
        ++i;
    }
    if (!partial && p[n - 1] == kMagic0) {
        hbuf_[0] = kMagic0;
        h_ = 1;
        logf(kTrc, "[%s] partial stream hdr found: %d bytes, need more bytes.\n", kSync, 1);
        return n;
    }
    if (h_ == kStreamHdrSize) {
        // Still discarding behind a kept continuation header (or after a failed allocation):
        // the header's own checks change nothing here, so they are not rerun.
        if (n > kStreamHdrSize) {
            logf(kTrc, "[%s] sync hdr: skip %d bytes\n", kSync, int(n - kStreamHdrSize));
            bump(kSkipped, static_cast<uint32_t>(n - kStreamHdrSize));
        }
    } else if (h_ == 0) {
        if (!d_) {
            logf(kDbg, "[%s] discard frame: stream hdr verify failed\n", kSync);
            d_ = true;
            discard_cur_frame();
        } else {
            logf(kDbg, "[%s] not find hdr: skip %d bytes\n", kSync, int(n));
        }
    } else {
        logf(kTrc, "[%s] partial stream hdr found: %d bytes, need more bytes.\n", kSync, int(h_));
    }
    return n;
}

void StreamParser::check_hdr() {
    const bool start = hdr_.frame_start & 1;
    if (!d_) {
        if (!start) {
            if (pf_ != -1 && pf_ != hdr_.fridx) {
                logf(kDbg, "[%s] discard frame: frame idx not consist (prev=%d, cur=%d)\n", kSync, int(pf_),
                     hdr_.fridx);
                discard_cur_frame();
                ps_ = -1;
                return;
            }
            packet_index_check();
            return;
        }
    } else {
        if (!start) return;
        d_ = false;
        ps_ = -1;
    }
    frame_start_check();
}

void StreamParser::frame_start_check() {
    if (cur_frame()) {
        logf(kDbg, "[%s] discard frame: frame bound met, prev not complete\n", kSync);
        discard_cur_frame();
        ps_ = -1;
        return;
    }
    if (stat(kAssembled) != 0 && pf_ != -1) {
        const uint16_t expect = static_cast<uint16_t>(pf_ + t_);
        if (expect != hdr_.fridx)
            logf(kDbg, "[%s] missing frame: jumpping frame idx (prev=%d, cur=%d)\n", kSync, int(expect),
                 hdr_.fridx);
    }
    packet_index_check();
}

void StreamParser::packet_index_check() {
    if (ps_ != -1 && !(hdr_.frame_start & 1) && hdr_.sidx != static_cast<uint16_t>(ps_ + 1)) {
        logf(kDbg, "[%s] discard frame: stream hdr idx not correct (prev=%d, cur=%d)\n", kSync, int(ps_),
             hdr_.sidx);
        d_ = true;
        discard_cur_frame();
    }
}

// The sum is the plain word sum of the payload wherever the pieces are cut: bytes of a word
// split across pieces wait in `carry_`. A trailing partial word is never summed.
void StreamParser::sum_add(const uint8_t* p, std::size_t n) {
    while (carry_n_ != 0 && n != 0) {
        carry_ |= static_cast<uint32_t>(*p++) << (8 * carry_n_);
        --n;
        if (++carry_n_ == 4) {
            s_ += carry_;
            carry_ = 0;
            carry_n_ = 0;
        }
    }
    const std::size_t whole = n & ~std::size_t{3};
    s_ += stream_word_sum(p, whole);
    for (std::size_t i = whole; i < n; ++i) carry_ |= static_cast<uint32_t>(p[i]) << (8 * carry_n_++);
}

void StreamParser::sum_clear() {
    s_ = 0;
    carry_ = 0;
    carry_n_ = 0;
}

void StreamParser::discard(FrameNode* n) {
    asm_.unlink(n);
    // Only a summed packet that failed throws away a full node; it was never a good frame.
    if (n->full()) stats_[kAssembled].fetch_sub(1, std::memory_order_relaxed);
    bump(kSkipped, n->filled);
    bump(kDiscarded);
    logf(kDbg, "[%s] discard frame: idx = %d\n", kDiscard, n->info.fridx);
    std::free(n);
}

void StreamParser::discard_cur_frame() {
    if (FrameNode* n = cur_frame()) discard(n);
}

uint32_t StreamParser::discard_packet_frames() {
    uint32_t n = 0;
    for (; asm_.head; ++n) discard(asm_.head);
    return n;
}

void StreamParser::add_data(const uint8_t* p, std::size_t m, bool verified) {
    if (m == 0) {
        if (verified) list_refresh();
        return;
    }
    logf(kTrc, "[%s] Add %d bytes to frlist\n", kFeed, static_cast<int>(m));
    if (FrameNode* cur = cur_frame()) {
        const uint32_t space = cur->cap - cur->filled;
        const uint32_t c = static_cast<uint32_t>(std::min<std::size_t>(space, m));
        std::memcpy(cur->data() + cur->filled, p, c);
        cur->filled += c;
        p += c;
        m -= c;
        if (c == space) {
            bump(kAssembled);
            ++k_;
        }
    }
    while (m > 0) {
        const uint32_t frlen = hdr_.frlen;
        auto* node = static_cast<FrameNode*>(alloc_(sizeof(FrameNode) + frlen));
        if (!node) {
            // The frame cannot be held: count it lost and skip to the next frame start rather
            // than resume mid-frame.
            logf(kErr, "[%s] malloc failed: %d bytes\n", kAddData, static_cast<int>(frlen + kStreamHdrSize));
            bump(kDiscarded);
            d_ = true;
            if (!verified) {
                // The rest of this packet is skipped, so its sum can never clear what it holds.
                discard_packet_frames();
                return;
            }
            break;
        }
        node->info = {.frlen = frlen,
                      .fridx = static_cast<uint16_t>(hdr_.fridx + k_),
                      .frfmt = hdr_.frfmt,
                      .width = hdr_.width,
                      .height = hdr_.height,
                      .sensor_temp = hdr_.sensor_temp,
                      .illum_temp = hdr_.illum_temp,
                      .spare = hdr_.spare};
        node->cap = frlen;
        const uint32_t c = static_cast<uint32_t>(std::min<std::size_t>(frlen, m));
        std::memcpy(node->data(), p, c);
        node->filled = c;
        asm_.push_back(node);
        p += c;
        m -= c;
        if (c == frlen) {
            bump(kAssembled);
            ++k_;
        }
    }
    if (verified) list_refresh();
}

void StreamParser::list_refresh() {
    if (asm_.head && asm_.head->full()) {
        std::unique_lock lock(mu_);
        uint32_t moved = 0;
        while (asm_.head && asm_.head->full()) {
            ready_.push_back(asm_.pop_front());
            ++moved;
        }
        bump(kMoved, moved);
        bump(kReady, moved);
    }
    const uint32_t max = max_frames_.load(std::memory_order_relaxed);
    const uint32_t ready = stat(kReady);  // only this thread raises it
    if (ready <= max) return;
    const uint32_t excess = ready - max;
    logf(kDbg, "[%s] discard frames: frame buffer is full (%d/%d)\n", kRefresh, int(excess),
         int(stat(kDropped) + excess));
    FrameList gone;
    {
        std::unique_lock lock(mu_);
        // A consumer may have taken frames since the count was read.
        for (uint32_t i = 0; i < excess && stat(kReady) > max; ++i) {
            FrameNode* n = ready_.pop_front();
            if (!n) break;
            bump(kSkipped, n->info.frlen);
            stats_[kReady].fetch_sub(1, std::memory_order_relaxed);
            bump(kDropped);
            gone.push_back(n);
        }
    }
    for (FrameNode* n = gone.head; n; n = n->next)
        logf(kDbg, "[%s] discard frame: idx = %d\n", kRefresh, n->info.fridx);
    release(gone);
}

uint32_t StreamParser::fetch(void* dst, uint32_t dst_len, uint32_t count, vx_stream_frame_info* info,
                             bool peek) {
    if (count == 0) return 0;
    auto walk = [&](bool remove, FrameList& taken) {
        count = std::min(count, ready_.count);
        if (count == 0 || (peek && !dst)) return;
        auto* out = static_cast<uint8_t*>(dst);
        uint32_t left = dst ? dst_len : 0;
        FrameNode* n = ready_.head;
        for (uint32_t i = 0; i < count; ++i) {
            FrameNode* next = n->next;
            if (i == 0 && info) *info = n->info;
            const uint32_t c = std::min(n->filled, left);
            if (c) {
                std::memcpy(out, n->data(), c);
                out += c;
                left -= c;
            }
            if (remove) {
                ready_.unlink(n);
                stats_[kReady].fetch_sub(1, std::memory_order_relaxed);
                taken.push_back(n);
            }
            n = next;
        }
    };
    FrameList taken;
    if (peek) {
        std::shared_lock lock(mu_);
        walk(false, taken);
    } else {
        std::unique_lock lock(mu_);
        walk(true, taken);
    }
    release(taken);
    return count;
}

}  // namespace vx

extern "C" {

VX_API vx_stream* vx_stream_create(const vx_stream_cfg* cfg) {
    if (!cfg) return nullptr;
    return new (std::nothrow) vx_stream(*cfg);
}

VX_API void vx_stream_destroy(vx_stream* s) {
    delete s;
}

VX_API int vx_stream_set_cfg(vx_stream* s, const vx_stream_cfg* cfg) {
    if (!s || !cfg) return 0;
    s->set_cfg(*cfg);
    return 1;
}

VX_API int vx_stream_get_cfg(const vx_stream* s, vx_stream_cfg* cfg_out) {
    if (!s || !cfg_out) return 0;
    *cfg_out = s->cfg();
    return 1;
}

VX_API int vx_stream_reset(vx_stream* s) {
    if (!s) return 0;
    s->reset();
    return 1;
}

VX_API int vx_stream_feed_input(vx_stream* s, const void* data, uint32_t n) {
    if (!s || (!data && n)) return 0;
    return s->feed(static_cast<const uint8_t*>(data), n) ? 1 : 0;
}

VX_API uint32_t vx_stream_fetch_frames(vx_stream* s, void* dst, uint32_t dst_len, uint32_t count,
                                       vx_stream_frame_info* info_out, int peek) {
    if (!s) return 0;
    return s->fetch(dst, dst_len, count, info_out, peek != 0);
}

VX_API int vx_stream_get_state(const vx_stream* s, vx_stream_state* state_out) {
    if (!s || !state_out) return 0;
    *state_out = s->state();
    return 1;
}

}  // extern "C"
