// Register and parameter batches: the public face of the control channel.
#include <cstring>
#include <memory>
#include <new>

#include <vexel/device.h>
#include <vexel/transport.h>

#include "core/device.hpp"
#include "core/log.hpp"

namespace {

constexpr uint32_t kMaxRegCount = 0xFFFF;  // the count travels as 16 bits

std::unique_ptr<vexel_ll_param_rec[]> wire_items(int count) {
    return std::unique_ptr<vexel_ll_param_rec[]>(new (std::nothrow) vexel_ll_param_rec[static_cast<size_t>(count)]());
}

}  // namespace

namespace vx {

bool param_get(vexel_dev_handle* h, vexel_param_item* items, int count) {
    if (count < 0 || (count > 0 && !items)) return false;
    auto wire = wire_items(count);
    if (!wire) return false;
    for (int i = 0; i < count; ++i) {
        wire[i].id = static_cast<uint8_t>(items[i].param_id);
        wire[i].len = items[i].param_len;
    }
    vx::logf(vx::kDbg, "[%s] get %d param\n", "_vexel_param_batch_get", count);
    if (!vexel_ll_param_get(&h->ll, wire.get(), count)) return false;
    for (int i = 0; i < count; ++i) {
        items[i].param_len = wire[i].len;
        std::memcpy(items[i].param_val, wire[i].val, sizeof wire[i].val);
    }
    return true;
}

}  // namespace vx

extern "C" {

// Counts above what the wire carries are refused rather than sent modulo 65536.
static int reg_batch(const char* fn, vexel_dev* dev, unsigned target, uint32_t reg_base, uint32_t* buf,
                     uint32_t reg_cnt, bool write) {
    vx::logf(vx::kTrc, "[%s] target=%d,reg_base=%d,reg_cnt=%d,val_buf=%p\n", fn, static_cast<int>(target),
             static_cast<int>(reg_base), static_cast<int>(reg_cnt & 0xFFFF), static_cast<void*>(buf));
    vx::DeviceCall call(dev);
    if (!call) {
        vx::logf(vx::kErr, "[%s]  Device handler Is NULL!\r\n", fn);
        return 0;
    }
    if (reg_cnt > kMaxRegCount) {
        vx::logf(vx::kErr, "[%s] too many registers: %u (at most %u in one batch)\n", fn, reg_cnt, kMaxRegCount);
        return 0;
    }
    vexel_ll_dev* ll = &call.handle()->ll;
    const int r = write ? vexel_ll_reg_write(ll, target, reg_base, buf, reg_cnt)
                        : vexel_ll_reg_read(ll, target, reg_base, buf, reg_cnt);
    if (write)
        if (vx::TapUse tap(call.handle()); tap) tap->on_reg_write(target, reg_base, buf, reg_cnt, r != 0);
    return r ? 1 : 0;
}

VX_API int vexel_reg_batch_write(vexel_dev* dev, unsigned target, uint32_t reg_base, const uint32_t* val_buf,
                                 uint32_t reg_cnt) {
    // The transport only reads the values on a write.
    return reg_batch(__func__, dev, target, reg_base, const_cast<uint32_t*>(val_buf), reg_cnt, true);
}

VX_API int vexel_reg_batch_read(vexel_dev* dev, unsigned target, uint32_t reg_base, uint32_t* val_buf,
                                uint32_t reg_cnt) {
    return reg_batch(__func__, dev, target, reg_base, val_buf, reg_cnt, false);
}

VX_API int vexel_param_batch_set(vexel_dev* dev, const vexel_param_item* items, int count) {
    vx::DeviceCall call(dev);
    if (!call) {
        vx::logf(vx::kErr, "[%s]  Device handler Is NULL!\r\n", "vexel_param_batch_set");
        return 0;
    }
    // An empty batch still goes to the transport, which answers for it.
    if (count < 0 || (count > 0 && !items)) return 0;
    auto wire = wire_items(count);
    if (!wire) return 0;
    for (int i = 0; i < count; ++i) {
        wire[i].id = static_cast<uint8_t>(items[i].param_id);
        wire[i].len = items[i].param_len;
        std::memcpy(wire[i].val, items[i].param_val, sizeof wire[i].val);
        if (items[i].param_id == VX_PARAM_FPS) {
            uint32_t fps;
            std::memcpy(&fps, items[i].param_val, sizeof fps);
            vx::logf(vx::kDbg, "[%s] Set FPS:%d\n", "_vexel_param_batch_set", static_cast<int>(fps));
        }
    }
    vx::logf(vx::kDbg, "[%s] set %d param\n", "_vexel_param_batch_set", count);
    if (!call.handle()->open.load()) {
        vx::logf(vx::kErr, "[%s]  Device handler Is NULL!\r\n", "_vexel_param_batch_set");
        return 0;
    }
    const bool ok = vexel_ll_param_set(&call.handle()->ll, wire.get(), count) != 0;
    if (vx::TapUse tap(call.handle()); tap) tap->on_param_set(wire.get(), count, ok);
    return ok ? 1 : 0;
}

VX_API int vexel_param_batch_get(vexel_dev* dev, vexel_param_item* items, int count) {
    vx::DeviceCall call(dev);
    if (!call) {
        vx::logf(vx::kErr, "[%s]  Device handler Is NULL!\r\n", "vexel_param_batch_get");
        return 0;
    }
    return vx::param_get(call.handle(), items, count) ? 1 : 0;
}

}  // extern "C"
