// Library lifecycle, device list, open, close and reset.
#include "core/device.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <vector>

#include <vexel/device.h>
#include <vexel/log.h>
#include <vexel/stream.h>

#include "core/clock.hpp"
#include "core/log.hpp"
#include "core/path.hpp"
#include "transport/usb_serial.hpp"
#include "imgproc/cmap.hpp"

static_assert(sizeof(vexel_param_item) == 24);
static_assert(offsetof(vexel_dev, fd) == 8 && offsetof(vexel_dev, reserved) == 16);
static_assert(offsetof(vexel_dev, product) == 52 && offsetof(vexel_dev, dev_id) == 84);
static_assert(offsetof(vexel_dev, dev_info) == 116 && offsetof(vexel_dev, version) == 148);
static_assert(offsetof(vexel_dev, path_prefix) == 160 && offsetof(vexel_dev, reserved2) == 168);
static_assert(offsetof(vexel_dev, valid) == 180 && offsetof(vexel_dev, busy) == 182);
static_assert(sizeof(vexel_dev) == 184);
// The identity block is copied as one run between the record and the transport record.
static_assert(offsetof(vexel_dev, valid) - offsetof(vexel_dev, fd) > 0);
constexpr size_t kIdentityBytes = offsetof(vexel_dev, reserved) + 36 - offsetof(vexel_dev, fd);
static_assert(kIdentityBytes == offsetof(vexel_ll_dev, reserved) + 36 - offsetof(vexel_ll_dev, fd));

namespace {

// Guards every record's handle pointer and each handle's in-flight count; held only briefly.
std::mutex g_dev_mu;
std::condition_variable g_dev_cv;  // an in-flight count reached zero

vexel_dev g_default_dev{};

// Opens take turns from the driver's start to the end of its calibration load.
std::mutex g_driver_start_mu;

// Handles the calling thread is inside right now, once per nesting level.
thread_local std::vector<const vexel_dev_handle*> t_inside;

vexel_driver_entry g_registry[] = {
    {"TI OP8241 chip driver", "T0", &g_vexel_driver_op_ti, nullptr, nullptr},
    {"EPC chip driver", "E1", &g_vexel_driver_op_epc, nullptr, nullptr},
    {"EPC chip driver", "E2", &g_vexel_driver_op_epc, nullptr, nullptr},
    {"EPC chip driver", "E3", &g_vexel_driver_op_epc, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

void set_busy(vexel_dev* dev, bool on) { std::atomic_ref<uint8_t>(dev->busy).store(on ? 1 : 0); }

void copy_identity(void* dst, const void* src) { std::memcpy(dst, src, kIdentityBytes); }

void to_handle(vexel_dev_handle* h, const vexel_dev* dev) {
    copy_identity(&h->ll.fd, &dev->fd);
    h->ll.valid = dev->valid;
}

void to_record(vexel_dev* dev, const vexel_dev_handle* h) {
    copy_identity(&dev->fd, &h->ll.fd);
    dev->valid = h->ll.valid;
}

void set_handle(vexel_dev* dev, vexel_dev_handle* h) {
    std::lock_guard lock(g_dev_mu);
    dev->handle = h;
}

// Waits until no public call is inside `h`; new calls are refused from here on. The wait is
// unbounded after the warning: releasing a handle that a call still uses is never an option.
void drain_calls(vexel_dev_handle* h) {
    std::unique_lock lock(g_dev_mu);
    h->closing = true;
    for (int i = 0; i < 30 && h->inflight > 0; ++i) g_dev_cv.wait_for(lock, std::chrono::milliseconds(100));
    if (h->inflight > 0) {
        vx::logf(vx::kWrn, "[%s]  api wait timeout\n", "vexel_dev_close");
        g_dev_cv.wait(lock, [h] { return h->inflight == 0; });
    }
}

void wake_waiters(vexel_dev_handle* h) {
    h->stop.store(1);
    std::lock_guard lock(h->mu);
    h->cv.notify_all();
}

// Releases everything an open handle owns after the transport is closed.
void release_handle(vexel_dev* dev, vexel_dev_handle* h) {
    if (h->driver && h->driver->ops && h->driver->ops->uninit) h->driver->ops->uninit(h->driver);
    if (h->stream) vx_stream_destroy(h->stream);
    set_handle(dev, nullptr);
    delete h;
}

// Close as the public call does, except the record itself is never freed here.
void close_handle(vexel_dev* dev, vexel_dev_handle* h) {
    wake_waiters(h);
    drain_calls(h);
    if (h->capturing.load()) vx::stop_capture_for_close(dev, h);
    vexel_ll_dev_close(&h->ll);
    h->open.store(0);
    if (vx::DeviceTap* tap = vx::detach_tap(h)) tap->on_close();
    release_handle(dev, h);
}

void fail_open(vexel_dev* dev, vexel_dev_handle* h) {
    h->open.store(0);
    set_handle(dev, nullptr);
    delete h;
    if (dev->free_on_close) std::free(dev);
}

// Copies a text parameter into a 32-character field: at most 18 characters travel.
void store_text(char (&dst)[32], const vexel_param_item& item) {
    std::memset(dst, 0, sizeof dst);
    std::memcpy(dst, item.param_val, sizeof item.param_val);
    dst[sizeof item.param_val] = '\0';
}

template <size_t N>
void store_raw(uint8_t (&dst)[N], const vexel_param_item& item) {
    std::memset(dst, 0, N);
    std::memcpy(dst, item.param_val, std::min<size_t>({item.param_len, N, sizeof item.param_val}));
}

}  // namespace

namespace vx {

DeviceCall::DeviceCall(vexel_dev* dev) : dev_(dev) {
    if (!dev) return;
    std::lock_guard lock(g_dev_mu);
    vexel_dev_handle* h = dev->handle;
    if (!h || h->closing || !h->open.load()) return;
    ++h->inflight;
    h_ = h;
    set_busy(dev, true);
    t_inside.push_back(h);
}

DeviceCall::~DeviceCall() {
    if (!h_) return;
    t_inside.erase(std::find(t_inside.rbegin(), t_inside.rend(), h_).base() - 1);
    std::lock_guard lock(g_dev_mu);
    if (--h_->inflight == 0) {
        set_busy(dev_, false);
        g_dev_cv.notify_all();
    }
}

vexel_dev_handle* handle_of(const vexel_dev* dev) {
    if (!dev) return nullptr;
    std::lock_guard lock(g_dev_mu);
    return dev->handle;
}

void TurnLock::lock() {
    try_lock_until(std::chrono::steady_clock::time_point::max());
}

bool TurnLock::try_lock() {
    return try_lock_until(std::chrono::steady_clock::time_point::min());
}

bool TurnLock::try_lock_until(std::chrono::steady_clock::time_point deadline) {
    const std::thread::id me = std::this_thread::get_id();
    std::unique_lock lk(mu_);
    if (depth_ > 0 && owner_ == me) {
        ++depth_;
        return true;
    }
    auto free = [this] { return depth_ == 0; };
    if (deadline == std::chrono::steady_clock::time_point::max())
        cv_.wait(lk, free);
    else if (!cv_.wait_until(lk, deadline, free))
        return false;
    owner_ = me;
    depth_ = 1;
    return true;
}

void TurnLock::unlock() {
    {
        std::lock_guard lk(mu_);
        if (--depth_ > 0) return;
        owner_ = {};
    }
    cv_.notify_one();
}

bool inside_call(const vexel_dev_handle* h) {
    return std::find(t_inside.begin(), t_inside.end(), h) != t_inside.end();
}

bool attach_tap(vexel_dev_handle* h, DeviceTap* tap) {
    DeviceTap* none = nullptr;
    return h->tap.compare_exchange_strong(none, tap);
}

DeviceTap* detach_tap(vexel_dev_handle* h) {
    DeviceTap* tap = h->tap.exchange(nullptr);
    // A user counts itself before it loads the pointer, so once the count is zero no thread
    // holds the old tap.
    while (h->tap_users.load() > 0) std::this_thread::yield();
    return tap;
}

TapUse::TapUse(vexel_dev_handle* h) : h_(h) {
    h_->tap_users.fetch_add(1);
    tap_ = h_->tap.load();
}

TapUse::~TapUse() { h_->tap_users.fetch_sub(1); }

}  // namespace vx

extern "C" {

VX_API void vexel_init(const char* log_file_name) {
    vx_log_enable(VX_LOG_CONSOLE, 3, nullptr);
    vx::reset_path_prefix();
    // The log keeps the name's pointer to tell a new file from the open one, so it must outlive this call.
    static char dated[64];
    if (!log_file_name) {
        const time_t t = std::time(nullptr);
        struct tm lt {};
        localtime_r(&t, &lt);
        std::snprintf(dated, sizeof dated, "vexel_%04u%02u%02u.log", unsigned(lt.tm_year + 1900),
                      unsigned(lt.tm_mon + 1), unsigned(lt.tm_mday));
        log_file_name = dated;
    }
    vx_log_enable(VX_LOG_FILE, 1, log_file_name);
    vx::logf(vx::kInf, "[%s]  --- %s %s(compile at %s %s) log start -----\n", "vexel_init", "VEXEL", "v1.40",
             __DATE__, __TIME__);
    vexel_ll_init();
    vx::library_cmap_init(30000);
}

VX_API void vexel_uninit(void) {
    vx::logf(vx::kDbg, "[%s] ----- AL log END ----\n\n", "vexel_uninit");
    vx::library_cmap_uninit();
    vx_log_disable();
    vexel_ll_uninit();
}

VX_API int vexel_dev_list(vexel_dev* dev_list, int list_num) {
    if (!dev_list || list_num <= 0) {
        vx::logf(vx::kErr, "[%s]   wrong params: dev_list=%p, dev_list_num=%d \n", __func__,
                 static_cast<void*>(dev_list), list_num);
        return 0;
    }
    std::memset(static_cast<void*>(dev_list), 0, sizeof(vexel_dev) * static_cast<size_t>(list_num));
    std::unique_ptr<vexel_ll_dev[]> found(new (std::nothrow) vexel_ll_dev[static_cast<size_t>(list_num)]());
    if (!found) return 0;
    const int n = vexel_ll_dev_list(found.get(), list_num);
    for (int i = 0; i < n && i < list_num; ++i) {
        copy_identity(&dev_list[i].fd, &found[i].fd);
        dev_list[i].valid = found[i].valid;
    }
    return n < 0 ? 0 : std::min(n, list_num);
}

VX_API vexel_dev* vexel_dev_open(vexel_dev* dev) {
    return vx::open_device(dev, nullptr, nullptr);
}

}  // extern "C"

namespace vx {

vexel_dev* open_device(vexel_dev* dev, const vexel_ll_op* ops, void* priv) {
    static const char* const fn = "vexel_dev_open";
    // The transport owns `priv`: every way out before its open hands it back to its close.
    auto give_back = [&] {
        if (!ops || !priv) return;
        vexel_ll_dev tmp{};
        tmp.priv = priv;
        tmp.ops = ops;
        ops->dev_close(&tmp);
    };
    if (!dev) {
        if (vx::handle_of(&g_default_dev)) {
            vx::logf(vx::kErr, "[%s] default device may not close properly!", fn);
            give_back();
            return nullptr;
        }
        std::memset(static_cast<void*>(&g_default_dev), 0, sizeof g_default_dev);
        dev = &g_default_dev;
    }
    if (vexel_dev_handle* old = vx::handle_of(dev)) {
        if (vx::inside_call(old)) {
            // Closing would wait for the very call this thread is inside.
            vx::logf(vx::kErr, "[%s] refused: called from inside a call on this device\n", fn);
            give_back();
            return nullptr;
        }
        if (old->open.load()) {
            vx::logf(vx::kWrn, "[%s] device not close correctly. close it..\n", fn);
            close_handle(dev, old);
        } else {
            set_handle(dev, nullptr);
            delete old;
        }
    }
    auto* h = new (std::nothrow) vexel_dev_handle();
    if (!h) {
        give_back();
        return nullptr;
    }
    to_handle(h, dev);
    h->ll.ops = ops;
    h->ll.priv = priv;
    set_handle(dev, h);

    vx::logf(vx::kDbg, "[%s] open vexel device @ %p\n", fn, static_cast<void*>(dev));
    if (!vexel_ll_dev_open(&h->ll)) {
        vx::logf(vx::kErr, "[%s] open device failed!\n", fn);
        fail_open(dev, h);
        return nullptr;
    }
    to_record(dev, h);
    dev->path_prefix = vx::path_prefix_buffer();
    h->open.store(1);

    vexel_param_item ids[4] = {};
    ids[0].param_id = VX_PARAM_DEV_ID;
    ids[1].param_id = VX_PARAM_PRODUCT;
    ids[2].param_id = VX_PARAM_DEV_INFO;
    ids[3].param_id = VX_PARAM_VERSION;
    if (!vx::param_get(h, ids, 4)) {
        vx::logf(vx::kWrn, "[%s]  cannot get info of device\n", fn);
        vexel_ll_dev_close(&h->ll);
        fail_open(dev, h);
        return nullptr;
    }
    store_text(dev->dev_id, ids[0]);
    store_text(dev->product, ids[1]);
    store_raw(dev->dev_info, ids[2]);
    store_raw(dev->version, ids[3]);

    vexel_driver_entry* row = vexel_drv_find(dev);
    if (!row) {
        vx::logf(vx::kErr, "[%s] cannot find driver for device: product=%s\n", fn, dev->product);
        vexel_ll_dev_close(&h->ll);
        fail_open(dev, h);
        return nullptr;
    }
    h->driver_copy = *row;
    h->driver_copy.dev = nullptr;
    h->driver_copy.state = nullptr;
    h->driver = &h->driver_copy;

    vx_stream_cfg cfg{};
    cfg.max_frames = 10;
    h->stream = vx_stream_create(&cfg);
    if (!h->stream) {
        vx::logf(vx::kErr, "[%s] vx_stream_create failed\n", fn);
        std::exit(-1);
    }
    set_busy(dev, false);
    h->capturing.store(0);
    h->stop.store(1);

    const vexel_driver_op* drv = h->driver->ops;
    // One step for the driver: its start points process-wide state (the epc chip library) at
    // this camera, and the calibration load reads and fills that state. An open on another
    // thread in between would take the state over, and this camera would load nothing.
    std::lock_guard start(g_driver_start_mu);
    if (drv && drv->init) drv->init(h->driver, dev);
    if (drv && drv->calib_load && drv->calib_load(h->driver, 0, 0, 2) < 0)
        vx::logf(vx::kErr, "[%s] Load calibration data failed\n", fn);
    return dev;
}

}  // namespace vx

extern "C" {

VX_API vexel_dev* vexel_dev_open_serial(vexel_dev* dev, const char* serial) {
    if (!dev || !serial || !*serial) {
        vx::logf(vx::kErr, "[%s] wrong params: dev=%p, serial=%s\n", __func__, static_cast<void*>(dev),
                 serial ? serial : "(null)");
        return nullptr;
    }
    constexpr int kMaxCameras = 64;
    std::unique_ptr<vexel_dev[]> list(new (std::nothrow) vexel_dev[kMaxCameras]);
    if (!list) return nullptr;
    const int n = vexel_dev_list(list.get(), kMaxCameras);
    for (int i = 0; i < n; ++i) {
        char found[sizeof list[i].dev_id + 1];
        if (!vx::usb::read_serial(list[i].bus, list[i].port, found, sizeof found) || std::strcmp(found, serial) != 0)
            continue;
        // The record's identity only: an open record is closed by the open as usual.
        copy_identity(&dev->fd, &list[i].fd);
        dev->valid = list[i].valid;
        return vexel_dev_open(dev);
    }
    vx::logf(vx::kErr, "[%s] no camera with serial %s\n", __func__, serial);
    return nullptr;
}

VX_API vexel_dev* vexel_dev_open_by_fd(vexel_dev* dev) {
    (void)dev;
    vx::logf(vx::kErr, "[%s] vexel_dev_open_by_fd currently only support in android!\n", __func__);
    return nullptr;
}

VX_API void vexel_dev_close(vexel_dev* dev) {
    vx::logf(vx::kDbg, "[%s] close vexel device @ %p\n", __func__, static_cast<void*>(dev));
    vexel_dev_handle* h = vx::handle_of(dev);
    if (!h) return;
    if (vx::inside_call(h)) {
        // Closing would wait for the very call this thread is inside.
        vx::logf(vx::kErr, "[%s] refused: called from inside a call on this device\n", __func__);
        return;
    }
    close_handle(dev, h);
    if (dev->free_on_close) std::free(dev);
}

VX_API int vexel_dev_reset(vexel_dev* dev, unsigned target) {
    vx::logf(vx::kDbg, "[%s] rest device (target=%d)\n", __func__, static_cast<int>(target));
    vx::DeviceCall call(dev);
    if (!call) {
        vx::logf(vx::kErr, "[%s]  Device handler Is NULL!\r\n", __func__);
        return 0;
    }
    if (target > 8) {
        vx::logf(vx::kErr, "[%s] wrong reset target: %d\n", __func__, static_cast<int>(target));
        return 0;
    }
    return vexel_ll_dev_reset(&call.handle()->ll, target) ? 1 : 0;
}

VX_API vexel_driver_entry* vexel_dev_get_drv(vexel_dev* dev) {
    vexel_dev_handle* h = vx::handle_of(dev);
    return h ? h->driver : nullptr;
}

VX_API vexel_driver_entry* vexel_drv_find(vexel_dev* dev) {
    if (!dev) return nullptr;
    char vendor[17], family[17], version[17];
    char product[sizeof dev->product + 1] = {};
    std::memcpy(product, dev->product, sizeof dev->product);
    if (std::sscanf(product, "%16[^-]-%16[^-]-%16[^-]", vendor, family, version) != 3) return nullptr;
    for (vexel_driver_entry* e = g_registry; e->name; ++e) {
        if (std::strcmp(family, e->family) == 0) {
            vx::logf(vx::kDbg, "[%s]  find driver for device %s : %s\n", __func__, product, e->name);
            return e;
        }
    }
    return nullptr;
}

}  // extern "C"
