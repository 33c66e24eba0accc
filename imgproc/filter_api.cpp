// Filter control: finds the device's sensor driver and hands it the switch.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>

#include <vexel/driver.h>
#include <vexel/features.h>

#include "core/device.hpp"
#include "core/log.hpp"

namespace {

constexpr int32_t kNone = VEXEL_FILTER_VALUE_NONE, kInt = VEXEL_FILTER_VALUE_INT, kReal = VEXEL_FILTER_VALUE_FLOAT;

// What the epc driver reads for each switch (driver/epc.cpp); the names are the vexel program's.
// amp's default 0 is "no threshold, afresh every frame", as after the open.
constexpr vexel_filter_info kFilters[] = {
    {VEXEL_FILTER_LENS_UNDISTORT, "lens", "lens_undistort", "lens undistortion", kNone, 0, 0, 0, 0, 0, 1, 0, 0, 0},
    {VEXEL_FILTER_PIXEL_CALIB, "drnu", "pixel_calib", "pixel calibration, calibration set 0 or 1", kInt, 1, 0, 1, 0,
     0, 1, 0, 0, 0},
    {VEXEL_FILTER_MEDIAN, "median", "median", "median filter, odd kernel size", kInt, 1, 1, 255, 0, 1, 1, 3, 1, 3},
    {VEXEL_FILTER_AMP_THRESHOLD, "amp", "amp_threshold", "minimum amplitude", kInt, 4, 0, 2147483647.0, 0, 0, 1, 0,
     1, 0},
    {VEXEL_FILTER_AUTO_INTG, "auto-intg", "auto_intg", "automatic integration time, per mille of bad samples", kInt,
     2, 1, 1000, 0, 0, 0, 0, 0, 0},
    {VEXEL_FILTER_DCS_CHECK, "dcs-check", "dcs_check", "consistency check, correction value", kInt, 2, 0, 65535, 0, 0,
     1, 0, 0, 0},
    {VEXEL_FILTER_TEMP_MONITOR, "temp-monitor", "temp_monitor", "temperature report in the log", kInt, 2, 0, 65535, 0,
     0, 1, 75, 1, 75},
    {VEXEL_FILTER_HDR, "hdr", "hdr", "HDR", kNone, 0, 0, 0, 0, 0, 1, 0, 0, 0},
    {VEXEL_FILTER_CONFIDENCE, "confidence", "confidence", "largest predicted noise kept, mm", kReal, 4, 0, 1e6, 1, 0,
     1, 30, 0, 0},
    {VEXEL_FILTER_FLYING, "flying", "flying", "flying-pixel removal, k", kReal, 4, 1, 100, 0, 0, 1, 6, 0, 0},
    {VEXEL_FILTER_TEMPORAL, "temporal", "temporal", "temporal smoothing, alpha", kReal, 4, 0, 1, 1, 0, 1, 0.1, 0, 0},
    {VEXEL_FILTER_SPATIAL, "spatial", "spatial", "edge-preserving smoothing, range sigma in mm", kReal, 4, 0, 1e6, 1,
     0, 1, 5, 0, 0},
    {VEXEL_FILTER_FILL, "fill", "fill", "hole filling, largest hole in pixels", kReal, 4, 1, 64, 0, 0, 1, 4, 0, 0},
    {VEXEL_FILTER_TEMP_TWO_SIDED, "temp-two-sided", "temp_two_sided",
     "temperature compensation of the sensor below its calibration temperature too", kNone, 0, 0, 0, 0, 0, 1, 0, 0,
     0},
};

const vexel_filter_info* info_of(int32_t id) {
    for (const vexel_filter_info& f : kFilters)
        if (f.id == id) return &f;
    return nullptr;
}

// Whether `v` is a value the switch takes (switches without one take anything).
bool value_fits(const vexel_filter_info& f, double v) {
    if (f.kind == kNone) return true;
    if (!(f.lo_open ? v > f.lo : v >= f.lo) || !(v <= f.hi)) return false;
    if (f.kind == kReal) return true;
    if (v != std::floor(v)) return false;
    return !f.odd || std::fmod(v, 2.0) != 0.0;
}

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
    if (drv->ops->filter_enable(drv, filter_id, filter_arg, arg_size)) return 1;
    const char* name = vexel_filter_name(filter_id);
    vx::logf(vx::kWrn, "[%s] the driver refused filter %s\n", __func__, name ? name : "without a name");
    return 0;
}

VX_API int32_t vexel_filter_disable(vexel_dev* dev, int32_t filter_id) {
    if (!dev) return -1;
    vx::DeviceCall call(dev);
    vexel_driver_entry* drv = driver_for(dev, call, __func__);
    if (!drv) return -1;
    if (!drv->ops || !drv->ops->filter_disable) return 0;
    if (drv->ops->filter_disable(drv, filter_id)) return 1;
    const char* name = vexel_filter_name(filter_id);
    vx::logf(vx::kWrn, "[%s] the driver refused to switch filter %s off\n", __func__, name ? name : "without a name");
    return 0;
}

VX_API int32_t vexel_filter_get(vexel_dev* dev, int32_t filter_id, void* value, int32_t size) {
    if (!dev || (value && size < 0)) return -1;
    vx::DeviceCall call(dev);
    vexel_driver_entry* drv = driver_for(dev, call, __func__);
    if (!drv || !drv->ops || !drv->ops->filter_get) return -1;
    return drv->ops->filter_get(drv, filter_id, value, value ? size : 0);
}

VX_API int32_t vexel_filter_count(void) { return static_cast<int32_t>(std::size(kFilters)); }

VX_API const vexel_filter_info* vexel_filter_at(int32_t index) {
    return index >= 0 && index < vexel_filter_count() ? &kFilters[index] : nullptr;
}

VX_API const vexel_filter_info* vexel_filter_find(const char* name) {
    if (!name) return nullptr;
    for (const vexel_filter_info& f : kFilters)
        if (std::strcmp(name, f.name) == 0 || std::strcmp(name, f.id_name) == 0) return &f;
    return nullptr;
}

VX_API const char* vexel_filter_name(int32_t filter_id) {
    const vexel_filter_info* f = info_of(filter_id);
    return f ? f->name : nullptr;
}

VX_API int32_t vexel_filter_set(vexel_dev* dev, int32_t filter_id, int32_t on, double value) {
    if (!dev) return -1;
    const vexel_filter_info* f = info_of(filter_id);
    if (!f) {
        vx::logf(vx::kDbg, "[%s] no filter has id %d\n", __func__, filter_id);
        return -2;
    }
    if (!on) return vexel_filter_disable(dev, filter_id);
    if (!value_fits(*f, value)) {  // the caller hears of it by the result: no warning of its own
        vx::logf(vx::kDbg, "[%s] filter %s: %g is outside %s%g to %g%s\n", __func__, f->name, value,
                 f->lo_open ? "above " : "", f->lo, f->hi, f->odd ? " (odd)" : "");
        return -2;
    }
    uint8_t bytes[4] = {};
    if (f->kind == kReal) {
        const auto v = static_cast<float>(value);
        std::memcpy(bytes, &v, sizeof v);
    } else if (f->kind == kInt) {
        const auto v = static_cast<uint32_t>(static_cast<int64_t>(value));
        for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(v >> (8 * i));  // little-endian
    }
    return vexel_filter_enable(dev, filter_id, bytes, f->bytes);
}

VX_API int32_t vexel_filter_value(vexel_dev* dev, int32_t filter_id, double* value) {
    uint8_t b[4] = {};
    const int32_t r = vexel_filter_get(dev, filter_id, b, sizeof b);
    if (!value) return r;
    *value = 0;
    const vexel_filter_info* f = info_of(filter_id);
    if (r < 0 || !f) return r;
    if (f->kind == kReal) {
        float v;
        std::memcpy(&v, b, sizeof v);
        *value = v;
    } else if (f->kind == kInt) {
        uint32_t v = 0;
        for (int i = f->bytes - 1; i >= 0; --i) v = (v << 8) | b[i];
        *value = f->bytes == 4 ? double(static_cast<int32_t>(v)) : double(v);
    }
    return r;
}

}  // extern "C"
