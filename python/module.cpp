// The module `vexel`: library start at import and stop at interpreter exit, the error classes,
// log and path settings, and the device core shared by the device bindings.
#include <cstring>
#include <vector>

#include <pybind11/eval.h>

#include <vexel/driver.h>
#include <vexel/vexel.hpp>

#include "common.hpp"

namespace vxpy {

namespace {

std::atomic<bool> g_up{false};
// Set once at import and never released: the classes must outlive every object that raises.
PyObject* g_error = nullptr;
PyObject* g_timeout = nullptr;

// Whether set_path chose the prefix; until then each camera's calibration lives in the user's
// cache (vexel_path_cfg_cache).
std::atomic<bool> g_path_set{false};

std::mutex g_devices_mu;
std::vector<std::weak_ptr<DeviceCore>> g_devices;

// The log compares file names by pointer, so every new name gets storage of its own that stays
// valid while the file is open; the previous one is released only after the switch.
std::unique_ptr<char[]> g_log_name;
constexpr const char* kNoLogFile = "/dev/null";

[[noreturn]] void raise_as(PyObject* cls, const std::string& message, const std::string& name, int code) {
    py::object exc = py::reinterpret_borrow<py::object>(cls)(message, name, code);
    PyErr_SetObject(cls, exc.ptr());
    throw py::error_already_set();
}

// The library's console messages, into the logger "vexel" on whatever thread logged them.
void log_to_python(int level, const char* text, void*) {
#if PY_VERSION_HEX >= 0x030D0000
    if (Py_IsInitialized() == 0 || Py_IsFinalizing()) return;
#else
    if (Py_IsInitialized() == 0 || _Py_IsFinalizing()) return;
#endif
    static constexpr int kLevels[] = {5, 10, 20, 30, 40};  // TRC below logging.DEBUG
    const int py_level = level >= 0 && level < 5 ? kLevels[level] : 40;
    py::gil_scoped_acquire gil;
    try {
        py::module_::import("logging").attr("getLogger")("vexel").attr("log")(py_level, "%s", text);
    } catch (py::error_already_set& e) {
        e.discard_as_unraisable("vexel log");
    }
}

// Interpreter exit: devices still open are closed before the library stops.
void library_stop() {
    if (!g_up.load()) return;
    {
        py::gil_scoped_release nogil;  // a sink call in flight may be waiting for the GIL
        vexel_log_set_sink(nullptr, nullptr);
    }
    std::vector<std::shared_ptr<DeviceCore>> open;
    {
        std::lock_guard lock(g_devices_mu);
        for (auto& w : g_devices)
            if (auto core = w.lock()) open.push_back(std::move(core));
        g_devices.clear();
    }
    for (auto& core : open) core->close();
    g_up.store(false);
    py::gil_scoped_release nogil;
    vexel_uninit();
}

void set_log(unsigned console, const py::object& file, unsigned file_level) {
    if (console > VX_LOG_OFF || file_level > VX_LOG_OFF)
        throw py::value_error("log levels are 0 (trace) to 5 (off)");
    vx_log_enable(VX_LOG_CONSOLE, console, nullptr);
    if (file.is_none()) {
        vx_log_enable(VX_LOG_FILE, VX_LOG_OFF, kNoLogFile);
        g_log_name.reset();
        return;
    }
    const std::string path = fs_path(file);
    auto name = std::make_unique<char[]>(path.size() + 1);
    std::memcpy(name.get(), path.c_str(), path.size() + 1);
    if (!vx_log_enable(VX_LOG_FILE, file_level, name.get())) {
        vx_log_enable(VX_LOG_FILE, VX_LOG_OFF, kNoLogFile);
        g_log_name.reset();
        PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
        throw py::error_already_set();
    }
    g_log_name = std::move(name);
}

constexpr const char* kErrorClasses = R"(
class Error(RuntimeError):
    """A failed library call.

    name: the library's name of the capture error (for example "VEXEL_ERR_CAP_STALL"), or,
          for failures that have none, the library call that failed ("vexel_dev_open").
    code: the call's negative result or capture error code; 0 when it gave none.
    """

    def __init__(self, message, name="", code=0):
        super().__init__(message)
        self.name = name
        self.code = code


class Timeout(Error, TimeoutError):
    """No frame arrived within the time-out."""
)";

}  // namespace

[[noreturn]] void raise_error(const char* call, int code, const std::string& message) {
    const char* known = vexel_error_name(code);
    const bool named = code != 0 && std::strcmp(known, "**UNKNOWN**") != 0;
    raise_as(g_error, message, named ? known : call, code);
}

[[noreturn]] void raise_timeout(const char* call, const std::string& message) {
    raise_as(g_timeout, message, call, 0);
}

bool library_up() {
    return g_up.load();
}

bool path_set() {
    return g_path_set.load();
}

std::mutex& colour_range_mutex() {
    static std::mutex mu;
    return mu;
}

std::string fs_path(const py::object& path) {
    return py::str(py::module_::import("os").attr("fsdecode")(path)).cast<std::string>();
}

DeviceCore::DeviceCore(const vexel_dev& listed) : rec_(listed) {
    rec_.handle = nullptr;
    rec_.free_on_close = 0;
}

DeviceCore::~DeviceCore() {
    // Python may drop the last reference during its own shutdown, after the library stopped.
    if (library_up()) close();
}

void DeviceCore::open() {
    if (!library_up()) raise_error("vexel_dev_open", 0, "the library has stopped");
    vexel_dev* r;
    int status;
    std::string dir_error;
    {
        py::gil_scoped_release nogil;
        // Unless set_path chose a directory, the camera's calibration lives in the user's cache; a
        // camera that does not answer fails the open below.
        if (recording_.empty()) {
            if (!path_set()) vexel_path_cfg_cache(&rec_);
            r = vexel_dev_open(&rec_);
        } else {
            std::lock_guard turn(vexel::detail::open_mutex);
            try {
                replay_dir_ = vexel::detail::replay_prefix(path_set());
                r = vexel_dev_open_recording_at(&rec_, recording_.c_str());
            } catch (const vexel::Error& e) {
                dir_error = e.what();
                r = nullptr;
            }
        }
        status = r ? epc_calib_status(vexel_dev_get_drv(r)) : EPC_CALIB_UNKNOWN;
        if (!r) replay_dir_.reset();
        if (r) vexel::detail::prefer_better_defaults(r);
    }
    if (!r && !recording_.empty())
        raise_error("vexel_dev_open_recording", 0,
                    "cannot play " + recording_ + (dir_error.empty() ? " (the library's log says why)" : ": " + dir_error));
    if (!r)
        raise_error("vexel_dev_open", 0,
                    "cannot open the camera at bus " + std::to_string(rec_.bus) + " port " +
                        std::to_string(rec_.port));
    open_.store(true);
    if (status == EPC_CALIB_MISSING)
        py::module_::import("logging")
            .attr("getLogger")("vexel")
            .attr("warning")("camera %s: its calibration could not be loaded from or stored in %s; distances "
                             "are uncorrected",
                             std::string(rec_.dev_id, strnlen(rec_.dev_id, sizeof rec_.dev_id)),
                             std::string(vexel_path_get()));
}

void DeviceCore::open_serial(const std::string& serial) {
    if (!library_up()) raise_error("vexel_dev_open_serial", 0, "the library has stopped");
    vexel_dev* r;
    {
        py::gil_scoped_release nogil;
        if (!path_set()) vexel::detail::cache_for_serial(serial);
        r = vexel_dev_open_serial(&rec_, serial.c_str());
        if (r) vexel::detail::prefer_better_defaults(r);
    }
    if (!r) raise_error("vexel_dev_open_serial", 0, "no camera with serial " + serial + " could be opened");
    open_.store(true);
}

void DeviceCore::close() {
    py::gil_scoped_release nogil;
    std::lock_guard lock(close_mu_);
    std::unique_lock use(use_mu_);
    if (!open_.exchange(false) || !library_up()) return;
    vexel_dev_close(&rec_);
    replay_dir_.reset();
}

vexel_dev* DeviceCore::live(const char* call) {
    if (!open_.load() || !library_up()) raise_error(call, 0, "the device is closed");
    return &rec_;
}

void track(const std::shared_ptr<DeviceCore>& core) {
    std::lock_guard lock(g_devices_mu);
    std::erase_if(g_devices, [](const auto& w) { return w.expired(); });
    g_devices.push_back(core);
}

}  // namespace vxpy

PYBIND11_MODULE(vexel, m) {
    using namespace vxpy;
    m.doc() = "The USB time-of-flight camera from Python: devices, capture, decoded images as numpy arrays.";
    m.attr("__version__") = vexel_get_version();

    py::exec(kErrorClasses, m.attr("__dict__"));
    g_error = m.attr("Error").ptr();
    g_timeout = m.attr("Timeout").ptr();
    Py_INCREF(g_error);
    Py_INCREF(g_timeout);

    // One library per process: started here with no log file (the library would otherwise leave
    // a dated one in the working directory), stopped at interpreter exit.
    vexel_init(kNoLogFile);
    vx_log_enable(VX_LOG_FILE, VX_LOG_OFF, kNoLogFile);
    vexel_log_set_sink(&log_to_python, nullptr);
    g_up.store(true);
    py::module_::import("atexit").attr("register")(py::cpp_function(&library_stop));

    m.def("set_log", &set_log, py::arg("console") = unsigned{VX_LOG_WRN}, py::arg("file") = py::none(),
          py::arg("file_level") = unsigned{VX_LOG_DBG},
          "Sets the library's log: messages at `console` level and above go to the logging module's\n"
          "logger \"vexel\" (0 trace ... 4 errors, 5 none; default 3, warnings); with `file` (a path,\n"
          "appended to) those at `file_level` and above go there too. Without `file` nothing is written\n"
          "to a file. Raises OSError when the file cannot be opened. Process-wide; set it before opening\n"
          "devices.");
    m.def(
        "set_path",
        [](const py::object& directory) {
            std::string p = fs_path(directory);
            if (p.empty()) throw py::value_error("the path prefix names a directory: it cannot be empty");
            if (p.back() != '/') p += '/';  // file names are appended to the prefix directly
            if (p.size() > 255) throw py::value_error("the path prefix is limited to 255 characters");
            if (vexel_path_cfg(p.c_str()) != 0) {
                PyErr_SetFromErrnoWithFilename(PyExc_OSError, p.c_str());
                throw py::error_already_set();
            }
            g_path_set.store(true);
        },
        py::arg("directory"),
        "Keeps calibration and lens files in `directory` (str or os.PathLike, with or without a\n"
        "trailing slash; created when missing) for devices opened afterwards, instead of the\n"
        "user's cache ($XDG_CACHE_HOME/vexel/SERIAL-CHIP/, else ~/.cache/vexel/SERIAL-CHIP/).\n"
        "Process-wide.");
    m.def(
        "path", [] { return std::string(vexel_path_get()); },
        "The path prefix in force: the directory set_path chose, else the cache directory of the\n"
        "camera opened last, or the directory of its own a recording plays its calibration from.");
    m.attr("__version__") = VEXEL_VERSION;
    m.def(
        "error_name", [](int code) { return std::string(vexel_error_name(code)); }, py::arg("code"),
        "The library's name of a capture error code (\"**UNKNOWN**\" for other values).");

    bind_imaging(m);  // first: device signatures name its Lens
    bind_device(m);
    bind_recording(m);
    bind_hotplug(m);
}
