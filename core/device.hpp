// The per-open device record and the guard every public device call runs under.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include <vexel/device.h>
#include <vexel/driver.h>
#include <vexel/frame.h>
#include <vexel/transport.h>

#include <memory>

#include <vexel/capture.h>
#include <vexel/stream.h>

#include "core/tap.hpp"

namespace vx {

// A recursive lock with a deadline, for one pulling call at a time. Built on a condition variable:
// std::recursive_timed_mutex waits with pthread_mutex_clocklock, which the thread sanitizer cannot
// see, so every hand-over would look like a race.
class TurnLock {
public:
    void lock();
    bool try_lock();
    bool try_lock_until(std::chrono::steady_clock::time_point deadline);
    void unlock();

private:
    std::mutex mu_;
    std::condition_variable cv_;
    std::thread::id owner_;
    int depth_ = 0;
};

}  // namespace vx

struct vexel_dev_handle {
    vexel_ll_dev ll;  // first: the handle is handed to the transport as its record
    vexel_driver_entry* driver = nullptr;
    uint32_t reserved[4] = {};
    std::atomic<uint8_t> open{0};
    std::atomic<uint8_t> capturing{0};
    vx_stream* stream = nullptr;
    vx_stream_state last_state{};  // event thread only
    vexel_frame_info cur_info{};
    // The frame the last pull described (or the callback's frame); host_time_ns 0: none since
    // capture start. Its own lock: read from inside a frame-ready callback, under the delivery turn.
    std::mutex meta_mu;
    vexel_frame_meta meta{};
    uint32_t cap_arg = 0;
    // Written by the event thread and read by callers (or the reverse): atomics, no lock.
    std::atomic<uint32_t> stop{1};
    std::atomic<uint32_t> timeouts{0}, stalls{0}, discard_total{0};
    std::atomic<int32_t> pending_err{0};
    std::atomic<uint8_t> force_stop{0};
    std::atomic<uint32_t> pending_arg{0};
    std::atomic<vexel_frame_ready_cb> on_frame{nullptr};
    std::atomic<vexel_error_cb> on_error{nullptr};
    std::condition_variable cv;
    std::mutex mu;
    uint64_t signals = 0;  // guarded by mu: lets a waiter tell a signal from a spurious wake-up
    vexel_cap_request* request = nullptr;
    // The frame-ready callback's staging buffer, kept for the life of the handle.
    std::unique_ptr<uint8_t[]> cb_buf;

    // Each open works on its own copy of its registry row: two cameras of one family must not
    // share driver state.
    vexel_driver_entry driver_copy{};
    // Calls inside this handle right now; close releases nothing until it is zero.
    int inflight = 0;   // guarded by the device table lock
    bool closing = false;

    // Capture start, stop and the frame budget change one after the other.
    std::mutex ctl_mu;
    // One pulling call (get_frames, get_frame, wait) delivers at a time: the pending request and
    // the callback staging buffer are the handle's. Recursive: a frame-ready callback may pull.
    vx::TurnLock deliver_mu;

    // A recorder listening to this device (vx::attach_tap), and the threads inside it now.
    std::atomic<vx::DeviceTap*> tap{nullptr};
    std::atomic<int> tap_users{0};

    // Demand for frames, for a transport that produces them when asked (playback): pulling
    // calls holding the delivery turn, and the frames a blocked one waits for.
    std::atomic<uint32_t> pulls{0};
    std::atomic<uint32_t> pull_waiting{0};
};

namespace vx {

// Enters a public call on `dev`: refuses a missing, unopened or closing device, otherwise keeps
// the handle alive until the guard ends and holds the record's busy byte.
class DeviceCall {
public:
    explicit DeviceCall(vexel_dev* dev);
    ~DeviceCall();
    DeviceCall(const DeviceCall&) = delete;
    DeviceCall& operator=(const DeviceCall&) = delete;

    explicit operator bool() const { return h_ != nullptr; }
    vexel_dev_handle* handle() const { return h_; }

private:
    vexel_dev* dev_;
    vexel_dev_handle* h_ = nullptr;
};

// The record's handle read under the device table lock (null when not open).
vexel_dev_handle* handle_of(const vexel_dev* dev);

// True while the calling thread is inside a public call on `h` (a callback runs inside one).
bool inside_call(const vexel_dev_handle* h);

// Parameter read shared by the public batch call, open and capture start: converts to the
// wire form, logs as the public call does, copies back only on success.
bool param_get(vexel_dev_handle* h, vexel_param_item* items, int count);

// The transport's capture callback ("on_capture_event"); `user` is the handle.
int capture_event(vexel_ll_dev* ll, int code, uint8_t* data, int len, void* user);

// Stops a capture on behalf of close, as vexel_cap_stop does; the record is open and no other
// call is inside it.
void stop_capture_for_close(vexel_dev* dev, vexel_dev_handle* h);

// vexel_dev_open with the transport chosen by the caller: `ops` and `priv` are set in the new
// handle's transport record before the transport's dev_open sees it (null, null: USB, as
// vexel_dev_open). A playback transport takes the file it plays through `priv`; it owns `priv`
// from this call on, also when the open fails.
vexel_dev* open_device(vexel_dev* dev, const vexel_ll_op* ops, void* priv);

}  // namespace vx
