// Arrival and departure events: one bus watch shared by every registration, diffed against the
// cameras last seen. Callbacks run one at a time under the dispatch lock, so deregistering from
// another thread waits for a running callback and `user` can be freed when it returns.
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <tuple>
#include <vector>

#include <vexel/hotplug.h>

#include "core/log.hpp"
#include "transport/usb_watch.hpp"

namespace {

struct Registration {
    int id;
    vexel_hotplug_fn fn;
    void* user;
};

std::recursive_mutex g_dispatch;  // held while callbacks run; recursive for calls from callbacks
std::mutex g_mu;                  // the lists below
std::vector<Registration> g_regs;
std::vector<vx::usb::Present> g_last;
int g_next_id = 1;
thread_local int t_in_callback = 0;  // a callback's own calls cannot wait for the watch thread

std::unique_ptr<vx::usb::BusWatch>& watch() {
    static std::unique_ptr<vx::usb::BusWatch> w;
    return w;
}

vexel_hotplug_event event_of(int32_t kind, const vx::usb::Present& p) {
    vexel_hotplug_event ev{};
    ev.kind = kind;
    ev.bus = p.bus;
    ev.port = p.port;
    ev.addr = p.addr;
    std::snprintf(ev.serial, sizeof ev.serial, "%s", p.serial.c_str());
    return ev;
}

bool same(const vx::usb::Present& a, const vx::usb::Present& b) {
    return std::tie(a.bus, a.port, a.addr) == std::tie(b.bus, b.port, b.addr);
}

// Each event goes to the registrations still there when its turn comes: a callback may have
// removed others.
void deliver(const std::vector<vexel_hotplug_event>& events) {
    for (const vexel_hotplug_event& ev : events) {
        std::vector<int> ids;
        {
            std::lock_guard l(g_mu);
            for (const Registration& r : g_regs) ids.push_back(r.id);
        }
        for (int id : ids) {
            Registration r{};
            {
                std::lock_guard l(g_mu);
                bool found = false;
                for (const Registration& x : g_regs)
                    if (x.id == id) r = x, found = true;
                if (!found) continue;
            }
            ++t_in_callback;
            r.fn(&ev, r.user);
            --t_in_callback;
        }
    }
}

void on_bus(std::vector<vx::usb::Present> now) {
    std::lock_guard d(g_dispatch);
    std::vector<vexel_hotplug_event> events;
    {
        std::lock_guard l(g_mu);
        for (const auto& p : g_last) {
            bool still = false;
            for (const auto& q : now) still = still || same(p, q);
            if (!still) events.push_back(event_of(VEXEL_HOTPLUG_LEFT, p));
        }
        for (const auto& q : now) {
            bool before = false;
            for (const auto& p : g_last) before = before || same(p, q);
            if (!before) events.push_back(event_of(VEXEL_HOTPLUG_ARRIVED, q));
        }
        g_last = std::move(now);
    }
    deliver(events);
}

}  // namespace

extern "C" {

VX_API int vexel_hotplug_register(vexel_hotplug_fn fn, void* user) {
    if (!fn) {
        vx::logf(vx::kErr, "[%s] wrong params: fn=(nil)\n", __func__);
        return 0;
    }
    std::lock_guard d(g_dispatch);
    std::vector<vx::usb::Present> present;
    int id = 0;
    {
        std::lock_guard l(g_mu);
        if (!watch()) {
            g_last = vx::usb::scan_cameras();
            watch() = std::make_unique<vx::usb::BusWatch>(on_bus);
        }
        present = g_last;
        id = g_next_id++;
        g_regs.push_back({id, fn, user});
    }
    for (const auto& p : present) {
        const vexel_hotplug_event ev = event_of(VEXEL_HOTPLUG_ARRIVED, p);
        ++t_in_callback;
        fn(&ev, user);
        --t_in_callback;
    }
    return id;
}

VX_API int vexel_hotplug_deregister(int handle) {
    std::unique_ptr<vx::usb::BusWatch> stopped;
    {
        std::lock_guard d(g_dispatch);
        std::lock_guard l(g_mu);
        auto it = g_regs.begin();
        while (it != g_regs.end() && it->id != handle) ++it;
        if (it == g_regs.end()) return 0;
        g_regs.erase(it);
        // A callback cannot wait for the watch thread (which may be its own, or waiting for the
        // dispatch lock its caller holds): a last deregistration from one leaves the watch
        // running for the next registration.
        if (g_regs.empty() && t_in_callback == 0) {
            stopped = std::move(watch());
            g_last.clear();
        }
    }
    stopped.reset();  // joins the watch thread, which may be waiting for the dispatch lock
    return 1;
}

}  // extern "C"
