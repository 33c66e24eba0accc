// The USB side: umockdev nodes whose usbfs ioctls the firmware model answers.
//
// Locking: one mutex per testbed (TestbedImpl::mu) guards every camera, node and client. The
// umockdev worker thread takes it in the ioctl handler and in the client weak-notify; so no
// umockdev call that can run or finalise on that thread (testbed mutations, unrefs of ioctl
// data or clients) is ever made with it held.
#include <fcntl.h>
#include <glib-object.h>
#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <umockdev.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <thread>

#include "sim/firmware.hpp"
#include "sim/sim.hpp"

namespace vxsim {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

std::atomic<bool> g_debug{std::getenv("VXSIM_DEBUG") != nullptr};

constexpr uint32_t kCaps = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                           USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_BULK_SCATTER_GATHER |
                           USBDEVFS_CAP_REAP_AFTER_DISCONNECT;

// Objects released outside the lock (their finalisers may call back into us).
struct Graveyard {
    std::vector<gpointer> objs;
    void add(gpointer o) {
        if (o) objs.push_back(o);
    }
    ~Graveyard() {
        for (auto o : objs) g_object_unref(o);
    }
};

}  // namespace

struct Node;
struct ClientState;

struct Urb {
    UMockdevIoctlData* data = nullptr;  // the client's usbdevfs_urb
    UMockdevIoctlData* buf = nullptr;   // its buffer
    ClientState* client = nullptr;
    gulong addr = 0;
    bool control = false;
    bool hung = false;           // a control transfer the camera never finishes
    Clock::time_point due{};     // when a control transfer completes
    int length = 0;
    int actual = 0;
    int status = 0;
    usbdevfs_urb* raw() const { return reinterpret_cast<usbdevfs_urb*>(data->data); }
};

struct ClientState {
    Node* node = nullptr;
    std::deque<Urb*> done;  // completed, in completion order
    std::vector<Urb*> pending;
    std::set<int> claims;
};

// What poll() says about a node, as a usbfs node says it: writable while a completion can be
// reaped, error and hang-up once the device is gone. The node is a pseudo-terminal whose output is
// stopped while nothing can be reaped (a stopped terminal is not writable) and which is hung up at
// the unplug. Where pseudo-terminals are missing a FIFO kept full gives the first half; an
// unplugged node then polls always ready.
class NodeSignal {
public:
    NodeSignal() = default;
    NodeSignal(const NodeSignal&) = delete;
    NodeSignal& operator=(const NodeSignal&) = delete;
    ~NodeSignal() { close_all(); }

    // Puts the signalling file at `path` (the node umockdev created is replaced), not ready.
    void create(const std::string& path) {
        ::unlink(path.c_str());
        if (!open_pty(path)) open_fifo(path);
        ready_ = true;
        set_ready(false);
    }
    void set_ready(bool r) {
        if (r == ready_ || hung_up_) return;
        ready_ = r;
        if (slave_ >= 0) {
            ::tcflow(slave_, r ? TCOON : TCOOFF);
            return;
        }
        if (fifo_ < 0) return;
        char buf[4096];
        if (r) {
            while (::read(fifo_, buf, sizeof buf) > 0) {
            }
        } else {
            std::memset(buf, 0, sizeof buf);
            while (::write(fifo_, buf, sizeof buf) > 0) {
            }
        }
    }
    // The device left the bus: every open descriptor polls error and hang-up from now on.
    void hang_up() {
        if (master_ < 0) {
            set_ready(true);
            return;
        }
        // Closing the master hangs the terminal up; restarting its output first would wake
        // pollers with a plain "writable".
        hung_up_ = true;
        close_all();
    }

private:
    bool open_pty(const std::string& path) {
        // Opened without a path (TIOCGPTPEER) and never as a controlling terminal, so neither the
        // testbed's redirection of /dev nor the hang-up can reach a session of ours.
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0) return false;
        if (::grantpt(master_) == 0 && ::unlockpt(master_) == 0) {
            slave_ = ::ioctl(master_, TIOCGPTPEER, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
            char name[64];
            if (slave_ >= 0 && ::ptsname_r(master_, name, sizeof name) == 0 &&
                ::symlink(name, path.c_str()) == 0) {
                termios t;
                if (::tcgetattr(slave_, &t) == 0) {
                    ::cfmakeraw(&t);
                    ::tcsetattr(slave_, TCSANOW, &t);
                }
                return true;
            }
        }
        close_all();
        return false;
    }
    void open_fifo(const std::string& path) {
        if (::mkfifo(path.c_str(), 0666) != 0) throw std::runtime_error("mkfifo " + path);
        fifo_ = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fifo_ < 0) throw std::runtime_error("open " + path);
        ::fcntl(fifo_, F_SETPIPE_SZ, 4096);
    }
    void close_all() {
        for (int* fd : {&slave_, &master_, &fifo_}) {
            if (*fd >= 0) ::close(*fd);
            *fd = -1;
        }
    }

    int master_ = -1, slave_ = -1;  // pseudo-terminal: clients open the slave through a symlink
    int fifo_ = -1;
    bool ready_ = false;
    bool hung_up_ = false;
};

struct Node {
    CameraImpl* cam = nullptr;
    uint8_t address = 0;
    std::string devnode;  // /dev/bus/usb/BBB/DDD
    std::string syspath;  // as umockdev returned it
    UMockdevIoctlBase* handler = nullptr;
    bool attached = false;  // its handler serves devnode
    NodeSignal signal;
    bool gone = false;
    std::map<GObject*, std::unique_ptr<ClientState>> clients;

    void set_ready(bool r) { signal.set_ready(r); }
    bool has_completions() const {
        for (auto& [k, c] : clients)
            if (!c->done.empty()) return true;
        return false;
    }
    void refresh_ready() { set_ready(gone || has_completions()); }
};

struct TestbedImpl;

enum class Departure { none, unplug, reboot, reenumerate };

struct CameraImpl {
    TestbedImpl* tb = nullptr;
    CameraOptions opt;
    Firmware fw;
    std::unique_ptr<Camera> handle;
    std::vector<std::unique_ptr<Node>> nodes;
    Node* cur = nullptr;
    uint8_t port = 0;
    std::string syspath;
    std::deque<Urb*> bulk;  // pending bulk transfers on the endpoint, in submission order
    std::deque<Urb*> ctrl;  // control transfers on the default pipe, one after the other
    Clock::time_point ctrl_free{};  // when the default pipe finishes what it holds
    std::vector<ControlRecord> cmds;
    bool iface0_busy = false;
    bool halted = false;  // bulk endpoint stalled and not yet cleared by the host
    // Pacing: when the sensor reads its next frame out, and the byte budget of a capped link.
    Clock::time_point next_capture{};
    double tokens = 0;
    Clock::time_point tokens_t{};
    // Scheduled bus events.
    Departure leave_kind = Departure::none;
    std::optional<Clock::time_point> leave_at, return_at;
    bool reboot_waits_status = false;
    bool cold_return = false;

    explicit CameraImpl(const CameraOptions& o) : opt(o), fw(o) {}
};

struct TestbedImpl {
    UMockdevTestbed* tb = nullptr;
    std::string root;
    std::mutex mu;
    std::condition_variable cv;
    std::thread engine;
    bool quit = false;
    std::mutex bus_mu;  // serialises testbed mutations (umockdev is not thread-safe there)
    std::vector<std::unique_ptr<CameraImpl>> cams;
    std::map<uint8_t, std::set<uint8_t>> used_addr;  // per bus
    std::map<uint8_t, uint8_t> next_addr, next_port;

    void run_engine();
    Node* plug(CameraImpl& cam);  // without mu
    void unplug(CameraImpl& cam, Unplug how = Unplug::now);  // without mu
    void pump(CameraImpl& cam, Clock::time_point now, Clock::time_point& wake);
};

namespace {

TestbedImpl* g_live = nullptr;  // umockdev supports one testbed per process

// A session leader without a controlling terminal would adopt the first node it opens as one and
// die of the hang-up at the unplug. Such a process gets a terminal of its own that never hangs up.
void keep_nodes_from_becoming_ctty() {
    if (::getsid(0) != ::getpid()) return;
    if (int fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC); fd >= 0) {
        ::close(fd);
        return;
    }
    const int m = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m < 0) return;
    if (::grantpt(m) == 0 && ::unlockpt(m) == 0) {
        const int s = ::ioctl(m, TIOCGPTPEER, O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (s >= 0 && ::ioctl(s, TIOCSCTTY, 0) == 0) return;  // both stay open with the process
        if (s >= 0) ::close(s);
    }
    ::close(m);
}

void complete(Urb* u, int status) {
    u->status = status;
    auto* r = u->raw();
    r->status = status;
    r->actual_length = u->actual;
    ClientState* c = u->client;
    auto& p = c->pending;
    p.erase(std::remove(p.begin(), p.end(), u), p.end());
    c->done.push_back(u);
    c->node->set_ready(true);
}

void release(Urb* u, Graveyard& g) {
    g.add(u->data);
    g.add(u->buf);
    delete u;
}

std::string hex(const std::vector<uint8_t>& v) {
    std::string s;
    char b[3];
    for (uint8_t x : v) {
        std::snprintf(b, sizeof b, "%02x", x);
        s += b;
    }
    return s;
}

// Drops a client that closed its descriptor or died: its transfers and claims go with it.
void on_client_gone(gpointer data, GObject* where) {
    auto* node = static_cast<Node*>(data);
    auto* cam = node->cam;
    Graveyard g;
    std::lock_guard<std::mutex> lk(cam->tb->mu);
    auto it = node->clients.find(where);
    if (it == node->clients.end()) return;
    ClientState* c = it->second.get();
    debug_log("%s: client %p gone (%zu pending)\n", node->devnode.c_str(), static_cast<void*>(where), c->pending.size());
    for (Urb* u : c->pending) {
        auto& q = u->control ? cam->ctrl : cam->bulk;
        q.erase(std::remove(q.begin(), q.end(), u), q.end());
        release(u, g);
    }
    for (Urb* u : c->done) release(u, g);
    node->clients.erase(it);
    node->refresh_ready();
}

ClientState* client_for(Node* node, UMockdevIoctlClient* client) {
    auto key = G_OBJECT(client);
    auto it = node->clients.find(key);
    if (it != node->clients.end()) return it->second.get();
    auto c = std::make_unique<ClientState>();
    c->node = node;
    g_object_weak_ref(key, on_client_gone, node);
    return node->clients.emplace(key, std::move(c)).first->second.get();
}

bool claimed_elsewhere(Node* node, ClientState* me, int iface) {
    for (auto& [k, c] : node->clients)
        if (c.get() != me && c->claims.count(iface)) return true;
    return false;
}

// Resolves the ioctl argument's pointee (size bytes); null when the client's memory is gone.
UMockdevIoctlData* resolve_arg(UMockdevIoctlClient* client, size_t size) {
    GError* err = nullptr;
    UMockdevIoctlData* d = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, size, &err);
    if (!d) {
        debug_log("resolve failed: %s\n", err ? err->message : "?");
        if (err) g_error_free(err);
    }
    return d;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The ioctl handler.

namespace {

gboolean handle_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data);

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
    complete(u, 0);
    return true;
}

// The default pipe: transfers complete one after the other, each control_us after the one
// before; a hung one blocks those behind it until the host discards it, as on a real pipe.
void run_default_pipe(CameraImpl& cam, Clock::time_point now, Clock::time_point& wake) {
    while (!cam.ctrl.empty()) {
        Urb* u = cam.ctrl.front();
        if (u->hung) return;
        if (u->due > now) {
            wake = std::min(wake, u->due);
            return;
        }
        if (!run_control(cam, u, now)) {
            u->hung = true;
            return;
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

}  // namespace

// ---------------------------------------------------------------------------------------------
// Streaming and scheduled events.

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
        if (cam.opt.rate_cap_mbps > 0) {
            const double rate = cam.opt.rate_cap_mbps * 1e6;
            cam.tokens = std::min(cam.tokens + std::chrono::duration<double>(now - cam.tokens_t).count() * rate, rate * 0.01);
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
                wake = std::min(wake, now + std::chrono::microseconds(static_cast<int64_t>(
                                                std::min<double>(double(room), 65536.0) / rate * 1e6) + 100));
                return;
            }
            room = std::min(room, budget);
        }
        const size_t n = fw.produce(u->buf->data + u->actual, room, !paced);
        u->actual += static_cast<int>(n);
        if (cam.opt.rate_cap_mbps > 0) cam.tokens -= double(n);
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
    node->signal.create(root + devnode);

    std::lock_guard<std::mutex> lk(mu);
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

#define LOCKED std::lock_guard<std::mutex> lk_(impl_->tb->mu)

uint8_t Camera::bus() const { return impl_->opt.bus; }
uint8_t Camera::port() const { return impl_->port; }
uint8_t Camera::address() const {
    LOCKED;
    return impl_->cur ? impl_->cur->address : impl_->nodes.empty() ? 0 : impl_->nodes.back()->address;
}
std::string Camera::devnode() const {
    LOCKED;
    return impl_->nodes.empty() ? std::string() : impl_->nodes.back()->devnode;
}
std::string Camera::syspath() const { return impl_->syspath; }
const CameraOptions& Camera::options() const { return impl_->opt; }
bool Camera::attached() const {
    LOCKED;
    return impl_->cur != nullptr;
}
bool Camera::streaming() const {
    LOCKED;
    return impl_->fw.streaming();
}
std::vector<int> Camera::claimed_interfaces() const {
    LOCKED;
    std::set<int> s;
    if (impl_->cur)
        for (auto& [k, c] : impl_->cur->clients) s.insert(c->claims.begin(), c->claims.end());
    return {s.begin(), s.end()};
}
int Camera::clients() const {
    LOCKED;
    return impl_->cur ? static_cast<int>(impl_->cur->clients.size()) : 0;
}
int Camera::pending_bulk() const {
    LOCKED;
    return static_cast<int>(impl_->bulk.size());
}
Counters Camera::counters() const {
    LOCKED;
    return impl_->fw.counters();
}
std::vector<ControlRecord> Camera::command_log() const {
    LOCKED;
    return impl_->cmds;
}
std::vector<WriteRecord> Camera::write_log() const {
    LOCKED;
    return impl_->fw.write_log();
}
void Camera::clear_logs() {
    LOCKED;
    impl_->cmds.clear();
    impl_->fw.write_log().clear();
}
uint32_t Camera::reg(uint8_t target, uint32_t index) const {
    LOCKED;
    return impl_->fw.reg(target, index);
}
void Camera::set_reg(uint8_t target, uint32_t index, uint32_t value) {
    LOCKED;
    impl_->fw.set_reg(target, index, value);
}
std::vector<uint8_t> Camera::param(uint8_t id) const {
    LOCKED;
    return impl_->fw.param(id);
}
void Camera::set_param(uint8_t id, const std::vector<uint8_t>& value) {
    LOCKED;
    impl_->fw.set_param(id, value);
}
Measurement Camera::measurement() const {
    LOCKED;
    return impl_->fw.model().measurement();
}
void Camera::set_measurement(const Measurement& m) {
    LOCKED;
    impl_->fw.set_measurement(m);
}
Truth Camera::truth() const {
    LOCKED;
    return impl_->fw.model().truth(impl_->fw.sensor_settings());
}
std::vector<uint8_t> Camera::calib_package() const {
    LOCKED;
    return impl_->fw.calib_package();
}
std::optional<FlashImage> Camera::flash_image(uint8_t type) const {
    LOCKED;
    return impl_->fw.flash().image(type);
}
void Camera::set_flash_image(uint8_t type, const FlashImage& image) {
    LOCKED;
    impl_->fw.flash().set_image(type, image);
}
void Camera::set_faults(const std::function<void(Faults&)>& edit) {
    {
        LOCKED;
        edit(impl_->fw.faults());
    }
    impl_->tb->cv.notify_all();
}
Faults Camera::faults() const {
    LOCKED;
    return impl_->fw.faults();
}
void Camera::set_interface0_busy(bool busy) {
    LOCKED;
    impl_->iface0_busy = busy;
}
void Camera::unplug(Unplug how) { impl_->tb->unplug(*impl_, how); }
void Camera::replug() {
    {
        LOCKED;
        if (impl_->cur) return;
        impl_->cold_return = true;
        impl_->return_at.reset();
    }
    impl_->tb->plug(*impl_);
}
void Camera::reenumerate(unsigned off_ms) {
    impl_->tb->unplug(*impl_);
    {
        LOCKED;
        impl_->cold_return = false;
        impl_->return_at = Clock::now() + milliseconds(off_ms);
    }
    impl_->tb->cv.notify_all();
}

bool Camera::wait_until(const std::function<bool(const Camera&)>& pred, std::chrono::milliseconds timeout) const {
    const auto end = Clock::now() + timeout;
    while (!pred(*this)) {
        if (Clock::now() >= end) return false;
        std::this_thread::sleep_for(milliseconds(2));
    }
    return true;
}

void set_verbose(bool on) { g_debug = on; }

void debug_log(const char* fmt, ...) {
    if (!g_debug) return;
    va_list ap;
    va_start(ap, fmt);
    std::fputs("[vxsim] ", stderr);
    std::vfprintf(stderr, fmt, ap);
    va_end(ap);
}

}  // namespace vxsim
