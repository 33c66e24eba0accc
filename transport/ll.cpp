// The vexel_ll_ entry points: each forwards one call to the table that serves the device.
#include <vexel/transport.h>

#include "core/log.hpp"

namespace {

// The table of a record that was listed or opened; null otherwise.
const vexel_ll_op* ops_of(const vexel_ll_dev* dev) {
    return dev ? dev->ops : nullptr;
}

const vexel_ll_op* open_ops(const vexel_ll_dev* dev) {
    return dev->ops ? dev->ops : &ll_op_usb;
}

uint8_t u8(int v) {
    return static_cast<uint8_t>(v);
}
uint16_t u16(int v) {
    return static_cast<uint16_t>(v);
}

}  // namespace

extern "C" {

VX_API int vexel_ll_init(void) {
    const int ok = ll_op_usb.init();
    if (!ok) vx::logf(vx::kErr, "[%s] ll_init failed: ll[%d]\n", __func__, 0);
    return ok;
}

VX_API void vexel_ll_uninit(void) {
    ll_op_usb.uninit();
}

VX_API int vexel_ll_set_debug(unsigned level) {
    ll_op_usb.set_debug(level);
    return 1;
}

VX_API int vexel_ll_dev_list(vexel_ll_dev* list, int capacity) {
    if (capacity <= 0) return 0;
    return ll_op_usb.dev_list(list, capacity);
}

VX_API vexel_ll_dev* vexel_ll_dev_open(vexel_ll_dev* dev) {
    return dev ? open_ops(dev)->dev_open(dev) : nullptr;
}

VX_API vexel_ll_dev* vexel_ll_dev_open_by_fd(vexel_ll_dev* dev) {
    return dev ? open_ops(dev)->dev_open_by_fd(dev) : nullptr;
}

VX_API void vexel_ll_dev_close(vexel_ll_dev* dev) {
    if (const vexel_ll_op* ops = ops_of(dev)) ops->dev_close(dev);
}

VX_API int vexel_ll_dev_reset(vexel_ll_dev* dev, int target) {
    const vexel_ll_op* ops = ops_of(dev);
    return ops ? ops->dev_reset(dev, u8(target)) : 0;
}

VX_API int vexel_ll_exe_cmd(vexel_ll_dev* dev, int is_write, int type, int value, void* data, int length,
                            uint32_t timeout_ms) {
    const vexel_ll_op* ops = ops_of(dev);
    return ops ? ops->exe_cmd(dev, u8(is_write), u8(type), u16(value), data, u16(length), timeout_ms) : 0;
}

VX_API int vexel_ll_check_last_cmd(vexel_ll_dev* dev, int type, int value) {
    const vexel_ll_op* ops = ops_of(dev);
    return ops ? ops->check_last_cmd(dev, u8(type), u8(value)) : 0;
}

VX_API int vexel_ll_cap_start(vexel_ll_dev* dev, uint32_t arg, vexel_ll_cap_cb cb, void* user) {
    const vexel_ll_op* ops = ops_of(dev);
    return ops ? ops->cap_start(dev, arg, cb, user) : 0;
}

VX_API int vexel_ll_cap_stop(vexel_ll_dev* dev) {
    const vexel_ll_op* ops = ops_of(dev);
    return ops ? ops->cap_stop(dev) : 0;
}

VX_API void vexel_ll_cap_abort(vexel_ll_dev* dev) {
    if (const vexel_ll_op* ops = ops_of(dev)) ops->cap_abort(dev);
}

VX_API int vexel_ll_reg_write(vexel_ll_dev* dev, int target, uint32_t base, const uint32_t* values,
                              int count) {
    const vexel_ll_op* ops = ops_of(dev);
    return ops ? ops->reg_write(dev, u8(target), base, values, u16(count)) : 0;
}

VX_API int vexel_ll_reg_read(vexel_ll_dev* dev, int target, uint32_t base, uint32_t* values, int count) {
    const vexel_ll_op* ops = ops_of(dev);
    return ops ? ops->reg_read(dev, u8(target), base, values, u16(count)) : 0;
}

VX_API int vexel_ll_param_set(vexel_ll_dev* dev, vexel_ll_param_rec* recs, int count) {
    const vexel_ll_op* ops = ops_of(dev);
    return ops ? ops->param_set(dev, recs, count) : 0;
}

VX_API int vexel_ll_param_get(vexel_ll_dev* dev, vexel_ll_param_rec* recs, int count) {
    const vexel_ll_op* ops = ops_of(dev);
    return ops ? ops->param_get(dev, recs, count) : 0;
}

}  // extern "C"

#include <cstddef>

// The core copies listed records into its open record field by field; these offsets are ABI.
static_assert(offsetof(vexel_ll_dev, fd) == 8 && offsetof(vexel_ll_dev, bus) == 12);
static_assert(offsetof(vexel_ll_dev, reserved) == 16 && offsetof(vexel_ll_dev, ops) == 56);
static_assert(offsetof(vexel_ll_dev, valid) == 64 && sizeof(vexel_ll_dev) == 72);
static_assert(sizeof(vexel_ll_param_rec) == 20);
static_assert(sizeof(vexel_ll_op) == 17 * sizeof(void*));
