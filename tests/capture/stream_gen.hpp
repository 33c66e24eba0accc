// Builds camera packet streams with known content: packets per frame, frames per packet,
// data sums, corruption and garbage. Written from the wire rules alone so that it can check
// the parser rather than mirror it; shared by the tests, the benchmark and the fuzz seeds.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

namespace vxtest {

struct Hdr {
    uint16_t sidx = 0;
    uint32_t len = 0;
    uint32_t frlen = 0;
    uint16_t fridx = 0;
    uint16_t frfmt = 0;
    uint16_t width = 320;
    uint16_t height = 240;
    int16_t sensor_temp = 0;
    int16_t illum_temp = 0;
    uint32_t spare = 0;
    uint32_t data_sum = 0;
    bool start = false;
    bool has_sum = false;
};

inline void put16(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
inline void put32(uint8_t* p, uint32_t v) {
    put16(p, v);
    put16(p + 2, v >> 16);
}

inline std::array<uint8_t, 36> encode(const Hdr& h) {
    std::array<uint8_t, 36> b{};
    b[0] = 0xFB;
    b[1] = 0x98;
    put16(&b[2], h.sidx);
    put32(&b[4], h.len);
    put32(&b[8], h.frlen);
    put16(&b[12], h.fridx);
    put16(&b[14], h.frfmt);
    put16(&b[16], h.width);
    put16(&b[18], h.height);
    put16(&b[20], uint16_t(h.sensor_temp));
    put16(&b[22], uint16_t(h.illum_temp));
    put32(&b[24], h.spare);
    put32(&b[28], h.data_sum);
    b[32] = h.start ? 1 : 0;
    b[33] = h.has_sum ? 1 : 0;
    unsigned s1 = 0, s2 = 0;
    for (int i = 0; i < 34; ++i) {
        s1 = (s1 + b[i]) % 255;
        s2 = (s2 + s1) % 255;
    }
    b[34] = uint8_t(s1);
    b[35] = uint8_t(s2);
    return b;
}

// Byte-wise little-endian word sum; a trailing partial word is not part of it.
inline uint32_t payload_sum(const uint8_t* p, size_t n) {
    uint32_t s = 0;
    for (size_t i = 0; i + 4 <= n; i += 4)
        s += uint32_t(p[i]) | uint32_t(p[i + 1]) << 8 | uint32_t(p[i + 2]) << 16 | uint32_t(p[i + 3]) << 24;
    return s;
}

struct Frame {
    uint16_t fridx;
    Hdr start;  // header of the packet that started the frame
    std::vector<uint8_t> bytes;
};

class StreamGen {
  public:
    explicit StreamGen(uint32_t seed = 1) : rng_(seed) {}

    bool sums = false;   // data sums on the packets that follow
    uint16_t sidx = 0;   // next packet index
    uint16_t fridx = 0;  // next frame index
    uint16_t frfmt = 5;
    std::vector<uint8_t> out;
    std::vector<Frame> frames;  // every frame emitted intact, in order

    std::vector<uint8_t> random_bytes(size_t n) {
        std::vector<uint8_t> v(n);
        for (auto& b : v) b = uint8_t(rng_());
        return v;
    }

    // Appends one packet; len and the data sum follow the payload unless `raw` keeps them.
    size_t packet(Hdr h, const std::vector<uint8_t>& payload, bool raw = false) {
        if (!raw) {
            h.len = uint32_t(payload.size());
            if (h.has_sum) h.data_sum = payload_sum(payload.data(), payload.size());
        }
        const auto hb = encode(h);
        const size_t at = out.size();
        out.insert(out.end(), hb.begin(), hb.end());
        out.insert(out.end(), payload.begin(), payload.end());
        return at;
    }

    Hdr next_hdr(uint32_t frlen, bool start) {
        Hdr h;
        h.sidx = sidx++;
        h.frlen = frlen;
        h.fridx = fridx;
        h.frfmt = frfmt;
        h.width = uint16_t(320 + fridx % 5);
        h.height = uint16_t(240 - fridx % 3);
        h.sensor_temp = int16_t(350 + fridx % 7);
        h.illum_temp = -12;
        h.spare = 0xA5000000u | fridx;
        h.start = start;
        h.has_sum = sums;
        return h;
    }

    // One frame spread over `packets` packets of nearly equal size; returns where each packet's
    // header begins.
    std::vector<size_t> frame(uint32_t frlen, unsigned packets = 1, bool intact = true) {
        const auto bytes = random_bytes(frlen);
        std::vector<size_t> at;
        uint32_t off = 0;
        Hdr first;
        for (unsigned i = 0; i < packets; ++i) {
            const uint32_t end = uint32_t(uint64_t(frlen) * (i + 1) / packets);
            const Hdr h = next_hdr(frlen, i == 0);
            if (i == 0) first = h;
            at.push_back(packet(h, {bytes.begin() + off, bytes.begin() + end}));
            off = end;
        }
        if (intact) frames.push_back({fridx, first, bytes});
        ++fridx;
        return at;
    }

    // One packet carrying `count` whole frames with consecutive indices.
    size_t frames_in_packet(uint32_t frlen, unsigned count) {
        std::vector<uint8_t> payload;
        const Hdr h = next_hdr(frlen, true);
        for (unsigned i = 0; i < count; ++i) {
            auto bytes = random_bytes(frlen);
            payload.insert(payload.end(), bytes.begin(), bytes.end());
            frames.push_back({uint16_t(fridx + i), h, std::move(bytes)});
        }
        fridx = uint16_t(fridx + count);
        return packet(h, payload);
    }

    // Bytes that never contain the magic's first byte.
    void garbage(size_t n) {
        for (size_t i = 0; i < n; ++i) {
            uint8_t b = uint8_t(rng_());
            out.push_back(b == 0xFB ? 0x00 : b);
        }
    }

    std::mt19937& rng() { return rng_; }

  private:
    std::mt19937 rng_;
};

}  // namespace vxtest
