// Capture control and frame delivery. The event thread feeds the parser and raises flags;
// every callback runs on the caller's thread inside the pull and wait calls.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <mutex>
#include <new>

#include <vexel/capture.h>
#include <vexel/log.h>
#include <vexel/stream.h>
#include <vexel/transport.h>

#include "core/clock.hpp"
#include "core/device.hpp"
#include "core/log.hpp"
#include "transport/usb_bulk.hpp"

namespace {

constexpr uint32_t kFrameBudget = 307200;
constexpr uint32_t kMaxTimeouts = 32;
constexpr uint32_t kMaxStalls = 16;
constexpr size_t kCallbackBuffer = 0x400000;
constexpr int kDrainAll = 0x7FFFFFFF;

std::atomic<uint32_t> g_frame_rate{0};  // last known frames per second

using Clock = std::chrono::steady_clock;

int clamp_int(uint32_t v) { return static_cast<int>(std::min<uint32_t>(v, INT_MAX)); }

void signal_waiters(vexel_dev_handle* h) {
    std::lock_guard lock(h->mu);
    ++h->signals;
    h->cv.notify_all();
}

uint32_t ready_frames(vexel_dev_handle* h) {
    vx_stream_state st{};
    vx_stream_get_state(h->stream, &st);
    return st.frames_ready;
}

void stop_with_error(vexel_dev_handle* h, int code) {
    h->stop.store(1);
    h->pending_err.store(code);
    h->pending_arg.store(0);
    vexel_ll_cap_abort(&h->ll);
}

// What a transfer received before it timed out or stalled is stream data like any other:
// dropping it would tear the packet it belongs to and lose the frame.
void feed_partial(vexel_dev_handle* h, const uint8_t* data, int len) {
    if (data && len > 0 && vx_stream_feed_input(h->stream, data, static_cast<uint32_t>(len))) signal_waiters(h);
}

}  // namespace

namespace vx {

int capture_event(vexel_ll_dev* ll, int code, uint8_t* data, int len, void* user) {
    auto* h = static_cast<vexel_dev_handle*>(user);
    if (TapUse tap(h); tap) tap->on_capture(code, data, len);
    switch (code) {
        case VX_LL_CAP_OK:
            h->stalls.store(0);
            if (vx_stream_feed_input(h->stream, data, static_cast<uint32_t>(std::max(len, 0)))) signal_waiters(h);
            break;
        case VX_LL_CAP_CANCELLED:
            h->stop.store(1);
            vexel_ll_cap_abort(ll);
            break;
        case VX_LL_CAP_TIMEOUT:
            feed_partial(h, data, len);
            // Counted from capture start: data in between does not forgive earlier time-outs.
            if (h->timeouts.fetch_add(1) + 1 > kMaxTimeouts && h->stop.load() == 0) {
                vx::logf(vx::kWrn, "[%s] trans timeout -> stop\n", "on_capture_event");
                stop_with_error(h, VEXEL_ERR_CAP_TIMEOUT);
            }
            break;
        case VX_LL_CAP_STALL:
            feed_partial(h, data, len);
            if (h->stalls.fetch_add(1) + 1 > kMaxStalls && h->stop.load() == 0) {
                vx::logf(vx::kWrn, "[%s] trans stall -> stop\n", "on_capture_event");
                stop_with_error(h, VEXEL_ERR_CAP_STALL);
            }
            break;
        default:
            h->pending_err.store(code);
            h->pending_arg.store(0);
            if (h->stop.exchange(1) == 0) vexel_ll_cap_abort(ll);
            signal_waiters(h);  // a waiting caller learns it now, not at its deadline
            return 0;
    }

    vx_stream_state st{};
    vx_stream_get_state(h->stream, &st);
    if (st.frames_discarded > h->last_state.frames_discarded) {
        vx::logf(vx::kDbg, "[%s] trans discard %d frames\n", "on_capture_event",
                 static_cast<int>(st.frames_discarded - h->last_state.frames_discarded));
        h->discard_total.store(st.frames_discarded);
        h->pending_arg.store(st.frames_discarded);  // the running total, not the difference
        h->pending_err.store(VEXEL_ERR_CAP_FRAME_DISCARD);
    }
    h->last_state = st;
    if (h->pending_err.load() != 0) signal_waiters(h);
    return 0;
}

}  // namespace vx

namespace {

// Takes ready frames on the caller's thread: into the pending request first, the rest to the
// frame-ready callback (or dropped), with the error callback consulted before anything.
void drain(vexel_dev* dev, vexel_dev_handle* h, int reqmax) {
    static const char* const fn = "_cap_handle_rdy_data";
    const int err = h->pending_err.load();
    if (vexel_error_cb on_error = h->on_error.load(); on_error && err != 0) {
        vx::logf(vx::kTrc, "[%s] error cb invoke: %s\n", fn, vexel_error_name(err));
        if (!on_error(dev, err, h->pending_arg.load())) {
            vx::logf(vx::kDbg, "[%s] error cb return false to stop capture\n", fn);
            h->stop.store(1);
            h->force_stop.store(1);
            h->pending_err.store(0);
            vx::logf(vx::kTrc, "[%s] error callback force cap to stop\n", fn);
            return;
        }
        h->pending_err.store(0);
    }
    if (h->force_stop.load()) {
        vx::logf(vx::kTrc, "[%s] error callback force cap to stop\n", fn);
        return;
    }
    if (reqmax == 0 || ready_frames(h) == 0) return;

    vexel_frame_ready_cb on_frame = h->on_frame.load();
    vexel_cap_request* req = h->request;
    if (on_frame && !h->cb_buf) {
        h->cb_buf.reset(new (std::nothrow) uint8_t[kCallbackBuffer]);
        if (!h->cb_buf) {
            vx::logf(vx::kErr, "[%s] malloc failed\n", fn);
            return;
        }
    }

    uint32_t taken = 0;
    for (;;) {
        const bool for_request = req && req->wanted > 0 && req->pos;
        uint8_t* dst = for_request ? req->pos : (on_frame ? h->cb_buf.get() : nullptr);
        const uint32_t space = for_request ? req->space : (on_frame ? uint32_t(kCallbackBuffer) : 0);
        vx_stream_frame_info raw{};
        if (vx_stream_fetch_frames(h->stream, dst, space, 1, &raw, 0) == 0) break;
        ++taken;
        // A frame nobody takes is not described: its header would otherwise stand in the chip
        // library's and the camera's record for the frame the caller was just given.
        if (!(req && req->wanted > 0) && !on_frame) continue;

        const vexel_driver_op* ops = h->driver ? h->driver->ops : nullptr;
        if (!ops || !ops->frame_get_info || !ops->frame_get_info(h->driver, &h->cur_info, &raw)) {
            vx::logf(vx::kErr, "[%s]  driver frame_get_info failed!\n", fn);
            h->cur_info = vexel_frame_info{};
        }
        const bool described = req && req->wanted > 0 ? req->wanted == req->total : on_frame != nullptr;
        if (described) {
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                std::chrono::system_clock::now().time_since_epoch());
            std::lock_guard lock(h->meta_mu);
            h->meta = vexel_frame_meta{ns.count(), raw.sensor_temp, raw.illum_temp, 0};
        }
        if (req && req->wanted > 0) {
            if (req->wanted == req->total && req->info) *req->info = h->cur_info;
            if (req->pos && raw.frlen <= req->space) {
                req->pos += raw.frlen;
                req->space -= raw.frlen;
            }
            --req->wanted;
            continue;
        }
        if (on_frame) {
            vexel_frame frame{h->cur_info, dst};
            vx::logf(vx::kTrc, "[%s] frdy cb invoke: %u,%u\n", fn, unsigned(raw.fridx), unsigned(raw.fridx));
            const vx::Timestamp t0 = vx::now();
            on_frame(dev, &frame);
            const vx::Timestamp t1 = vx::now();
            const int64_t us = (t1.sec - t0.sec) * 1000000 + (int64_t(t1.usec) - int64_t(t0.usec));
            vx::logf(vx::kDbg, "[%s] frdy cb (%u,%u) spends: %d.%03u ms\n", fn, unsigned(raw.fridx),
                     unsigned(raw.fridx), static_cast<int>(us / 1000), static_cast<unsigned>(us % 1000));
        }
    }
    vx::logf(vx::kTrc, "[%s] handle %u ready frames (reqmax: %d, rem: %d)\n", fn, taken, reqmax,
             req ? clamp_int(req->wanted) : reqmax);
}

// Points the handle at a pull call's request for exactly as long as the call runs; a pull from
// inside a frame-ready callback hands the outer call's request back when it ends.
struct PendingRequest {
    vexel_dev_handle* h;
    vexel_cap_request* outer;
    PendingRequest(vexel_dev_handle* handle, vexel_cap_request* req) : h(handle), outer(handle->request) {
        h->request = req;
    }
    ~PendingRequest() { h->request = outer; }
    PendingRequest(const PendingRequest&) = delete;
    PendingRequest& operator=(const PendingRequest&) = delete;
};

// Counts the pulling calls that hold the delivery turn.
struct Pulling {
    vexel_dev_handle* h;
    explicit Pulling(vexel_dev_handle* handle) : h(handle) { h->pulls.fetch_add(1); }
    ~Pulling() { h->pulls.fetch_sub(1); }
    Pulling(const Pulling&) = delete;
    Pulling& operator=(const Pulling&) = delete;
};

bool stop_transport(vexel_dev_handle* h) {
    vx::logf(vx::kTrc, "[%s] Enter\n", "_vexel_cap_stop");
    h->stop.store(1);
    const bool stopped = vexel_ll_cap_stop(&h->ll) != 0;
    // The cancelled transfers report on the event thread after the stop; a capture started
    // before they have would take their "cancelled" for its own and stop at once.
    if (stopped && h->ll.ops == &ll_op_usb && !vx::usb::wait_bulk_idle(&h->ll, 1000))
        vx::logf(vx::kWrn, "[%s] transfers still busy after stop\n", "_vexel_cap_stop");
    signal_waiters(h);
    h->capturing.store(stopped ? 0 : 1);
    vx::logf(vx::kTrc, "[%s] Exit\n", "_vexel_cap_stop");
    return stopped;
}

// Waits for the event thread's next signal (or a stop); false when the deadline passed first.
// While it waits, the handle says how many frames the caller waits for (a playback feeds on
// that demand).
bool wait_signal(vexel_dev_handle* h, const Clock::time_point* deadline, uint32_t wanted) {
    struct Waiting {
        vexel_dev_handle* h;
        ~Waiting() { h->pull_waiting.store(0); }
    } waiting{h};
    h->pull_waiting.store(wanted);
    std::unique_lock lock(h->mu);
    const uint64_t seen = h->signals;
    auto woken = [&] { return h->signals != seen || h->stop.load() != 0; };
    if (!deadline) {
        h->cv.wait(lock, woken);
        return true;
    }
    return h->cv.wait_until(lock, *deadline, woken);
}

}  // namespace

namespace vx {

void stop_capture_for_close(vexel_dev*, vexel_dev_handle* h) {
    vx::logf(vx::kDbg, "[%s] Enter\n", "vexel_cap_stop");
    std::lock_guard ctl(h->ctl_mu);
    if (!stop_transport(h)) vx::logf(vx::kErr, "[%s] stop capture failed!\n", "vexel_dev_close");
}

}  // namespace vx

extern "C" {

VX_API int vexel_cap_set_frame_buffer(vexel_dev* dev, void* buf, uint32_t size) {
    (void)buf;  // frames live in the parser's own nodes
    if (!dev) return 0;
    vx::DeviceCall call(dev);
    std::unique_lock<std::mutex> ctl;
    if (call) ctl = std::unique_lock(call.handle()->ctl_mu);
    if (!call || call.handle()->capturing.load()) {
        vx::logf(vx::kErr, "[%s]  Set frame buffer is not allowed when device is not open or is capturing\n",
                 __func__);
        return 0;
    }
    vexel_dev_handle* h = call.handle();
    vx_stream_cfg cfg{size / kFrameBudget};
    vx_stream_set_cfg(h->stream, &cfg);
    vx::logf(vx::kDbg, "[%s] frame buffer: %d frames\n", __func__, static_cast<int>(cfg.max_frames));
    h->cap_arg = 0;
    return 1;
}

VX_API int vexel_cap_get_frame_buffer(vexel_dev* dev, void** buf_out, uint32_t* size_out) {
    if (buf_out) *buf_out = nullptr;
    vx::DeviceCall call(dev);
    if (!call) return 0;
    vx_stream_cfg cfg{};
    vx_stream_get_cfg(call.handle()->stream, &cfg);
    if (size_out) *size_out = cfg.max_frames * kFrameBudget;
    return 1;
}

VX_API void vexel_cap_set_callback_on_frame_ready(vexel_dev* dev, vexel_frame_ready_cb cb) {
    vx::logf(vx::kDbg, "[%s] set on_cap_frdy to %p\n", __func__, reinterpret_cast<void*>(cb));
    vx::DeviceCall call(dev);
    if (call) call.handle()->on_frame.store(cb);
}

VX_API void vexel_cap_set_callback_on_error(vexel_dev* dev, vexel_error_cb cb) {
    vx::logf(vx::kDbg, "[%s] set on_cap_err to %p\n", __func__, reinterpret_cast<void*>(cb));
    vx::DeviceCall call(dev);
    if (call) call.handle()->on_error.store(cb);
}

VX_API int vexel_cap_is_ongoing(vexel_dev* dev) {
    vx::DeviceCall call(dev);
    return call ? call.handle()->capturing.load() : 0;
}

VX_API int vexel_cap_start(vexel_dev* dev) {
    vx::DeviceCall call(dev);
    vexel_dev_handle* h = call.handle();
    if (!h || !h->ll.priv) {
        vx::logf(vx::kErr, "[%s]  Device handler Is NULL!\r\n", "vexel_cap_start");
        return 0;
    }
    std::lock_guard ctl(h->ctl_mu);
    if (h->capturing.load() && h->stop.load() == 0) {
        // Restarting would reset the parser under the event thread that is feeding it.
        vx::logf(vx::kWrn, "[%s] capture is already running\n", "vexel_cap_start");
        return 1;
    }
    vexel_param_item fps{};
    fps.param_id = VX_PARAM_FPS;
    fps.param_len = 4;
    if (vx::param_get(h, &fps, 1)) {
        uint32_t rate;
        std::memcpy(&rate, fps.param_val, sizeof rate);
        g_frame_rate.store(rate);
    }
    vx_stream_cfg cfg{};
    vx_stream_get_cfg(h->stream, &cfg);
    if (cfg.max_frames < 2) {
        vx::logf(vx::kErr, "[%s]  capture buffer not set or size is not correct \n", "_vexel_cap_start");
        return 0;
    }
    vx::logf(vx::kTrc, "[%s] Enter ... \n", "_vexel_cap_start");
    h->timeouts.store(0);
    h->stalls.store(0);
    h->discard_total.store(0);
    h->force_stop.store(0);
    h->pending_err.store(0);
    h->pending_arg.store(0);
    h->last_state = vx_stream_state{};
    {
        std::lock_guard lock(h->meta_mu);
        h->meta = vexel_frame_meta{};
    }
    // The last run's transfers report on the event thread until they are idle (a stop waits a
    // second for them, a capture stopped by an error not at all): their data and their
    // "cancelled" belong to that run, not to this one.
    if (h->ll.ops == &ll_op_usb && !vx::usb::wait_bulk_idle(&h->ll, 5000))
        vx::logf(vx::kWrn, "[%s] transfers of the last capture still busy\n", "_vexel_cap_start");
    h->stop.store(0);
    vx_stream_reset(h->stream);
    vx::logf(vx::kDbg, "[%s] issue start cmd\n", "_vexel_cap_start");
    const int r = vexel_ll_cap_start(&h->ll, h->cap_arg, vx::capture_event, h);
    if (r) h->capturing.store(1);
    return r ? 1 : 0;
}

VX_API int vexel_cap_stop(vexel_dev* dev) {
    vx::logf(vx::kDbg, "[%s] Enter\n", __func__);
    vx::DeviceCall call(dev);
    if (!call) {
        vx::logf(vx::kErr, "[%s]  Device handler Is NULL!\r\n", __func__);
        return 0;
    }
    std::lock_guard ctl(call.handle()->ctl_mu);
    if (!call.handle()->capturing.load()) return 1;
    return stop_transport(call.handle()) ? 1 : 0;
}

VX_API int vexel_cap_get_frames(vexel_dev* dev, uint32_t frame_num, void* buf, uint32_t size,
                                vexel_frame_info* info) {
    static const char* const fn = "_vexel_cap_get_frames";
    uint32_t rate = g_frame_rate.load();
    if (rate == 0) {
        rate = 20;
        g_frame_rate.store(rate);
    }
    vx::DeviceCall call(dev);
    if (!call || frame_num == 0) {
        vx::logf(vx::kDbg, "[%s] Wrong params\n", fn);
        return -1;
    }
    vexel_dev_handle* h = call.handle();
    // 64-bit arithmetic: no frame count overflows the deadline.
    const int64_t timeout_ms = int64_t(frame_num) * 100 + int64_t(frame_num) * (1000 / rate) + 2000;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    vx::logf(vx::kTrc, "[%s] frame_num = %d, timeout_msec=%d\n", fn, clamp_int(frame_num),
             static_cast<int>(std::min<int64_t>(timeout_ms, INT_MAX)));

    std::unique_lock deliver(h->deliver_mu, deadline);
    if (!deliver) {  // another thread's pull held the frames until our deadline
        vx::logf(vx::kInf, "[%s]  timeout ... (%s)\n", fn, std::strerror(ETIMEDOUT));
        return 0;
    }
    Pulling pulling(h);
    vexel_cap_request req{frame_num, frame_num, static_cast<uint8_t*>(buf), size, info};
    PendingRequest pending(h, &req);
    if (const int err = h->pending_err.load(); err < 0) {
        drain(dev, h, clamp_int(frame_num));
        return err;
    }
    // Frames that arrived before this call need no signal to be taken.
    if (ready_frames(h) > 0) drain(dev, h, clamp_int(req.wanted));
    while (req.wanted > 0 && h->stop.load() == 0) {
        if (!wait_signal(h, &deadline, req.wanted)) {
            vx::logf(vx::kInf, "[%s]  timeout ... (%s)\n", fn, std::strerror(ETIMEDOUT));
            break;
        }
        drain(dev, h, clamp_int(req.wanted));
    }
    if (h->capturing.load()) {
        drain(dev, h, clamp_int(req.wanted));
        return clamp_int(frame_num - req.wanted);
    }
    vx::logf(vx::kTrc, "[%s] device is not capturing\n", fn);
    drain(dev, h, clamp_int(req.wanted));
    return -2;
}

VX_API int vexel_cap_get_frame(vexel_dev* dev, void* buf, uint32_t size, vexel_frame_info* info) {
    static const char* const fn = "_vexel_cap_get_frame";
    vx::DeviceCall call(dev);
    if (!call) {
        vx::logf(vx::kDbg, "[%s] Wrong params\n", fn);
        return -1;
    }
    vexel_dev_handle* h = call.handle();
    vx::logf(vx::kTrc, "[%s] frame_num = %d, timeout_msec=%d\n", fn, 1, 0);
    std::unique_lock deliver(h->deliver_mu, std::try_to_lock);
    if (!deliver) return 0;  // another thread's pull is taking the frames
    Pulling pulling(h);
    vexel_cap_request req{1, 1, static_cast<uint8_t*>(buf), size, info};
    PendingRequest pending(h, &req);
    if (const int err = h->pending_err.load(); err < 0) {
        drain(dev, h, 1);
        return err;
    }
    if (h->capturing.load()) {
        drain(dev, h, 1);
        return 1 - static_cast<int>(req.wanted);
    }
    vx::logf(vx::kTrc, "[%s] device is not capturing\n", fn);
    drain(dev, h, 1);
    return -2;
}

VX_API int vexel_cap_get_frame_meta(vexel_dev* dev, vexel_frame_meta* out) {
    if (out) *out = vexel_frame_meta{};
    vx::DeviceCall call(dev);
    if (!call || !out) return 0;
    std::lock_guard lock(call.handle()->meta_mu);
    *out = call.handle()->meta;
    return out->host_time_ns != 0 ? 1 : 0;
}

VX_API int vexel_cap_wait(vexel_dev* dev, uint32_t timeout_ms) {
    static const char* const fn = "vexel_cap_wait";
    vx::logf(vx::kDbg, "[%s] timeout_msec=%d\n", fn, static_cast<int>(timeout_ms));
    vx::DeviceCall call(dev);
    if (!call) {
        vx::logf(vx::kDbg, "[%s] Wrong params\n", fn);
        return 0;
    }
    vexel_dev_handle* h = call.handle();
    if (!h->capturing.load()) {
        vx::logf(vx::kDbg, "[%s] device is not capturing\n", fn);
        return 0;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    std::unique_lock deliver(h->deliver_mu, std::defer_lock);
    if (timeout_ms == 0) {
        deliver.lock();
    } else if (!deliver.try_lock_until(deadline)) {
        vx::logf(vx::kInf, "[%s]  timeout ...\n", fn);  // another thread's pull held the frames
        return 0;
    }
    Pulling pulling(h);
    bool result = true;
    if (h->pending_err.load() >= 0 && h->stop.load() == 0) {
        if (ready_frames(h) > 0) drain(dev, h, kDrainAll);
        for (;;) {
            std::atomic_ref<uint8_t>(dev->busy).store(0);  // blocked, not busy: close need not wait
            const bool signalled = wait_signal(h, timeout_ms ? &deadline : nullptr, UINT32_MAX);
            std::atomic_ref<uint8_t>(dev->busy).store(1);
            if (!signalled) {
                vx::logf(vx::kInf, "[%s]  timeout ...\n", fn);
                result = false;
                break;
            }
            drain(dev, h, kDrainAll);
            if (h->stop.load() != 0) break;
        }
    }
    drain(dev, h, kDrainAll);
    return result ? 1 : 0;
}

VX_API int vexel_cap_snapshot(vexel_dev* dev, void* buf, uint32_t size, vexel_frame_info* info) {
    if (!vx::DeviceCall(dev)) {
        vx::logf(vx::kErr, "[%s] wrong parameters\n", __func__);
        return 0;
    }
    int r;
    if (vexel_cap_is_ongoing(dev)) {
        r = vexel_cap_get_frames(dev, 1, buf, size, info);
    } else {
        vexel_cap_start(dev);
        r = vexel_cap_get_frames(dev, 1, buf, size, info);
        vexel_cap_stop(dev);
    }
    return r > 0 ? 1 : 0;  // an error result is not a snapshot
}

}  // extern "C"
