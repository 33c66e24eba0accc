// The stream: the sensor reading frames out into its FIFO, and the packets the link carries.
#include <algorithm>
#include <cstring>

#include "sim/firmware/firmware.hpp"
#include "sim/firmware/le_bytes.hpp"

namespace vxsim {

namespace {

// The stream's hot loop: a plain shape the vectoriser takes (little-endian host, as the wire).
VXSIM_HOT void fill_samples(uint8_t* dst, const uint16_t* base, uint32_t count, uint16_t add) {
    for (uint32_t k = 0; k < count; ++k) {
        const uint16_t v = static_cast<uint16_t>((base[k] + add) & 0x0FFF);
        std::memcpy(dst + 2 * k, &v, 2);
    }
}

// Bytes [at, at + n) of a frame whose samples are base + add; a packet may cut a sample in two.
void fill_frame_bytes(uint8_t* dst, const uint16_t* base, uint32_t at, uint32_t n, uint16_t add) {
    auto sample = [&](uint32_t i) { return static_cast<uint16_t>((base[i] + add) & 0x0FFF); };
    if (n && (at & 1)) {
        *dst++ = static_cast<uint8_t>(sample(at / 2) >> 8);
        ++at;
        --n;
    }
    fill_samples(dst, base + at / 2, n / 2, add);
    if (n & 1) dst[n - 1] = static_cast<uint8_t>(sample((at + n - 1) / 2));
}

}  // namespace

uint32_t Firmware::frames_per_packet(uint32_t frame_bytes) const {
    return std::clamp(kMaxPacketPayload / frame_bytes, 1u, opt_.frames_per_packet);
}

void Firmware::capture_frame() {
    if (!streaming_ || upload_) return;
    // A recording's gaps are its own: while the host is behind, the next recorded frame waits
    // rather than being read out into a full FIFO and lost.
    const size_t room = std::max<size_t>(opt_.fifo_frames, frames_per_packet(bytes_of(readout_)));
    if (opt_.frames && fifo_.size() >= room) return;
    ReplayFrame replayed;
    if (opt_.frames && !opt_.frames->next(replayed)) return;
    // The sensor exposes the frame whether or not the FIFO has room for it.
    const Exposure e = expose();
    const uint64_t n = sensor_frame_++;
    if (fifo_.size() >= room) {
        ++counters_.frames_dropped;
        debug_log("frame %llu lost: FIFO full\n", static_cast<unsigned long long>(n));
        return;
    }
    fifo_.push_back(n);
    exposures_.push_back(e);
    if (opt_.frames) replayed_.push_back(std::move(replayed));
}

bool Firmware::build_packet(bool on_demand) {
    uint32_t len, frames = 1, frame_len = 0;
    uint16_t format = kFrameFormat, fridx, width = 0, height = 0;
    bool start;
    const ReplayFrame* replayed = nullptr;
    if (upload_) {
        // The package as one frame of its own length, in packets of the usual payload; in mode
        // 9 it is all there is to send.
        if (upload_pos_ == SIZE_MAX) return false;
        const auto& pk = calib_package();
        frame_len = static_cast<uint32_t>(pk.size());
        format = kCalibFrameFormat;
        len = static_cast<uint32_t>(
            std::min<size_t>(opt_.packet_payload ? opt_.packet_payload : 61440, pk.size() - upload_pos_));
        start = upload_pos_ == 0;
        fridx = static_cast<uint16_t>(sensor_frame_);
        pkt_.resize(kHeaderBytes + len);
        std::memcpy(pkt_.data() + kHeaderBytes, pk.data() + upload_pos_, len);
        upload_pos_ += len;
        if (upload_pos_ == pk.size()) {
            upload_pos_ = SIZE_MAX;
            ++sensor_frame_;
        }
        pkt_frames_ = 0;
    } else if (opt_.frames) {
        // A recorded frame goes out as it came in, over packets of the usual payload.
        if (on_demand && fifo_.empty()) capture_frame();
        if (fifo_.empty()) return false;
        replayed = &replayed_.front();
        frame_len = static_cast<uint32_t>(replayed->bytes.size());
        const uint32_t offset = frame_offset_;
        start = offset == 0;
        len = std::min(opt_.packet_payload ? opt_.packet_payload : kMaxPacketPayload, frame_len - offset);
        frame_offset_ = (offset + len) % frame_len;
        pkt_frames_ = frame_offset_ == 0 ? 1 : 0;
        fridx = replayed->index;
        format = replayed->format;
        pkt_.resize(kHeaderBytes + len);
        std::memcpy(pkt_.data() + kHeaderBytes, replayed->bytes.data() + offset, len);
    } else {
        while (on_demand && fifo_.size() < frames_per_packet(bytes_of(readout_))) capture_frame();
        if (fifo_.empty()) return false;
        // Each frame goes out with the window it was read out through.
        const Readout& w = exposures_.front().readout;
        const uint32_t fb = bytes_of(w);
        const uint32_t k = frames_per_packet(fb);
        frame_len = fb;
        width = static_cast<uint16_t>(w.cols());
        height = static_cast<uint16_t>(rows_of(w));
        const uint32_t offset = frame_offset_;
        start = offset == 0;
        if (opt_.frames_per_packet > 1) {  // whole frames of one window, as many as fit
            while (frames < k && frames < fifo_.size() && fifo_[frames] == fifo_[frames - 1] + 1 &&
                   exposures_[frames].readout == w)
                ++frames;
            // The packet waits to fill up, unless a lost frame or a new window has already cut
            // its run short.
            if (frames < k && frames == fifo_.size()) return false;
            len = frames * fb;
            pkt_frames_ = frames;
        } else {
            len = std::min(opt_.packet_payload ? opt_.packet_payload : fb, fb - offset);
            frame_offset_ = (offset + len) % fb;
            pkt_frames_ = frame_offset_ == 0 ? 1 : 0;
        }
        fridx = static_cast<uint16_t>(fifo_.front());
        pkt_.resize(kHeaderBytes + len);
        fill_payload(pkt_.data() + kHeaderBytes, len, offset);
    }
    uint8_t* h = pkt_.data();
    uint8_t* pay = h + kHeaderBytes;

    if (!start && faults_.skip_packet_index > 0) {
        --faults_.skip_packet_index;
        ++sidx_;
    }
    std::memset(h, 0, kHeaderBytes);
    h[0] = 0xFB;
    h[1] = 0x98;
    put16(h + 2, sidx_++);
    put32(h + 4, len);
    put32(h + 8, frame_len);
    put16(h + 12, fridx);
    put16(h + 14, format);
    if (replayed) {  // the header fields it was recorded with
        put16(h + 16, replayed->width);
        put16(h + 18, replayed->height);
        put16(h + 20, static_cast<uint16_t>(replayed->sensor_temp));
        put16(h + 22, static_cast<uint16_t>(replayed->illum_temp));
        put32(h + 24, replayed->spare);
    } else {
        put16(h + 16, opt_.zero_dimensions ? 0 : width);
        put16(h + 18, opt_.zero_dimensions ? 0 : height);
        const auto& temps = params_[15];
        put16(h + 20, temps.size() >= 2 ? get16(temps.data()) : 0);
        put16(h + 22, temps.size() >= 4 ? get16(temps.data() + 2) : 0);
        put32(h + 24, static_cast<uint32_t>(counters_.packets));
    }
    if (opt_.data_checksum) {
        put32(h + 28, word_sum(pay, len));
        h[33] = 1;
    }
    h[32] = start ? 1 : 0;
    put16(h + 34, fletcher16(h, 34));

    if (faults_.corrupt_header > 0) {
        --faults_.corrupt_header;
        h[12] ^= 0x5A;
    }
    if (faults_.corrupt_payload > 0 && len >= 8) {
        --faults_.corrupt_payload;
        pay[(len / 2) & ~3u] ^= 0x01;
    }
    pkt_pos_ = 0;
    if (start && faults_.drop_frame_start > 0) {
        --faults_.drop_frame_start;
        pkt_pos_ = pkt_.size();  // built (indices advance) but never sent
        packet_sent();
        return true;
    }
    ++counters_.packets;
    if (start) counters_.frames += frames;
    return true;
}

// Payload: samples continue across packets of one frame; a packet of whole frames takes them
// from the FIFO in turn (they share one window).
void Firmware::fill_payload(uint8_t* pay, uint32_t len, uint32_t offset) {
    const bool pattern = model_.measurement().scene.kind == Scene::Kind::pattern;
    const Readout& w = exposures_.front().readout;
    const unsigned cols = w.cols(), rows = rows_of(w);
    const uint32_t fb = bytes_of(w);
    if (pattern && (base_cols_ != cols || base_rows_ != rows)) {
        base_.resize(fb / 2);
        size_t i = 0;
        for (unsigned plane = 0; plane < kPlanes; ++plane)
            for (unsigned row = 0; row < rows; ++row)
                for (unsigned col = 0; col < cols; ++col) base_[i++] = pattern_sample(0, plane, row, col);
        base_cols_ = cols;
        base_rows_ = rows;
    }
    for (uint32_t done = 0; done < len;) {
        const uint64_t f = fifo_[(offset + done) / fb];
        const uint32_t at = (offset + done) % fb;
        const uint32_t n = std::min(len - done, fb - at);
        if (pattern) {
            fill_frame_bytes(pay + done, base_.data(), at, n, static_cast<uint16_t>(f));
        } else {
            // The settings the frame was exposed with; the temperatures are those of the header.
            if (frame_no_ != f) {
                const Exposure& e = exposures_[(offset + done) / fb];
                SensorSettings s = e.settings;
                const SensorSettings now = sensor_settings();
                s.sensor_temp = now.sensor_temp;
                s.illum_temp = now.illum_temp;
                const bool binned = w.bin_x * w.bin_y > 1;
                if (w.full()) {
                    frame_.resize(kFrameBytes / 2);
                    model_.render(s, f, frame_.data(), e.t_s);
                } else {
                    // A window: the pixels it holds, or the charge of those it bins.
                    if (binned) {
                        charges_.resize(kFrameBytes / 2);
                        model_.render_charges(s, f, charges_.data(), e.t_s);
                    } else {
                        full_.resize(kFrameBytes / 2);
                        model_.render(s, f, full_.data(), e.t_s);
                    }
                    frame_.resize(size_t(kPlanes) * cols * w.rows());
                    read_window(w, full_.data(), binned ? charges_.data() : nullptr,
                                model_.measurement().effects.flag_bits, frame_.data());
                }
                // A shorter readout keeps the first rows of each plane.
                for (unsigned p = 1; p < kPlanes && rows < w.rows(); ++p)
                    std::memmove(&frame_[size_t(p) * rows * cols], &frame_[size_t(p) * w.rows() * cols],
                                 size_t(rows) * cols * 2);
                frame_no_ = f;
            }
            std::memcpy(pay + done, reinterpret_cast<const uint8_t*>(frame_.data()) + at, n);
        }
        done += n;
    }
}

void Firmware::packet_sent() {
    fifo_.erase(fifo_.begin(), fifo_.begin() + static_cast<long>(pkt_frames_));
    exposures_.erase(exposures_.begin(), exposures_.begin() + static_cast<long>(pkt_frames_));
    if (opt_.frames) replayed_.erase(replayed_.begin(), replayed_.begin() + static_cast<long>(pkt_frames_));
    pkt_frames_ = 0;
}

size_t Firmware::produce(uint8_t* dst, size_t max, bool on_demand) {
    size_t done = 0;
    while (done < max && streaming_) {
        if (pkt_pos_ >= pkt_.size()) {
            if (!build_packet(on_demand)) break;
            continue;
        }
        const size_t n = std::min(max - done, pkt_.size() - pkt_pos_);
        std::memcpy(dst + done, pkt_.data() + pkt_pos_, n);
        pkt_pos_ += n;
        done += n;
        if (pkt_pos_ == pkt_.size()) packet_sent();
    }
    counters_.bytes += done;
    return done;
}

}  // namespace vxsim
