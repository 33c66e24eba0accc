#include "viewer/frame_msg.hpp"

#include <cstring>

namespace vexel_view {

namespace {

void put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
void put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t get32(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
uint16_t get16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

}  // namespace

void pack_frame(const FrameFigures& f, int width, int height, const float* metres, const float* gray,
                std::vector<uint8_t>& out) {
    const std::size_t n = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    out.resize(kFrameHeader + 4 * n);
    uint8_t* h = out.data();
    put32(h, kFrameMagic);
    put32(h + 4, f.seq);
    put32(h + 8, f.frame_idx);
    put16(h + 12, static_cast<uint16_t>(width));
    put16(h + 14, static_cast<uint16_t>(height));
    put32(h + 16, f.gaps);
    put32(h + 20, f.missing);
    put32(h + 24, f.discarded);
    uint32_t fps;
    std::memcpy(&fps, &f.camera_fps, 4);
    put32(h + 28, fps);
    put16(h + 32, static_cast<uint16_t>(f.sensor_temp));
    put16(h + 34, static_cast<uint16_t>(f.illum_temp));
    put32(h + 36, f.temps_known ? 1u : 0u);
    uint8_t* d = h + kFrameHeader;
    uint8_t* a = d + 2 * n;
    for (std::size_t i = 0; i < n; ++i) {
        const float m = metres[i];
        // Nearest millimetre; the library's codes for weak and invalid pixels (65.3, 65.5) and
        // NaN all become 0, which the page draws black and leaves out of the cloud.
        const uint16_t mm = m > 0.0f && m < 60.0f ? static_cast<uint16_t>(m * 1000.0f + 0.5f) : 0;
        put16(d + 2 * i, mm);
        const float g = gray[i];
        put16(a + 2 * i, g >= 65535.0f ? 65535 : g > 0.0f ? static_cast<uint16_t>(g) : 0);
    }
}

std::vector<uint8_t> pack_frame(const FrameFigures& f, int width, int height, const float* metres, const float* gray) {
    std::vector<uint8_t> out;
    pack_frame(f, width, height, metres, gray, out);
    return out;
}

std::vector<uint8_t> pack_palette(const uint32_t* words, std::size_t count) {
    std::vector<uint8_t> out(8 + 3 * count);
    put32(out.data(), kPaletteMagic);
    put32(out.data() + 4, static_cast<uint32_t>(count));
    for (std::size_t i = 0; i < count; ++i) {
        out[8 + 3 * i] = static_cast<uint8_t>(words[i]);
        out[9 + 3 * i] = static_cast<uint8_t>(words[i] >> 8);
        out[10 + 3 * i] = static_cast<uint8_t>(words[i] >> 16);
    }
    return out;
}

bool read_frame(const uint8_t* msg, std::size_t size, FrameView& v) {
    if (size < kFrameHeader || get32(msg) != kFrameMagic) return false;
    v.width = get16(msg + 12);
    v.height = get16(msg + 14);
    const std::size_t n = static_cast<std::size_t>(v.width) * static_cast<std::size_t>(v.height);
    if (size != kFrameHeader + 4 * n) return false;
    FrameFigures& f = v.figures;
    f.seq = get32(msg + 4);
    f.frame_idx = get32(msg + 8);
    f.gaps = get32(msg + 16);
    f.missing = get32(msg + 20);
    f.discarded = get32(msg + 24);
    const uint32_t fps = get32(msg + 28);
    std::memcpy(&f.camera_fps, &fps, 4);
    f.sensor_temp = static_cast<int16_t>(get16(msg + 32));
    f.illum_temp = static_cast<int16_t>(get16(msg + 34));
    f.temps_known = (get32(msg + 36) & 1) != 0;
    v.depth = msg + kFrameHeader;
    v.amplitude = v.depth + 2 * n;
    return true;
}

}  // namespace vexel_view
