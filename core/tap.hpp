// A listener on one open device: sees what the transport delivers during capture and the
// register and parameter writes made through the device calls. The recorder is one.
#pragma once

#include <atomic>
#include <cstdint>

#include <vexel/transport.h>

struct vexel_dev_handle;

namespace vx {

class DeviceTap {
public:
    virtual ~DeviceTap() = default;
    // The transport's capture callback, before the device takes the bytes; event thread.
    virtual void on_capture(int code, const uint8_t* data, int len) = 0;
    // After the transport answered; `ok` is its answer. Caller threads.
    virtual void on_reg_write(unsigned target, uint32_t base, const uint32_t* values, uint32_t count, bool ok) = 0;
    virtual void on_param_set(const vexel_ll_param_rec* recs, int count, bool ok) = 0;
    // The device is closing with the tap still attached; it is already detached and the tap
    // owns itself from here.
    virtual void on_close() = 0;
};

// One tap per device: false when another one is attached.
bool attach_tap(vexel_dev_handle* h, DeviceTap* tap);
// Detaches the tap and waits until no thread is inside it; returns it (null when none).
DeviceTap* detach_tap(vexel_dev_handle* h);

// Holds the device's tap for the length of a scope: detach waits for it.
class TapUse {
public:
    explicit TapUse(vexel_dev_handle* h);
    ~TapUse();
    TapUse(const TapUse&) = delete;
    TapUse& operator=(const TapUse&) = delete;
    DeviceTap* operator->() const { return tap_; }
    explicit operator bool() const { return tap_ != nullptr; }
    DeviceTap* get() const { return tap_; }

private:
    vexel_dev_handle* h_;
    DeviceTap* tap_;
};

}  // namespace vx
