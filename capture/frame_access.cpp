// Frame access: a captured raw frame decoded by the device's driver into floats in the caller's
// buffer. The driver writes 16-bit values into the buffer's second half; widening then runs
// forward from the start, which never overwrites a value before it has been read.
#include <algorithm>
#include <climits>
#include <cstring>

#include <vexel/device.h>
#include <vexel/driver.h>
#include <vexel/frame.h>

#include "core/device.hpp"
#include "core/log.hpp"

namespace {

enum Kind { kDistance = 1, kGray = 2 };

// Values [0, n) of the 16-bit area at `area` (inside `dst`, after element n - 1's slot) to floats.
void widen(float* dst, const uint8_t* area, size_t n, Kind kind) {
    constexpr size_t kBlock = 8;
    size_t i = 0;
    // A block is read whole before it is written; its writes end before the next block's values.
    for (; i + kBlock <= n; i += kBlock) {
        uint16_t v[kBlock];
        std::memcpy(v, area + 2 * i, sizeof v);
        float f[kBlock];
        for (size_t k = 0; k < kBlock; ++k) f[k] = kind == kDistance ? v[k] / 1000.0f : static_cast<float>(v[k]);
        std::memcpy(dst + i, f, sizeof f);
    }
    for (; i < n; ++i) {
        uint16_t v;
        std::memcpy(&v, area + 2 * i, sizeof v);
        dst[i] = kind == kDistance ? v / 1000.0f : static_cast<float>(v);
    }
}

int frame_get_u16(const char* caller, Kind kind, vexel_dev* dev, float* dst, uint32_t dst_len, const void* src,
                  uint32_t src_len, const vexel_frame_info* finfo) {
    constexpr const char* fn = "_vexel_frame_get_u16";
    if (!dst || !finfo) {
        vx::logf(vx::kErr, "[%s] Wrong params\n", caller);
        return 0;
    }
    const uint64_t pixels = uint64_t{finfo->frame_width} * finfo->frame_height;
    if (pixels > dst_len) {
        vx::logf(vx::kErr, "[%s] wrong dst_len: %d (wxh=%dx%d)\n", caller, static_cast<int>(dst_len),
                 static_cast<int>(finfo->frame_width), static_cast<int>(finfo->frame_height));
        return 0;
    }
    auto* area = reinterpret_cast<uint8_t*>(dst + dst_len / 2);
    int result = 0;
    {
        vx::DeviceCall call(dev);
        vexel_driver_entry* drv = call ? call.handle()->driver : nullptr;
        if (!drv || !drv->ops || !drv->ops->frame_decode || !src) {
            vx::logf(vx::kDbg, "[%s] Wrong params\n", fn);
        } else if (drv->ops == &g_vexel_driver_op_ti) {
            // The stub writes floats of its own where 16-bit values are read back: widened,
            // they are numbers of no meaning, and a count of pixels would call them a result.
            vx::logf(vx::kErr, "[%s] the %s gives no %s images\n", fn, drv->name,
                     kind == kDistance ? "distance" : "gray");
        } else if (finfo->frame_size > src_len) {
            vx::logf(vx::kErr, "[%s] raw frame length too small: datalen=%d, frlen=%d\n", fn,
                     static_cast<int>(src_len), static_cast<int>(finfo->frame_size));
        } else {
            // The room is dst_len * 2 bytes; the driver takes an int.
            const int room = static_cast<int>(std::min<uint64_t>(uint64_t{dst_len} * 2, INT_MAX));
            const int n = drv->ops->frame_decode(drv, area, room, kind, src,
                                                 static_cast<int>(std::min<uint32_t>(src_len, INT_MAX)), finfo);
            if (n < 0)
                vx::logf(vx::kErr, "[%s] raw frame decode to %d failed: %d\n", fn, kind, n);
            else
                result = n / 2;
        }
        widen(dst, area, static_cast<size_t>(pixels), kind);
    }
    return result;
}

}  // namespace

extern "C" {

VX_API int vexel_frame_get_distance(vexel_dev* dev, float* dst, uint32_t dst_len, const void* src, uint32_t src_len,
                                    const vexel_frame_info* finfo) {
    return frame_get_u16(__func__, kDistance, dev, dst, dst_len, src, src_len, finfo);
}

VX_API int vexel_frame_get_gray(vexel_dev* dev, float* dst, uint32_t dst_len, const void* src, uint32_t src_len,
                                const vexel_frame_info* finfo) {
    return frame_get_u16(__func__, kGray, dev, dst, dst_len, src, src_len, finfo);
}

}  // extern "C"
