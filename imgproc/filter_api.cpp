// Filter control: finds the device's sensor driver and hands it the switch.
#include <vexel/driver.h>
#include <vexel/features.h>

#include "core/device.hpp"
#include "core/log.hpp"

namespace {

// The open device's driver, else the registry row its product string names (whose driver has
// no state to switch and refuses). Null, with the message, when there is none.
vexel_driver_entry* driver_for(vexel_dev* dev, const vx::DeviceCall& call, const char* fn) {
    vexel_driver_entry* drv = call ? call.handle()->driver : nullptr;
    if (!drv) drv = vexel_drv_find(dev);
    if (!drv) vx::logf(vx::kErr, "[%s] cannot find driver for device: product=%.32s\n", fn, dev->product);
    return drv;
}

}  // namespace

extern "C" {

VX_API int32_t vexel_filter_enable(vexel_dev* dev, int32_t filter_id, void* filter_arg, int32_t arg_size) {
    if (!dev) return -1;
    vx::DeviceCall call(dev);  // holds the busy byte and keeps an open driver alive
    vexel_driver_entry* drv = driver_for(dev, call, __func__);
    if (!drv) return -1;
    if (!drv->ops || !drv->ops->filter_enable) return 0;
    return drv->ops->filter_enable(drv, filter_id, filter_arg, arg_size) ? 1 : 0;
}

VX_API int32_t vexel_filter_disable(vexel_dev* dev, int32_t filter_id) {
    if (!dev) return -1;
    vx::DeviceCall call(dev);
    vexel_driver_entry* drv = driver_for(dev, call, __func__);
    if (!drv) return -1;
    if (!drv->ops || !drv->ops->filter_disable) return 0;
    return drv->ops->filter_disable(drv, filter_id) ? 1 : 0;
}

VX_API int32_t vexel_filter_get(vexel_dev* dev, int32_t filter_id, void* value, int32_t size) {
    if (!dev || (value && size < 0)) return -1;
    vx::DeviceCall call(dev);
    vexel_driver_entry* drv = driver_for(dev, call, __func__);
    if (!drv || !drv->ops || !drv->ops->filter_get) return -1;
    return drv->ops->filter_get(drv, filter_id, value, value ? size : 0);
}

}  // extern "C"
