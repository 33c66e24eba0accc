// Shared pieces of the vexel program: where output goes, how failures end the program, the
// camera a command works on, numbers from the command line, and frame pulling with its counts.
#pragma once

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include <vexel/vexel.h>
#include <vexel/vexel.hpp>

namespace vexel_cli {

// A failed operation: main prints the message on stderr and exits 1.
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};
[[noreturn]] void fail(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// The program's results. The library prints its console messages on standard output, so main
// moves those to stderr and keeps the real standard output for this stream.
FILE* out();
void separate_output();

// Ctrl-C: the first one sets this flag (long operations end early with a summary), the second
// one ends the program.
extern std::atomic<bool> g_interrupted;
void catch_interrupt();
constexpr int kExitInterrupted = 130;

// -v given n times: commands add lines of their own from 1 on (stream: each frame's host time
// and temperatures).
int verbosity();
void set_verbosity(int n);

// Subcommands register what they run; main runs the one the command line selected.
struct Command {
    CLI::App* app;
    std::function<int()> run;
};
using Commands = std::vector<Command>;

void add_camera_commands(CLI::App& app, Commands& cmds);
void add_capture_commands(CLI::App& app, Commands& cmds);
void add_transfer_commands(CLI::App& app, Commands& cmds);
void add_view_command(CLI::App& app, Commands& cmds);
void add_record_command(CLI::App& app, Commands& cmds);

// Numbers are held as long long and refused outside [lo, hi] while parsing, so nothing is
// truncated into a narrower type later.
CLI::Option* add_number(CLI::App* app, const std::string& name, long long& value, long long lo, long long hi,
                        const std::string& what);
CLI::Option* add_numbers(CLI::App* app, const std::string& name, std::vector<long long>& values, long long lo,
                         long long hi, const std::string& what);
// -d N or -d SERIAL: one camera, by its number in `vexel list` or its serial.
CLI::Option* add_device_option(CLI::App* app, long long& index);
// -d for the frame commands: also `all` or a comma list of numbers and serials.
CLI::Option* add_devices_option(CLI::App* app, std::string& selection);

// One camera a frame command runs on. With several, each runs on a thread of its own, writes
// into a directory named after its serial and prints its summary line only.
struct Target {
    long long index = 0;
    std::string serial;
    bool many = false;
    // `path` for this camera: as given for one camera, else inside a directory SERIAL beside it
    // (a directory `path` gets SERIAL inside it when `is_dir`).
    std::string place(const std::string& path, bool is_dir) const;
};
// Runs `one` on every camera of the selection; 1 when any of several failed.
int run_on_cameras(const std::string& selection, const std::function<int(const Target&)>& one);

// Camera settings the frame commands take: --fps and --integration (0: leave as it is).
struct Settings {
    long long fps = 0, integration = 0;
};
void add_settings_options(CLI::App* app, Settings& s);
// Writes the settings given into the camera; fails naming the one it refused.
void apply_settings(vexel_dev* dev, const Settings& s);

// What a command needs of the camera it opens.
enum class Need {
    control,  // settings, registers, raw frames
    depth,    // decoded distances: a driver that decodes, and the calibration unless --uncalibrated
};

// Where calibration is kept: the user's cache, one directory per camera (the default), or the
// directory --prefix named (`fixed`).
void set_calibration_home(bool fixed);
// Points the prefix at camera `index`'s calibration directory and keeps it there for the
// Camera opened next (calib download works in a directory beside it).
void select_calibration_dir(long long index);
// The --uncalibrated option of the depth commands.
CLI::Option* add_uncalibrated_option(CLI::App* app, bool& uncalibrated);

// Camera `index` of the device list, open for the lifetime of the object. Refuses before the
// open what cannot work (no driver; no depth for Need::depth), and after it a depth camera whose
// calibration could not be loaded or stored, unless `uncalibrated`.
class Camera {
  public:
    // `index` kBySerial: the camera whose serial -d gave. `opened`, when given, runs right after
    // the open and before any other camera of this program opens (a recording's start, which
    // reads this camera's calibration from process-wide places); what it throws closes the camera.
    explicit Camera(long long index, Need need = Need::control, bool uncalibrated = false,
                    const std::function<void(vexel_dev*)>& opened = {});
    static constexpr long long kBySerial = -1;
    ~Camera();
    Camera(const Camera&) = delete;
    Camera& operator=(const Camera&) = delete;
    vexel_dev* dev() { return rec_ ? rec_ : &dev_; }
    int index() const { return index_; }

  private:
    void open_listed(Need need, bool uncalibrated);
    vexel_dev dev_{};
    vexel_dev* rec_ = nullptr;  // the recording played instead (--replay)
    int index_;
};

// --replay FILE: every command's camera is this recording, given as fast as the command takes
// frames, or at the recorded rate with `realtime`; with `loop` it starts over at its end.
void set_replay(const std::string& path, bool realtime, bool loop = false);
const std::string& replay_path();
// --record FILE: the command's camera is recorded into FILE while the command runs.
void set_record(const std::string& path);
// The attached cameras ordered by bus, port and address: the numbers -d takes.
std::vector<vexel_dev> cameras_in_bus_order();
// Product and serial of a listed camera read over a short transport open; false when it does
// not answer (`why` says how).
bool identify(const vexel_dev& listed, std::string& product, std::string& serial, std::string& why);

// Display form of the library's path prefix (its separators as '/').
std::string prefix_display();

constexpr uint32_t kMaxFrameBytes = 320u * 240u * 2u * 4u;

// What a pull loop saw.
struct PullStats {
    long frames = 0;         // frames with data handed to the caller
    long empty = 0;          // frames the driver could not describe (no data)
    long gaps = 0;           // breaks in the frame index
    long missing = 0;        // frames those breaks skipped
    uint32_t discarded = 0;  // incomplete frames the library threw away
    int error = 0;           // capture error that ended the loop, 0 for none
    bool idle = false;       // gave up: no frame for the idle limit
    double seconds = 0;
};

// Starts capture and hands out frames one at a time until `want` frames (0: until Ctrl-C),
// an error, Ctrl-C, or `idle_s` seconds without a frame. Stops capture when destroyed.
class FramePump {
  public:
    FramePump(vexel_dev* dev, long want, long long idle_s);
    ~FramePump();
    FramePump(const FramePump&) = delete;
    FramePump& operator=(const FramePump&) = delete;

    // Next frame with data into `raw` (resized to the frame); false when the loop is over.
    bool next(std::vector<uint8_t>& raw, vexel_frame_info& info);
    // Frames per second from the first frame's arrival to the last one's (0 before the second).
    double rate() const { return rate_; }
    const PullStats& stats() const;
    // Host time and temperatures of the frame next() handed out last.
    const vexel_frame_meta& meta() const { return meta_; }
    // "30 frames in 1.00 s (30.0 fps), 0 gaps": the counts, and what ended the loop early.
    std::string summary() const;
    // Why the loop ended without its frames, or empty.
    std::string problem() const;

  private:
    vexel_dev* dev_;
    long want_;
    long long idle_ms_;
    PullStats stats_;
    int last_idx_ = -1;
    double rate_ = 0;
    double span_ = 0;         // seconds from the first frame's arrival to the last one's
    int64_t first_ns_ = 0;    // the first frame's host arrival time
    std::chrono::steady_clock::time_point t0_, first_, last_;
    std::vector<uint8_t> buf_;
    vexel_frame_meta meta_{};
    void forget();

  public:
    // Written by the capture error callback, which may run on another camera's thread.
    std::atomic<uint32_t> discarded_{0};
    std::atomic<int> cap_error_{0};
};

// Decoded pixels: valid distances lie in (0, 60) metres; 65.3 and 65.5 mark rejected ones.
inline bool valid_distance(float d) {
    return d > 0.0f && d < 60.0f;
}

// Transfer progress on stderr: a bar on a terminal, a few plain lines otherwise.
class Progress {
  public:
    explicit Progress(const char* what);
    ~Progress();
    static int callback(uint32_t done, uint32_t total, int stage, void* self);

  private:
    void show(uint32_t done, uint32_t total, int stage);
    const char* what_;
    bool tty_;
    int last_stage_ = 0;
    int last_step_ = -1;
    bool open_line_ = false;
};

}  // namespace vexel_cli

namespace vexel_cli {

// --filter NAME[=VALUE]: the processing switches by name (lens, drnu, median=5, amp=30,
// auto-intg=20, dcs-check=N, hdr, temp-monitor, temp-two-sided, and the depth-quality steps confidence=MM,
// flying=K, temporal=ALPHA, spatial=SIGMA, fill=PX; NAME=off switches one off; several may share
// one option, comma-separated). Checked while parsing; applied in the order given after the
// camera opens.
CLI::Option* add_filter_option(CLI::App* app, std::vector<std::string>& filters);
void apply_filters(vexel_dev* dev, const std::vector<std::string>& filters);
// The switches by name, with the value range and the driver's setting after open.
struct FilterInfo {
    std::string name, what;
    bool takes_value;
    // Whole numbers for the driver's switches; the depth-quality steps take fractions, with the
    // lower end excluded unless `closed`.
    bool real;
    double lo, hi;
    bool closed;
    bool on;
    double value;
};
// From the library's table; with `dev`, each switch as the open device reports it.
std::vector<FilterInfo> filter_list(vexel_dev* dev = nullptr);
// Empty when NAME[=VALUE] is a valid setting, otherwise why not.
std::string check_filter(const std::string& text);
// Applies one setting; empty when done (and `now`, if given, updated), otherwise why not.
std::string apply_filter(vexel_dev* dev, const std::string& text, FilterInfo* now);
// The switches the program decodes with where the library's default keeps the chip library's
// behaviour for C callers: the sensor's temperature compensation on both sides of calibration.
// Every camera and recording the program opens; a driver without the switch is left alone.
void prefer_tool_defaults(vexel_dev* dev);
// One line "filters   NAME=VALUE|off ..." with every switch the device's driver reports.
void print_filter_states(vexel_dev* dev);

// Image files. Pixels are row-major, 8 bits per channel, 1 (gray) or 3 (RGB) channels.
void write_png(const std::string& path, const uint8_t* pixels, int width, int height, int channels);
struct PlyPoint {
    float x, y, z;
    uint8_t r, g, b;
};
// PLY with x, y, z (float) and red, green, blue (uchar) per vertex: binary little-endian, or
// text with `ascii`.
void write_ply(const std::string& path, const std::vector<PlyPoint>& points, bool ascii = false);
// Binary PCD (Point Cloud Library) with x, y, z and rgb (packed 0x00RRGGBB) per point.
void write_pcd(const std::string& path, const std::vector<PlyPoint>& points);

}  // namespace vexel_cli

namespace vexel_cli {

// Quantiles of many values in [0, max] at the resolution of `bin` (values outside are clamped).
class Histogram {
  public:
    Histogram(double max, double bin) : bin_(bin), counts_(static_cast<size_t>(max / bin) + 1) {}
    void add(double v) {
        const double i = v / bin_;
        counts_[i <= 0                                         ? 0
                : i >= static_cast<double>(counts_.size() - 1) ? counts_.size() - 1
                                                               : static_cast<size_t>(i)]++;
        ++n_;
    }
    uint64_t count() const { return n_; }
    // The value with a share q of the samples at or below it (middle of its bin); 0 when empty.
    double quantile(double q) const {
        const auto rank = static_cast<uint64_t>(std::ceil(q * static_cast<double>(n_)));
        uint64_t seen = 0;
        for (size_t i = 0; i < counts_.size(); ++i)
            if ((seen += counts_[i]) >= rank && seen > 0) return (static_cast<double>(i) + 0.5) * bin_;
        return 0;
    }

  private:
    double bin_;
    std::vector<uint64_t> counts_;
    uint64_t n_ = 0;
};

void add_compare_command(CLI::App& app, Commands& cmds);

}  // namespace vexel_cli
