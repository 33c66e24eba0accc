// libvexel for C++20: a header-only layer over the C interface. RAII and move-only: a Library
// guard, Device (closed by its destructor), Frame objects that own their bytes, decoded images
// as vectors or into caller spans, filters as typed calls, and errors as exceptions carrying the
// library's error name. Nothing of it is compiled into or exported from libvexel.so.
//
//     vexel::Library lib;                       // vexel_init ... vexel_uninit
//     vexel::Device cam = vexel::Device::open(); // first camera
//     cam.start();
//     vexel::Frame f = cam.next_frame();
//     std::vector<float> metres = cam.distance(f);
//
// Threads: a Device may be used from several threads as the C interface allows (every call on
// one device is serialised inside the library); a Frame is a plain value.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <vexel/vexel.h>

namespace vexel {

// A failed call. code() is the capture error code when the failure was one (see
// vexel_error_name), else 0; name() is the library's name for it.
class Error : public std::runtime_error {
public:
    explicit Error(const std::string& what, int code = 0)
        : std::runtime_error(code ? what + ": " + vexel_error_name(code) : what), code_(code) {}
    int code() const noexcept { return code_; }
    const char* name() const noexcept { return vexel_error_name(code_); }

private:
    int code_;
};

// Starts the library for the lifetime of the object. Console messages at `console_level` and
// above (VX_LOG_WRN by default); `log_file` null writes no log file (the C interface would open a
// dated one in the working directory).
class Library {
public:
    explicit Library(const char* log_file = nullptr, unsigned console_level = VX_LOG_WRN) {
        vexel_init(log_file ? log_file : "/dev/null");
        vexel_log_cfg(console_level, log_file ? VX_LOG_DBG : VX_LOG_OFF, VX_LOG_OFF);
    }
    ~Library() { vexel_uninit(); }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
};

// The attached cameras (records not yet open).
inline std::vector<vexel_dev> devices(int max = 16) {
    std::vector<vexel_dev> list(static_cast<size_t>(max));
    const int n = vexel_dev_list(list.data(), max);
    list.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return list;
}

// One captured frame: its information and its raw bytes.
class Frame {
public:
    Frame() = default;
    Frame(const vexel_frame_info& info, std::vector<uint8_t> bytes) : info_(info), bytes_(std::move(bytes)) {}
    const vexel_frame_info& info() const noexcept { return info_; }
    std::span<const uint8_t> raw() const noexcept { return bytes_; }
    int width() const noexcept { return static_cast<int>(info_.frame_width); }
    int height() const noexcept { return static_cast<int>(info_.frame_height); }
    size_t pixels() const noexcept { return size_t{info_.frame_width} * info_.frame_height; }
    uint16_t index() const noexcept { return info_.frame_idx; }

private:
    vexel_frame_info info_{};
    std::vector<uint8_t> bytes_;
};

struct Point {
    float x, y, z;
};

class Device {
public:
    // Opens the `index`-th attached camera.
    static Device open(int index = 0) {
        auto list = devices(index + 1);
        if (index < 0 || static_cast<size_t>(index) >= list.size())
            throw Error("no camera " + std::to_string(index) + " (" + std::to_string(list.size()) + " attached)");
        return Device(list[static_cast<size_t>(index)]);
    }

    // Opens a record from devices().
    explicit Device(const vexel_dev& listed) : dev_(std::make_unique<vexel_dev>(listed)) {
        dev_->handle = nullptr;
        if (!vexel_dev_open(dev_.get())) throw Error("cannot open camera " + std::string(listed.product));
    }
    ~Device() { close(); }
    Device(Device&&) noexcept = default;
    Device& operator=(Device&& other) noexcept {
        if (this != &other) {
            close();
            dev_ = std::move(other.dev_);
        }
        return *this;
    }
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    void close() noexcept {
        if (dev_) vexel_dev_close(dev_.get());
        dev_.reset();
    }

    // The C record, for calls this layer does not wrap.
    vexel_dev* get() const noexcept { return dev_.get(); }
    std::string product() const { return text(dev_ ? dev_->product : nullptr, sizeof dev_->product); }
    std::string id() const { return text(dev_ ? dev_->dev_id : nullptr, sizeof dev_->dev_id); }
    unsigned firmware_version() const noexcept {
        return dev_ ? static_cast<unsigned>(dev_->version[2] | dev_->version[3] << 8) : 0;
    }

    void start() {
        if (!vexel_cap_start(live())) throw Error("capture start failed");
    }
    void stop() {
        if (!vexel_cap_stop(live())) throw Error("capture stop not acknowledged");
    }
    bool capturing() const noexcept { return dev_ && vexel_cap_is_ongoing(dev_.get()) > 0; }

    // Waits for the next frame (the library's pull time-out follows the frame rate).
    Frame next_frame() {
        std::vector<uint8_t> bytes(kMaxFrameBytes);
        vexel_frame_info info{};
        const int n = vexel_cap_get_frames(live(), 1, bytes.data(), static_cast<uint32_t>(bytes.size()), &info);
        if (n < 0) throw Error("no frame", n);
        if (n == 0) throw Error("no frame within the time-out", VEXEL_ERR_CAP_TIMEOUT);
        bytes.resize(info.frame_size);
        return Frame(info, std::move(bytes));
    }

    // Distance in metres per pixel (65.3 weak, 65.5 invalid), into `out` (at least pixels()).
    void distance(const Frame& f, std::span<float> out) { decode(f, out, vexel_frame_get_distance, "distance"); }
    std::vector<float> distance(const Frame& f) {
        std::vector<float> v(f.pixels());
        distance(f, v);
        return v;
    }
    // Amplitude in raw sample units (65500 saturated).
    void amplitude(const Frame& f, std::span<float> out) { decode(f, out, vexel_frame_get_gray, "amplitude"); }
    std::vector<float> amplitude(const Frame& f) {
        std::vector<float> v(f.pixels());
        amplitude(f, v);
        return v;
    }

    // Points of the valid pixels of a distance image, with the driver's lens intrinsics.
    std::vector<Point> point_cloud(std::span<const float> metres, int width, int height) {
        std::vector<Point> pts(metres.size());
        const int n = vexel_frame_get_pcl(live(), &pts.data()->x, static_cast<int32_t>(pts.size() * 3), metres.data(),
                                          static_cast<int32_t>(metres.size()), width, height, nullptr);
        if (n <= 0 && !metres.empty()) throw Error("point cloud failed (no lens parameters, or no valid pixel)");
        pts.resize(static_cast<size_t>(n > 0 ? n : 0));
        return pts;
    }

    // Processing switches; each applies from the next decoded frame.
    void lens_undistortion(bool on) { filter(VEXEL_FILTER_LENS_UNDISTORT, on, uint8_t{0}); }
    void pixel_calibration(bool on) { filter(VEXEL_FILTER_PIXEL_CALIB, on, uint8_t{0}); }
    void median(int kernel) { filter(VEXEL_FILTER_MEDIAN, kernel > 1, static_cast<uint8_t>(kernel)); }
    void amplitude_threshold(int32_t min_amplitude) { filter(VEXEL_FILTER_AMP_THRESHOLD, true, min_amplitude); }
    void auto_integration(uint16_t bad_per_mille) {
        filter(VEXEL_FILTER_AUTO_INTG, bad_per_mille != 0, bad_per_mille);
    }
    void dcs_check(bool on, uint16_t correction = 0) { filter(VEXEL_FILTER_DCS_CHECK, on, correction); }
    void temperature_monitor(bool on) { filter(VEXEL_FILTER_TEMP_MONITOR, on, uint16_t{75}); }
    void hdr(bool on) { filter(VEXEL_FILTER_HDR, on, uint8_t{0}); }

    // Sensor registers (target 1) and device parameters.
    std::vector<uint32_t> read_registers(unsigned target, uint32_t base, uint32_t count) {
        std::vector<uint32_t> v(count);
        if (!vexel_reg_batch_read(live(), target, base, v.data(), count)) throw Error("register read failed");
        return v;
    }
    void write_registers(unsigned target, uint32_t base, std::span<const uint32_t> values) {
        if (!vexel_reg_batch_write(live(), target, base, values.data(), static_cast<uint32_t>(values.size())))
            throw Error("register write failed");
    }
    std::vector<uint8_t> parameter(uint8_t id) {
        vexel_param_item item{};
        item.param_id = id;
        if (!vexel_param_batch_get(live(), &item, 1)) throw Error("parameter " + std::to_string(id) + " read failed");
        const size_t len = item.param_len ? std::min<size_t>(item.param_len, sizeof item.param_val)
                                          : sizeof item.param_val;
        return {item.param_val, item.param_val + len};
    }
    void set_parameter(uint8_t id, std::span<const uint8_t> value) {
        vexel_param_item item{};
        item.param_id = id;
        item.param_len = static_cast<uint8_t>(std::min(value.size(), sizeof item.param_val));
        std::memcpy(item.param_val, value.data(), item.param_len);
        if (!vexel_param_batch_set(live(), &item, 1)) throw Error("parameter " + std::to_string(id) + " write failed");
    }

private:
    static constexpr size_t kMaxFrameBytes = 320u * 240u * 2u * 4u;

    static std::string text(const char* s, size_t n) { return s ? std::string(s, strnlen(s, n)) : std::string(); }

    vexel_dev* live() const {
        if (!dev_) throw Error("device is closed");
        return dev_.get();
    }

    template <class Fn>
    void decode(const Frame& f, std::span<float> out, Fn fn, const char* what) {
        if (out.size() < f.pixels()) throw Error(std::string(what) + ": output smaller than the image");
        const auto raw = f.raw();
        if (fn(live(), out.data(), static_cast<uint32_t>(out.size()), raw.data(), static_cast<uint32_t>(raw.size()),
               &f.info()) <= 0)
            throw Error(std::string(what) + " decode failed for frame " + std::to_string(f.index()));
    }

    template <class T>
    void filter(int32_t id, bool on, T value) {
        const int r = on ? vexel_filter_enable(live(), id, &value, sizeof value) : vexel_filter_disable(live(), id);
        if (r != 1) throw Error("filter " + std::to_string(id) + (on ? " enable" : " disable") + " refused");
    }

    std::unique_ptr<vexel_dev> dev_;
};

}  // namespace vexel
