// Bulk streaming: a ring of transfers on the stream endpoint, each handed to the capture
// callback on the event thread and resubmitted until capture stops.
#include <chrono>

#include "core/log.hpp"
#include "transport/usb_priv.hpp"

namespace vx::usb {

namespace {

int index_of(const usb_ll_dev_priv* p, const libusb_transfer* t) {
    for (int i = 0; i < kBulkXferNum; ++i)
        if (p->xfers[i] == t) return i;
    return -1;
}

void mark_idle_locked(usb_ll_dev_priv* p, int i) {
    p->in_flight[i].store(false);
    p->idle_cv.notify_all();
}

int busy_count(const usb_ll_dev_priv* p) {
    int n = 0;
    for (const auto& f : p->in_flight) n += f.load() ? 1 : 0;
    return n;
}

// No completion resubmits its transfer after this returns.
void set_stopping(usb_ll_dev_priv* p) {
    std::lock_guard lk(p->xfer_mu);
    p->stopping.store(1);
}

void cancel_all(usb_ll_dev_priv* p, const char* fn) {
    for (int i = 0; i < kBulkXferNum; ++i) {
        logf(kTrc, "[%s] trans[%d] cancel: status=%d\n", fn, i, static_cast<int>(p->xfers[i]->status));
        if (p->in_flight[i].load()) libusb_cancel_transfer(p->xfers[i]);
    }
}

void LIBUSB_CALL on_usb_trans_event(libusb_transfer* t) {
    static const char* const fn = "on_usb_trans_event";
    auto* dev = static_cast<vexel_ll_dev*>(t->user_data);
    usb_ll_dev_priv* p = priv_of(dev);
    const int i = index_of(p, t);
    logf(kTrc, "[%s] trans[%d]: txlen=%d, status = %d\n", fn, i, t->actual_length,
         static_cast<int>(t->status));

    int code = VX_LL_CAP_OK;
    switch (t->status) {
        case LIBUSB_TRANSFER_COMPLETED:
            break;
        case LIBUSB_TRANSFER_CANCELLED:
            code = VX_LL_CAP_CANCELLED;
            logf(kTrc, "[%s] trans[%d] cancelled (last_tx=%d)\n", fn, i, t->actual_length);
            break;
        case LIBUSB_TRANSFER_TIMED_OUT:
            code = VX_LL_CAP_TIMEOUT;
            logf(kDbg, "[%s] trans[%d] timeout (last_tx=%d)\n", fn, i, t->actual_length);
            break;
        case LIBUSB_TRANSFER_STALL:
            code = VX_LL_CAP_STALL;
            logf(kWrn, "[%s] trans[%d] stall (last_tx=%d)\n", fn, i, t->actual_length);
            if (libusb_clear_halt(p->handle, kBulkEp) < 0)
                logf(kErr, "[%s]  Clear halt failed on EP: %0x!\r\n", fn, kBulkEp);
            break;
        default:
            code = VX_LL_CAP_ERROR;
            logf(kWrn, "[%s] trans[%d] error (%d) (last_tx=%d)\n", fn, i, static_cast<int>(t->status),
                 t->actual_length);
            break;
    }

    if (vexel_ll_cap_cb cb = p->cap_cb.load()) cb(dev, code, t->buffer, t->actual_length, p->cap_user.load());

    std::unique_lock lk(p->xfer_mu);
    bool lost = false;
    if (!p->stopping.load()) {
        logf(kTrc, "[%s] trans[%d] issue: size=%d \n", fn, i, kBulkXferSize);
        t->timeout = kBulkTimeoutMs;
        const int r = libusb_submit_transfer(t);
        if (r == 0) return;
        logf(kErr, "[%s] Unable to submit URB. libusb error code: %d\n", fn, r);
        lost = true;
    }
    mark_idle_locked(p, i);
    // A ring that lost its last transfer this way (the camera gone while every transfer waited
    // to be resubmitted) would leave the capture waiting for data that can no longer come,
    // unless that transfer has just reported the failure itself.
    if (lost && code != VX_LL_CAP_ERROR && busy_count(p) == 0 && !p->stopping.load()) {
        lk.unlock();
        logf(kWrn, "[%s] no transfer left in flight: capture cannot go on\n", fn);
        if (vexel_ll_cap_cb cb = p->cap_cb.load()) cb(dev, VX_LL_CAP_ERROR, t->buffer, 0, p->cap_user.load());
    }
}

}  // namespace

int cap_start(vexel_ll_dev* dev, uint32_t arg, vexel_ll_cap_cb cb, void* user) {
    static const char* const fn = "usb_ll_cap_start";
    // Held from the first submission to the start's status: no other command comes between.
    const auto lock = hold_commands(dev);
    usb_ll_dev_priv* p = open_priv(dev);
    if (!p) {
        logf(kErr, "[%s]  USB handler Is NULL!\r\n", fn);
        return 0;
    }
    {
        std::lock_guard lk(p->xfer_mu);
        p->stopping.store(0);
    }
    if (libusb_clear_halt(p->handle, kBulkEp) < 0)
        logf(kErr, "[%s]  Clear halt failed on EP: %0x!\r\n", fn, kBulkEp);
    p->cap_cb.store(cb);
    p->cap_user.store(user);

    for (int i = 0; i < kBulkXferNum; ++i) {
        // A transfer still draining from the previous run belongs to libusb: not even its
        // fields may be touched.
        if (p->in_flight[i].exchange(true)) {
            logf(kErr, "[%s] trans[%d] issue failed\n", fn, i);
            continue;
        }
        libusb_fill_bulk_transfer(p->xfers[i], p->handle, kBulkEp, p->bufs[i], kBulkXferSize,
                                  on_usb_trans_event, dev, kBulkTimeoutMs);
        p->xfers[i]->flags = 0;
        if (libusb_submit_transfer(p->xfers[i]) < 0) {
            {
                std::lock_guard lk(p->xfer_mu);
                mark_idle_locked(p, i);
            }
            logf(kErr, "[%s] trans[%d] issue failed\n", fn, i);
            continue;
        }
        logf(kTrc, "[%s] trans[%d] issue: txlen=%d\n", fn, i, kBulkXferSize);
    }
    // With no transfer in flight (the stream endpoint's interface held elsewhere, say) nothing
    // could ever arrive or report: the camera is not started.
    if (busy_count(p) == 0) {
        logf(kErr, "[%s] no transfer in flight: capture cannot start\n", fn);
        return 0;
    }
    logf(kTrc, "[%s] Enter\n", fn);

    uint8_t le[4] = {static_cast<uint8_t>(arg), static_cast<uint8_t>(arg >> 8),
                     static_cast<uint8_t>(arg >> 16), static_cast<uint8_t>(arg >> 24)};
    if (command_checked(dev, kCmdReg, 4, le, sizeof le)) return 1;
    logf(kWrn, "[%s] vexel_ll_cap_start failed\n", fn);
    cancel_all(p, fn);
    return 0;
}

int cap_stop(vexel_ll_dev* dev) {
    static const char* const fn = "usb_ll_cap_stop";
    const auto lock = hold_commands(dev);
    usb_ll_dev_priv* p = open_priv(dev);
    if (!p) {
        logf(kErr, "[%s]  USB handler Is NULL!\r\n", fn);
        return 0;
    }
    set_stopping(p);
    cancel_all(p, fn);
    uint8_t stop = kCmdReg;
    return command_checked(dev, kCmdReg, 5, &stop, 1) ? 1 : 0;
}

void cap_abort(vexel_ll_dev* dev) {
    if (usb_ll_dev_priv* p = priv_of(dev)) set_stopping(p);
}

bool drain_bulk(usb_ll_dev_priv* p, const char* who) {
    set_stopping(p);
    for (int i = 0; i < kBulkXferNum; ++i)
        if (p->in_flight[i].load()) libusb_cancel_transfer(p->xfers[i]);
    // A transfer that completed just before its cancel still reports once; wait for that too.
    std::unique_lock lk(p->xfer_mu);
    p->idle_cv.wait_for(lk, std::chrono::milliseconds(kDrainLimitMs),
                        [p] { return busy_count(p) == 0 || p->evt_exited.load(); });
    const int busy = busy_count(p);
    if (busy == 0) return true;
    logf(kWrn, "[%s] %d bulk transfers did not report after cancel\n", who, busy);
    return false;
}

}  // namespace vx::usb

namespace vx::usb {

bool wait_bulk_idle(vexel_ll_dev* dev, unsigned timeout_ms) {
    usb_ll_dev_priv* p = priv_of(dev);
    if (!p) return true;
    std::unique_lock lk(p->xfer_mu);
    return p->idle_cv.wait_for(lk, std::chrono::milliseconds(timeout_ms),
                               [p] { return busy_count(p) == 0 || p->evt_exited.load(); });
}

}  // namespace vx::usb
