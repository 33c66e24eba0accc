#include "transport/usb_debug.hpp"

#include <atomic>

namespace vx::usb {

namespace {
std::atomic<int> g_debug_level{0};
}

int libusb_level_for(unsigned log_level) {
    switch (log_level) {
        case 0:
        case 1: return 4;
        case 2: return 3;
        case 3: return 2;
        case 4: return 1;
        default: return 0;
    }
}

int stored_debug_level() { return g_debug_level.load(std::memory_order_relaxed); }

void set_debug(unsigned log_level) { g_debug_level.store(libusb_level_for(log_level), std::memory_order_relaxed); }

}  // namespace vx::usb
