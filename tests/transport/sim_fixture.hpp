// Shared set-up of the transport suites that run against the simulated camera.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <vexel/log.h>
#include <vexel/transport.h>
#include "sim/sim.hpp"
#include "transport/usb_priv.hpp"

namespace vxt {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

inline bool eventually(const std::function<bool()>& pred, std::chrono::milliseconds limit = 5000ms) {
    const auto end = Clock::now() + limit;
    while (!pred()) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

inline double ms_since(Clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

// Everything the library logs, at every level, into a file of the test's own.
class LogCapture {
  public:
    LogCapture() {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        path_ = (std::filesystem::temp_directory_path() /
                 ("vexel_transport_" + std::to_string(::getpid()) + "_" + info->name() + ".log"))
                    .string();
        std::filesystem::remove(path_);
        vx_log_disable();
        vx_log_enable(VX_LOG_CONSOLE, 5, nullptr);
        vx_log_enable(VX_LOG_FILE, 0, path_.c_str());
    }
    ~LogCapture() {
        vx_log_disable();
        if (::testing::Test::HasFailure()) {
            const std::string t = text();
            std::printf("---- library log (tail) ----\n%s\n",
                        t.substr(t.size() > 6000 ? t.size() - 6000 : 0).c_str());
        }
        vx_log_enable(VX_LOG_CONSOLE, 3, nullptr);
        std::filesystem::remove(path_);
    }
    std::string text() const {
        std::ifstream in(path_, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    int count(const std::string& needle) const {
        const std::string t = text();
        int n = 0;
        for (size_t at = t.find(needle); at != std::string::npos; at = t.find(needle, at + needle.size()))
            ++n;
        return n;
    }
    bool has(const std::string& needle) const { return count(needle) > 0; }

  private:
    std::string path_;
};

// One completed bulk transfer as the capture callback saw it.
struct CapEvent {
    int code;
    const uint8_t* data;
    int len;
    Clock::time_point at;
};

// Collects capture callbacks; `on_event` runs inside the callback on the event thread.
struct CapRecorder {
    mutable std::mutex mu;
    std::vector<CapEvent> events;
    vexel_ll_dev* seen_dev = nullptr;
    std::function<void(vexel_ll_dev*, const CapEvent&)> on_event;

    static int callback(vexel_ll_dev* dev, int code, uint8_t* data, int len, void* user) {
        auto* self = static_cast<CapRecorder*>(user);
        CapEvent e{code, data, len, Clock::now()};
        {
            std::lock_guard lk(self->mu);
            self->events.push_back(e);
            self->seen_dev = dev;
        }
        if (self->on_event) self->on_event(dev, e);
        return 0;
    }
    std::vector<CapEvent> snapshot() const {
        std::lock_guard lk(mu);
        return events;
    }
    size_t size() const {
        std::lock_guard lk(mu);
        return events.size();
    }
    int count(int code) const {
        std::lock_guard lk(mu);
        return static_cast<int>(
            std::count_if(events.begin(), events.end(), [&](const CapEvent& e) { return e.code == code; }));
    }
};

inline bool is_status_query(const vxsim::ControlRecord& r) {
    return r.request == vx::usb::kCmdStatus;
}

// Control records of one command (type, value) in one direction, in order.
inline std::vector<vxsim::ControlRecord> commands(const vxsim::Camera& cam, uint8_t type, uint16_t value,
                                                  bool out) {
    std::vector<vxsim::ControlRecord> r;
    for (auto& c : cam.command_log())
        if (c.request == type && c.value == value && ((c.request_type & 0x80) == 0) == out) r.push_back(c);
    return r;
}

inline int status_queries(const vxsim::Camera& cam) {
    auto log = cam.command_log();
    return static_cast<int>(std::count_if(log.begin(), log.end(), is_status_query));
}

// Transfers libusb currently holds for the record.
inline int bulk_in_flight(const vexel_ll_dev& dev) {
    auto* p = vx::usb::priv_of(&dev);
    if (!p) return 0;
    int n = 0;
    for (auto& f : p->in_flight) n += f.load() ? 1 : 0;
    return n;
}

// A fresh simulated bus per test. Records come from rec(), so they outlive the test body and
// TearDown can close every open one before the bus goes away.
class SimTest : public ::testing::Test {
  protected:
    void SetUp() override { tb_ = std::make_unique<vxsim::Testbed>(); }
    void TearDown() override {
        for (vexel_ll_dev& d : recs_)
            if (d.priv && d.fd == 0) vexel_ll_dev_close(&d);
        tb_.reset();
    }

    vxsim::Camera& add(const vxsim::CameraOptions& o = {}) { return tb_->add_camera(o); }

    // A zeroed record, or a copy of `from` (a listed entry).
    vexel_ll_dev& rec(const vexel_ll_dev* from = nullptr) {
        vexel_ll_dev& d = recs_.emplace_back();
        if (from)
            d = *from;
        else
            std::memset(&d, 0, sizeof d);
        return d;
    }

    LogCapture log_;
    std::unique_ptr<vxsim::Testbed> tb_;
    std::deque<vexel_ll_dev> recs_;
};

}  // namespace vxt
