// The USB side's state: umockdev nodes, their clients and transfers, and the testbed that owns
// them. Shared by the node signalling, the ioctl handler, the engine and the public objects.
//
// Locking: one mutex per testbed (TestbedImpl::mu) guards every camera, node and client. The
// umockdev worker thread takes it in the ioctl handler and in the client weak-notify; so no
// umockdev call that can run or finalise on that thread (testbed mutations, unrefs of ioctl
// data or clients) is ever made with it held.
#pragma once

#include <glib-object.h>
#include <linux/usbdevice_fs.h>
#include <umockdev.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "sim/firmware/firmware.hpp"
#include "sim/sim.hpp"

namespace vxsim {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

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

struct Node;
struct ClientState;

struct Urb {
    UMockdevIoctlData* data = nullptr;  // the client's usbdevfs_urb
    UMockdevIoctlData* buf = nullptr;   // its buffer
    ClientState* client = nullptr;
    gulong addr = 0;
    bool control = false;
    bool hung = false;           // a control transfer the camera never finishes
    bool ran = false;            // a control transfer the camera answered that completes at `due`
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
    void create(const std::string& path);
    void set_ready(bool r);
    // The device left the bus: every open descriptor polls error and hang-up from now on.
    void hang_up();

private:
    bool open_pty(const std::string& path);
    void open_fifo(const std::string& path);
    void close_all();

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

extern TestbedImpl* g_live;  // umockdev supports one testbed per process

// A session leader without a controlling terminal would adopt the first node it opens as one and
// die of the hang-up at the unplug. Such a process gets a terminal of its own that never hangs up.
void keep_nodes_from_becoming_ctty();
void complete(Urb* u, int status);
void release(Urb* u, Graveyard& g);
std::string hex(const std::vector<uint8_t>& v);
// Drops a client that closed its descriptor or died: its transfers and claims go with it.
void on_client_gone(gpointer data, GObject* where);
ClientState* client_for(Node* node, UMockdevIoctlClient* client);
bool claimed_elsewhere(Node* node, ClientState* me, int iface);
// Resolves the ioctl argument's pointee (size bytes); null when the client's memory is gone.
UMockdevIoctlData* resolve_arg(UMockdevIoctlClient* client, size_t size);

// The usbfs ioctls of one node (signal "handle-ioctl", data: the Node).
gboolean handle_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data);
// The default pipe: transfers complete one after the other, each control_us after the one
// before; a hung one blocks those behind it until the host discards it, as on a real pipe.
void run_default_pipe(CameraImpl& cam, Clock::time_point now, Clock::time_point& wake);

}  // namespace vxsim
