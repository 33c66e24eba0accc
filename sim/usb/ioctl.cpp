// The usbfs ioctls of a node, answered from the firmware model.
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "sim/usb/usb.hpp"

namespace vxsim {

namespace {

constexpr uint32_t kCaps = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                           USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_BULK_SCATTER_GATHER |
                           USBDEVFS_CAP_REAP_AFTER_DISCONNECT;

// A control transfer reaching the firmware; false when the camera never finishes it.
bool run_control(CameraImpl& cam, Urb* u, Clock::time_point now) {
    const uint8_t* b = u->buf->data;
    Setup s{b[0], b[1], uint16_t(b[2] | b[3] << 8), uint16_t(b[4] | b[5] << 8), uint16_t(b[6] | b[7] << 8)};
    const bool in_dir = s.request_type & 0x80;
    std::vector<uint8_t> reply;
    Action a = cam.fw.control(s, b + 8, reply, now);
    ControlRecord rec{s.request_type, s.request, s.value, s.index, s.length, {}, a == Action::stall};
    if (in_dir)
        rec.data = reply;
    else
        rec.data.assign(b + 8, b + 8 + s.length);
    cam.cmds.push_back(std::move(rec));
    debug_log("ctrl %02x %02x v=%u i=%u l=%u -> %d\n", s.request_type, s.request, s.value, s.index, s.length, int(a));

    if (s.request_type == 0x02 && s.request == 1 && s.value == 0 && (s.index & 0xFF) == kBulkEndpoint)
        cam.halted = false;  // CLEAR_FEATURE(ENDPOINT_HALT) sent as a control request
    if (a == Action::hang) return false;  // stays pending until the host discards it
    if (a == Action::unplug) {  // the unplug fails the transfer
        cam.leave_kind = Departure::unplug;
        cam.leave_at = now;
        return true;
    }
    if (a == Action::stall) {
        complete(u, -EPIPE);
        return true;
    }
    if (in_dir) {
        if (!reply.empty()) std::memcpy(u->buf->data + 8, reply.data(), reply.size());
        u->actual = static_cast<int>(reply.size());
    } else {
        u->actual = s.length;
    }
    switch (a) {
        case Action::reboot:
            cam.leave_kind = Departure::reboot;
            cam.reboot_waits_status = true;
            cam.leave_at = now + milliseconds(1000);  // if the host never asks for the status
            break;
        case Action::reenumerate:
            cam.leave_kind = Departure::reenumerate;
            cam.leave_at = now + milliseconds(50);  // long enough for the host to reap this
            break;
        case Action::start_stream:
            cam.next_capture = now;
            cam.tokens = 0;
            cam.tokens_t = now;
            break;
        default: break;
    }
    if (s.request == 0xB0 && cam.reboot_waits_status) {
        cam.reboot_waits_status = false;
        cam.leave_at = now + milliseconds(50);
    }
    if (const unsigned late = cam.fw.completion_delay_ms()) {
        // Done inside the camera; the pipe finishes it, and lets the next one through, later.
        u->ran = true;
        u->due = now + milliseconds(late);
        return true;
    }
    complete(u, 0);
    return true;
}

}  // namespace

void run_default_pipe(CameraImpl& cam, Clock::time_point now, Clock::time_point& wake) {
    while (!cam.ctrl.empty()) {
        Urb* u = cam.ctrl.front();
        if (u->hung) return;
        if (u->due > now) {
            wake = std::min(wake, u->due);
            return;
        }
        if (u->ran) {
            complete(u, 0);
        } else if (!run_control(cam, u, now)) {
            u->hung = true;
            return;
        } else if (u->ran) {
            continue;  // its completion is due later
        }
        cam.ctrl.pop_front();
    }
}

gboolean handle_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
    auto* node = static_cast<Node*>(data);
    CameraImpl& cam = *node->cam;
    TestbedImpl& tb = *cam.tb;
    const gulong req = umockdev_ioctl_client_get_request(client);
    Graveyard g;
    std::unique_lock<std::mutex> lk(tb.mu);
    ClientState* cs = client_for(node, client);

    // Answered without our lock: completing may release umockdev objects whose finalisers
    // (the client weak-notify) take it.
    auto done = [&](long res, int err) {
        if (lk.owns_lock()) lk.unlock();
        umockdev_ioctl_client_complete(client, res, err);
        return TRUE;
    };

    if (req == USBDEVFS_REAPURBNDELAY || req == USBDEVFS_REAPURB) {
        auto& q = cs->done;
        if (q.empty()) {
            node->refresh_ready();
            return done(-1, node->gone ? ENODEV : EAGAIN);
        }
        UMockdevIoctlData* slot = resolve_arg(client, sizeof(void*));
        if (!slot) return done(-1, EFAULT);
        Urb* u = q.front();
        q.pop_front();
        umockdev_ioctl_data_set_ptr(slot, 0, u->data);
        node->refresh_ready();
        g.add(slot);
        release(u, g);
        return done(0, 0);
    }
    if (node->gone) return done(-1, ENODEV);

    switch (req) {
        case USBDEVFS_GET_CAPABILITIES: {
            UMockdevIoctlData* d = resolve_arg(client, sizeof(uint32_t));
            if (!d) return done(-1, EFAULT);
            g.add(d);
            uint32_t caps = kCaps;
            std::memcpy(d->data, &caps, sizeof caps);
            return done(0, 0);
        }
        case USBDEVFS_SETCONFIGURATION: {
            UMockdevIoctlData* d = resolve_arg(client, sizeof(unsigned));
            if (!d) return done(-1, EFAULT);
            g.add(d);
            int cfg;
            std::memcpy(&cfg, d->data, sizeof cfg);
            if (cfg != 1 && cfg != 0 && cfg != -1) return done(-1, EINVAL);
            for (auto& [k, c] : node->clients)
                if (!c->claims.empty() && (c.get() != cs || cfg != 1)) return done(-1, EBUSY);
            return done(0, 0);
        }
        case USBDEVFS_CLAIMINTERFACE:
        case USBDEVFS_DISCONNECT_CLAIM: {
            UMockdevIoctlData* d =
                resolve_arg(client, req == USBDEVFS_CLAIMINTERFACE ? sizeof(unsigned) : sizeof(usbdevfs_disconnect_claim));
            if (!d) return done(-1, EFAULT);
            g.add(d);
            unsigned iface;
            std::memcpy(&iface, d->data, sizeof iface);
            if (iface > 1) return done(-1, ENOENT);
            if ((iface == 0 && cam.iface0_busy) || claimed_elsewhere(node, cs, int(iface))) return done(-1, EBUSY);
            cs->claims.insert(int(iface));
            return done(0, 0);
        }
        case USBDEVFS_RELEASEINTERFACE: {
            UMockdevIoctlData* d = resolve_arg(client, sizeof(unsigned));
            if (!d) return done(-1, EFAULT);
            g.add(d);
            unsigned iface;
            std::memcpy(&iface, d->data, sizeof iface);
            if (!cs->claims.erase(int(iface))) return done(-1, EINVAL);
            return done(0, 0);
        }
        case USBDEVFS_GETDRIVER:
        case USBDEVFS_IOCTL:
            return done(-1, ENODATA);  // no kernel driver is bound to either interface
        case USBDEVFS_CLEAR_HALT:
        case USBDEVFS_RESETEP: {
            UMockdevIoctlData* d = resolve_arg(client, sizeof(unsigned));
            if (!d) return done(-1, EFAULT);
            g.add(d);
            unsigned ep;
            std::memcpy(&ep, d->data, sizeof ep);
            if (ep != kBulkEndpoint && ep != 0 && ep != 0x80) return done(-1, ENOENT);
            if (ep == kBulkEndpoint && req == USBDEVFS_CLEAR_HALT) {
                ++cam.fw.counters().clear_halts;
                cam.halted = false;
                tb.cv.notify_all();
            }
            return done(0, 0);
        }
        case USBDEVFS_RESET: return done(0, 0);
        case USBDEVFS_CONNECTINFO: {
            UMockdevIoctlData* d = resolve_arg(client, sizeof(usbdevfs_connectinfo));
            if (!d) return done(-1, EFAULT);
            g.add(d);
            usbdevfs_connectinfo ci{};
            ci.devnum = node->address;
            ci.slow = cam.opt.speed_mbps < 12;
            std::memcpy(d->data, &ci, sizeof ci);
            return done(0, 0);
        }
        case USBDEVFS_GET_SPEED:
            return done(cam.opt.speed_mbps >= 5000 ? 5 : cam.opt.speed_mbps >= 480 ? 3 : 2, 0);
        case USBDEVFS_SUBMITURB: {
            UMockdevIoctlData* d = resolve_arg(client, sizeof(usbdevfs_urb));
            if (!d) return done(-1, EFAULT);
            auto* r = reinterpret_cast<usbdevfs_urb*>(d->data);
            const bool ctrl = r->type == USBDEVFS_URB_TYPE_CONTROL && r->endpoint == 0;
            const bool bulk = r->type == USBDEVFS_URB_TYPE_BULK && r->endpoint == kBulkEndpoint;
            if (!ctrl && !bulk) {
                g.add(d);
                return done(-1, r->endpoint == 0 || r->endpoint == kBulkEndpoint ? EINVAL : ENOENT);
            }
            if (r->buffer_length <= 0 || (ctrl && r->buffer_length < 8)) {
                g.add(d);
                return done(-1, EINVAL);
            }
            if (bulk && !cs->claims.count(0)) {
                // The stream endpoint belongs to interface 0: the kernel claims it on first use,
                // which fails while another client holds it.
                if (claimed_elsewhere(node, cs, 0) || cam.iface0_busy) {
                    g.add(d);
                    return done(-1, EBUSY);
                }
                cs->claims.insert(0);
            }
            GError* err = nullptr;
            UMockdevIoctlData* b = umockdev_ioctl_data_resolve(d, offsetof(usbdevfs_urb, buffer),
                                                               static_cast<gsize>(r->buffer_length), &err);
            if (!b) {
                if (err) g_error_free(err);
                g.add(d);
                return done(-1, EFAULT);
            }
            if (ctrl) {
                const uint16_t wlen = uint16_t(b->data[6] | b->data[7] << 8);
                if (r->buffer_length < 8 + wlen) {
                    g.add(d);
                    g.add(b);
                    return done(-1, EINVAL);
                }
            }
            auto* u = new Urb;
            u->data = d;
            u->buf = b;
            u->client = cs;
            u->addr = d->client_addr;
            u->control = ctrl;
            u->length = ctrl ? r->buffer_length - 8 : r->buffer_length;
            cs->pending.push_back(u);
            const auto now = Clock::now();
            if (ctrl) {
                cam.ctrl_free =
                    std::max(cam.ctrl_free, now) + std::chrono::microseconds(cam.opt.timing.control_us);
                u->due = cam.ctrl_free;
                cam.ctrl.push_back(u);
            } else {
                cam.bulk.push_back(u);
            }
            tb.cv.notify_all();
            return done(0, 0);
        }
        case USBDEVFS_DISCARDURB: {
            UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
            gulong addr = 0;
            std::memcpy(&addr, arg->data, sizeof addr);
            for (Urb* u : cs->pending) {
                if (u->addr != addr) continue;
                auto& q = u->control ? cam.ctrl : cam.bulk;
                q.erase(std::remove(q.begin(), q.end(), u), q.end());
                complete(u, -ENOENT);
                tb.cv.notify_all();  // the default pipe may move again
                return done(0, 0);
            }
            return done(-1, EINVAL);
        }
        default:
            debug_log("%s: unhandled ioctl 0x%lx\n", node->devnode.c_str(), req);
            return FALSE;
    }
}

}  // namespace vxsim
