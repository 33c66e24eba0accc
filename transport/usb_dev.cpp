// USB discovery, open and close, and the per-device event thread.
#include <sys/time.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <system_error>

#include "core/log.hpp"
#include "transport/usb_debug.hpp"
#include "transport/usb_priv.hpp"
#include "transport/usb_serial.hpp"

namespace vx::usb {

namespace {

// What a scan needs to know of one USB device.
struct UsbId {
    uint16_t vendor, product;
    int bus, port, addr, speed;
    bool camera() const { return vendor == kVendorId && product == kProductId; }
};

// False (with the scan's message) when the descriptor cannot be read; the scan goes on.
bool read_id(libusb_device* d, ssize_t i, const char* fn, UsbId& id) {
    libusb_device_descriptor desc;
    if (libusb_get_device_descriptor(d, &desc) < 0) {
        logf(kErr, "[%s]   Failed to get device desc of device %d\n", fn, static_cast<int>(i));
        return false;
    }
    id = {desc.idVendor,
          desc.idProduct,
          libusb_get_bus_number(d),
          libusb_get_port_number(d),
          libusb_get_device_address(d),
          libusb_get_device_speed(d)};
    return true;
}

[[noreturn]] void out_of_memory(const char* msg, int status) {
    logf(kErr, msg, "_usb_ll_dev_priv_alloc");
    std::exit(status);
}

// A reopen after a USB reset needs fresh transfers: a used one holds a device reference that
// is dropped through the context it was submitted in, and that context is gone.
void alloc_xfers(usb_ll_dev_priv* p) {
    for (int i = 0; i < kBulkXferNum; ++i) {
        if (!p->xfers[i]) p->xfers[i] = libusb_alloc_transfer(0);
        if (!p->xfers[i]) out_of_memory("[%s] malloc failed!\n", -1);
        p->in_flight[i].store(false);
    }
}

// Everything an open needs is allocated here, so streaming never allocates; running out of
// memory this early leaves nothing sensible to continue with.
usb_ll_dev_priv* alloc_priv(vexel_ll_dev* dev) {
    auto* p = new (std::nothrow) usb_ll_dev_priv;
    if (!p) out_of_memory("[%s] malloc failed\n", -2);
    dev->priv = p;
    for (int i = 0; i < kBulkXferNum; ++i) {
        p->bufs[i] = static_cast<uint8_t*>(std::malloc(kBulkXferSize));
        if (!p->bufs[i]) out_of_memory("[%s] malloc failed!\n", -1);
    }
    alloc_xfers(p);
    return p;
}

// Releases the link an open holds (interfaces, handle, transfers, context) but keeps the
// private record; the event thread must already be gone.
void close_link(usb_ll_dev_priv* p) {
    if (p->handle) {
        libusb_release_interface(p->handle, 0);
        libusb_release_interface(p->handle, 1);
        // Also detaches any transfer that never reported, so it can be freed below.
        libusb_close(p->handle);
        p->handle = nullptr;
    }
    // Transfers go before the context does (see alloc_xfers).
    for (auto& t : p->xfers) {
        libusb_free_transfer(t);
        t = nullptr;
    }
    if (p->ctx) {
        libusb_exit(p->ctx);
        p->ctx = nullptr;
    }
}

void release_priv(vexel_ll_dev* dev) {
    usb_ll_dev_priv* p = priv_of(dev);
    if (!p) return;
    close_link(p);
    for (auto& b : p->bufs) std::free(b);
    delete p;
    dev->priv = nullptr;
}

void event_thread(usb_ll_dev_priv* p) {
    static const char* const fn = "_usb_ll_evt_thread";
    static const char* const loop = "_ll_event_loop";
    logf(kDbg, "[%s] enter\n", fn);
    p->evt_running.store(1);
    logf(kTrc, "[%s] Enter ll event loop...\n", loop);
    std::atomic_ref<int> stop(p->evt_stop);
    for (;;) {
        timeval tv{0, kEvtWaitUs};
        const int r = libusb_handle_events_timeout_completed(p->ctx, &tv, &p->evt_stop);
        // A requested stop wins over whatever the wait reported: close interrupts the wait.
        if (stop.load()) break;
        if (r >= 0) continue;
        logf(kErr, "[%s] libusb reports error: %s\n", loop, libusb_error_name(r));
        if (r == LIBUSB_ERROR_INTERRUPTED) {
            logf(kWrn, "[%s] libusb_handle_events LIBUSB_ERROR_INTERRUPTED \n", loop);
            break;
        }
        if (r == LIBUSB_ERROR_TIMEOUT) {
            logf(kWrn, "[%s] libusb_handle_events timeout \n", loop);
            break;
        }
        if (r == LIBUSB_ERROR_BUSY || r == LIBUSB_ERROR_OVERFLOW) continue;
        break;
    }
    p->evt_running.store(0);
    p->evt_exited.store(true);
    {
        // Close may be waiting for bulk transfers that can no longer report.
        std::lock_guard lk(p->xfer_mu);
    }
    p->idle_cv.notify_all();
    logf(kTrc, "[%s] Exit ll event loop...\n", loop);
    logf(kDbg, "[%s] exit\n", fn);
}

// Finds the camera the record names (or the first one that opens) and opens it.
libusb_device_handle* find_and_open(vexel_ll_dev* dev, libusb_context* ctx) {
    static const char* const fn = "_usb_ll_dev_open";
    libusb_device** devs = nullptr;
    const ssize_t n = libusb_get_device_list(ctx, &devs);
    if (n < 0) {
        logf(kErr, "[%s]   enum libusb device failed: %d \n", fn, static_cast<int>(n));
        return nullptr;
    }
    logf(kTrc, "[%s]   %d usb device found \n", fn, static_cast<int>(n));

    libusb_device_handle* h = nullptr;
    for (ssize_t i = 0; i < n && !h; ++i) {
        libusb_device* d = devs[i];
        UsbId id;
        if (!read_id(d, i, fn, id)) continue;
        const int bus = id.bus, port = id.port, addr = id.addr, speed = id.speed;
        if (dev->valid) {
            logf(kTrc, "[%s] [%d] %04x:%04x (speed=%d) @ %03d:%03d:%03d\n", fn, static_cast<int>(i),
                 id.vendor, id.product, speed, port, bus, addr);
            // The address is not compared: a camera that re-enumerated keeps its bus and port.
            if (!id.camera() || bus != dev->bus || port != dev->port) continue;
            logf(kDbg, "[%s] open vexel device @ %03d:%03d:%03d\n", fn, dev->port, dev->bus, dev->addr);
            const int r = libusb_open(d, &h);
            if (r < 0) {
                logf(kWrn, "[%s] failed to open this device: %s\n", fn, libusb_error_name(r));
                h = nullptr;
            }
        } else {
            if (!id.camera()) continue;
            logf(kDbg, "[%s] found vexel device (speed=%d) @ %03d:%03d:%03d\n", fn, speed, port, bus, addr);
            if (speed < LIBUSB_SPEED_HIGH)
                logf(kWrn, "[%s] found vexel device not in HS mode (speed=%d) @ %03d:%03d:%03d\n", fn, speed,
                     port, bus, addr);
            const int r = libusb_open(d, &h);
            if (r < 0) {
                logf(kWrn, "[%s]   failed to open this device: %s, try next ...\n", fn, libusb_error_name(r));
                h = nullptr;
                continue;
            }
            dev->valid = 1;
            dev->fd = 0;
            dev->port = static_cast<uint8_t>(port);
            dev->bus = static_cast<uint8_t>(bus);
            dev->addr = static_cast<uint8_t>(addr);
            dev->speed = static_cast<uint8_t>(speed);
        }
    }
    libusb_free_device_list(devs, 1);
    return h;
}

// Context, handle, configuration, interface and event thread; false leaves cleanup to the caller.
bool open_priv_record(vexel_ll_dev* dev, usb_ll_dev_priv* p) {
    static const char* const fn = "_usb_ll_dev_open";
    static const char* const fn2 = "usb_ll_dev_open";
    if (!p->ctx) {
        logf(kDbg, "[%s]  create usb context\n", fn);
        const int r = libusb_init(&p->ctx);
        if (r < 0) {
            logf(kErr, "[%s]  create usb context failed: %s\n", fn, libusb_error_name(r));
            p->ctx = nullptr;
            return false;
        }
        libusb_set_option(p->ctx, LIBUSB_OPTION_LOG_LEVEL, stored_debug_level());
    }
    p->handle = find_and_open(dev, p->ctx);
    if (!p->handle) return false;

    dev->fd = 0;
    int r = libusb_set_configuration(p->handle, 1);
    if (r < 0) {
        logf(kErr, "[%s] libusb_set_configuration failed: %s\n", fn2, libusb_error_name(r));
        return false;
    }
    libusb_set_auto_detach_kernel_driver(p->handle, 1);
    if (libusb_claim_interface(p->handle, 0) < 0) {
        r = libusb_claim_interface(p->handle, 1);
        if (r < 0) {
            logf(kErr, "[%s] libusb_claim_interface failed: %s\n", fn2, libusb_error_name(r));
            return false;
        }
    }

    alloc_xfers(p);
    p->evt_running.store(0);
    p->evt_exited.store(false);
    std::atomic_ref<int>(p->evt_stop).store(0);
    try {
        p->evt_thread = std::thread(event_thread, p);
    } catch (const std::system_error&) {
        logf(kErr, "[%s]  create evt thread failed\n", fn2);
        return false;
    }
    return true;
}

}  // namespace

int dev_list(vexel_ll_dev* list, int capacity) {
    static const char* const fn = "usb_ll_dev_list";
    if (!list || capacity <= 0) return 0;
    libusb_context* ctx = nullptr;
    const int rc = libusb_init(&ctx);
    if (rc < 0) {
        logf(kErr, "[%s]  create usb context failed: %s\n", fn, libusb_error_name(rc));
        return 0;
    }
    std::memset(static_cast<void*>(list), 0, sizeof(vexel_ll_dev) * static_cast<size_t>(capacity));

    libusb_device** devs = nullptr;
    const ssize_t n = libusb_get_device_list(ctx, &devs);
    if (n < 0) {
        logf(kErr, "[%s]   enum usb device failed: %d \n", fn, static_cast<int>(n));
        libusb_exit(ctx);
        return 0;
    }
    logf(kDbg, "[%s] probe vexel device (max=%d) in %d usb device\n", fn, capacity, static_cast<int>(n));

    int count = 0;
    for (ssize_t i = 0; i < n && count < capacity; ++i) {
        UsbId id;
        if (!read_id(devs[i], i, fn, id)) continue;
        const int bus = id.bus, port = id.port, addr = id.addr;
        logf(kTrc, "[%s] [%02d] %04x:%04x @ %03d:%03d:%03d\n", fn, static_cast<int>(i), id.vendor, id.product,
             port, bus, addr);
        if (!id.camera()) continue;
        vexel_ll_dev& rec = list[count];
        std::memset(static_cast<void*>(&rec), 0, sizeof rec);
        rec.priv = nullptr;
        rec.fd = 0;
        rec.port = static_cast<uint8_t>(port);
        rec.bus = static_cast<uint8_t>(bus);
        rec.addr = static_cast<uint8_t>(addr);
        rec.speed = static_cast<uint8_t>(id.speed);
        rec.ops = &ll_op_usb;
        rec.valid = 1;
        logf(kDbg, "[%s]   VEXEL device (speed=%d) found @ %03d:%03d:%03d, %p\n", fn, rec.speed, port, bus,
             addr, static_cast<void*>(&rec));
        ++count;
    }
    libusb_free_device_list(devs, 1);
    libusb_exit(ctx);
    return count;
}

bool read_serial(uint8_t bus, uint8_t port, char* out, size_t cap) {
    static const char* const fn = "usb_read_serial";
    if (!out || cap == 0) return false;
    out[0] = '\0';
    libusb_context* ctx = nullptr;
    if (libusb_init(&ctx) < 0) return false;
    libusb_device** devs = nullptr;
    const ssize_t n = libusb_get_device_list(ctx, &devs);
    bool found = false;
    for (ssize_t i = 0; i < n && !found; ++i) {
        UsbId id;
        if (!read_id(devs[i], i, fn, id) || !id.camera() || id.bus != bus || id.port != port) continue;
        libusb_device_descriptor desc;
        libusb_device_handle* h = nullptr;
        // Opening the node claims nothing: a camera in use elsewhere still tells its serial.
        if (libusb_get_device_descriptor(devs[i], &desc) < 0 || desc.iSerialNumber == 0 ||
            libusb_open(devs[i], &h) < 0)
            break;
        unsigned char text[256];
        const int len = libusb_get_string_descriptor_ascii(h, desc.iSerialNumber, text, sizeof text - 1);
        libusb_close(h);
        if (len <= 0) break;
        const size_t k = std::min(static_cast<size_t>(len), cap - 1);
        std::memcpy(out, text, k);
        out[k] = '\0';
        found = true;
    }
    if (n >= 0) libusb_free_device_list(devs, 1);
    libusb_exit(ctx);
    return found;
}

vexel_ll_dev* dev_open(vexel_ll_dev* dev) {
    if (!dev || dev->fd != 0) return nullptr;
    if (open_priv(dev)) {
        // A second event thread over the same record would orphan the first one.
        logf(kWrn, "[%s] device already opened\n", "_usb_ll_dev_open");
        return dev;
    }
    usb_ll_dev_priv* p = dev->priv ? priv_of(dev) : alloc_priv(dev);
    if (!open_priv_record(dev, p)) {
        release_priv(dev);
        return nullptr;
    }
    dev->ops = &ll_op_usb;
    return dev;
}

vexel_ll_dev* dev_open_by_fd(vexel_ll_dev* dev) {
    // Checked before allocating: dev_open refuses such a record and nothing would free the memory.
    if (!dev || dev->fd != 0) return nullptr;
    if (!dev->priv) alloc_priv(dev);
    return dev_open(dev);
}

// Takes every bulk transfer back from libusb, then ends the event thread.
void stop_events(usb_ll_dev_priv* p, const char* fn) {
    // libusb must hand back every bulk transfer before they can be freed, and only the event
    // thread can take them back.
    drain_bulk(p, fn);
    std::atomic_ref<int> stop(p->evt_stop);
    if (stop.load() == 0) {
        logf(kDbg, "[%s] stop evt thread...\n", fn);
        stop.store(1);
        libusb_interrupt_event_handler(p->ctx);
    }
    if (p->evt_thread.joinable()) p->evt_thread.join();
}

void dev_close(vexel_ll_dev* dev) {
    static const char* const fn = "usb_ll_dev_close";
    if (!dev || dev->fd != 0) return;
    usb_ll_dev_priv* p = priv_of(dev);
    if (!p || !p->ctx || !p->handle) {
        logf(kWrn, "[%s] device no need to closed!\n", fn);
        // A reset whose reopen failed leaves the record without a link; nothing else owns it.
        if (p && !p->ctx && !p->handle) release_priv(dev);
        return;
    }
    stop_events(p, fn);
    release_priv(dev);
}

void close_for_reset(vexel_ll_dev* dev) {
    usb_ll_dev_priv* p = open_priv(dev);
    if (!p) {
        dev_close(dev);  // says there is nothing to close
        return;
    }
    stop_events(p, "usb_ll_dev_close");
    close_link(p);
}

bool reopen_after_reset(vexel_ll_dev* dev) {
    usb_ll_dev_priv* p = priv_of(dev);
    if (!p) return vexel_ll_dev_open(dev) != nullptr;
    if (!open_priv_record(dev, p)) {
        close_link(p);
        return false;
    }
    dev->ops = &ll_op_usb;
    return true;
}

}  // namespace vx::usb
