// The engine (streaming, the default pipe, scheduled bus events), plugging and the testbed.
#include <sys/prctl.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <stdexcept>

#include "sim/usb/usb.hpp"

namespace vxsim {

namespace {

// Bytes a second the link carries (0: no limit): the cap, and on a full-speed bus (12 Mbit/s,
// 64-byte bulk packets, at most 19 in a 1 ms frame, fewer beside other traffic) about 1 MB/s
// whatever the cap says.
double link_rate(const CameraOptions& o) {
    constexpr double kFullSpeed = 1.0e6;
    const double cap = o.rate_cap_mbps > 0 ? o.rate_cap_mbps * 1e6 : 0;
    if (o.speed_mbps > 12) return cap;
    return cap > 0 ? std::min(cap, kFullSpeed) : kFullSpeed;
}

}  // namespace

void TestbedImpl::pump(CameraImpl& cam, Clock::time_point now, Clock::time_point& wake) {
    Firmware& fw = cam.fw;
    const bool paced = cam.opt.pacing == Pacing::frame_rate;
    if (paced && fw.streaming()) {
        // The sensor reads out at the frame rate whether or not the link moves; the FIFO
        // decides what is kept.
        if (const uint32_t fps = fw.frame_rate()) {
            const auto period =
                std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / fps));
            for (; cam.next_capture <= now; cam.next_capture += period) fw.capture_frame();
            wake = std::min(wake, cam.next_capture);
        }
    }
    while (!cam.bulk.empty() && fw.streaming()) {
        Faults& f = fw.faults();
        Urb* u = cam.bulk.front();
        // A halted endpoint moves nothing until the host clears the halt, as on a real bus.
        if (cam.halted) return;
        if (f.stall_bulk > 0) {
            --f.stall_bulk;
            cam.bulk.pop_front();
            cam.halted = true;
            complete(u, -EPIPE);
            return;
        }
        if (f.stop_sending) return;
        size_t room = static_cast<size_t>(u->length - u->actual);
        const double rate = link_rate(cam.opt);
        if (rate > 0) {
            const double burst = rate * 0.02;  // the link time the camera may catch up on: 20 ms
            cam.tokens = std::min(cam.tokens + std::chrono::duration<double>(now - cam.tokens_t).count() * rate, burst);
            cam.tokens_t = now;
            const size_t budget = static_cast<size_t>(cam.tokens) & ~size_t(511);
            if (budget < room) {
                // Not enough link time for the rest of this transfer: send what fits, wait.
                const size_t n = fw.produce(u->buf->data + u->actual, budget, !paced);
                u->actual += static_cast<int>(n);
                cam.tokens -= double(n);
                if (n < budget && !fw.packet_in_progress() && u->actual > 0) {
                    cam.bulk.pop_front();
                    ++fw.counters().bulk_urbs;
                    complete(u, 0);
                    continue;
                }
                // Back when the rest, or half a burst, has accrued: a sleep past the full burst
                // would lose link time and carry less than the rate, so the engine may be late by
                // the other half.
                wake = std::min(wake, now + std::chrono::microseconds(static_cast<int64_t>(
                                                std::min<double>(double(room), burst / 2) / rate * 1e6) + 100));
                return;
            }
            room = std::min(room, budget);
        }
        const size_t n = fw.produce(u->buf->data + u->actual, room, !paced);
        u->actual += static_cast<int>(n);
        if (rate > 0) cam.tokens -= double(n);
        if (u->actual == u->length || (n < room && !fw.packet_in_progress() && u->actual > 0)) {
            // Full, or the device ran out of data at a packet end (a short packet ends it).
            cam.bulk.pop_front();
            ++fw.counters().bulk_urbs;
            complete(u, 0);
            continue;
        }
        return;
    }
}

void TestbedImpl::run_engine() {
    std::unique_lock<std::mutex> lk(mu);
    while (!quit) {
        const auto now = Clock::now();
        auto wake = now + milliseconds(200);
        std::vector<std::pair<CameraImpl*, Departure>> leave;
        std::vector<CameraImpl*> back;
        for (auto& c : cams) {
            if (c->cur) {
                run_default_pipe(*c, now, wake);
                pump(*c, now, wake);
            }
            if (c->leave_at) {
                if (*c->leave_at <= now) {
                    leave.emplace_back(c.get(), c->leave_kind);
                    c->leave_at.reset();
                } else {
                    wake = std::min(wake, *c->leave_at);
                }
            }
            if (c->return_at) {
                if (*c->return_at <= now) {
                    back.push_back(c.get());
                    c->return_at.reset();
                } else {
                    wake = std::min(wake, *c->return_at);
                }
            }
        }
        if (!leave.empty() || !back.empty()) {
            lk.unlock();
            for (auto [c, kind] : leave) {
                unplug(*c);
                if (kind == Departure::unplug) continue;
                std::lock_guard<std::mutex> g(mu);
                const unsigned ms = kind == Departure::reboot ? c->opt.reboot_delay_ms : c->opt.reenumerate_delay_ms;
                c->cold_return = kind == Departure::reboot;
                c->return_at = Clock::now() + milliseconds(ms);
            }
            for (auto* c : back) plug(*c);
            lk.lock();
            continue;
        }
        cv.wait_until(lk, wake);
    }
}

Node* TestbedImpl::plug(CameraImpl& cam) {
    std::lock_guard<std::mutex> bl(bus_mu);
    uint8_t addr;
    {
        std::lock_guard<std::mutex> lk(mu);
        auto& used = used_addr[cam.opt.bus];
        uint8_t& next = next_addr[cam.opt.bus];
        if (next < 2) next = 2;
        if (cam.nodes.empty() && cam.opt.address) {
            addr = cam.opt.address;
        } else {
            do {
                addr = next;
                next = next >= 127 ? 2 : next + 1;
            } while (used.count(addr));
        }
        used.insert(addr);
        if (next <= addr && addr < 127) next = addr + 1;
    }
    auto node = std::make_unique<Node>();
    node->cam = &cam;
    node->address = addr;
    char devnode[64];
    std::snprintf(devnode, sizeof devnode, "/dev/bus/usb/%03u/%03u", cam.opt.bus, addr);
    node->devnode = devnode;
    node->handler = umockdev_ioctl_base_new();
    g_signal_connect(node->handler, "handle-ioctl", G_CALLBACK(handle_ioctl), node.get());
    GError* err = nullptr;
    // Addresses come round again after some 125 plugs on a bus, and umockdev takes one handler
    // per device node: the unplugged node that last had this address gives its handler up.
    // Detached outside `mu`: the handler's thread takes it.
    bool stale = false;
    {
        std::lock_guard<std::mutex> lk(mu);
        for (auto& c : cams)
            for (auto& old : c->nodes)
                if (old->gone && old->attached && old->devnode == node->devnode) {
                    old->attached = false;
                    stale = true;
                }
    }
    if (stale) {
        umockdev_testbed_detach_ioctl(tb, devnode, &err);
        g_clear_error(&err);
    }
    if (!umockdev_testbed_attach_ioctl(tb, devnode, node->handler, &err))
        throw std::runtime_error(std::string("attach_ioctl: ") + (err ? err->message : "?"));
    node->attached = true;

    const auto desc = cam.fw.descriptors();
    const unsigned speed = cam.opt.speed_mbps;
    char rec[4096];
    std::snprintf(rec, sizeof rec,
                  "P: %s\nN: bus/usb/%03u/%03u\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DEVNAME=%s\n"
                  "E: BUSNUM=%03u\nE: DEVNUM=%03u\nE: PRODUCT=%x/%x/%x\n"
                  "A: busnum=%u\nA: devnum=%u\nA: speed=%u\nA: bConfigurationValue=1\nA: bNumConfigurations=1\n"
                  "A: bNumInterfaces= 2\nA: idVendor=%04x\nA: idProduct=%04x\nA: bcdDevice=%04x\n"
                  "A: manufacturer=%s\nA: product=ToF Camera\nA: serial=%s\nA: devpath=%u\nA: bMaxPacketSize0=64\n"
                  "H: descriptors=%s\n",
                  cam.syspath.c_str() + 4, cam.opt.bus, addr, devnode, cam.opt.bus, addr, cam.opt.usb_vendor,
                  cam.opt.usb_product, cam.opt.firmware_version, cam.opt.bus, addr, speed == 5000 ? 5000 : speed,
                  cam.opt.usb_vendor, cam.opt.usb_product,
                  cam.opt.firmware_version, cam.opt.manufacturer.c_str(), cam.opt.serial.c_str(), cam.port,
                  hex(desc).c_str());
    if (!umockdev_testbed_add_from_string(tb, rec, &err))
        throw std::runtime_error(std::string("add device: ") + (err ? err->message : "?"));

    // In place of the regular node file, so that poll() blocks until we have a completion.
    // Under `mu`: the handler is attached already, and a client that found the device node can
    // be in an ioctl on this node now; its readiness is taken again once the signal exists.
    std::lock_guard<std::mutex> lk(mu);
    node->signal.create(root + devnode);
    node->refresh_ready();
    Node* n = node.get();
    n->syspath = cam.syspath;
    cam.nodes.push_back(std::move(node));
    if (cam.cold_return) cam.fw.power_on();
    cam.fw.stop_stream();
    cam.halted = false;
    cam.cold_return = false;
    cam.cur = n;
    debug_log("plugged %s at %s\n", devnode, cam.syspath.c_str());
    return n;
}

void TestbedImpl::unplug(CameraImpl& cam, Unplug how) {
    std::lock_guard<std::mutex> bl(bus_mu);
    {
        std::lock_guard<std::mutex> lk(mu);
        Node* n = cam.cur;
        if (!n) return;
        // First, so that no poll sees the completions below without the error.
        n->signal.hang_up();
        if (how == Unplug::ring_behind && !cam.halted) {
            // Under the same lock as the unplug: no reap can come between, whatever the host's timing.
            while (!cam.bulk.empty()) {
                Urb* u = cam.bulk.front();
                u->actual += static_cast<int>(cam.fw.produce(
                    u->buf->data + u->actual, static_cast<size_t>(u->length - u->actual), true));
                if (u->actual == 0) break;  // not streaming: the rest fail below
                cam.bulk.pop_front();
                ++cam.fw.counters().bulk_urbs;
                complete(u, 0);
            }
        }
        cam.cur = nullptr;
        n->gone = true;
        cam.fw.stop_stream();
        cam.bulk.clear();
        cam.ctrl.clear();
        for (auto& [k, c] : n->clients) {
            auto pend = c->pending;
            for (Urb* u : pend) complete(u, -ESHUTDOWN);
            c->claims.clear();
        }
        used_addr[cam.opt.bus].erase(n->address);
        debug_log("unplugged %s\n", n->devnode.c_str());
    }
    umockdev_testbed_uevent(tb, cam.syspath.c_str(), "remove");
    umockdev_testbed_remove_device(tb, cam.syspath.c_str());
}

// ---------------------------------------------------------------------------------------------
// Public objects.

Testbed::Testbed() : impl_(std::make_unique<TestbedImpl>()) {
    if (g_live) throw std::logic_error("vxsim: one testbed per process");
    keep_nodes_from_becoming_ctty();
    // Small timer slack keeps the emulated ioctl round trips short; threads inherit it.
    ::prctl(PR_SET_TIMERSLACK, 1UL);
    impl_->tb = umockdev_testbed_new();
    gchar* r = umockdev_testbed_get_root_dir(impl_->tb);
    impl_->root = r;
    g_free(r);
    g_live = impl_.get();
    impl_->engine = std::thread([this] { impl_->run_engine(); });
}

Testbed::~Testbed() {
    {
        std::lock_guard<std::mutex> lk(impl_->mu);
        impl_->quit = true;
    }
    impl_->cv.notify_all();
    impl_->engine.join();
    Graveyard g;
    {
        std::lock_guard<std::mutex> lk(impl_->mu);
        for (auto& c : impl_->cams) {
            for (auto& n : c->nodes) {
                for (auto& [k, cs] : n->clients) {
                    g_object_weak_unref(k, on_client_gone, n.get());
                    for (Urb* u : cs->pending) release(u, g);
                    for (Urb* u : cs->done) release(u, g);
                }
                n->clients.clear();
            }
        }
    }
    for (auto& c : impl_->cams)
        for (auto& n : c->nodes) {
            if (!n->attached) continue;
            GError* err = nullptr;
            umockdev_testbed_detach_ioctl(impl_->tb, n->devnode.c_str(), &err);
            if (err) g_error_free(err);
        }
    g_object_unref(impl_->tb);
    for (auto& c : impl_->cams)
        for (auto& n : c->nodes) {
            g_object_unref(n->handler);
        }
    g_live = nullptr;
}

std::string Testbed::root_dir() const { return impl_->root; }

Camera& Testbed::add_camera(const CameraOptions& opt) {
    auto cam = std::make_unique<CameraImpl>(opt);
    cam->tb = impl_.get();
    cam->iface0_busy = opt.interface0_busy;
    {
        std::lock_guard<std::mutex> lk(impl_->mu);
        uint8_t& next = impl_->next_port[opt.bus];
        if (next == 0) next = 1;
        cam->port = opt.port ? opt.port : next;
        next = std::max<uint8_t>(next, static_cast<uint8_t>(cam->port + 1));
    }
    char sp[128];
    std::snprintf(sp, sizeof sp, "/sys/devices/pci0000:00/0000:00:14.0/usb%u/%u-%u", opt.bus, opt.bus, cam->port);
    cam->syspath = sp;
    cam->handle.reset(new Camera(cam.get()));
    // The package is in the camera's flash before it is plugged in, as on a real camera: built
    // inside the host's first request for it, it held the one thread that serves every simulated
    // camera for seconds on a loaded machine, and commands to all of them timed out.
    cam->fw.calib_package();
    CameraImpl* c = cam.get();
    {
        std::lock_guard<std::mutex> lk(impl_->mu);
        impl_->cams.push_back(std::move(cam));
    }
    impl_->plug(*c);
    return *c->handle;
}

std::vector<Camera*> Testbed::cameras() {
    std::lock_guard<std::mutex> lk(impl_->mu);
    std::vector<Camera*> v;
    for (auto& c : impl_->cams) v.push_back(c->handle.get());
    return v;
}

}  // namespace vxsim
