// Node signalling (poll readiness through a pseudo-terminal or FIFO), transfer completion and
// client bookkeeping.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "sim/usb/usb.hpp"

namespace vxsim {

namespace {
std::atomic<bool> g_debug{std::getenv("VXSIM_DEBUG") != nullptr};
}  // namespace

TestbedImpl* g_live = nullptr;

void NodeSignal::create(const std::string& path) {
    ::unlink(path.c_str());
    if (!open_pty(path)) open_fifo(path);
    ready_ = true;
    set_ready(false);
}

void NodeSignal::set_ready(bool r) {
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

void NodeSignal::hang_up() {
    if (master_ < 0) {
        set_ready(true);
        return;
    }
    // Closing the master hangs the terminal up; restarting its output first would wake
    // pollers with a plain "writable".
    hung_up_ = true;
    close_all();
}

bool NodeSignal::open_pty(const std::string& path) {
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

void NodeSignal::open_fifo(const std::string& path) {
    if (::mkfifo(path.c_str(), 0666) != 0) throw std::runtime_error("mkfifo " + path);
    fifo_ = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fifo_ < 0) throw std::runtime_error("open " + path);
    ::fcntl(fifo_, F_SETPIPE_SZ, 4096);
}

void NodeSignal::close_all() {
    for (int* fd : {&slave_, &master_, &fifo_}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
}

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

UMockdevIoctlData* resolve_arg(UMockdevIoctlClient* client, size_t size) {
    GError* err = nullptr;
    UMockdevIoctlData* d = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, size, &err);
    if (!d) {
        debug_log("resolve failed: %s\n", err ? err->message : "?");
        if (err) g_error_free(err);
    }
    return d;
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
