#include "cli.hpp"

#include <vexel/driver.h>
#include <vexel/transport.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <barrier>
#include <cstdarg>
#include <tuple>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <thread>

namespace vexel_cli {

namespace {

FILE* g_out = stdout;
// A camera's thread among several writes its details here (nowhere), not to the results.
thread_local FILE* t_out = nullptr;

// The error callback has no user pointer: the pump of each capturing device is looked up.
std::mutex g_pumps_mu;
std::vector<std::pair<vexel_dev*, FramePump*>> g_pumps;

int on_capture_error(vexel_dev* dev, int code, uint32_t arg) {
    std::lock_guard lock(g_pumps_mu);
    for (auto& [d, pump] : g_pumps) {
        if (d != dev) continue;
        if (code == VEXEL_ERR_CAP_FRAME_DISCARD)
            pump->discarded_.store(arg);  // the running total since capture start
        else
            pump->cap_error_.store(code);
    }
    return 1;  // the library stops capture itself on the errors that need it
}

// Camera opens take turns: the calibration prefix each open works in is the library's only one.
std::mutex g_open_mu;
// Where a camera's thread among several keeps the summary of its last pull.
thread_local std::string* t_summary = nullptr;
// With several cameras, captures start once every camera's open is over (or failed): a camera
// streaming while another opens would see its frames held up by that open, and its rate with them.
thread_local std::barrier<>* t_start_gate = nullptr;
thread_local bool t_through_gate = false;

void pass_start_gate() {
    if (t_start_gate && !t_through_gate) {
        t_through_gate = true;
        t_start_gate->arrive_and_wait();
    }
}
std::string g_serial_selected;  // -d SERIAL of a one-camera command

// Monotonic milliseconds of the first Ctrl-C; 0 before it.
std::atomic<int64_t> g_first_interrupt_ms{0};
static_assert(std::atomic<int64_t>::is_always_lock_free, "read and written in a signal handler");

// A terminal's Ctrl-C reaches the whole process group, and vexel-sim forwards its own copy, so
// the program sees one Ctrl-C as two SIGINTs in either order: those within a second count as
// one. Another Ctrl-C after that ends the program at once.
extern "C" void on_interrupt(int) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);  // async-signal-safe
    const int64_t ms = int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000 + 1;
    int64_t first = 0;
    if (g_first_interrupt_ms.compare_exchange_strong(first, ms)) {
        g_interrupted.store(true);
        return;
    }
    if (ms - first < 1000) return;
    ::signal(SIGINT, SIG_DFL);
    ::raise(SIGINT);
}

constexpr int kMaxCameras = 64;

}  // namespace

std::atomic<bool> g_interrupted{false};

void fail(const char* fmt, ...) {
    char msg[1024];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    throw Failure(msg);
}

FILE* out() {
    return t_out ? t_out : g_out;
}

void separate_output() {
    std::fflush(stdout);
    const int fd = ::dup(STDOUT_FILENO);
    if (fd < 0) return;
    FILE* f = ::fdopen(fd, "w");
    if (!f) {
        ::close(fd);
        return;
    }
    if (::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
        std::fclose(f);
        return;
    }
    // Line by line, so a log file or a pipe shows each frame as it comes, as a terminal does.
    std::setvbuf(f, nullptr, _IOLBF, 0);
    g_out = f;
    // Library lines now reach stderr; line buffering keeps them in step with ours.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
}

void catch_interrupt() {
    struct sigaction sa {};
    sa.sa_handler = on_interrupt;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
}

namespace {

int g_verbosity = 0;

// A whole number (decimal, or 0x hexadecimal) within [lo, hi]; words that are no number at all
// are told so rather than "out of range".
CLI::Validator whole_number(long long lo, long long hi) {
    return CLI::Validator(
        [lo, hi](std::string& text) -> std::string {
            long long v = 0;
            if (!CLI::detail::lexical_cast(text, v)) return "'" + text + "' is not a whole number";
            if (v < lo || v > hi)
                return "Value " + text + " not in range " + std::to_string(lo) + " to " + std::to_string(hi);
            return {};
        },
        "INT in [" + std::to_string(lo) + " - " + std::to_string(hi) + "]");
}

}  // namespace

int verbosity() {
    return g_verbosity;
}

void set_verbosity(int n) {
    g_verbosity = n;
}

CLI::Option* add_number(CLI::App* app, const std::string& name, long long& value, long long lo, long long hi,
                        const std::string& what) {
    return app->add_option(name, value, what)->check(whole_number(lo, hi));
}

CLI::Option* add_numbers(CLI::App* app, const std::string& name, std::vector<long long>& values, long long lo,
                         long long hi, const std::string& what) {
    return app->add_option(name, values, what)->check(whole_number(lo, hi));
}

void add_settings_options(CLI::App* app, Settings& s) {
    add_number(app, "--fps", s.fps, 1, 1000, "frame rate to set before capturing");
    add_number(app, "--integration", s.integration, 1, 65535, "integration time to set, microseconds");
}

void apply_settings(vexel_dev* dev, const Settings& s) {
    // Little-endian value bytes: 4 for the rate, 2 for the integration time.
    auto set = [dev](uint32_t id, long long value, uint8_t len, const char* what) {
        vexel_param_item item{};
        item.param_id = id;
        item.param_len = len;
        for (uint8_t b = 0; b < len; ++b) item.param_val[b] = static_cast<uint8_t>(value >> (8 * b));
        if (!vexel_param_batch_set(dev, &item, 1)) fail("the camera refused %s %lld", what, value);
    };
    if (s.fps) set(VX_PARAM_FPS, s.fps, 4, "the frame rate");
    if (s.integration) set(VX_PARAM_INTG_TIME, s.integration, 2, "the integration time");
}

namespace {

// Empty when `word` names cameras as -d takes them, else why not.
std::string check_selection(const std::string& word, bool many) {
    if (word == "all") return many ? "" : "takes one camera: `all` and lists work with capture, stream, distance and record";
    if (!many && word.find(',') != std::string::npos)
        return "takes one camera: `all` and lists work with capture, stream, distance and record";
    size_t start = 0;
    for (;;) {
        const size_t end = word.find(',', start);
        const std::string item = word.substr(start, end == std::string::npos ? end : end - start);
        if (item.empty()) return "an empty camera in '" + word + "'";
        if (item == "all") return "`all` stands alone";
        if (item.find_first_not_of("0123456789") == std::string::npos) {
            if (item.size() > 3 || std::stoll(item) >= kMaxCameras)
                return "Value " + item + " not in range 0 to " + std::to_string(kMaxCameras - 1);
        } else if (item.size() > 63) {
            return "serial '" + item.substr(0, 20) + "...' longer than a USB serial";
        }
        if (end == std::string::npos) return {};
        start = end + 1;
    }
}

const char* kDeviceHelp = "camera: its number in `vexel list` (bus order) or its serial";

}  // namespace

CLI::Option* add_device_option(CLI::App* app, long long& index) {
    return app
        ->add_option_function<std::string>(
            "-d,--device",
            [&index](const std::string& word) {
                if (word.find_first_not_of("0123456789") == std::string::npos) {
                    index = std::stoll(word);
                } else {
                    index = Camera::kBySerial;
                    g_serial_selected = word;
                }
            },
            std::string(kDeviceHelp) + " (default 0)")
        ->check(CLI::Validator([](std::string& w) { return check_selection(w, false); }, "N|SERIAL"));
}

CLI::Option* add_devices_option(CLI::App* app, std::string& selection) {
    return app
        ->add_option("-d,--device", selection,
                     std::string(kDeviceHelp) +
                         "; `all` or a comma list runs every camera named at once, each writing into a "
                         "directory named after its serial")
        ->check(CLI::Validator([](std::string& w) { return check_selection(w, true); }, "N|SERIAL|all|LIST"))
        ->capture_default_str();
}

namespace {
std::string g_replay, g_record;
bool g_replay_realtime = false, g_replay_loop = false;
bool g_fixed_prefix = false;

// The recording's calibration files: in a directory of this run's own, gone when the program ends.
std::shared_ptr<vexel::detail::ReplayDir> g_replay_dir;
}  // namespace

void set_record(const std::string& path) {
    g_record = path;
}

void set_replay(const std::string& path, bool realtime, bool loop) {
    g_replay = path;
    g_replay_realtime = realtime;
    g_replay_loop = loop;
}

const std::string& replay_path() {
    return g_replay;
}

void set_calibration_home(bool fixed) {
    g_fixed_prefix = fixed;
}

CLI::Option* add_uncalibrated_option(CLI::App* app, bool& uncalibrated) {
    return app->add_flag("--uncalibrated", uncalibrated,
                         "measure even when the camera's calibration cannot be loaded or stored "
                         "(distances uncorrected)");
}

bool identify(const vexel_dev& listed, std::string& product, std::string& serial, std::string& why) {
    const auto id = vexel::identify(listed, &why);
    if (!id) return false;
    product = id->product;
    serial = id->serial;
    return true;
}

namespace {

// Entry `index` of the device list, pointing the prefix at its calibration directory unless
// that is fixed; fills the record's product.
vexel_dev listed_camera(int index) {
    const std::vector<vexel_dev> list = cameras_in_bus_order();
    const int n = static_cast<int>(list.size());
    if (n <= 0) fail("no camera found");
    if (index >= n) fail("camera %d not found (%d attached; `vexel list` shows them)", index, n);
    vexel_dev dev = list[static_cast<size_t>(index)];
    std::string product, serial, why;
    if (g_fixed_prefix || vexel_path_cfg_cache(&dev) == -1) {
        if (!identify(dev, product, serial, why))
            fail("cannot open camera %d (bus %u port %u): %s", index, dev.bus, dev.port, why.c_str());
        if (!g_fixed_prefix)
            fail("camera %d: no directory for its calibration: set HOME or XDG_CACHE_HOME, or give --prefix",
                 index);
        std::snprintf(dev.product, sizeof dev.product, "%s", product.c_str());
    }
    return dev;
}

}  // namespace

namespace {

// Bus-order number of the camera with this serial.
int find_serial(const std::string& serial) {
    const std::vector<vexel_dev> list = cameras_in_bus_order();
    for (size_t i = 0; i < list.size(); ++i) {
        std::string product, s, why;
        if (identify(list[i], product, s, why) && s == serial) return static_cast<int>(i);
    }
    fail("no camera with serial %s (%zu attached; `vexel list` shows them)", serial.c_str(), list.size());
}

}  // namespace

std::string Target::place(const std::string& path, bool is_dir) const {
    if (!many) return path;
    const std::filesystem::path p = path.empty() ? "." : path;
    if (is_dir) return (p / serial).string();
    return (p.parent_path() / serial / p.filename()).string();
}

int run_on_cameras(const std::string& selection, const std::function<int(const Target&)>& one) {
    std::vector<Target> targets;
    const bool numbered = selection.find_first_not_of("0123456789") == std::string::npos;
    if (numbered) return one(Target{std::stoll(selection), {}, false});  // no identification needed
    if (!g_replay.empty() || !g_record.empty())
        fail("--replay and --record take one camera: -d %s names cameras of the bus", selection.c_str());
    const std::vector<vexel_dev> list = cameras_in_bus_order();
    std::vector<std::string> serials(list.size());
    for (size_t i = 0; i < list.size(); ++i) {
        std::string product, why;
        if (!identify(list[i], product, serials[i], why)) serials[i].clear();
    }
    auto add = [&](size_t i) {
        if (serials[i].empty()) fail("camera %zu (bus %u port %u) gives no serial", i, list[i].bus, list[i].port);
        for (const Target& t : targets)
            if (t.index == static_cast<long long>(i)) return;  // named twice: runs once
        targets.push_back({static_cast<long long>(i), serials[i], true});
    };
    if (selection == "all") {
        if (list.empty()) fail("no camera found");
        for (size_t i = 0; i < list.size(); ++i) add(i);
    } else {
        for (size_t start = 0;;) {
            const size_t end = selection.find(',', start);
            const std::string item = selection.substr(start, end == std::string::npos ? end : end - start);
            if (item.find_first_not_of("0123456789") == std::string::npos) {
                const size_t i = std::stoul(item);
                if (i >= list.size())
                    fail("camera %zu not found (%zu attached; `vexel list` shows them)", i, list.size());
                add(i);
            } else {
                const auto it = std::find(serials.begin(), serials.end(), item);
                if (it == serials.end())
                    fail("no camera with serial %s (%zu attached; `vexel list` shows them)", item.c_str(),
                         list.size());
                add(static_cast<size_t>(it - serials.begin()));
            }
            if (end == std::string::npos) break;
            start = end + 1;
        }
    }
    if (targets.size() == 1) {
        targets[0].many = false;
        g_serial_selected = targets[0].serial;
        return one(Target{targets[0].index, targets[0].serial, false});
    }
    // Each camera on a thread of its own; its details go nowhere, its summary and its failure
    // are printed when all are done, in the order named.
    struct Outcome {
        int rc = 1;
        std::string summary, failure;
    };
    std::vector<Outcome> outcome(targets.size());
    std::vector<std::thread> threads;
    std::barrier<> gate(static_cast<std::ptrdiff_t>(targets.size()));
    for (size_t k = 0; k < targets.size(); ++k)
        threads.emplace_back([&, k] {
            FILE* sink = std::fopen("/dev/null", "w");
            t_out = sink;
            t_summary = &outcome[k].summary;
            t_start_gate = &gate;
            t_through_gate = false;
            try {
                outcome[k].rc = one(targets[k]);
            } catch (const std::exception& e) {
                outcome[k].failure = e.what();
                outcome[k].rc = 1;
            }
            // A camera that never reached its capture holds up no other.
            if (!t_through_gate) gate.arrive_and_drop();
            t_start_gate = nullptr;
            t_out = nullptr;
            t_summary = nullptr;
            if (sink) std::fclose(sink);
        });
    for (std::thread& t : threads) t.join();
    int rc = 0;
    for (size_t k = 0; k < targets.size(); ++k) {
        const Outcome& o = outcome[k];
        std::string line = o.summary.empty() ? "no frames" : o.summary;
        if (!o.failure.empty()) line += "; failed: " + o.failure;
        std::fprintf(out(), "camera %lld (%s): %s\n", targets[k].index, targets[k].serial.c_str(), line.c_str());
        if (o.rc != 0) rc = 1;
    }
    return rc;
}

std::vector<vexel_dev> cameras_in_bus_order() {
    std::vector<vexel_dev> list(kMaxCameras);
    list.resize(static_cast<size_t>(std::max(0, vexel_dev_list(list.data(), kMaxCameras))));
    std::sort(list.begin(), list.end(), [](const vexel_dev& a, const vexel_dev& b) {
        return std::tie(a.bus, a.port, a.addr) < std::tie(b.bus, b.port, b.addr);
    });
    return list;
}

void select_calibration_dir(long long index) {
    listed_camera(static_cast<int>(index));
    g_fixed_prefix = true;
}

Camera::Camera(long long index, Need need, bool uncalibrated, const std::function<void(vexel_dev*)>& opened)
    : index_(static_cast<int>(index)) {
    if (!g_replay.empty()) {
        if (index_ != 0) fail("--replay plays one camera, number 0: there is no camera %d", index_);
        try {
            g_replay_dir = vexel::detail::replay_prefix(g_fixed_prefix);
        } catch (const vexel::Error& e) {
            fail("%s", e.what());
        }
        rec_ = vexel_dev_open_recording(g_replay.c_str());
        if (!rec_) fail("cannot replay %s", g_replay.c_str());
        vexel_play_set(rec_, g_replay_realtime ? VEXEL_PLAY_CAMERA_RATE : VEXEL_PLAY_AS_PULLED,
                       g_replay_loop ? 1 : 0);
        // A recording made without its camera's calibration decodes metres off, as a camera would.
        if (need == Need::depth && !uncalibrated &&
            epc_calib_status(vexel_dev_get_drv(rec_)) == EPC_CALIB_MISSING) {
            vexel_dev_close(rec_);
            fail("the recording %s holds no calibration for its camera; --uncalibrated measures without it",
                 g_replay.c_str());
        }
    }
    // A recording takes the calibration files from the prefix and from the chip library, both
    // process-wide: it starts while they are still this camera's, before another camera opens.
    std::unique_lock lock(g_open_mu, std::defer_lock);
    if (g_replay.empty()) {
        lock.lock();
        if (index_ == kBySerial) index_ = find_serial(g_serial_selected);
        open_listed(need, uncalibrated);
    }
    prefer_tool_defaults(dev());
    if (!g_record.empty() && !vexel_rec_start(dev(), g_record.c_str(), nullptr)) {
        vexel_dev_close(dev());
        fail("cannot record into %s", g_record.c_str());
    }
    if (opened) {
        try {
            opened(dev());
        } catch (...) {
            vexel_dev_close(dev());
            throw;
        }
    }
}

void Camera::open_listed(Need need, bool uncalibrated) {
    // The identification first: what cannot work is refused before the open programs the sensor
    // or fetches calibration files.
    dev_ = listed_camera(index_);
    const std::string product = dev_.product;
    const vexel_driver_entry* drv = vexel_drv_find(&dev_);
    if (!drv) fail("camera %d is a %s: no driver in this library for that product", index_, product.c_str());
    if (need == Need::depth && drv->ops != &g_vexel_driver_op_epc)
        fail("camera %d is a %s: its family (%s, %s) gives no depth", index_, product.c_str(), drv->family,
             drv->name);
    if (!vexel_dev_open(&dev_))
        fail("cannot open camera %d (bus %u port %u): in use by another program, or no access to it", index_,
             dev_.bus, dev_.port);
    if (need == Need::depth && !uncalibrated &&
        epc_calib_status(vexel_dev_get_drv(&dev_)) == EPC_CALIB_MISSING) {
        const std::string dir = prefix_display();
        vexel_dev_close(&dev_);
        fail("camera %d: its calibration could not be loaded from or stored in %s (is it writable? "
             "`vexel calib download` fetches it again); --uncalibrated measures without it",
             index_, dir.c_str());
    }
}

Camera::~Camera() {
    vexel_rec_stats st{};
    if (!g_record.empty()) {
        if (vexel_rec_stop(dev(), &st))
            std::fprintf(stderr, "vexel: %llu frames recorded into %s\n", static_cast<unsigned long long>(st.frames),
                         g_record.c_str());
        else
            std::fprintf(stderr, "vexel: recording %s failed: %s\n", g_record.c_str(), st.message);
    }
    vexel_dev_close(dev());
}

std::string prefix_display() {
    std::string p = vexel_path_get();
    for (char& c : p)
        if (c == '\\') c = '/';
    return p;
}

FramePump::FramePump(vexel_dev* dev, long want, long long idle_s)
    : dev_(dev), want_(want), idle_ms_(idle_s * 1000), buf_(kMaxFrameBytes) {
    {
        std::lock_guard lock(g_pumps_mu);
        g_pumps.emplace_back(dev_, this);
    }
    vexel_cap_set_callback_on_error(dev_, on_capture_error);
    pass_start_gate();
    if (!vexel_cap_start(dev_)) {
        forget();
        fail("capture did not start");
    }
    t0_ = last_ = std::chrono::steady_clock::now();
}

void FramePump::forget() {
    vexel_cap_set_callback_on_error(dev_, nullptr);
    std::lock_guard lock(g_pumps_mu);
    std::erase_if(g_pumps, [this](const auto& e) { return e.second == this; });
}

FramePump::~FramePump() {
    if (!vexel_cap_stop(dev_)) std::fputs("vexel: the camera did not acknowledge the capture stop\n", stderr);
    forget();
    if (t_summary) *t_summary = summary();
}

bool FramePump::next(std::vector<uint8_t>& raw, vexel_frame_info& info) {
    using clock = std::chrono::steady_clock;
    // The library's own wait lasts two seconds and more whatever happens meanwhile; polling
    // keeps Ctrl-C and the idle limit to the millisecond.
    constexpr auto kPoll = std::chrono::milliseconds(2);
    if (want_ > 0 && stats_.frames >= want_) return false;
    while (!g_interrupted.load()) {
        const int r = vexel_cap_get_frame(dev_, buf_.data(), static_cast<uint32_t>(buf_.size()), &info);
        const auto now = clock::now();
        stats_.seconds = std::chrono::duration<double>(now - t0_).count();
        stats_.discarded = discarded_.load();
        // With an error callback set, a capture the library stopped shows only there: the pull
        // itself keeps answering 0 until the capture is stopped.
        const int cb = cap_error_.load();
        if (r < 0 || cb < 0) {
            stats_.error = cb < 0 ? cb : r;
            return false;
        }
        if (r > 0 && info.frame_size > 0 && info.frame_size <= buf_.size()) {
            if (last_idx_ >= 0 && info.frame_idx != static_cast<uint16_t>(last_idx_ + 1)) {
                ++stats_.gaps;
                stats_.missing += static_cast<uint16_t>(info.frame_idx - last_idx_ - 1);
            }
            last_idx_ = info.frame_idx;
            if (!vexel_cap_get_frame_meta(dev_, &meta_)) meta_ = {};
            // The rate goes by when the frames reached the host, not by when this loop pulled
            // them: a frame that waited in the ring (while another camera opened, or the output
            // was slow) would shorten or stretch the span. Pull times stand in without arrival times.
            const int64_t at = meta_.host_time_ns;
            if (stats_.frames == 0) {
                first_ = now;
                first_ns_ = at;
            }
            span_ = first_ns_ > 0 && at >= first_ns_ ? static_cast<double>(at - first_ns_) * 1e-9
                                                     : std::chrono::duration<double>(now - first_).count();
            rate_ = span_ > 0 ? static_cast<double>(stats_.frames) / span_ : 0.0;
            last_ = now;
            ++stats_.frames;
            raw.assign(buf_.begin(), buf_.begin() + info.frame_size);
            return true;
        }
        if (r > 0) ++stats_.empty;  // no data: does not count as a frame arriving
        // A recording played to its end stops the capture: the loop is over, nothing went wrong.
        if (vexel_play_info pi{}; r == 0 && vexel_play_get_info(dev_, &pi) && pi.ended && !pi.damaged)
            return false;
        if (std::chrono::duration_cast<std::chrono::milliseconds>(now - last_).count() >= idle_ms_) {
            stats_.idle = true;
            return false;
        }
        if (r == 0) std::this_thread::sleep_for(kPoll);
    }
    return false;
}

const PullStats& FramePump::stats() const {
    return stats_;
}

std::string FramePump::summary() const {
    const PullStats& s = stats_;
    char line[320];
    // The rate counts from the first frame on, so the start-up time does not lower it.
    const double span = span_;
    auto plural = [](long n, const char* one, const char* many) { return n == 1 ? one : many; };
    // One frame has no rate.
    char rate[32] = "no rate";
    if (s.frames > 1 && span > 0) std::snprintf(rate, sizeof rate, "%.1f fps", static_cast<double>(s.frames - 1) / span);
    std::snprintf(line, sizeof line,
                  "%ld %s in %.2f s (%s), %ld %s in the frame index (%ld %s missing), %u discarded as "
                  "incomplete",
                  s.frames, plural(s.frames, "frame", "frames"), s.seconds, rate, s.gaps,
                  plural(s.gaps, "gap", "gaps"), s.missing, plural(s.missing, "frame", "frames"),
                  s.discarded);
    std::string text = line;
    if (s.empty) text += ", " + std::to_string(s.empty) + " without data";
    return text;
}

std::string FramePump::problem() const {
    if (g_interrupted.load()) return "interrupted";
    if (stats_.idle) return "no frame for " + std::to_string(idle_ms_ / 1000) + " s: gave up";
    if (stats_.error == -2) return "capture stopped";
    if (vexel_play_info pi{}; stats_.error && vexel_play_get_info(dev_, &pi) && pi.damaged)
        return std::string("the recording ends early: ") + pi.message;
    if (stats_.error) return std::string("capture ended with ") + vexel_error_name(stats_.error);
    return {};
}

Progress::Progress(const char* what) : what_(what), tty_(::isatty(STDERR_FILENO) == 1) {}

Progress::~Progress() {
    if (open_line_) std::fputc('\n', stderr);
}

int Progress::callback(uint32_t done, uint32_t total, int stage, void* self) {
    static_cast<Progress*>(self)->show(done, total, stage);
    return g_interrupted.load() ? 1 : 0;  // Ctrl-C cancels before the next block
}

void Progress::show(uint32_t done, uint32_t total, int stage) {
    const char* name = stage == VX_DATAX_ERASE     ? "erasing the flash"
                       : stage == VX_DATAX_WRITE   ? "writing"
                       : stage == VX_DATAX_RESTART ? "written; waiting for the board"
                                                   : "reading";
    const bool counted = stage == VX_DATAX_WRITE || stage == VX_DATAX_READ;
    const int pct = counted && total ? static_cast<int>(uint64_t{done} * 100 / total) : 0;
    // Plain lines every 25 %, a bar redrawn at every whole percent.
    const int step = tty_ ? pct : pct / 25;
    if (stage == last_stage_ && step == last_step_) return;
    const bool new_stage = stage != last_stage_;
    last_stage_ = stage;
    last_step_ = step;
    if (!tty_) {
        if (counted)
            std::fprintf(stderr, "%s: %s %3d%% (%u of %u bytes)\n", what_, name, pct, done, total);
        else if (new_stage)
            std::fprintf(stderr, "%s: %s\n", what_, name);
        return;
    }
    if (new_stage && open_line_) std::fputc('\n', stderr);
    if (counted) {
        char bar[31];
        const int fill = pct * 30 / 100;
        std::memset(bar, '#', static_cast<size_t>(fill));
        std::memset(bar + fill, '.', static_cast<size_t>(30 - fill));
        bar[30] = '\0';
        std::fprintf(stderr, "\r%s: %-8s [%s] %3d%% %u/%u bytes", what_, name, bar, pct, done, total);
    } else {
        std::fprintf(stderr, "\r%s: %s...", what_, name);
    }
    std::fflush(stderr);
    open_line_ = true;
}

}  // namespace vexel_cli
