// Control commands: one asynchronous control transfer per command, completed on the device's
// event thread and awaited on the caller's thread, followed by the camera's status query.
#include <algorithm>
#include <bit>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "core/clock.hpp"
#include "core/log.hpp"
#include "transport/usb_priv.hpp"

namespace vx::usb {

static_assert(std::endian::native == std::endian::little, "register values travel in host order");

namespace {

const char* const kExeFn = "usb_ll_exe_cmd";
const char* const kCheckFn = "usb_ll_check_last_cmd";

// Nothing reached libusb (no device, no memory, submission refused); already logged.
constexpr int kNotSent = INT_MIN;

std::atomic<ControlSeam> g_control_seam{nullptr};

// Shared between the waiting caller and the completion callback. Whoever comes second frees
// it with the transfer: a waiter that gives up hands both over to the callback instead of
// freeing memory libusb still owns.
struct CmdWait {
    std::mutex mu;
    std::condition_variable cv;
    bool done = false;
    bool abandoned = false;
};

void LIBUSB_CALL on_cmd_finish(libusb_transfer* t) {
    logf(kTrc, "[%s] tx actual_len = %d, status  = %d\n", "_usb_ll_on_cmd_finish", t->actual_length,
         static_cast<int>(t->status));
    auto* w = static_cast<CmdWait*>(t->user_data);
    std::unique_lock lk(w->mu);
    w->done = true;
    if (w->abandoned) {
        lk.unlock();
        libusb_free_transfer(t);
        delete w;
        return;
    }
    w->cv.notify_all();
}

int map_status(libusb_transfer* t) {
    switch (t->status) {
        case LIBUSB_TRANSFER_COMPLETED:
            return t->actual_length;
        case LIBUSB_TRANSFER_TIMED_OUT:
            return LIBUSB_ERROR_TIMEOUT;
        case LIBUSB_TRANSFER_STALL:
            return LIBUSB_ERROR_PIPE;
        case LIBUSB_TRANSFER_NO_DEVICE:
            return LIBUSB_ERROR_NO_DEVICE;
        case LIBUSB_TRANSFER_OVERFLOW:
            return LIBUSB_ERROR_OVERFLOW;
        case LIBUSB_TRANSFER_ERROR:
        case LIBUSB_TRANSFER_CANCELLED:
            return LIBUSB_ERROR_IO;
    }
    logf(kWrn, "[%s] unrecognised status code %d", kExeFn, static_cast<int>(t->status));
    return LIBUSB_ERROR_OTHER;
}

// One control transfer. Returns the number of data bytes moved, a libusb error code, or
// kNotSent. A read copies what arrived into `data` even when the transfer failed.
int control(vexel_ll_dev* dev, bool is_write, uint8_t type, uint16_t value, void* data, uint16_t length,
            uint32_t timeout_ms) {
    usb_ll_dev_priv* p = priv_of(dev);
    const auto lock = hold_commands(dev);
    // The handle is read under the command lock: a USB reset swaps it meanwhile.
    if (!p || !p->handle) {
        logf(kErr, "[%s]  USB handler Is NULL!\r\n", kExeFn);
        return kNotSent;
    }
    if (length && !data) return kNotSent;
    libusb_transfer* t = libusb_alloc_transfer(0);
    if (!t) {
        logf(kErr, "[%s] no memory\n", kExeFn);
        return kNotSent;
    }
    auto* buf = static_cast<unsigned char*>(std::calloc(1, LIBUSB_CONTROL_SETUP_SIZE + length));
    auto* w = new (std::nothrow) CmdWait;
    if (!buf || !w) {
        logf(kErr, "[%s] no memory\n", kExeFn);
        std::free(buf);
        delete w;
        libusb_free_transfer(t);
        return kNotSent;
    }
    // Class request to an endpoint recipient: 0x22 out, 0xA2 in.
    const uint8_t req_type = is_write ? 0x22 : 0xA2;
    libusb_fill_control_setup(buf, req_type, type, value, 0, length);
    if (is_write && length) std::memcpy(buf + LIBUSB_CONTROL_SETUP_SIZE, data, length);
    // The wait below decides the time-out and cancels; libusb's own timer, later, only stands in
    // for a waiter that is gone, so the outcome does not hang on which of the two fires first.
    libusb_fill_control_transfer(t, p->handle, buf, on_cmd_finish, w, timeout_ms + kCmdCancelGraceMs);
    t->flags = LIBUSB_TRANSFER_FREE_BUFFER;
    if (const ControlSeam seam = g_control_seam.load()) {
        seam(t);
        w->done = true;
    } else if (libusb_submit_transfer(t) < 0) {
        logf(kErr, "[%s] libusb_submit_transfer failed\n", kExeFn);
        libusb_free_transfer(t);
        delete w;
        return kNotSent;
    }

    // Polls of 10 ms that the completion cuts short, so an answered command costs its round
    // trip rather than a whole poll period. They last as long as the command's own time-out:
    // a camera that takes seconds over an erase or a start and then completes it has done the
    // work, and a host that cancelled at one second would report it failed (and send the next
    // step to a camera still busy with this one).
    const int polls = std::max<int>(kCmdPolls, static_cast<int>((timeout_ms + kCmdPollMs - 1) / kCmdPollMs));
    std::unique_lock lk(w->mu);
    for (int i = 0; i < polls && !w->done; ++i)
        w->cv.wait_for(lk, std::chrono::milliseconds(kCmdPollMs), [w] { return w->done; });
    if (!w->done) {
        logf(kWrn, "[%s] contrl trans timeout , cancel it\n", kExeFn);
        lk.unlock();
        libusb_cancel_transfer(t);
        lk.lock();
        // libusb owns the transfer until the cancellation reports on the event thread.
        w->cv.wait_for(lk, std::chrono::milliseconds(kCmdCancelGraceMs), [w] { return w->done; });
        // Whether our own cancellation has reported yet is a matter of timing; either way the
        // command timed out. Only a transfer that completed on its own goes on below.
        if (!w->done || t->status == LIBUSB_TRANSFER_CANCELLED) {
            logf(kErr, "[%s] control transfer timeout !\n", kExeFn);
            if (!w->done) {
                w->abandoned = true;
                return LIBUSB_ERROR_TIMEOUT;
            }
            lk.unlock();
            libusb_free_transfer(t);
            delete w;
            return LIBUSB_ERROR_TIMEOUT;
        }
    }
    lk.unlock();

    // Never more than was asked for, whatever length is reported; a read of nothing may have no buffer.
    const size_t got = t->actual_length > 0 ? std::min<size_t>(static_cast<size_t>(t->actual_length), length) : 0;
    if (!is_write && got > 0) std::memcpy(data, libusb_control_transfer_get_data(t), got);
    const int result = map_status(t);
    libusb_free_transfer(t);
    delete w;
    return result;
}

bool exe(vexel_ll_dev* dev, bool is_write, uint8_t type, uint16_t value, void* data, uint16_t length,
         uint32_t timeout_ms) {
    const int r = control(dev, is_write, type, value, data, length, timeout_ms);
    if (r == length) return true;
    if (r != kNotSent) logf(kErr, "[%s] exe usb cmd failed: %s\n", kExeFn, libusb_error_name(r));
    return false;
}

void put_le32(uint8_t* out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(v >> (8 * i));
}

// vexel_ll_reg_hdr: target, base, byte count of the values, packed.
void fill_reg_hdr(uint8_t (&hdr)[7], uint8_t target, uint32_t base, uint16_t bytes) {
    hdr[0] = target;
    put_le32(hdr + 1, base);
    hdr[5] = static_cast<uint8_t>(bytes);
    hdr[6] = static_cast<uint8_t>(bytes >> 8);
}

}  // namespace

void set_control_seam(ControlSeam seam) { g_control_seam.store(seam); }

int exe_cmd(vexel_ll_dev* dev, uint8_t is_write, uint8_t type, uint16_t value, void* data, uint16_t length,
            uint32_t timeout_ms) {
    return exe(dev, is_write != 0, type, value, data, length, timeout_ms) ? 1 : 0;
}

int check_last_cmd(vexel_ll_dev* dev, uint8_t type, uint8_t value) {
    const auto lock = hold_commands(dev);
    const int64_t give_up = monotonic_ms() + kStatusBusyLimitMs;
    for (;;) {
        uint8_t reply[kStatusReplyLen] = {};
        if (!exe(dev, false, kCmdStatus, 0, reply, kStatusReplyLen, kCmdTimeoutMs)) return 0;
        if (reply[1] != type || reply[2] != value) {
            logf(kWrn, "[%s]  last cmd (t=%u,v=%u) is not as expect(t=%u,v=%u)\r\n", kCheckFn, reply[1],
                 reply[2], type, value);
            return 0;
        }
        if (reply[0] == kStatusError) {
            char text[kStatusReplyLen - 3 + 1] = {};
            std::memcpy(text, reply + 3, kStatusReplyLen - 3);
            logf(kErr, "[%s] %s\n", kCheckFn, text);
            return 0;
        }
        if (reply[0] != kStatusBusy) return 1;
        if (monotonic_ms() >= give_up) {
            logf(kErr, "[%s]  last cmd (t=%u,v=%u) still busy after %d ms\r\n", kCheckFn, type, value,
                 kStatusBusyLimitMs);
            return 0;
        }
    }
}

bool command_checked(vexel_ll_dev* dev, uint8_t type, uint16_t value, void* data, uint16_t length) {
    const auto lock = hold_commands(dev);
    return exe(dev, true, type, value, data, length, kCmdTimeoutMs) &&
           check_last_cmd(dev, type, value & 0xFF);
}

int reg_write(vexel_ll_dev* dev, uint8_t target, uint32_t base, const uint32_t* values, uint16_t count) {
    static const char* const fn = "usb_ll_reg_write";
    if (count > kRegWriteMax) {
        // The byte count would wrap in the 16-bit wLength and the camera would get a torn command.
        logf(kErr, "[%s] too many registers: %d (at most %d)\n", fn, count, kRegWriteMax);
        return 0;
    }
    if (count && !values) return 0;
    const int chunk_max = std::min<int>(count, kRegWriteChunk);
    std::unique_ptr<uint8_t, decltype(&std::free)> buf(static_cast<uint8_t*>(std::malloc(7 + 4 * chunk_max)),
                                                       &std::free);
    if (!buf) {
        logf(kErr, "[%s] malloc failed\n", fn);
        return 0;
    }
    const auto lock = hold_commands(dev);
    int done = 0;
    do {  // a write of no register is still one command
        const int chunk = std::min(count - done, kRegWriteChunk);
        uint8_t hdr[7];
        fill_reg_hdr(hdr, target, base + static_cast<uint32_t>(done), static_cast<uint16_t>(4 * chunk));
        std::memcpy(buf.get(), hdr, sizeof hdr);
        if (chunk) std::memcpy(buf.get() + sizeof hdr, values + done, 4u * static_cast<unsigned>(chunk));
        if (!exe(dev, true, kCmdReg, 0, buf.get(), static_cast<uint16_t>(7 + 4 * chunk), kCmdTimeoutMs) ||
            !check_last_cmd(dev, kCmdReg, 0))
            return 0;
        done += chunk;
    } while (done < count);
    return 1;
}

int reg_read(vexel_ll_dev* dev, uint8_t target, uint32_t base, uint32_t* values, uint16_t count) {
    static const char* const fn = "usb_ll_reg_read";
    if (count == 0) return 1;
    if (!values) return 0;
    const auto lock = hold_commands(dev);
    for (int done = 0; done < count;) {
        const int chunk = std::min(count - done, kRegReadChunk);
        uint8_t hdr[7];
        fill_reg_hdr(hdr, target, base, static_cast<uint16_t>(4 * chunk));
        if (!exe(dev, true, kCmdReg, 1, hdr, sizeof hdr, kCmdTimeoutMs) || !check_last_cmd(dev, kCmdReg, 1)) {
            logf(kErr, "[%s] write phase failed\n", fn);
            return 0;
        }
        if (!exe(dev, false, kCmdReg, 1, values + done, static_cast<uint16_t>(4 * chunk), kCmdTimeoutMs) ||
            !check_last_cmd(dev, kCmdReg, 1)) {
            logf(kErr, "[%s] read phase failed\n", fn);
            return 0;
        }
        base += static_cast<uint32_t>(chunk);
        done += chunk;
    }
    return 1;
}

int param_set(vexel_ll_dev* dev, vexel_ll_param_rec* recs, int count) {
    static const char* const fn = "usb_ll_param_set";
    if (count < 0 || count > kParamSetMax) {
        logf(kErr, "[%s] too many parameters: %d (at most %d)\n", fn, count, kParamSetMax);
        return 0;
    }
    if (count == 0) return 1;  // nothing to set; the camera refuses an empty batch
    if (!recs) return 0;
    const auto lock = hold_commands(dev);
    for (int done = 0; done < count;) {
        const int chunk = std::min(count - done, kParamSetChunk);
        if (!exe(dev, true, kCmdDev, 3, recs + done, static_cast<uint16_t>(chunk * sizeof *recs), kCmdTimeoutMs) ||
            !check_last_cmd(dev, kCmdDev, 3))
            return 0;
        done += chunk;
    }
    return 1;
}

int param_get(vexel_ll_dev* dev, vexel_ll_param_rec* recs, int count) {
    static const char* const fn = "usb_ll_param_get";
    if (count == 0) return 1;
    if (count < 0 || !recs) return 0;
    for (int i = 0; i < count; ++i) {
        recs[i].len = 0;
        std::memset(recs[i].val, 0, sizeof recs[i].val);
    }
    const auto lock = hold_commands(dev);
    for (int done = 0; done < count;) {
        const int chunk = std::min(count - done, kParamGetChunk);
        const auto bytes = static_cast<uint16_t>(chunk * sizeof *recs);
        if (!exe(dev, true, kCmdDev, 4, recs + done, bytes, kCmdTimeoutMs)) {
            logf(kErr, "[%s] write phase failed\n", fn);
            return 0;
        }
        if (!check_last_cmd(dev, kCmdDev, 4)) return 0;
        if (!exe(dev, false, kCmdDev, 4, recs + done, bytes, kCmdTimeoutMs) ||
            !check_last_cmd(dev, kCmdDev, 4)) {
            logf(kErr, "[%s] read phase failed\n", fn);
            return 0;
        }
        done += chunk;
    }
    return 1;
}

int dev_reset(vexel_ll_dev* dev, uint8_t target) {
    static const char* const fn = "usb_ll_dev_reset";
    logf(kTrc, "[%s] rest device (target=%d)\n", fn, target);
    uint8_t arg[4];
    put_le32(arg, target);
    // For target 3 held across the close and reopen too: other threads' commands wait for the
    // camera to return instead of finding the link half gone.
    const auto lock = hold_commands(dev);
    if (target != 3) {
        if (!exe(dev, true, kCmdDev, 0, arg, sizeof arg, kCmdTimeoutMs)) return 0;
        return check_last_cmd(dev, kCmdDev, 0);
    }
    logf(kTrc, "[%s] Reset usb if (timeout = %d ms) ...\n", fn, 3000);
    // The camera leaves the bus while answering; how the command ends says nothing.
    control(dev, true, kCmdDev, 0, arg, sizeof arg, kCmdTimeoutMs);
    close_for_reset(dev);
    bool reopened = false;
    for (int attempt = 0; attempt < 15 && !reopened; ++attempt) {
        sleep_ms(200);
        reopened = reopen_after_reset(dev);
    }
    if (!reopened) logf(kWrn, "[%s] reopen device failed!\n", fn);
    logf(kTrc, "[%s] Reset usb if end. \n", fn);
    return reopened ? 1 : 0;
}

}  // namespace vx::usb
