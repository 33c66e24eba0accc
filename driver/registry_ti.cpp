// The stub driver of the TI family: fixed answers, enough to stream and look at raw data.
#include <algorithm>
#include <cstring>

#include <vexel/driver.h>
#include <vexel/stream.h>

namespace {

uint8_t ti_init(vexel_driver_entry* drv, vexel_dev* dev) {
    drv->dev = dev;
    return 1;
}

void ti_uninit(vexel_driver_entry*) {}

int ti_frame_get_info(vexel_driver_entry*, vexel_frame_info* out, const vx_stream_frame_info* raw) {
    out->frame_size = raw->frlen;
    out->frame_format = raw->frfmt;
    out->frame_idx = raw->fridx;
    out->frame_width = 320;
    out->frame_height = 240;
    out->frame_depth = 4;
    return 1;
}

// Each 32-bit word carries a phase in its low half and an amplitude in its high half.
int ti_frame_decode(vexel_driver_entry*, void* out, int out_len, int type, const void* raw, int raw_len,
                    const vexel_frame_info* info) {
    constexpr float kScale = 1.0f / 4096.0f;
    constexpr float kRange = 3.122838020324707f;
    const auto* src = static_cast<const uint8_t*>(raw);
    auto* dst = static_cast<float*>(out);
    if (type == 1 || type == 2) {
        for (int i = 0; 4 * i < raw_len && i < out_len / 4; ++i) {
            // A raw length that is not a whole number of words ends in a partial word: take the
            // bytes that are there and zeros for the rest.
            uint32_t w = 0;
            std::memcpy(&w, src + 4 * i, std::min<size_t>(sizeof w, size_t(raw_len - 4 * i)));
            dst[i] = type == 2 ? static_cast<float>(w & 0xFFF) * kScale
                               : static_cast<float>((w >> 16) & 0xFFF) * kScale * kRange;
        }
    }
    return static_cast<int>(info->frame_width * info->frame_height);
}

int ti_spare5(vexel_driver_entry*) { return 0; }
int ti_second_arg(vexel_driver_entry*, int, int b, int) { return b; }
int ti_spare8(vexel_driver_entry*) { return 1; }

}  // namespace

extern "C" {

const vexel_driver_op g_vexel_driver_op_ti = {  // exported by its declaration
    ti_init, ti_uninit, ti_frame_get_info, ti_frame_decode, nullptr, ti_spare5, ti_second_arg, ti_second_arg,
    ti_spare8, nullptr, nullptr, {},
};

}  // extern "C"
