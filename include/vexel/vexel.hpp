// libvexel for C++20: a header-only layer over the C interface. RAII and move-only: a Library
// guard, Device (closed by its destructor), a Capture guard, Frame objects that own their bytes,
// decoded images as vectors or into caller spans, point clouds, filters as typed calls, and
// errors as exceptions. Nothing of it is compiled into or exported from libvexel.so.
//
//     vexel::Library lib;                        // vexel_init ... vexel_uninit
//     vexel::Device cam = vexel::Device::open(); // first camera
//     vexel::Capture run(cam);                   // capture until `run` goes out of scope
//     vexel::Frame f = cam.next_frame();
//     std::vector<float> metres = cam.distance(f);
//     std::vector<vexel::Point> cloud = cam.point_cloud(f);
//
// Failures of the library throw vexel::Error; arguments outside what the C interface can carry
// throw std::invalid_argument before anything reaches the camera.
//
// Threads: the Library object outlives every Device. A Device is not copyable; use it from one
// thread at a time, and never close or move it while another thread calls it. Frames are plain
// values that any thread may hold.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <vexel/transport.h>
#include <vexel/vexel.h>

namespace vexel {

// A failed call. code() is the capture error code when the failure was one (its name from
// vexel_error_name, e.g. "VEXEL_ERR_CAP_STALL"), else 0 with an empty name().
class Error : public std::runtime_error {
  public:
    // `what` names the failed call; a non-zero capture error code adds its name.
    explicit Error(const std::string& what, int code = 0)
        : std::runtime_error(code ? what + ": " + vexel_error_name(code) : what), code_(code) {}
    // The capture error code, or 0; name() is its name, or empty.
    int code() const noexcept { return code_; }
    const char* name() const noexcept { return code_ ? vexel_error_name(code_) : ""; }

  private:
    int code_;
};

// The library's messages: level (VX_LOG_*) and text, on the thread that logged them (possibly
// several at once, the library's event threads too). Must not call the library.
using LogHandler = std::function<void(int level, std::string_view text)>;

// Starts the library for the lifetime of the object; one per process. Console messages at
// `console_level` and above go to `log` when given, else to standard output; `log_file` null
// writes no log file (the C interface would open a dated one in the working directory), else
// appends debug lines to it.
class Library {
  public:
    // Calls vexel_init and sets the log as the class comment says.
    explicit Library(const char* log_file = nullptr, unsigned console_level = VX_LOG_WRN, LogHandler log = {})
        : log_(std::make_unique<LogHandler>(std::move(log))) {
        vexel_init(log_file ? log_file : "/dev/null");
        vexel_log_cfg(console_level, log_file ? unsigned{VX_LOG_DBG} : unsigned{VX_LOG_OFF}, VX_LOG_OFF);
        if (*log_) vexel_log_set_sink(&relay, log_.get());
    }
    ~Library() {
        if (*log_) vexel_log_set_sink(nullptr, nullptr);
        vexel_uninit();
    }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

  private:
    static void relay(int level, const char* text, void* fn) {
        try {
            (*static_cast<LogHandler*>(fn))(level, text);
        } catch (...) {
            // a message that cannot be logged is dropped: nothing may unwind through the library
        }
    }
    std::unique_ptr<LogHandler> log_;  // where the sink points, whatever happens to the object
};

namespace detail {
// Set by set_calibration_dir: Device then leaves the prefix where that call put it.
inline std::atomic<bool> calibration_dir_fixed{false};

// The calibration prefix is process-wide and an open reads it: opens from several threads take
// turns, or one camera's calibration lands in (or is looked for in) another's directory.
inline std::mutex open_mutex;

// Points the calibration prefix at the cache directory of the attached camera whose serial is
// `serial`, before an open by serial (which finds the camera itself). False when none answers
// with that serial; the open then fails on its own.
inline bool cache_for_serial(const std::string& serial) {
    std::vector<vexel_dev> list(64);
    const int n = vexel_dev_list(list.data(), static_cast<int>(list.size()));
    for (int i = 0; i < n; ++i) {
        vexel_dev& rec = list[static_cast<size_t>(i)];
        if (vexel_path_cfg_cache(&rec) >= 0 && serial == std::string(rec.dev_id, strnlen(rec.dev_id, sizeof rec.dev_id)))
            return true;
    }
    return false;
}
// Where a recording's calibration files go while it plays, unless set_calibration_dir chose a
// directory: one of its own, removed when the last Device playing from it closes, rather than
// the working directory (megabytes left behind) or a camera's cache, where a calibration of the
// same chip with other contents makes the open fail.
class ReplayDir {
  public:
    // Null when no directory could be made under $TMPDIR (else /tmp).
    static std::shared_ptr<ReplayDir> make() {
        const char* base = std::getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/vexel-replay-XXXXXX";
        if (!::mkdtemp(tmpl.data())) return nullptr;
        return std::shared_ptr<ReplayDir>(new ReplayDir(tmpl + "/"));
    }
    ~ReplayDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    ReplayDir(const ReplayDir&) = delete;
    ReplayDir& operator=(const ReplayDir&) = delete;
    // With the trailing slash the path prefix wants.
    const std::string& path() const noexcept { return path_; }

  private:
    explicit ReplayDir(std::string path) : path_(std::move(path)) {}
    std::string path_;
};

// Points the path prefix at a fresh ReplayDir for a recording about to open, unless the caller
// fixed the prefix (then null). Caller holds open_mutex.
inline std::shared_ptr<ReplayDir> replay_prefix(bool fixed) {
    if (fixed) return nullptr;
    auto dir = ReplayDir::make();
    if (!dir || vexel_path_cfg(dir->path().c_str()) != 0)
        throw Error("cannot make a directory for the recording's calibration under $TMPDIR or /tmp");
    return dir;
}

// What an open Device (and the Python module) decodes with where the C default keeps the chip
// library's behaviour: the sensor's temperature compensation on both sides of its calibration
// temperature (VEXEL_FILTER_TEMP_TWO_SIDED). A driver without the switch is left alone.
inline void prefer_better_defaults(vexel_dev* dev) {
    if (vexel_filter_get(dev, VEXEL_FILTER_TEMP_TWO_SIDED, nullptr, 0) >= 0)
        vexel_filter_set(dev, VEXEL_FILTER_TEMP_TWO_SIDED, 1, 0);
}
}  // namespace detail

// Keeps every camera's calibration in `dir` (created when missing) instead of the user's cache,
// where Device keeps it by default ($XDG_CACHE_HOME/vexel/SERIAL-CHIP/, else
// ~/.cache/vexel/SERIAL-CHIP/). Process-wide; applies to cameras opened afterwards.
inline void set_calibration_dir(std::string dir) {
    if (dir.empty()) throw std::invalid_argument("calibration directory: empty name");
    if (dir.back() != '/') dir += '/';
    if (dir.size() > 255) throw std::invalid_argument("calibration directory: longer than 255 characters");
    if (vexel_path_cfg(dir.c_str()) != 0) throw Error("cannot create the calibration directory " + dir);
    detail::calibration_dir_fixed = true;
}

// The attached cameras, as records not yet open (bus, port, address, speed).
inline std::vector<vexel_dev> devices(int max = 16) {
    if (max <= 0) return {};
    std::vector<vexel_dev> list(static_cast<size_t>(max));
    const int n = vexel_dev_list(list.data(), max);
    list.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return list;
}

// What a listed camera says it is, read over a short transport open that does not start its
// driver (which would program the sensor and fetch calibration files): nullopt, with the reason
// in `why` when asked, when it cannot be opened or does not answer.
struct Identity {
    std::string product;  // e.g. "A-E2-1.0"
    std::string serial;   // the USB serial string
};
inline std::optional<Identity> identify(const vexel_dev& listed, std::string* why = nullptr) {
    vexel_ll_dev ll{};
    std::memcpy(&ll.fd, &listed.fd, offsetof(vexel_dev, reserved) + sizeof listed.reserved - offsetof(vexel_dev, fd));
    ll.valid = listed.valid;
    if (!vexel_ll_dev_open(&ll)) {
        if (why) *why = "in use by another program, or no access";
        return std::nullopt;
    }
    vexel_ll_param_rec recs[2] = {};
    recs[0].id = VX_PARAM_PRODUCT;
    recs[1].id = VX_PARAM_DEV_ID;
    const bool ok = vexel_ll_param_get(&ll, recs, 2);
    vexel_ll_dev_close(&ll);
    if (!ok) {
        if (why) *why = "does not answer";
        return std::nullopt;
    }
    auto text = [](const vexel_ll_param_rec& r) {
        const auto* p = reinterpret_cast<const char*>(r.val);
        return std::string(p, strnlen(p, std::min<size_t>(r.len, sizeof r.val)));
    };
    return Identity{text(recs[0]), text(recs[1])};
}

// One captured frame: its information and its raw bytes (four planes of 16-bit phase samples).
class Frame {
  public:
    Frame() = default;
    // Built from a frame's information and the raw bytes it takes over; the calls below read
    // them back: information, raw bytes, width, height, pixel count, frame index.
    Frame(const vexel_frame_info& info, std::vector<uint8_t> bytes) : info_(info), bytes_(std::move(bytes)) {}
    // As above, with the host time and temperatures the pull reported (vexel_cap_get_frame_meta).
    Frame(const vexel_frame_info& info, const vexel_frame_meta& meta, std::vector<uint8_t> bytes)
        : info_(info), meta_(meta), bytes_(std::move(bytes)) {}
    const vexel_frame_info& info() const noexcept { return info_; }
    // When the frame reached the host and the sensor and illumination temperatures of its header
    // (all zero for a frame built without them).
    const vexel_frame_meta& meta() const noexcept { return meta_; }
    // The host time as a clock point, and the temperatures in degrees Celsius.
    std::chrono::system_clock::time_point host_time() const noexcept {
        return std::chrono::system_clock::time_point(
            std::chrono::duration_cast<std::chrono::system_clock::duration>(std::chrono::nanoseconds(meta_.host_time_ns)));
    }
    double sensor_celsius() const noexcept { return meta_.sensor_temp / 10.0; }
    double illumination_celsius() const noexcept { return meta_.illum_temp / 10.0; }
    std::span<const uint8_t> raw() const noexcept { return bytes_; }
    int width() const noexcept { return static_cast<int>(info_.frame_width); }
    int height() const noexcept { return static_cast<int>(info_.frame_height); }
    size_t pixels() const noexcept { return size_t{info_.frame_width} * info_.frame_height; }
    uint16_t index() const noexcept { return info_.frame_idx; }

  private:
    vexel_frame_info info_{};
    vexel_frame_meta meta_{};
    std::vector<uint8_t> bytes_;
};

// A point in camera coordinates, metres: x right, y down, z along the optical axis.
struct Point {
    float x; // metres, right
    float y; // metres, down
    float z; // metres, along the optical axis
};
static_assert(sizeof(Point) == 3 * sizeof(float), "points are handed to the C interface as float triples");

// A colour as three bytes.
struct Rgb {
    uint8_t r; // red
    uint8_t g; // green
    uint8_t b; // blue
};
static_assert(sizeof(Rgb) == 3, "colours are handed to the C interface as byte triples");

// The library colour map's colour of each given distance (metres) over [near, far] (red near,
// blue far, black outside it and where there is no measurement): one Rgb per point, for example
// the distances at a cloud's pixels.
inline std::vector<Rgb> colours(std::span<const float> metres, float near = 0.0f, float far = 4.0f) {
    std::vector<Rgb> c(metres.size());
    if (!c.empty())
        vexel_cmap_float(&c.data()->r, static_cast<int32_t>(c.size() * 3), metres.data(),
                         static_cast<int32_t>(metres.size()), VEXEL_COLOR_RGB888 | VEXEL_COLOR_NO_DATA_BLACK, near,
                         far);
    return c;
}

// Progress of a data transfer: bytes done of total, and the stage (VX_DATAX_*). Return true to
// cancel.
using TransferProgress = std::function<bool(uint32_t done, uint32_t total, int stage)>;

// An open camera (or none): opened by the constructor, closed by the destructor; move-only.
class Device {
  public:
    // Opens the `index`-th attached camera.
    static Device open(int index = 0) {
        if (index < 0) throw std::invalid_argument("camera index below 0");
        auto list = devices(index + 1);
        if (static_cast<size_t>(index) >= list.size())
            throw Error("no camera " + std::to_string(index) + " (" + std::to_string(list.size()) +
                        " attached)");
        return Device(list[static_cast<size_t>(index)]);
    }

    // Opens the attached camera whose USB serial string is `serial`, wherever it sits on the
    // bus (also after it left and came back).
    static Device open_serial(const std::string& serial) {
        auto rec = std::make_unique<vexel_dev>();
        std::lock_guard turn(detail::open_mutex);
        if (!detail::calibration_dir_fixed) detail::cache_for_serial(serial);
        if (!vexel_dev_open_serial(rec.get(), serial.c_str()))
            throw Error("no camera with serial " + serial + " could be opened");
        return Device(std::move(rec));
    }

    // Opens a record from devices(). The record lives on the heap, where the library may keep
    // pointing at it while the Device is moved around.
    explicit Device(const vexel_dev& listed) : dev_(std::make_unique<vexel_dev>(listed)) {
        dev_->handle = nullptr;
        dev_->free_on_close = 0;  // the memory is ours
        std::lock_guard turn(detail::open_mutex);
        // A camera that does not answer here fails the open below.
        if (!detail::calibration_dir_fixed) vexel_path_cfg_cache(dev_.get());
        if (!vexel_dev_open(dev_.get()))
            throw Error("cannot open the camera at bus " + std::to_string(listed.bus) + " port " +
                        std::to_string(listed.port));
        detail::prefer_better_defaults(dev_.get());
    }
    // Opens a recording (vexel record, Recorder) as a device: frames as fast as they are taken,
    // or with `realtime` at the camera's rate (a recorded frame period per frame the camera
    // counted, so a busy recording host's bursts do not come again); `loop` starts over at the end.
    static Device open_recording(const std::string& path, bool realtime = false, bool loop = false) {
        auto rec = std::make_unique<vexel_dev>();
        std::lock_guard turn(detail::open_mutex);
        auto dir = detail::replay_prefix(detail::calibration_dir_fixed);
        if (!vexel_dev_open_recording_at(rec.get(), path.c_str())) throw Error("cannot play the recording " + path);
        Device d(std::move(rec));
        d.replay_dir_ = std::move(dir);
        vexel_play_set(d.get(), realtime ? VEXEL_PLAY_CAMERA_RATE : VEXEL_PLAY_AS_PULLED, loop ? 1 : 0);
        return d;
    }
    // A recording's playback: continue at frame `frame`; its state (false for a camera).
    void seek(uint32_t frame) {
        if (!vexel_play_seek(live(), frame)) throw Error("no frame " + std::to_string(frame) + " in the recording");
    }
    bool playback(vexel_play_info& info) const { return vexel_play_get_info(live(), &info) == 1; }

    // Closes the camera; a moved-from Device owns nothing.
    ~Device() { close(); }
    Device(Device&&) noexcept = default;
    Device& operator=(Device&& other) noexcept {
        if (this != &other) {
            close();
            dev_ = std::move(other.dev_);
            replay_dir_ = std::move(other.replay_dir_);
            lens_on_ = other.lens_on_;
        }
        return *this;
    }
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    // Stops a running capture and closes the camera; later calls throw.
    void close() noexcept {
        if (dev_) vexel_dev_close(dev_.get());
        dev_.reset();
        replay_dir_.reset();
    }

    // The C record, for calls this layer does not wrap; null once closed.
    vexel_dev* get() const noexcept { return dev_.get(); }
    std::string product() const { return dev_ ? text(dev_->product, sizeof dev_->product) : std::string(); }
    std::string serial() const { return dev_ ? text(dev_->dev_id, sizeof dev_->dev_id) : std::string(); }
    unsigned firmware_version() const noexcept {
        return dev_ ? static_cast<unsigned>(dev_->version[2] | dev_->version[3] << 8) : 0;
    }
    // What the open found of the calibration files: EPC_CALIB_FOUND, _DOWNLOADED, _MISSING,
    // _UNUSABLE, or EPC_CALIB_UNKNOWN for a driver without them.
    int calibration() const { return epc_calib_status(vexel_dev_get_drv(live())); }

    // Capture start and stop; a failure throws. Prefer the Capture guard.
    void start() {
        if (!vexel_cap_start(live())) throw Error("capture start failed");
    }
    void stop() {
        if (!vexel_cap_stop(live())) throw Error("capture stop not acknowledged: capture still runs");
    }
    // True while a capture runs.
    bool capturing() const noexcept { return dev_ && vexel_cap_is_ongoing(dev_.get()) > 0; }

    // Waits for the next frame, at most the library's pull time-out (about two seconds plus a
    // frame time). Throws when none came, or with the capture error that stopped the capture.
    Frame next_frame() {
        std::vector<uint8_t> bytes(kMaxFrameBytes);
        vexel_frame_info info{};
        const int n =
            vexel_cap_get_frames(live(), 1, bytes.data(), static_cast<uint32_t>(bytes.size()), &info);
        if (n == -1) throw Error("frame read refused: the camera is not open");
        if (n == -2) throw Error("capture is not running");
        if (n < 0) throw Error("capture failed", n);
        if (n == 0) throw Error("no frame within the time-out");
        if (info.frame_size == 0)
            throw Error("frame " + std::to_string(info.frame_idx) + " arrived without data");
        if (info.frame_size > bytes.size())
            throw Error("frame " + std::to_string(info.frame_idx) +
                        " larger than a raw frame of this sensor");
        bytes.resize(info.frame_size);
        vexel_frame_meta meta{};
        vexel_cap_get_frame_meta(live(), &meta);
        return Frame(info, meta, std::move(bytes));
    }

    // Distance in metres per pixel, row by row (65.3 weak, 65.5 invalid), into `out` (at least
    // pixels() values) or a new vector.
    void distance(const Frame& f, std::span<float> out) {
        decode(f, out, vexel_frame_get_distance, "distance");
    }
    std::vector<float> distance(const Frame& f) {
        std::vector<float> v(f.pixels());
        distance(f, v);
        return v;
    }
    // Amplitude in raw sample units (65500 saturated).
    void amplitude(const Frame& f, std::span<float> out) {
        decode(f, out, vexel_frame_get_gray, "amplitude");
    }
    std::vector<float> amplitude(const Frame& f) {
        std::vector<float> v(f.pixels());
        amplitude(f, v);
        return v;
    }

    // Points of the valid pixels (0 < d < 60 m) of a width x height distance image that this
    // Device decoded, in scan order, with each pixel's ray through the driver's lens model (as
    // the lens switch of this Device says the image was decoded). `pixels`, when given,
    // receives the pixel index (row * width + column) of each point. An image without valid
    // pixels gives no points.
    std::vector<Point> point_cloud(std::span<const float> metres, int width, int height,
                                   std::vector<int32_t>* pixels = nullptr) {
        check_image(metres, width, height, "point cloud");
        std::vector<Point> pts(size_t(width) * size_t(height));
        std::vector<int32_t> index(pixels ? pts.size() : 0);
        const int n = vexel_frame_get_pcl_ex(live(), &pts.data()->x, static_cast<int32_t>(pts.size() * 3),
                                             metres.data(), static_cast<int32_t>(pts.size()), width, height, nullptr,
                                             rays(width, height), pixels ? index.data() : nullptr,
                                             static_cast<int32_t>(index.size()));
        const bool any_valid = std::any_of(metres.begin(), metres.begin() + static_cast<long>(pts.size()),
                                           [](float d) { return d > 0.0f && d < 60.0f; });
        if (n <= 0 && any_valid)
            throw Error("point cloud failed: the camera's driver gives no lens parameters");
        pts.resize(static_cast<size_t>(std::max(n, 0)));
        if (pixels) *pixels = std::vector<int32_t>(index.begin(), index.begin() + static_cast<long>(pts.size()));
        return pts;
    }
    std::vector<Point> point_cloud(const Frame& f, std::vector<int32_t>* pixels = nullptr) {
        return point_cloud(distance(f), f.width(), f.height(), pixels);
    }
    // Organised: one point per pixel, row by row, x = y = z = NaN where there is none, into `out`
    // (at least width x height points) or a new vector. Returns the number of points.
    int organised_cloud(std::span<const float> metres, int width, int height, std::span<Point> out) {
        check_image(metres, width, height, "organised cloud");
        const size_t pixels = size_t(width) * size_t(height);
        if (out.size() < pixels) throw std::invalid_argument("organised cloud: output smaller than the image");
        const int n = vexel_frame_get_pcl_ex(live(), &out.data()->x, static_cast<int32_t>(pixels * 3), metres.data(),
                                             static_cast<int32_t>(pixels), width, height, nullptr,
                                             rays(width, height) | VEXEL_PCL_ORGANISED, nullptr, 0);
        if (n <= 0 && std::any_of(metres.begin(), metres.begin() + static_cast<long>(pixels),
                                  [](float d) { return d > 0.0f && d < 60.0f; }))
            throw Error("organised cloud failed: the camera's driver gives no lens parameters");
        return n;
    }
    std::vector<Point> organised_cloud(const Frame& f) {
        std::vector<Point> pts(f.pixels());
        organised_cloud(distance(f), f.width(), f.height(), pts);
        return pts;
    }
    // Depth along the optical axis per pixel (metres; 0, 65.3 and 65.5 kept as they are).
    std::vector<float> zdepth(std::span<const float> metres, int width, int height) {
        check_image(metres, width, height, "z-depth");
        std::vector<float> z(size_t(width) * size_t(height));
        if (vexel_frame_get_zdepth(live(), z.data(), static_cast<int32_t>(z.size()), metres.data(),
                                   static_cast<int32_t>(z.size()), width, height, nullptr, rays(width, height)) <= 0)
            throw Error("z-depth failed: the camera's driver gives no lens parameters");
        return z;
    }
    std::vector<float> zdepth(const Frame& f) { return zdepth(distance(f), f.width(), f.height()); }

    // Processing switches; each applies from the next decoded frame and lasts until close.
    void lens_undistortion(bool on) {
        filter(VEXEL_FILTER_LENS_UNDISTORT, on, uint8_t{0});
        lens_on_ = on;
    }
    // Throws when the calibration files are missing. `set` 0 or 1.
    void pixel_calibration(bool on, int set = 0) {
        if (set < 0 || set > 1) throw std::invalid_argument("calibration set must be 0 or 1");
        filter(VEXEL_FILTER_PIXEL_CALIB, on, static_cast<uint8_t>(set));
    }
    // An odd kernel of 3 to 255 filters; 0 or 1 switches the median off.
    void median(int kernel) {
        if (kernel < 0 || kernel > 255 || (kernel > 1 && kernel % 2 == 0))
            throw std::invalid_argument("median kernel must be 0, 1 or odd up to 255");
        filter(VEXEL_FILTER_MEDIAN, kernel > 1, static_cast<uint8_t>(kernel));
    }
    void amplitude_threshold(int32_t min_amplitude) {
        filter(VEXEL_FILTER_AMP_THRESHOLD, true, min_amplitude);
    }
    // 0 switches it off.
    void auto_integration(uint16_t bad_per_mille) {
        filter(VEXEL_FILTER_AUTO_INTG, bad_per_mille != 0, bad_per_mille);
    }
    void dcs_check(bool on, uint16_t correction = 0) { filter(VEXEL_FILTER_DCS_CHECK, on, correction); }
    void temperature_monitor(bool on) { filter(VEXEL_FILTER_TEMP_MONITOR, on, uint16_t{75}); }
    void hdr(bool on) { filter(VEXEL_FILTER_HDR, on, uint8_t{0}); }
    // The sensor's temperature compensation below its calibration temperature too (a camera
    // warming up); on after every open of a Device, off is the C default (the chip library's term).
    void temperature_two_sided(bool on) { filter(VEXEL_FILTER_TEMP_TWO_SIDED, on, uint8_t{0}); }
    // Depth-quality steps in the decode (<vexel/depth_quality.h>); 0 switches one off. Values
    // out of range throw vexel::Error (the driver refuses them).
    void confidence(float max_mm) { filter(VEXEL_FILTER_CONFIDENCE, max_mm != 0, max_mm); }
    void flying(float k) { filter(VEXEL_FILTER_FLYING, k != 0, k); }
    void temporal(float alpha) { filter(VEXEL_FILTER_TEMPORAL, alpha != 0, alpha); }
    void spatial(float sigma_mm) { filter(VEXEL_FILTER_SPATIAL, sigma_mm != 0, sigma_mm); }
    void fill(int max_px) { filter(VEXEL_FILTER_FILL, max_px != 0, static_cast<float>(max_px)); }
    // A switch's state: whether it is on and its stored value's bytes as enable reads them
    // (little-endian); value_f() for the float-valued depth-quality steps.
    struct FilterState {
        bool on = false;         // the switch is on
        uint8_t bytes[4] = {};   // the stored value, little-endian, also while the switch is off
        // The value as a float32 (the depth-quality steps).
        float value_f() const noexcept {
            float f;
            std::memcpy(&f, bytes, sizeof f);
            return f;
        }
        // The value as an unsigned integer of `size` bytes (1 to 4).
        int64_t value_i(int size) const noexcept {
            int64_t v = 0;
            for (int i = std::min(size, 4) - 1; i >= 0; --i) v = (v << 8) | bytes[i];
            return v;
        }
    };
    FilterState filter_state(int32_t id) const {
        FilterState st;
        const int r = vexel_filter_get(live(), id, st.bytes, sizeof st.bytes);
        if (r < 0) throw Error("filter " + filter_name(id) + ": no such switch");
        st.on = r == 1;
        return st;
    }

    // Switches by the name every layer uses ("lens", "drnu", "median", "amp", ...; the ids' own
    // names such as "lens_undistort" too; vexel_filter_at lists them): on with `value` (ignored by
    // switches without one) or with the switch's default, off. An unknown name or a value the
    // switch does not take throws std::invalid_argument naming it; a driver's refusal vexel::Error.
    void set_filter(std::string_view name, double value) { set_filter(info(name), true, value); }
    void set_filter(std::string_view name) {
        const vexel_filter_info& f = info(name);
        if (f.kind != VEXEL_FILTER_VALUE_NONE && !f.has_default)
            throw std::invalid_argument("filter " + std::string(f.name) + " needs a value");
        set_filter(f, true, f.default_value);
    }
    void disable_filter(std::string_view name) { set_filter(info(name), false, 0); }
    // The switch's value when it is on (1 for switches without one), nothing when it is off.
    std::optional<double> filter_value(std::string_view name) const {
        const vexel_filter_info& f = info(name);
        double v = 0;
        const int r = vexel_filter_value(live(), f.id, &v);
        if (r < 0) throw Error("filter " + std::string(f.name) + ": no such switch in this camera's driver");
        if (r == 0) return std::nullopt;
        return f.kind == VEXEL_FILTER_VALUE_NONE ? 1.0 : v;
    }
    FilterState filter_state(std::string_view name) const { return filter_state(info(name).id); }

    // Registers of `target` (1: the sensor) and device parameters (VX_PARAM_*).
    std::vector<uint32_t> read_registers(unsigned target, uint32_t base, uint32_t count) {
        check_target(target);
        std::vector<uint32_t> v(count);
        if (count && !vexel_reg_batch_read(live(), target, base, v.data(), count))
            throw Error("register read failed");
        return v;
    }
    void write_registers(unsigned target, uint32_t base, std::span<const uint32_t> values) {
        check_target(target);
        if (!values.empty() &&
            !vexel_reg_batch_write(live(), target, base, values.data(), static_cast<uint32_t>(values.size())))
            throw Error("register write failed");
    }
    std::vector<uint8_t> parameter(uint8_t id) {
        vexel_param_item item{};
        item.param_id = id;
        if (!vexel_param_batch_get(live(), &item, 1))
            throw Error("parameter " + std::to_string(id) + " read failed");
        return {item.param_val, item.param_val + std::min<size_t>(item.param_len, sizeof item.param_val)};
    }
    void set_parameter(uint8_t id, std::span<const uint8_t> value) {
        vexel_param_item item{};
        if (value.size() > sizeof item.param_val)
            throw std::invalid_argument("parameter value above 18 bytes");
        item.param_id = id;
        item.param_len = static_cast<uint8_t>(value.size());
        if (!value.empty()) std::memcpy(item.param_val, value.data(), value.size());
        if (!vexel_param_batch_set(live(), &item, 1))
            throw Error("parameter " + std::to_string(id) + " write failed");
    }

    // Data images in the camera's flash. A firmware write of type 0 or 1 restarts the camera:
    // close the Device afterwards and open it again once it is back.
    void write_image(const std::string& path, uint8_t type, uint16_t version,
                     TransferProgress progress = {}) {
        if (vexel_firmware_upgrade_ex(live(), type, version, path.c_str(), progress ? &relay : nullptr,
                                      &progress) != 1)
            throw Error("writing " + path + " into image slot " + std::to_string(type) + " failed");
    }
    void read_image(uint8_t type, const std::string& path, TransferProgress progress = {}) {
        if (vexel_data_upload_ex(live(), type, path.c_str(), progress ? &relay : nullptr, &progress) != 1)
            throw Error("reading image slot " + std::to_string(type) + " into " + path + " failed");
    }

  private:
    static constexpr size_t kMaxFrameBytes = 320u * 240u * 2u * 4u;

    explicit Device(std::unique_ptr<vexel_dev> opened) : dev_(std::move(opened)) {
        detail::prefer_better_defaults(dev_.get());
    }

    static std::string text(const char* s, size_t n) { return std::string(s, strnlen(s, n)); }
    static void check_target(unsigned target) {
        if (target > 255) throw std::invalid_argument("register target above 255");
    }
    static int relay(uint32_t done, uint32_t total, int stage, void* fn) {
        try {
            return (*static_cast<TransferProgress*>(fn))(done, total, stage) ? 1 : 0;
        } catch (...) {
            return 1;  // nothing may unwind through the library: cancel instead
        }
    }

    vexel_dev* live() const {
        if (!dev_) throw Error("device is closed");
        return dev_.get();
    }

    static void check_image(std::span<const float> metres, int width, int height, const char* what) {
        if (width <= 0 || height <= 0 || metres.size() < size_t(width) * size_t(height))
            throw std::invalid_argument(std::string(what) + ": image smaller than width x height");
    }
    // Where the rays of a decoded image come from: the decoder undistorts full-size frames only.
    uint32_t rays(int width, int height) const {
        return lens_on_ && width == 320 && height == 240 ? VEXEL_PCL_UNDISTORTED : VEXEL_PCL_DISTORTED;
    }

    template <class Fn>
    void decode(const Frame& f, std::span<float> out, Fn fn, const char* what) {
        if (f.pixels() == 0 || out.size() < f.pixels())
            throw std::invalid_argument(std::string(what) + ": output smaller than the image");
        const auto raw = f.raw();
        if (fn(live(), out.data(), static_cast<uint32_t>(out.size()), raw.data(),
               static_cast<uint32_t>(raw.size()), &f.info()) <= 0)
            throw Error(std::string(what) + " decode failed for frame " + std::to_string(f.index()));
    }

    template <class T>
    void filter(int32_t id, bool on, T value) {
        const int r =
            on ? vexel_filter_enable(live(), id, &value, sizeof value) : vexel_filter_disable(live(), id);
        if (r != 1) throw Error("filter " + filter_name(id) + (on ? " enable" : " disable") + " refused");
    }
    // The switch's name, for messages.
    static std::string filter_name(int32_t id) {
        const char* n = vexel_filter_name(id);
        return n ? n : std::to_string(id);
    }
    static const vexel_filter_info& info(std::string_view name) {
        if (const vexel_filter_info* f = vexel_filter_find(std::string(name).c_str())) return *f;
        std::string known;
        for (int32_t i = 0; const vexel_filter_info* f = vexel_filter_at(i); ++i)
            known += std::string(i ? ", " : "") + f->name;
        throw std::invalid_argument("unknown filter '" + std::string(name) + "' (" + known + ")");
    }
    void set_filter(const vexel_filter_info& f, bool on, double value) {
        const int r = vexel_filter_set(live(), f.id, on ? 1 : 0, value);
        const std::string name = f.name;
        if (r == -2) {
            char range[96];
            std::snprintf(range, sizeof range, "%s%g to %g%s", f.lo_open ? "above " : "", f.lo, f.hi,
                          f.odd ? ", odd" : "");
            throw std::invalid_argument("filter " + name + ": " + std::to_string(value) + " is outside " + range);
        }
        if (r != 1) throw Error("filter " + name + (on ? " enable" : " disable") + " refused");
        if (f.id == VEXEL_FILTER_LENS_UNDISTORT) lens_on_ = on;
    }

    std::unique_ptr<vexel_dev> dev_;
    std::shared_ptr<detail::ReplayDir> replay_dir_;  // a recording's calibration, while it plays
    bool lens_on_ = false;  // the driver starts with the lens filter off at every open
};

// The depth-quality filters on the caller's images (<vexel/depth_quality.h>), for frames decoded
// without the decode's own switches. Images are width x height floats in row order.
namespace depth {

// Turns the C calls' -1 into std::invalid_argument naming `what`.
inline void check(int r, const char* what) {
    if (r < 0) throw std::invalid_argument(std::string(what) + ": wrong size or value");
}
// Each pixel's predicted noise in mm from its amplitude (and, if not empty, its sample offset).
inline std::vector<float> confidence(std::span<const float> amplitude, int w, int h,
                                     const vexel_noise_model* model = nullptr,
                                     std::span<const float> background = {}) {
    if (amplitude.size() < size_t(w) * size_t(h) || (!background.empty() && background.size() < amplitude.size()))
        throw std::invalid_argument("confidence: image smaller than width x height");
    std::vector<float> sigma(size_t(w) * size_t(h));
    check(vexel_depth_confidence(sigma.data(), amplitude.data(), background.empty() ? nullptr : background.data(),
                                 w, h, model),
          "confidence");
    return sigma;
}
inline int reject(std::span<float> dist, std::span<const float> sigma_mm, int w, int h, float max_mm) {
    if (dist.size() < size_t(w) * size_t(h) || sigma_mm.size() < dist.size())
        throw std::invalid_argument("reject: image smaller than width x height");
    const int r = vexel_depth_confidence_reject(dist.data(), nullptr, sigma_mm.data(), w, h, max_mm);
    check(r, "reject");
    return r;
}
// sigma_mm may be empty (the distance term only).
inline int flying(std::span<float> dist, std::span<const float> sigma_mm, int w, int h, float k = 6) {
    if (dist.size() < size_t(w) * size_t(h) || (!sigma_mm.empty() && sigma_mm.size() < dist.size()))
        throw std::invalid_argument("flying: image smaller than width x height");
    const int r = vexel_depth_flying(dist.data(), nullptr, sigma_mm.empty() ? nullptr : sigma_mm.data(), w, h, k);
    check(r, "flying");
    return r;
}
inline void spatial(std::span<float> dist, std::span<const float> sigma_mm, int w, int h, float sigma = 5) {
    if (dist.size() < size_t(w) * size_t(h) || (!sigma_mm.empty() && sigma_mm.size() < dist.size()))
        throw std::invalid_argument("spatial: image smaller than width x height");
    check(vexel_depth_spatial(dist.data(), sigma_mm.empty() ? nullptr : sigma_mm.data(), w, h, sigma), "spatial");
}
inline int fill(std::span<float> dist, int w, int h, int max_px = 4) {
    if (dist.size() < size_t(w) * size_t(h)) throw std::invalid_argument("fill: image smaller than width x height");
    const int r = vexel_depth_fill(dist.data(), nullptr, w, h, max_px);
    check(r, "fill");
    return r;
}

// The temporal filter with its history; one per image stream, used from one thread at a time.
class Temporal {
  public:
    // An empty history for w x h images; a pixel without a measurement keeps its last value for
    // `persistence` frames (0 to 7). Throws std::invalid_argument for a size or persistence out of
    // range.
    Temporal(int w, int h, int persistence = 2)
        : t_(vexel_temporal_create(w, h, persistence), &vexel_temporal_destroy), w_(w), h_(h) {
        if (!t_) throw std::invalid_argument("temporal: wrong size or persistence");
    }
    // Smooths `dist` in place; returns the pixels restarted. sigma_mm may be empty.
    int operator()(std::span<float> dist, float alpha, std::span<const float> sigma_mm = {}) {
        if (dist.size() < size_t(w_) * size_t(h_) || (!sigma_mm.empty() && sigma_mm.size() < dist.size()))
            throw std::invalid_argument("temporal: image smaller than the filter's size");
        const int r = vexel_depth_temporal(t_.get(), dist.data(), nullptr,
                                           sigma_mm.empty() ? nullptr : sigma_mm.data(), alpha);
        check(r, "temporal");
        return r;
    }
    void reset() noexcept { vexel_temporal_reset(t_.get()); }

  private:
    std::unique_ptr<vexel_temporal, void (*)(vexel_temporal*)> t_;
    int w_, h_;
};

}  // namespace depth

// Recording of a device for the lifetime of the object (or until stop()): see <vexel/record.h>.
class Recorder {
  public:
    // Starts recording `dev` into a new file at `path` (zstd level `zstd_level`); throws when
    // the library refuses (the reason is logged).
    Recorder(Device& dev, const std::string& path, int zstd_level = 1) : dev_(dev) {
        vexel_rec_options opt{};
        opt.zstd_level = zstd_level;
        if (!vexel_rec_start(dev_.get(), path.c_str(), &opt)) throw Error("cannot record into " + path);
    }
    ~Recorder() {
        if (running_ && dev_.get()) vexel_rec_stop(dev_.get(), nullptr);
    }
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // The running recorder's figures so far (all zero once stopped).
    vexel_rec_stats stats() const {
        vexel_rec_stats s{};
        if (running_ && dev_.get()) vexel_rec_get_stats(dev_.get(), &s);
        return s;
    }
    // Completes the file; throws when it could not be written.
    vexel_rec_stats stop() {
        vexel_rec_stats s{};
        if (!running_) return s;
        running_ = false;
        if (!dev_.get() || !vexel_rec_stop(dev_.get(), &s)) throw Error(std::string("recording failed: ") + s.message);
        return s;
    }

  private:
    Device& dev_;
    bool running_ = true;
};

// Capture for the lifetime of the object: started by the constructor, stopped by the destructor
// (a stop the camera does not acknowledge is left to the device's close).
class Capture {
  public:
    // Starts capture on `dev`, which must outlive the guard; throws when it cannot.
    explicit Capture(Device& dev) : dev_(dev) { dev_.start(); }
    ~Capture() {
        if (dev_.get()) vexel_cap_stop(dev_.get());
    }
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

  private:
    Device& dev_;
};

// Cameras arriving and leaving, reported to `fn` for the lifetime of the object: first an
// arrival for each camera already there (before the constructor returns), then each change from
// the library's watch thread. An exception thrown by `fn` is dropped, as it cannot cross the C
// interface; the destructor returns after any running call of `fn` has finished.
class HotplugWatch {
  public:
    // What is called with each event.
    using Fn = std::function<void(const vexel_hotplug_event&)>;
    // Registers `fn`; throws vexel::Error when the watch cannot start.
    explicit HotplugWatch(Fn fn) : fn_(std::make_unique<Fn>(std::move(fn))) {
        id_ = vexel_hotplug_register(&HotplugWatch::call, fn_.get());
        if (!id_) throw Error("vexel_hotplug_register failed");
    }
    ~HotplugWatch() { vexel_hotplug_deregister(id_); }
    HotplugWatch(const HotplugWatch&) = delete;
    HotplugWatch& operator=(const HotplugWatch&) = delete;

  private:
    static void call(const vexel_hotplug_event* ev, void* user) {
        try {
            (*static_cast<Fn*>(user))(*ev);
        } catch (...) {
        }
    }
    std::unique_ptr<Fn> fn_;
    int id_ = 0;
};

}  // namespace vexel
