// Long run against several simulated cameras with faults injected on a schedule.
//
//   soak [--seconds N] [--cameras N] [--fps N] [--fault-every MS] [--faults K,K...] [--log LEVEL] [-v]
//
// Each camera streams the counting pattern as fast as its link, capped like USB 2.0 at 40 MB/s,
// carries it (about 63 frames a second; --fps N paces the sensor instead); one
// driver thread per camera pulls every frame, checks it sample by sample against what the camera
// rendered for that frame index, decodes it to distance and point cloud, and injects the next
// fault of its schedule when the previous one is settled: short and long bulk stalls, a corrupt
// header, a corrupt payload, a skipped packet index, busy answers, a failing command, unplug and
// replug (then close and reopen). Every fault must come back through the capture error path (or
// the failing call, for commands) within its window. At the end: RSS after warm-up must be
// flat, and the threads must be those of before the first open.
//
// Exit status 0 when every check held, 1 otherwise, 2 for a usage error.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <vexel/vexel.h>

#include "core/device.hpp"
#include "sim/sim.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr uint32_t kPixels = vxsim::kWidth * vxsim::kHeight;
constexpr uint32_t kSamples = vxsim::kFrameBytes / 2;
constexpr auto kWindow = 4s;  // a fault must be reported within this

struct Options {
    double seconds = 60;
    int cameras = 2;
    unsigned fps = 30;
    bool fast = true;
    int fault_every_ms = 1500;
    int log_level = 5;
    std::vector<int> schedule;  // fault kinds in order; empty: all
};

enum class Fault { stall_short, stall_long, corrupt_header, corrupt_payload, skip_index, busy, fail_cmd, unplug };
constexpr Fault kSchedule[] = {Fault::corrupt_payload, Fault::stall_short, Fault::skip_index, Fault::busy,
                               Fault::corrupt_header,  Fault::stall_long,  Fault::fail_cmd,   Fault::unplug};
constexpr int kKinds = 8;
const char* const kFaultName[kKinds] = {"stall (3 transfers)", "stall (until capture stops)",
                                        "corrupt header",      "corrupt payload",
                                        "skipped packet index", "busy answers",
                                        "failing command",     "unplug and replug"};

std::vector<uint16_t> g_base;  // the pattern of frame 0
std::mutex g_open_mu;          // opens and closes one at a time: the chip setup is process-wide
std::atomic<bool> g_verbose{false};

long rss_kib() {
    std::ifstream f("/proc/self/statm");
    long pages = 0, resident = 0;
    f >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

int thread_count() {
    int n = 0;
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/task")) n += e.is_directory() ? 1 : 0;
    return n;
}

struct Stats {
    std::atomic<uint64_t> frames{0}, decoded{0}, points{0}, bad_frames{0}, gaps{0}, gap_frames{0},
        fault_gap_frames{0}, unexplained_errors{0}, reopens{0}, restarts{0};
    std::atomic<uint64_t> injected[kKinds]{}, reported[kKinds]{}, missed[kKinds]{};
    std::atomic<uint64_t> by_code[16]{};  // capture error codes -10..3 at code + 10
    std::atomic<uint64_t> ring_drops{0}, discards{0};
};

struct ErrorEvent {
    int code;
    uint32_t arg;
};

class Driver {
public:
    Driver(vxsim::Camera& cam, int id, const Options& opt) : cam_(cam), id_(id), opt_(opt) {}

    void run(Clock::time_point end) {
        raw_.resize(vxsim::kFrameBytes);
        dist_.resize(2 * kPixels);
        pcl_.resize(3 * kPixels);
        next_fault_at_ = Clock::now() + std::chrono::milliseconds(opt_.fault_every_ms / 2 * (id_ + 1));
        if (!open()) return;
        start();
        while (Clock::now() < end) {
            maybe_inject();
            vexel_frame_info info{};
            const int r = vexel_cap_get_frames(&dev_, 1, raw_.data(), vxsim::kFrameBytes, &info);
            if (r == 1) check_frame(info, raw_.data());
            check_queued();
            handle_errors(r);
            settle_fault(false);
        }
        settle_fault(true);
        stop();
        close();
    }

    Stats stats;
    std::string failure;  // the first thing that went wrong, for the summary
    bool ok = true;

    static int on_error(vexel_dev* dev, int code, uint32_t arg);
    static void on_frame(vexel_dev* dev, vexel_frame* frame);
    static std::vector<Driver*> all;

private:
    void fail(const std::string& what) {
        if (ok) failure = what;
        ok = false;
        std::fprintf(stderr, "camera %d: %s\n", id_, what.c_str());
    }

    bool open() {
        for (int attempt = 0; attempt < 100; ++attempt) {
            {
                std::lock_guard lk(g_open_mu);
                vexel_dev list[8];
                const int n = vexel_dev_list(list, 8);
                for (int i = 0; i < n; ++i) {
                    if (list[i].port != cam_.port()) continue;
                    dev_ = list[i];
                    if (vexel_dev_open(&dev_) == &dev_) {
                        vexel_cap_set_frame_buffer(&dev_, nullptr, 8 * 307200);
                        vexel_cap_set_callback_on_error(&dev_, &Driver::on_error);
                        vexel_cap_set_callback_on_frame_ready(&dev_, &Driver::on_frame);
                        return true;
                    }
                }
            }
            std::this_thread::sleep_for(50ms);
        }
        fail("could not open the camera");
        return false;
    }

    void close() {
        std::lock_guard lk(g_open_mu);
        vexel_dev_close(&dev_);
    }

    void start() {
        for (int attempt = 0; attempt < 50; ++attempt) {
            if (vexel_cap_start(&dev_) == 1) {
                last_idx_ = -1;
                last_frame_at_ = Clock::now();
                return;
            }
            std::this_thread::sleep_for(50ms);
        }
        fail("capture does not start");
    }

    // Adds what the parser threw away or dropped in this capture run, then stops it.
    void stop() {
        vx_stream_state st{};
        if (dev_.handle && dev_.handle->stream && vx_stream_get_state(dev_.handle->stream, &st)) {
            stats.ring_drops += st.frames_dropped;
            stats.discards += st.frames_discarded;
        }
        vexel_cap_stop(&dev_);
    }

    // Frames that were ready beside the one a pull asked for reach the frame-ready callback;
    // they are checked after the pull, in the order they came.
    void check_queued() {
        for (size_t i = 0; i < queued_; ++i) check_frame(queue_[i].info, queue_[i].bytes.data());
        queued_ = 0;
    }

    void check_frame(const vexel_frame_info& info, const uint8_t* raw) {
        ++stats.frames;
        const auto* s = reinterpret_cast<const uint16_t*>(raw);
        bool same = info.frame_size == vxsim::kFrameBytes && info.frame_format == vxsim::kFrameFormat &&
                    info.frame_width == vxsim::kWidth && info.frame_height == vxsim::kHeight;
        for (uint32_t i = 0; same && i < kSamples; ++i) same = s[i] == ((g_base[i] + info.frame_idx) & 0x0FFF);
        if (!same) {
            ++stats.bad_frames;
            fail("frame " + std::to_string(info.frame_idx) + " differs from what the camera sent");
        }
        if (last_idx_ >= 0) {
            const int gap = (int(info.frame_idx) - last_idx_ - 1 + 65536) % 65536;
            if (gap >= 32768) fail("frame " + std::to_string(info.frame_idx) + " delivered out of order");
            if (gap > 0 && gap < 32768) {
                ++stats.gaps;
                stats.gap_frames += uint64_t(gap);
                if (fault_) {
                    stats.fault_gap_frames += uint64_t(gap);
                    gap_in_window_ = true;
                }
                if (g_verbose)
                    std::fprintf(stderr, "camera %d: %d frames missing before %u%s\n", id_, gap, info.frame_idx,
                                 fault_ ? " (fault)" : "");
            }
        }
        last_idx_ = info.frame_idx;
        if (fault_) frames_in_window_++;

        const int n = vexel_frame_get_distance(&dev_, dist_.data(), uint32_t(dist_.size()), raw,
                                               vxsim::kFrameBytes, &info);
        if (n != int(kPixels)) fail("decode gave " + std::to_string(n) + " pixels");
        const int pts = vexel_frame_get_pcl(&dev_, pcl_.data(), int32_t(pcl_.size()), dist_.data(), int32_t(kPixels),
                                            vxsim::kWidth, vxsim::kHeight, nullptr);
        if (pts < 0 || pts > int(kPixels)) fail("point cloud of " + std::to_string(pts) + " points");
        ++stats.decoded;
        stats.points += uint64_t(std::max(pts, 0));
    }

    // Errors the callback saw and the pull's own negative result.
    void handle_errors(int r) {
        bool stopped = r < 0;
        for (const ErrorEvent& e : errors_) {
            if (e.code >= -10 && e.code <= 3) ++stats.by_code[e.code + 10];
            stopped = stopped || e.code < 0;
            if (!fault_) {
                ++stats.unexplained_errors;
                fail(std::string("capture error ") + vexel_error_name(e.code) + " without a fault");
            } else {
                codes_in_window_.push_back(e.code);
            }
        }
        errors_.clear();
        // Capture that goes quiet without a word is a fault of its own.
        if (r == 1) {
            last_frame_at_ = Clock::now();
        } else if (!fault_ && Clock::now() - last_frame_at_ > 5s) {
            fail("no frame and no error for 5 s");
            stopped = true;
        }
        if (!stopped) return;
        cam_.set_faults([](vxsim::Faults& f) { f.stall_bulk = 0; });
        stop();
        ++stats.restarts;
        start();
    }

    void maybe_inject() {
        if (fault_ || Clock::now() < next_fault_at_) return;
        const Fault f = opt_.schedule.empty() ? kSchedule[next_++ % kKinds]
                                              : Fault(opt_.schedule[next_++ % opt_.schedule.size()]);
        fault_ = f;
        fault_end_ = Clock::now() + kWindow;
        codes_in_window_.clear();
        gap_in_window_ = false;
        frames_in_window_ = 0;
        cmd_ok_ = false;
        ++stats.injected[int(f)];
        if (g_verbose) std::fprintf(stderr, "camera %d: %s\n", id_, kFaultName[int(f)]);
        switch (f) {
            case Fault::stall_short: cam_.set_faults([](vxsim::Faults& x) { x.stall_bulk = 3; }); break;
            case Fault::stall_long: cam_.set_faults([](vxsim::Faults& x) { x.stall_bulk = 1000; }); break;
            case Fault::corrupt_header: cam_.set_faults([](vxsim::Faults& x) { x.corrupt_header = 1; }); break;
            case Fault::corrupt_payload: cam_.set_faults([](vxsim::Faults& x) { x.corrupt_payload = 1; }); break;
            case Fault::skip_index: cam_.set_faults([](vxsim::Faults& x) { x.skip_packet_index = 1; }); break;
            case Fault::busy: {
                const uint64_t before = cam_.counters().busy_answers;
                cam_.set_faults([](vxsim::Faults& x) { x.status_busy = 5; });
                cmd_ok_ = set_frame_rate() && cam_.counters().busy_answers >= before + 5;
                break;
            }
            case Fault::fail_cmd:
                cam_.set_faults([](vxsim::Faults& x) { x.fail_next = "soak: refused"; });
                // The refused command fails, the next one goes through.
                cmd_ok_ = !set_frame_rate() && set_frame_rate();
                break;
            case Fault::unplug: unplug_and_reopen(); break;
        }
    }

    bool set_frame_rate() {
        vexel_param_item item{};
        item.param_id = VX_PARAM_FPS;
        item.param_len = 4;
        std::memcpy(item.param_val, &opt_.fps, 4);
        return vexel_param_batch_set(&dev_, &item, 1) == 1;
    }

    // Pulls until the unplug is reported, then closes, replugs and reopens.
    void unplug_and_reopen() {
        cam_.unplug();
        const auto give_up = Clock::now() + kWindow;
        bool seen = false;
        while (!seen && Clock::now() < give_up) {
            vexel_frame_info info{};
            const int r = vexel_cap_get_frames(&dev_, 1, raw_.data(), vxsim::kFrameBytes, &info);
            queued_ = 0;  // frames of the unplugged capture are not checked any more
            for (const ErrorEvent& e : errors_) {
                if (e.code >= -10 && e.code <= 3) ++stats.by_code[e.code + 10];
                codes_in_window_.push_back(e.code);
                seen = seen || e.code < 0;
            }
            errors_.clear();
            seen = seen || r < 0;
        }
        cmd_ok_ = seen;
        stop();
        close();
        cam_.replug();
        if (!cam_.wait_until([](const vxsim::Camera& c) { return c.attached(); })) fail("camera not back after replug");
        ++stats.reopens;
        if (open()) start();
    }

    // Decides whether the fault in progress was reported, once its report has arrived or its
    // window is over; then lets its aftermath (a restart, the frames it cost) pass before the
    // next one, so that no error of it counts as unexplained.
    void settle_fault(bool final) {
        if (!fault_) return;
        const auto now = Clock::now();
        const bool expired = now >= fault_end_ || final;
        if (!verdict_) {
            const Fault f = *fault_;
            auto has = [&](int code) {
                return std::find(codes_in_window_.begin(), codes_in_window_.end(), code) != codes_in_window_.end();
            };
            bool reported = false;
            switch (f) {
                case Fault::stall_short:
                    // Below the stop threshold: capture goes on, and what the stalled transfers
                    // had received is kept, so nothing is discarded either.
                    reported = expired && frames_in_window_ >= 2 && codes_in_window_.empty();
                    break;
                case Fault::stall_long: reported = has(-7); break;
                case Fault::skip_index: reported = has(3); break;
                case Fault::corrupt_header:
                case Fault::corrupt_payload:
                    // A damaged first packet of a frame leaves nothing under assembly to discard:
                    // that frame is then missing from the indices instead.
                    reported = has(3) || gap_in_window_;
                    break;
                case Fault::busy:
                case Fault::fail_cmd:
                case Fault::unplug: reported = cmd_ok_; break;
            }
            if (!reported && !expired) return;
            verdict_ = true;
            if (reported) {
                ++stats.reported[int(f)];
            } else {
                ++stats.missed[int(f)];
                fail(std::string(kFaultName[int(f)]) + " not reported");
            }
            // Whatever of the fault is left unfired must not leak into the next window.
            cam_.set_faults([](vxsim::Faults& x) {
                x.stall_bulk = 0;
                x.corrupt_header = x.corrupt_payload = x.skip_packet_index = x.status_busy = 0;
                x.fail_next.clear();
            });
            quiet_until_ = now + 1s;
        }
        if (now < quiet_until_ && !final) return;
        verdict_ = false;
        fault_.reset();
        next_fault_at_ = now + std::chrono::milliseconds(opt_.fault_every_ms);
    }

    vxsim::Camera& cam_;
    const int id_;
    const Options& opt_;
    vexel_dev dev_{};
    std::vector<uint8_t> raw_;
    std::vector<float> dist_, pcl_;
    int last_idx_ = -1;
    std::vector<ErrorEvent> errors_;  // from the callback, on this thread
    struct Queued {
        vexel_frame_info info;
        std::vector<uint8_t> bytes;
    };
    std::vector<Queued> queue_;  // kept between pulls, so its buffers are reused
    size_t queued_ = 0;

    std::optional<Fault> fault_;
    Clock::time_point fault_end_, next_fault_at_, quiet_until_, last_frame_at_;
    unsigned next_ = 0;
    std::vector<int> codes_in_window_;
    bool gap_in_window_ = false, cmd_ok_ = false, verdict_ = false;
    int frames_in_window_ = 0;
};

std::vector<Driver*> Driver::all;

void Driver::on_frame(vexel_dev* dev, vexel_frame* frame) {
    for (Driver* d : all) {
        if (&d->dev_ != dev) continue;
        if (d->queued_ == d->queue_.size()) d->queue_.emplace_back();
        Driver::Queued& q = d->queue_[d->queued_++];
        q.info = frame->info;
        q.bytes.assign(frame->data, frame->data + std::min<uint32_t>(frame->info.frame_size, vxsim::kFrameBytes));
        q.bytes.resize(vxsim::kFrameBytes);
    }
}

// Runs on the driver's own thread, inside its pull calls.
int Driver::on_error(vexel_dev* dev, int code, uint32_t arg) {
    for (Driver* d : all)
        if (&d->dev_ == dev) d->errors_.push_back({code, arg});
    return 1;
}

bool parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto num = [&](double lo, double hi, double& out) {
            if (i + 1 >= argc) return false;
            char* end = nullptr;
            out = std::strtod(argv[++i], &end);
            return *end == 0 && out >= lo && out <= hi;
        };
        double v = 0;
        if (a == "--seconds" && num(1, 86400, v)) o.seconds = v;
        else if (a == "--cameras" && num(1, 8, v)) o.cameras = int(v);
        else if (a == "--fps" && num(1, 120, v)) {
            o.fps = unsigned(v);
            o.fast = false;
        }
        else if (a == "--fault-every" && num(100, 600000, v)) o.fault_every_ms = int(v);
        else if (a == "--log" && num(0, 5, v)) o.log_level = int(v);
        else if (a == "--faults" && i + 1 < argc) {
            // Comma-separated kinds, 0..7 in the order of kFaultName.
            for (const char* p = argv[++i]; *p;) {
                char* end = nullptr;
                const long k = std::strtol(p, &end, 10);
                if (end == p || k < 0 || k >= kKinds) return false;
                o.schedule.push_back(int(k));
                p = *end == ',' ? end + 1 : end;
                if (*end && *end != ',') return false;
            }
        }
        else if (a == "-v") g_verbose = true;
        else return false;
    }
    return true;
}

void print_stats(const char* when, double t, const std::vector<std::unique_ptr<Driver>>& drivers, long rss) {
    uint64_t frames = 0, faults = 0, gaps = 0;
    for (const auto& d : drivers) {
        frames += d->stats.frames;
        gaps += d->stats.gap_frames;
        for (int k = 0; k < kKinds; ++k) faults += d->stats.injected[k];
    }
    std::printf("[%s %6.0f s] frames %llu, faults %llu, frames missing %llu, RSS %ld KiB, threads %d\n", when, t,
                static_cast<unsigned long long>(frames), static_cast<unsigned long long>(faults),
                static_cast<unsigned long long>(gaps), rss, thread_count());
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    vxsim::ensure_preload(argc, argv);
    Options opt;
    if (!parse(argc, argv, opt)) {
        std::fprintf(stderr,
                     "usage: soak [--seconds N] [--cameras N] [--fps N] [--fault-every MS] [--faults K,K...] [--log LEVEL] "
                     "[-v]\n");
        return 2;
    }
    vx_log_disable();
    vx_log_enable(VX_LOG_CONSOLE, unsigned(opt.log_level), nullptr);

    g_base.resize(kSamples);
    for (unsigned p = 0, i = 0; p < vxsim::kPlanes; ++p)
        for (unsigned r = 0; r < vxsim::kHeight; ++r)
            for (unsigned c = 0; c < vxsim::kWidth; ++c) g_base[i++] = vxsim::pattern_sample(0, p, r, c);

    char dir[] = "/tmp/vexel_soak_XXXXXX";
    if (!mkdtemp(dir)) return 1;
    vexel_path_cfg((std::string(dir) + "/").c_str());

    bool ok = true;
    {
        vxsim::Testbed tb;
        std::vector<vxsim::Camera*> cams;
        for (int i = 0; i < opt.cameras; ++i) {
            vxsim::CameraOptions o;
            o.product = "A-E2-1.0";
            o.serial = "SOAK" + std::to_string(i);
            o.chip_number = uint16_t(100 + i);
            o.frame_rate = opt.fps;
            o.pacing = opt.fast ? vxsim::Pacing::fast : vxsim::Pacing::frame_rate;
            cams.push_back(&tb.add_camera(o));
        }
        {
            vexel_dev list[8];  // the transport's own threads, if any, start with the first listing
            vexel_dev_list(list, 8);
        }
        const int threads_before = thread_count();
        std::vector<std::unique_ptr<Driver>> drivers;
        for (int i = 0; i < opt.cameras; ++i) {
            drivers.push_back(std::make_unique<Driver>(*cams[size_t(i)], i, opt));
            Driver::all.push_back(drivers.back().get());
        }

        const auto t0 = Clock::now();
        const auto end = t0 + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(opt.seconds));
        std::vector<std::thread> threads;
        for (auto& d : drivers) threads.emplace_back([&d, end] { d->run(end); });

        // RSS after warm-up: the calibration download, the first captures and the fault
        // schedule's first round are behind us by then.
        const double warmup = std::min(30.0, opt.seconds / 4);
        long rss_warm = 0, rss_max = 0;
        int threads_max = 0;
        const long rss_start = rss_kib();
        auto last_print = t0;
        while (Clock::now() < end) {
            std::this_thread::sleep_for(200ms);
            const double t = std::chrono::duration<double>(Clock::now() - t0).count();
            const long rss = rss_kib();
            threads_max = std::max(threads_max, thread_count());
            if (t >= warmup) {
                if (rss_warm == 0) {
                    rss_warm = rss;
                    print_stats("warm", t, drivers, rss);
                }
                rss_max = std::max(rss_max, rss);
            }
            if (Clock::now() - last_print >= 60s) {
                last_print = Clock::now();
                print_stats("run ", t, drivers, rss);
            }
        }
        for (auto& t : threads) t.join();
        const long rss_end = rss_kib();
        for (vxsim::Camera* c : cams)
            c->wait_until([](const vxsim::Camera& cam) { return cam.clients() == 0; });
        const int threads_after = thread_count();
        const double t = std::chrono::duration<double>(Clock::now() - t0).count();
        print_stats("end ", t, drivers, rss_end);

        std::printf("\nper camera: frames, bad, missing (in fault windows), ring drops, parser discards, "
                    "restarts, reopens\n");
        for (size_t i = 0; i < drivers.size(); ++i) {
            const Stats& s = drivers[i]->stats;
            const vxsim::Counters c = cams[i]->counters();
            std::printf("  camera %zu: %llu, %llu, %llu (%llu), %llu, %llu, %llu, %llu; camera sent %llu frames, "
                        "lost %llu in its FIFO\n",
                        i, (unsigned long long)s.frames, (unsigned long long)s.bad_frames,
                        (unsigned long long)s.gap_frames, (unsigned long long)s.fault_gap_frames,
                        (unsigned long long)s.ring_drops, (unsigned long long)s.discards,
                        (unsigned long long)s.restarts, (unsigned long long)s.reopens, (unsigned long long)c.frames,
                        (unsigned long long)c.frames_dropped);
            if (!drivers[i]->ok) ok = false;
            // Outside the fault windows a frame goes missing only where the camera's FIFO or the
            // library's ring had no room for it.
            const uint64_t outside = s.gap_frames - s.fault_gap_frames;
            if (outside > c.frames_dropped + s.ring_drops) {
                std::printf("FAIL: camera %zu: %llu frames missing outside fault windows\n", i,
                            (unsigned long long)outside);
                ok = false;
            }
        }
        std::printf("faults: injected / reported\n");
        for (int k = 0; k < kKinds; ++k) {
            uint64_t inj = 0, rep = 0;
            for (const auto& d : drivers) {
                inj += d->stats.injected[k];
                rep += d->stats.reported[k];
            }
            std::printf("  %-28s %llu / %llu\n", kFaultName[k], (unsigned long long)inj, (unsigned long long)rep);
        }
        std::printf("capture errors:");
        for (int c = -10; c <= 3; ++c) {
            uint64_t n = 0;
            for (const auto& d : drivers) n += d->stats.by_code[c + 10];
            if (n) std::printf(" %s %llu", vexel_error_name(c), (unsigned long long)n);
        }
        std::printf("\n");

        // Flat: what grows after warm-up stays within a few frames' worth of buffers.
        const long growth = rss_end - rss_warm;
        std::printf("RSS: start %ld KiB, after warm-up %ld KiB, end %ld KiB, peak after warm-up %ld KiB\n", rss_start,
                    rss_warm, rss_end, rss_max);
        if (rss_warm > 0 && growth > 16 * 1024 + rss_warm / 10) {
            std::printf("FAIL: RSS grew by %ld KiB after warm-up\n", growth);
            ok = false;
        }
        std::printf("threads: %d before the first open, %d after the last close, at most %d\n", threads_before,
                    threads_after, threads_max);
        if (threads_after > threads_before) {
            std::printf("FAIL: %d threads left behind\n", threads_after - threads_before);
            ok = false;
        }
        for (const auto& d : drivers)
            if (!d->ok) std::printf("FAIL: %s\n", d->failure.c_str());
        Driver::all.clear();
    }
    std::filesystem::remove_all(dir);
    std::printf("%s\n", ok ? "soak passed" : "soak FAILED");
    return ok ? 0 : 1;
}
