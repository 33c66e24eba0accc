// vexel.watch: cameras arriving and leaving, delivered to a Python callable.
#include "common.hpp"

namespace vxpy {
namespace {

py::dict event_dict(const vexel_hotplug_event& ev) {
    py::dict d;
    d["event"] = ev.kind == VEXEL_HOTPLUG_ARRIVED ? "arrived" : "left";
    d["serial"] = std::string(ev.serial);
    d["bus"] = ev.bus;
    d["port"] = ev.port;
    d["address"] = ev.addr;
    return d;
}

// The library calls from its watch thread: the callable runs with the GIL taken there. Waiting
// for the library (register, deregister) is done without the GIL, or a callback waiting for it
// on the watch thread and this thread waiting for that callback would stop each other.
class Watch {
  public:
    explicit Watch(py::function fn) : fn_(std::move(fn)) {
        if (!library_up()) raise_error("vexel_hotplug_register", 0, "the library has stopped");
        int id = 0;
        {
            py::gil_scoped_release nogil;
            id = vexel_hotplug_register(&Watch::call, this);
        }
        if (!id) raise_error("vexel_hotplug_register", 0, "cannot watch the USB buses");
        id_ = id;
    }
    ~Watch() { close(); }
    void close() {
        if (!id_ || !library_up()) return;
        const int id = id_;
        id_ = 0;
        py::gil_scoped_release nogil;
        vexel_hotplug_deregister(id);
    }
    bool open() const { return id_ != 0; }

  private:
    static void call(const vexel_hotplug_event* ev, void* user) {
        py::gil_scoped_acquire gil;
        try {
            static_cast<Watch*>(user)->fn_(event_dict(*ev));
        } catch (py::error_already_set& e) {
            // Nothing may unwind into the library: the error is shown the way Python shows
            // errors of callbacks it cannot hand back.
            e.discard_as_unraisable("vexel.watch callback");
        }
    }
    py::function fn_;
    int id_ = 0;
};

}  // namespace

void bind_hotplug(py::module_& m) {
    py::class_<Watch>(m, "Watch", "Reports of cameras arriving and leaving; see vexel.watch().")
        .def("close", &Watch::close, "Stops the reports; returns after a running callback has finished.")
        .def_property_readonly("open", &Watch::open, "True until close().")
        .def("__enter__", [](Watch& w) -> Watch& { return w; }, py::return_value_policy::reference)
        .def("__exit__", [](Watch& w, const py::args&) { w.close(); });
    m.def(
        "watch", [](py::function fn) { return std::make_unique<Watch>(std::move(fn)); }, py::arg("callback"),
        "Calls `callback(event)` for each camera arriving on or leaving the USB buses, until the\n"
        "returned Watch is closed (or used as a context manager). `event` is a dict: \"event\"\n"
        "(\"arrived\" or \"left\"), \"serial\", \"bus\", \"port\", \"address\". The cameras already\n"
        "there are reported as arrivals before watch() returns; later events come from the\n"
        "library's thread within about a second. A camera that comes back can be opened again with\n"
        "vexel.open_serial(serial). Exceptions in the callback are reported, not raised.");
}

}  // namespace vxpy
