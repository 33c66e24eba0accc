// Shared pieces of the Python module: errors, the library's lifetime, the open-device core.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <vexel/vexel.hpp>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <utility>

#include <vexel/vexel.h>

namespace py = pybind11;

namespace vxpy {

// Raises vexel.Error: `code` is the library's negative result or capture error code (0: none);
// the exception's name is the library's name for that code, else `call`.
[[noreturn]] void raise_error(const char* call, int code, const std::string& message);
// Raises vexel.Timeout (a vexel.Error and a TimeoutError).
[[noreturn]] void raise_timeout(const char* call, const std::string& message);

// True between the module's vexel_init and the vexel_uninit at interpreter exit; nothing may
// reach the library outside that window.
bool library_up();
// Whether vexel.set_path fixed the prefix (else each camera's calibration is kept in its cache).
bool path_set();

// One opened camera. The record lives here because the library keeps pointing at it while the
// device is open; every Python object that works with the device holds this core, so the record
// outlives any call still running on another thread.
class DeviceCore {
  public:
    explicit DeviceCore(const vexel_dev& listed);
    ~DeviceCore();
    DeviceCore(const DeviceCore&) = delete;
    DeviceCore& operator=(const DeviceCore&) = delete;

    // Opens the record; raises vexel.Error on failure. GIL held; released while opening.
    void open();
    // Opens the camera whose USB serial string is `serial` into the record; as open().
    void open_serial(const std::string& serial);
    // Makes open() play this recording instead of opening the listed camera.
    void set_recording(std::string path) { recording_ = std::move(path); }
    const std::string& recording() const { return recording_; }
    // Idempotent. GIL held; released while the library closes.
    void close();
    bool is_open() const { return open_.load(); }
    // The record of an open device, else raises vexel.Error. Call with the GIL held, before
    // releasing it around the library call.
    vexel_dev* live(const char* call);
    const vexel_dev& record() const { return rec_; }
    // The lens filter as last switched through the Filters (off at open, as the driver starts):
    // point clouds take the rays of the image it decoded.
    std::atomic<bool> lens_undistort{false};

    // Runs fn(record) on the open device with the GIL released, and keeps close() waiting until
    // it returns: for the few calls that reach the driver's state directly, which the library's
    // own calls do not guard. Raises vexel.Error when the device is closed.
    template <class Fn>
    auto with_driver(const char* call, Fn fn) {
        std::optional<decltype(fn(&rec_))> r;
        {
            py::gil_scoped_release nogil;
            std::shared_lock lock(use_mu_);
            if (open_.load() && library_up()) r.emplace(fn(&rec_));
        }
        if (!r) raise_error(call, 0, "the device is closed");
        return *r;
    }

  private:
    vexel_dev rec_{};
    std::string recording_;
    std::shared_ptr<vexel::detail::ReplayDir> replay_dir_;  // the recording's calibration, while it plays
    std::mutex close_mu_;
    std::shared_mutex use_mu_;
    std::atomic<bool> open_{false};
};

// Held around every use of the library colour map, whose range vexel.colour_map sets: a
// coloured point cloud never sees the range change half-way.
std::mutex& colour_range_mutex();

// Colours a distance image (metres) as vexel.colour_map does: `range` in metres, or the 1st to
// 99th percentile of the valid pixels when none is given; invalid pixels black.
py::array_t<uint8_t> colour_map(const py::array_t<float, py::array::c_style | py::array::forcecast>& dist,
                                std::optional<std::pair<float, float>> range, std::string_view format);

// Registered at open so the exit handler can close what Python code left open.
void track(const std::shared_ptr<DeviceCore>& core);

// A path argument (str or os.PathLike) as text for the C interface.
std::string fs_path(const py::object& path);

void bind_device(py::module_& m);
void bind_imaging(py::module_& m);
void bind_recording(py::module_& m);
void bind_hotplug(py::module_& m);

}  // namespace vxpy
