// Internal state of the USB transport: the private record of an open device and the
// operations behind ll_op_usb.
#pragma once

#include <libusb.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include <vexel/transport.h>

namespace vx::usb {

inline constexpr uint16_t kVendorId = 0x111B;
inline constexpr uint16_t kProductId = 0x1238;

inline constexpr int kBulkXferNum = 16;         // LL_BULK_XFER_NUM
inline constexpr int kBulkXferSize = 153600;    // LL_BULK_XFER_SIZE: 320 x 240 x 2
inline constexpr unsigned char kBulkEp = 0x81;  // LL_BULK_EP
inline constexpr unsigned kBulkTimeoutMs = 6000;
inline constexpr unsigned kEvtWaitUs = 200000;

// Command types (bRequest).
inline constexpr uint8_t kCmdDev = 0xC0;     // LL_CMD_DEV
inline constexpr uint8_t kCmdReg = 0xC2;     // LL_CMD_REG
inline constexpr uint8_t kCmdData = 0xCC;    // LL_CMD_DATA
inline constexpr uint8_t kCmdStatus = 0xB0;  // LL_CMD_STATUS

inline constexpr uint8_t kStatusError = 0xFF;  // LL_STATUS_ERROR
inline constexpr uint8_t kStatusBusy = 0xFE;   // LL_STATUS_BUSY
inline constexpr int kStatusReplyLen = 63;
inline constexpr unsigned kCmdTimeoutMs = 1000;

// Host-side wait for a control completion: polls of 10 ms, at least 100 of them and as many as
// the command's libusb time-out spans.
inline constexpr int kCmdPollMs = 10;
inline constexpr int kCmdPolls = 100;
// How long a cancelled control transfer may take to report back before the waiter hands its
// memory over to the completion callback.
inline constexpr int kCmdCancelGraceMs = 1000;
// A camera that keeps answering "busy" for longer than this is given up on.
inline constexpr int kStatusBusyLimitMs = 3000;

// Largest batches whose byte count still fits the 16-bit wLength.
inline constexpr int kRegWriteMax = 16382;  // 7 + 4 * 16382 = 65535
inline constexpr int kParamSetMax = 3276;   // 20 * 3276 = 65520
// libusb on Linux carries at most 4096 bytes in a control transfer's data stage: larger
// batches go out as several commands of consecutive registers or records, each checked.
inline constexpr int kCtrlDataMax = 4096;
inline constexpr int kRegWriteChunk = (kCtrlDataMax - 7) / 4;  // 1022
inline constexpr int kParamSetChunk = kCtrlDataMax / 20;       // 204
inline constexpr int kRegReadChunk = 16;
inline constexpr int kParamGetChunk = 3;

// How long close lets cancelled bulk transfers report before it gives up waiting for them.
inline constexpr int kDrainLimitMs = 3000;

// The private record of one open device. The leading fields keep the documented order; the
// bookkeeping after them tracks which bulk transfers libusb currently owns.
struct usb_ll_dev_priv {
    libusb_context* ctx = nullptr;
    libusb_device_handle* handle = nullptr;
    libusb_transfer* xfers[kBulkXferNum] = {};
    uint8_t* bufs[kBulkXferNum] = {};
    std::atomic<uint8_t> stopping{0};
    std::atomic<vexel_ll_cap_cb> cap_cb{nullptr};
    std::atomic<void*> cap_user{nullptr};
    std::thread evt_thread;
    int evt_stop = 0;  // libusb's completed word: only touched through std::atomic_ref
    std::atomic<uint8_t> evt_running{0};

    // True from submission until the completion handler leaves the transfer idle.
    std::atomic<bool> in_flight[kBulkXferNum] = {};
    // Orders `stopping` against resubmission: once a stop has set it under this lock, no
    // completion puts its transfer back into libusb's hands. Also guards idle_cv.
    std::mutex xfer_mu;
    std::condition_variable idle_cv;
    std::atomic<bool> evt_exited{false};  // nothing will report transfers any more

    // The camera remembers one last command, so a command and its status query, and every
    // chunked sequence, must not interleave with another thread's. Recursive: a sequence
    // holds it around the single exchanges that take it themselves. It lives as long as the
    // record, across the close and reopen of a USB reset, so a waiting thread never finds it gone.
    std::recursive_mutex cmd_mu;
};

inline usb_ll_dev_priv* priv_of(const vexel_ll_dev* dev) {
    return dev ? static_cast<usb_ll_dev_priv*>(dev->priv) : nullptr;
}

// The record's command lock (see usb_ll_dev_priv::cmd_mu); nothing for a record never opened.
inline std::unique_lock<std::recursive_mutex> hold_commands(const vexel_ll_dev* dev) {
    usb_ll_dev_priv* p = priv_of(dev);
    return p ? std::unique_lock(p->cmd_mu) : std::unique_lock<std::recursive_mutex>();
}

// A device usable for commands: record, private record and handle present.
inline usb_ll_dev_priv* open_priv(const vexel_ll_dev* dev) {
    usb_ll_dev_priv* p = priv_of(dev);
    return p && p->handle ? p : nullptr;
}

// Device level (usb_dev.cpp).
int dev_list(vexel_ll_dev* list, int capacity);
vexel_ll_dev* dev_open(vexel_ll_dev* dev);
vexel_ll_dev* dev_open_by_fd(vexel_ll_dev* dev);
void dev_close(vexel_ll_dev* dev);
// A USB reset closes and reopens the record in place: the private record (and with it the
// command lock the reset holds) stays; only the link to the camera goes and comes back.
void close_for_reset(vexel_ll_dev* dev);
bool reopen_after_reset(vexel_ll_dev* dev);

// Control commands (usb_cmd.cpp).
int exe_cmd(vexel_ll_dev* dev, uint8_t is_write, uint8_t type, uint16_t value, void* data, uint16_t length,
            uint32_t timeout_ms);
int check_last_cmd(vexel_ll_dev* dev, uint8_t type, uint8_t value);
int dev_reset(vexel_ll_dev* dev, uint8_t target);
int reg_write(vexel_ll_dev* dev, uint8_t target, uint32_t base, const uint32_t* values, uint16_t count);
int reg_read(vexel_ll_dev* dev, uint8_t target, uint32_t base, uint32_t* values, uint16_t count);
int param_set(vexel_ll_dev* dev, vexel_ll_param_rec* recs, int count);
int param_get(vexel_ll_dev* dev, vexel_ll_param_rec* recs, int count);

// Test seam, never exported: while set, control transfers are not submitted; the hook plays the
// camera on the caller's thread, filling in the transfer's status, actual length and, for a
// read, the data behind the setup packet, as a completion would. Set it only while no command
// is in progress.
using ControlSeam = void (*)(libusb_transfer* t);
void set_control_seam(ControlSeam seam);

// One command with its status check, as the streaming commands need it.
bool command_checked(vexel_ll_dev* dev, uint8_t type, uint16_t value, void* data, uint16_t length);

// Bulk streaming (usb_stream.cpp).
int cap_start(vexel_ll_dev* dev, uint32_t arg, vexel_ll_cap_cb cb, void* user);
int cap_stop(vexel_ll_dev* dev);
void cap_abort(vexel_ll_dev* dev);
// Cancels every bulk transfer libusb holds and waits until each has reported; false when some
// did not report within the limit.
bool drain_bulk(usb_ll_dev_priv* p, const char* who);

}  // namespace vx::usb
