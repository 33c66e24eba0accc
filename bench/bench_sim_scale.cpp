// Cameras per host: N cameras at 30 fps, every frame taken from the library's frame-ready
// callback by a worker thread per camera, decoded with pixel calibration and a 3x3 median, then
// turned into a point cloud.
// - BM_Scale/playback/N: N playbacks of one recording of the simulated camera at the camera's
//   rate (30 fps), so the USB emulation's own cost is out of the figures.
// - BM_Scale/usb/N: N simulated cameras on the emulated USB bus (its cost is in the process's
//   CPU time; `pull_cpu_pct` is the pulling threads' own share).
// Counters, per camera: `cpu_pct` process CPU time over wall time in % of one core divided by N,
// `pull_cpu_pct` the pulling thread's CPU (pull, decode, cloud), `fps` frames pulled per second,
// `lost` frames missing from the frame counter's sequence (summed over cameras), `lat_p50_ms`
// and `lat_p99_ms` from the library's frame-ready callback to the point cloud done (time in the
// worker's queue included), `work_p50_ms` and `work_p99_ms` the same without it (from the worker
// taking the frame to its cloud done), `queue_p50_ms` and `queue_p99_ms` the time in the queue.
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include <vexel/record.h>
#include <vexel/vexel.h>

#include "sim/sim.hpp"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

fs::path g_dir;
std::string g_recording;
bool g_failed = false;  // a case that could not run fails the program, so its test fails

void skip(benchmark::State& state, const char* why) {
    g_failed = true;
    state.SkipWithError(why);
}
constexpr int kRecordedFrames = 90;  // three seconds at 30 fps, looped
constexpr auto kRun = std::chrono::seconds(4);
constexpr size_t kPixels = size_t{vxsim::kWidth} * vxsim::kHeight;

// Frames reach each camera's worker through the library's frame-ready callback, which stamps
// them into a queue of a few frames, as an application would hold them: the worker takes the
// oldest, and a frame that finds the queue full pushes the oldest out, which is lost.
constexpr size_t kQueued = 4;
struct Slot {
    struct Frame {
        std::vector<uint8_t> raw = std::vector<uint8_t>(vxsim::kFrameBytes);
        vexel_frame_info info{};
        int64_t ready_ns = 0;
    };
    vexel_dev* dev = nullptr;
    std::mutex mu;
    std::condition_variable cv;
    Frame frames[kQueued];
    size_t first = 0, count = 0;
    uint64_t overwritten = 0, gaps = 0;
    int last_idx = -1;
};
std::vector<std::unique_ptr<Slot>> g_slots;
// The frame that follows each one in the recording: the recording's own gaps (frames the
// recorder's camera lost) are not losses of the playback.
std::vector<int> g_recorded_next(65536, -1);
bool g_playback = false;

int64_t now_ns() { return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count(); }

void on_ready(vexel_dev* dev, vexel_frame* f) {
    const int64_t t = now_ns();
    for (auto& sp : g_slots) {
        if (sp->dev != dev) continue;
        Slot& s = *sp;
        {
            std::lock_guard l(s.mu);
            if (s.count == kQueued) {
                ++s.overwritten;
                s.first = (s.first + 1) % kQueued;
                --s.count;
            }
            // A playback that loops starts its counter again: only forward jumps are losses.
            const int idx = f->info.frame_idx;
            const int want = g_playback && g_recorded_next[size_t(s.last_idx & 0xFFFF)] >= 0
                                 ? g_recorded_next[size_t(s.last_idx & 0xFFFF)]
                                 : s.last_idx + 1;
            if (s.last_idx >= 0 && idx > want) s.gaps += uint64_t(idx - want);
            s.last_idx = idx;
            Slot::Frame& q = s.frames[(s.first + s.count++) % kQueued];
            q.info = f->info;
            std::memcpy(q.raw.data(), f->data, std::min<size_t>(f->info.frame_size, q.raw.size()));
            q.ready_ns = t;
        }
        s.cv.notify_one();
    }
}

double cpu_seconds(int who) {
    rusage u{};
    getrusage(who, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + 1e-6 * double(u.ru_utime.tv_usec + u.ru_stime.tv_usec);
}

double thread_cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

struct CameraRun {
    uint64_t frames = 0;
    double cpu = 0;
    std::vector<double> latency_ms, work_ms, queue_ms;
};

// One camera's worker: decode and cloud of each frame the callback hands over, until the deadline.
// It runs from the start-up on, so the queue never stands full waiting for it; only frames that
// became ready from `from` on are counted.
void work(Slot& s, Clock::time_point from, Clock::time_point end, CameraRun& out) {
    std::vector<uint8_t> raw(vxsim::kFrameBytes);
    std::vector<float> dist(kPixels), cloud(3 * kPixels);
    const int64_t from_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(from.time_since_epoch()).count();
    double cpu0 = -1;
    while (Clock::now() < end) {
        vexel_frame_info info{};
        int64_t ready = 0;
        {
            std::unique_lock l(s.mu);
            if (!s.cv.wait_until(l, end, [&] { return s.count > 0; })) break;
            Slot::Frame& q = s.frames[s.first];
            raw.swap(q.raw);
            info = q.info;
            ready = q.ready_ns;
            s.first = (s.first + 1) % kQueued;
            --s.count;
        }
        const int64_t taken = now_ns();
        if (cpu0 < 0 && taken >= from_ns) cpu0 = thread_cpu_seconds();
        if (vexel_frame_get_distance(s.dev, dist.data(), uint32_t(kPixels), raw.data(), uint32_t(raw.size()), &info) <= 0)
            continue;
        vexel_frame_get_pcl(s.dev, cloud.data(), int32_t(cloud.size()), dist.data(), int32_t(kPixels),
                            int32_t(info.frame_width), int32_t(info.frame_height), nullptr);
        if (ready < from_ns) continue;
        const int64_t done = now_ns();
        out.latency_ms.push_back(1e-6 * double(done - ready));
        out.work_ms.push_back(1e-6 * double(done - taken));
        out.queue_ms.push_back(1e-6 * double(taken - ready));
        ++out.frames;
    }
    out.cpu = cpu0 < 0 ? 0 : thread_cpu_seconds() - cpu0;
}

double quantile(std::vector<double> v, double q) {
    if (v.empty()) return 0;
    const auto at = v.begin() + long(q * double(v.size() - 1));
    std::nth_element(v.begin(), at, v.end());
    return *at;
}

bool set_up(vexel_dev* dev) {
    uint8_t set = 1, median = 3;
    return vexel_filter_enable(dev, VEXEL_FILTER_PIXEL_CALIB, &set, 1) == 1 &&
           vexel_filter_enable(dev, VEXEL_FILTER_MEDIAN, &median, 1) == 1;
}

void run_cameras(benchmark::State& state, const std::vector<vexel_dev*>& devs) {
    const size_t n = devs.size();
    g_slots.clear();
    for (vexel_dev* d : devs) {
        g_slots.push_back(std::make_unique<Slot>());
        g_slots.back()->dev = d;
    }
    for (vexel_dev* d : devs) {
        vexel_cap_set_callback_on_frame_ready(d, on_ready);
        if (!set_up(d) || vexel_cap_start(d) != 1) {
            skip(state, "a camera does not start with pixel calibration and median 3");
            return;
        }
    }
    // The library calls the callback inside vexel_cap_wait: one thread per camera waits there,
    // so a frame is stamped as soon as the library has it, whatever its worker is doing.
    std::atomic<bool> stop{false};
    std::vector<std::thread> deliver;
    for (vexel_dev* d : devs)
        deliver.emplace_back([d, &stop] {
            while (!stop.load()) vexel_cap_wait(d, 100);
        });
    std::vector<CameraRun> runs(n);
    for (auto _ : state) {
        runs.assign(n, CameraRun{});
        const auto t0 = Clock::now() + std::chrono::milliseconds(500), end = t0 + kRun;  // past the start-up
        std::vector<std::thread> threads;
        for (size_t i = 0; i < n; ++i) threads.emplace_back(work, std::ref(*g_slots[i]), t0, end, std::ref(runs[i]));
        std::this_thread::sleep_until(t0);
        uint64_t over0 = 0, gaps0 = 0;
        for (auto& sp : g_slots) {
            std::lock_guard l(sp->mu);
            over0 += sp->overwritten;
            gaps0 += sp->gaps;
        }
        const double cpu0 = cpu_seconds(RUSAGE_SELF);
        for (auto& t : threads) t.join();
        const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
        const double cpu = cpu_seconds(RUSAGE_SELF) - cpu0;
        uint64_t over = 0, gaps = 0;
        for (auto& sp : g_slots) {
            std::lock_guard l(sp->mu);
            over += sp->overwritten;
            gaps += sp->gaps;
        }
        std::vector<double> lat, work, queue;
        uint64_t frames = 0;
        double pull_cpu = 0;
        for (const auto& r : runs) {
            lat.insert(lat.end(), r.latency_ms.begin(), r.latency_ms.end());
            work.insert(work.end(), r.work_ms.begin(), r.work_ms.end());
            queue.insert(queue.end(), r.queue_ms.begin(), r.queue_ms.end());
            frames += r.frames;
            pull_cpu += r.cpu;
        }
        if (frames == 0) skip(state, "no frame arrived");
        state.counters["cpu_pct"] = 100.0 * cpu / wall / double(n);
        state.counters["work_cpu_pct"] = 100.0 * pull_cpu / wall / double(n);
        state.counters["fps"] = double(frames) / wall / double(n);
        state.counters["lost"] = double(over - over0 + gaps - gaps0);
        state.counters["lost_queue"] = double(over - over0);
        state.counters["lat_p50_ms"] = quantile(lat, 0.5);
        state.counters["lat_p99_ms"] = quantile(lat, 0.99);
        state.counters["work_p50_ms"] = quantile(work, 0.5);
        state.counters["work_p99_ms"] = quantile(work, 0.99);
        state.counters["queue_p50_ms"] = quantile(queue, 0.5);
        state.counters["queue_p99_ms"] = quantile(queue, 0.99);
    }
    stop.store(true);
    for (auto& t : deliver) t.join();
    for (vexel_dev* d : devs) {
        vexel_cap_stop(d);
        vexel_cap_set_callback_on_frame_ready(d, nullptr);
    }
}

void BM_ScalePlayback(benchmark::State& state) {
    g_playback = true;
    std::vector<vexel_dev*> devs;
    for (int i = 0; i < state.range(0); ++i) {
        vexel_dev* d = vexel_dev_open_recording(g_recording.c_str());
        if (!d) break;
        // The camera's rate, not the recording host's: its bursts (frames it received late, then
        // at once) would arrive as bursts again and count against this host.
        vexel_play_set(d, VEXEL_PLAY_CAMERA_RATE, 1);
        devs.push_back(d);
    }
    if (devs.size() == size_t(state.range(0)))
        run_cameras(state, devs);
    else
        skip(state, "the recording does not open");
    for (vexel_dev* d : devs) vexel_dev_close(d);
}
BENCHMARK(BM_ScalePlayback)->Name("BM_Scale/playback")->ArgName("N")->Arg(1)->Arg(2)->Arg(4)->Arg(8)->Arg(16)
    ->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

void BM_ScaleUsb(benchmark::State& state) {
    g_playback = false;
    const int n = int(state.range(0));
    vxsim::Testbed tb;
    for (int i = 0; i < n; ++i) {
        vxsim::CameraOptions o;
        o.serial = "SCALE" + std::to_string(i);
        o.measurement.scene = *vxsim::Scene::parse("boxes");
        tb.add_camera(o);
    }
    std::vector<vexel_dev> list(size_t(n) + 1);
    const int found = vexel_dev_list(list.data(), n + 1);
    std::vector<vexel_dev*> devs;
    for (int i = 0; i < found && i < n; ++i)
        if (vexel_dev_open(&list[size_t(i)]) == &list[size_t(i)]) devs.push_back(&list[size_t(i)]);
    if (devs.size() == size_t(n))
        run_cameras(state, devs);
    else
        skip(state, "not every simulated camera opened");
    for (vexel_dev* d : devs) vexel_dev_close(d);
}
BENCHMARK(BM_ScaleUsb)->Name("BM_Scale/usb")->ArgName("N")->Arg(1)->Arg(2)->Arg(4)->Arg(8)->Arg(16)
    ->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

// Three seconds of the boxes scene at 30 fps, recorded through the library with its calibration.
bool make_recording() {
    vxsim::Testbed tb;
    vxsim::CameraOptions o;
    o.measurement.scene = *vxsim::Scene::parse("boxes");
    tb.add_camera(o);
    vexel_dev* dev = vexel_dev_open(nullptr);
    if (!dev) return false;
    bool ok = vexel_rec_start(dev, g_recording.c_str(), nullptr) == 1 && vexel_cap_start(dev) == 1;
    std::vector<uint8_t> raw(vxsim::kFrameBytes);
    int last = -1;
    for (int k = 0; ok && k < kRecordedFrames; ++k) {
        vexel_frame_info info{};
        ok = vexel_cap_get_frames(dev, 1, raw.data(), uint32_t(raw.size()), &info) == 1;
        if (ok && last >= 0) g_recorded_next[size_t(last)] = info.frame_idx;
        last = info.frame_idx;
    }
    vexel_cap_stop(dev);
    ok = vexel_rec_stop(dev, nullptr) == 1 && ok;
    vexel_dev_close(dev);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    vxsim::ensure_preload(argc, argv);
    benchmark::Initialize(&argc, argv);
    g_dir = fs::temp_directory_path() / ("vexel_bench_scale_" + std::to_string(::getpid()));
    fs::create_directories(g_dir);
    g_recording = (g_dir / "boxes30.vxr").string();
    vexel_init("/dev/null");
    vx_log_enable(VX_LOG_CONSOLE, 4, nullptr);
    vexel_path_cfg((g_dir.string() + "/").c_str());
    int rc = 0;
    if (!make_recording()) {
        std::fprintf(stderr, "recording the simulated camera failed\n");
        rc = 1;
    } else {
        benchmark::RunSpecifiedBenchmarks();
    }
    benchmark::Shutdown();
    vexel_uninit();
    fs::remove_all(g_dir);
    return rc != 0 || g_failed ? 1 : 0;
}
