// The binary WebSocket messages the page draws from. All fields little-endian.
//
// Frame ("VXF1"), kFrameHeader bytes of header, then width x height 16-bit distances in
// millimetres (0: no measurement) and width x height 16-bit amplitudes:
//   0 magic   4 seq (the server's count of frames sent out; a jump is frames this page skipped)
//   8 camera frame index   12 width (u16)   14 height (u16)
//   16 gaps in the frame index   20 frames those gaps missed   24 frames the library discarded
//   28 rate of the frames taken from the camera, per second (f32)   32 sensor temperature   34 illumination
//   temperature (i16, tenths of a degree)   36 flags: bit 0 temperatures known
// Palette ("VXP1"): u32 entry count, then red, green, blue of each entry of the library's
// colour map, entry 0 (far) first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vexel_view {

constexpr uint32_t kFrameMagic = 0x31465856;    // "VXF1"
constexpr uint32_t kPaletteMagic = 0x31505856;  // "VXP1"
constexpr std::size_t kFrameHeader = 40;

struct FrameFigures {
    uint32_t seq = 0, frame_idx = 0, gaps = 0, missing = 0, discarded = 0;
    float camera_fps = 0;
    int16_t sensor_temp = 0, illum_temp = 0;
    bool temps_known = false;
};

// `metres`: the library's distances (valid in (0, 60), everything else is no measurement);
// `gray`: its amplitudes, held to 0..65535.
std::vector<uint8_t> pack_frame(const FrameFigures& f, int width, int height, const float* metres, const float* gray);
void pack_frame(const FrameFigures& f, int width, int height, const float* metres, const float* gray,
                std::vector<uint8_t>& out);
// Colour words 0x00BBGGRR.
std::vector<uint8_t> pack_palette(const uint32_t* words, std::size_t count);

// Readers for the tests and tools: false when the message is not a whole frame.
struct FrameView {
    FrameFigures figures;
    int width = 0, height = 0;
    const uint8_t* depth = nullptr;  // width x height little-endian u16
    const uint8_t* amplitude = nullptr;
    uint16_t depth_mm(int i) const { return static_cast<uint16_t>(depth[2 * i] | depth[2 * i + 1] << 8); }
    uint16_t amp(int i) const { return static_cast<uint16_t>(amplitude[2 * i] | amplitude[2 * i + 1] << 8); }
};
bool read_frame(const uint8_t* msg, std::size_t size, FrameView& view);

}  // namespace vexel_view
