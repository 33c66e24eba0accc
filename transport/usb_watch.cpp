// Bus watch: libusb hot-plug events where the platform has them, a rescan every second always,
// so a camera is noticed even where events do not arrive (containers, emulated buses).
#include "transport/usb_watch.hpp"

#include <sys/time.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <thread>
#include <tuple>

#include <libusb.h>

#include "core/log.hpp"
#include "transport/usb_priv.hpp"

namespace vx::usb {

namespace {

using Key = std::tuple<uint8_t, uint8_t, uint8_t>;

std::string serial_of(libusb_device* d) {
    libusb_device_descriptor desc;
    libusb_device_handle* h = nullptr;
    // Opening the node claims nothing: a camera streaming to another program still answers.
    if (libusb_get_device_descriptor(d, &desc) < 0 || desc.iSerialNumber == 0 || libusb_open(d, &h) < 0) return {};
    unsigned char text[256];
    const int len = libusb_get_string_descriptor_ascii(h, desc.iSerialNumber, text, sizeof text - 1);
    libusb_close(h);
    return len > 0 ? std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(len)) : std::string();
}

// Serials are read once per device: a known address keeps the serial it had.
std::vector<Present> scan(libusb_context* ctx, std::map<Key, std::string>* known) {
    std::vector<Present> now;
    libusb_device** devs = nullptr;
    const ssize_t n = libusb_get_device_list(ctx, &devs);
    std::map<Key, std::string> seen;
    for (ssize_t i = 0; i < n; ++i) {
        libusb_device_descriptor desc;
        if (libusb_get_device_descriptor(devs[i], &desc) < 0 || desc.idVendor != kVendorId ||
            desc.idProduct != kProductId)
            continue;
        Present p;
        p.bus = libusb_get_bus_number(devs[i]);
        p.port = libusb_get_port_number(devs[i]);
        p.addr = libusb_get_device_address(devs[i]);
        const Key k{p.bus, p.port, p.addr};
        auto it = known ? known->find(k) : std::map<Key, std::string>::iterator{};
        p.serial = known && it != known->end() ? it->second : serial_of(devs[i]);
        seen[k] = p.serial;
        now.push_back(std::move(p));
    }
    if (n >= 0) libusb_free_device_list(devs, 1);
    if (known) *known = std::move(seen);
    std::sort(now.begin(), now.end(), [](const Present& a, const Present& b) {
        return std::tie(a.bus, a.port, a.addr) < std::tie(b.bus, b.port, b.addr);
    });
    return now;
}

}  // namespace

std::vector<Present> scan_cameras() {
    libusb_context* ctx = nullptr;
    if (libusb_init(&ctx) < 0) return {};
    auto now = scan(ctx, nullptr);
    libusb_exit(ctx);
    return now;
}

struct BusWatch::Impl {
    libusb_context* ctx = nullptr;
    libusb_hotplug_callback_handle cb_handle = 0;
    bool native = false;
    std::atomic<bool> stop{false};
    std::atomic<bool> poke{false};
    std::function<void(std::vector<Present>)> changed;
    std::map<Key, std::string> known;
    std::thread thread;

    static int LIBUSB_CALL on_event(libusb_context*, libusb_device*, libusb_hotplug_event, void* self) {
        static_cast<Impl*>(self)->poke.store(true);
        return 0;  // stay registered
    }

    void run() {
        auto last = std::chrono::steady_clock::time_point{};
        while (!stop.load()) {
            timeval tv{0, 200000};
            libusb_handle_events_timeout_completed(ctx, &tv, nullptr);
            if (stop.load()) break;
            const auto now = std::chrono::steady_clock::now();
            if (!poke.exchange(false) && now - last < std::chrono::seconds(1)) continue;
            last = now;
            changed(scan(ctx, &known));
        }
    }
};

BusWatch::BusWatch(std::function<void(std::vector<Present>)> changed) : impl_(std::make_unique<Impl>()) {
    impl_->changed = std::move(changed);
    if (libusb_init(&impl_->ctx) < 0) {
        logf(kErr, "[%s] libusb_init failed: no hot-plug events\n", "vexel_hotplug");
        impl_->ctx = nullptr;
        return;
    }
    if (libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG))
        impl_->native = libusb_hotplug_register_callback(
                            impl_->ctx,
                            static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED |
                                                              LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
                            static_cast<libusb_hotplug_flag>(0), kVendorId, kProductId, LIBUSB_HOTPLUG_MATCH_ANY,
                            &Impl::on_event, impl_.get(), &impl_->cb_handle) == LIBUSB_SUCCESS;
    impl_->thread = std::thread([this] { impl_->run(); });
}

BusWatch::~BusWatch() {
    if (!impl_->ctx) return;
    impl_->stop.store(true);
    libusb_interrupt_event_handler(impl_->ctx);
    if (impl_->thread.joinable()) impl_->thread.join();
    if (impl_->native) libusb_hotplug_deregister_callback(impl_->ctx, impl_->cb_handle);
    libusb_exit(impl_->ctx);
}

bool BusWatch::native_events() const { return impl_->native; }

}  // namespace vx::usb
