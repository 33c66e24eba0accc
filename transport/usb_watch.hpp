// The cameras on the bus, rescanned on libusb hot-plug events or every second.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vx::usb {

struct Present {
    uint8_t bus = 0, port = 0, addr = 0;
    std::string serial;
};

// Scans the bus for cameras now, serials included.
std::vector<Present> scan_cameras();

// Calls `changed` on a thread of its own with the cameras now present, each time the set may
// have changed (a libusb hot-plug event, else every second). Destruction stops and joins it.
class BusWatch {
public:
    explicit BusWatch(std::function<void(std::vector<Present>)> changed);
    ~BusWatch();
    BusWatch(const BusWatch&) = delete;
    BusWatch& operator=(const BusWatch&) = delete;
    bool native_events() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vx::usb
