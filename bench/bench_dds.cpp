// Cameras on DDS: what publishing costs beyond capture and decode, and how long a frame takes
// from ready to received, over loopback to a subscriber in another process (a process of its
// own, since Cyclone hands samples between readers and writers of one process without the
// network).
// - BM_Publish/N: N simulated cameras (walls at 2 m), each frame period (30 fps) every camera's
//   frame is decoded and then published by vexel-publish's own CameraPublisher under a
//   namespace of its own (best effort, keep last 2, as by default); the subscriber takes every
//   camera's depth image and point cloud. One raw frame per camera is captured beforehand and
//   decoded again each period, so the USB emulation is out of the figures and decoding is in
//   the latency.
// Counters, per camera: `core_pct` CPU time of publishing and receiving (the publishing
// process less its decoding, plus the subscriber process) over wall time, in % of one core;
// `pub_pct` and `sub_pct` its two parts; `decode_ms` decoding one frame; `lat_depth_ms` and
// `lat_points_ms` medians from the frame ready (before decode) to the subscriber's take, and
// `wire_depth_ms` / `wire_points_ms` the part of it from the start of the write (the sample's
// source timestamp) to the take; `received` and `received_points` the shares of depth images
// and clouds that arrived. The subscriber keeps its freed memory as `--listen` does;
// VEXEL_BENCH_GLIBC_TRIM=1 leaves glibc's default (memory back to the kernel), for comparison.
// Cyclone runs with the README's loopback configuration (datagrams of 64 KB).
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "dds/publisher.hpp"
#include "dds/ros.hpp"
#include "sim/sim.hpp"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kMaxCameras = 2;
constexpr auto kPeriod = std::chrono::microseconds(33333);
constexpr char kLoopback[] =
    "<CycloneDDS><Domain><General><Interfaces><NetworkInterface address=\"127.0.0.1\"/></Interfaces>"
    "<AllowMulticast>false</AllowMulticast><MaxMessageSize>65500B</MaxMessageSize><FragmentSize>64000B</FragmentSize>"
    "</General><Discovery><ParticipantIndex>auto</ParticipantIndex>"
    "<Peers><Peer address=\"127.0.0.1\"/></Peers></Discovery></Domain></CycloneDDS>";

uint32_t g_domain = 0;
int g_from_subscriber = -1;  // the subscriber's receipts
bool g_failed = false;

std::string cam_ns(int c) { return "bench_cam" + std::to_string(c); }

int64_t cpu_ns(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

// One sample taken by the subscriber: whose, which topic, its stamp, when it was taken, and
// the subscriber's CPU time by then. Smaller than PIPE_BUF, so each write arrives whole.
struct Receipt {
    int32_t cam, topic;
    int64_t stamp_ns, written_ns, taken_ns, cpu_ns;
};

// The subscriber process: depth and points of every camera, each sample's receipt down the pipe
// until the benchmark goes.
[[noreturn]] void subscribe(int out) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (!getenv("VEXEL_BENCH_GLIBC_TRIM")) vexel_dds::keep_receive_memory();
    const dds_entity_t pp = dds_create_participant(g_domain, nullptr, nullptr);
    const dds_entity_t ws = dds_create_waitset(pp);
    dds_qos_t* q = vexel_dds::make_qos(false, 8);
    std::vector<std::pair<dds_entity_t, Receipt>> readers;
    for (int c = 0; c < kMaxCameras; ++c)
        for (vexel_dds::Topic t : {vexel_dds::kDepth, vexel_dds::kPoints}) {
            const dds_entity_t topic = dds_create_topic(pp, vexel_dds::topic_type(t),
                                                        vexel_dds::topic_name(cam_ns(c), t).c_str(), nullptr, nullptr);
            const dds_entity_t rd = dds_create_reader(pp, topic, q, nullptr);
            dds_waitset_attach(ws, dds_create_readcondition(rd, DDS_ANY_STATE), rd);
            readers.push_back({rd, Receipt{c, t, 0, 0, 0, 0}});
        }
    dds_delete_qos(q);
    for (;;) {
        dds_attach_t ready[2 * kMaxCameras];
        const int n = dds_waitset_wait(ws, ready, 2 * kMaxCameras, DDS_MSECS(200));
        for (int i = 0; i < n; ++i)
            for (auto& [rd, rec] : readers) {
                if (rd != static_cast<dds_entity_t>(ready[i])) continue;
                void* s[4] = {};
                dds_sample_info_t info[4];
                const int got = dds_take(rd, s, info, 4, 4);
                const int64_t taken = vexel_dds::now_ns();
                for (int k = 0; k < got; ++k) {
                    if (!info[k].valid_data) continue;
                    // Image and PointCloud2 both begin with their header.
                    rec.stamp_ns = vexel_dds::from_stamp(static_cast<const std_msgs_msg_dds__Header_*>(s[k])->stamp_);
                    rec.written_ns = info[k].source_timestamp;  // when dds_write began
                    rec.taken_ns = taken;
                    rec.cpu_ns = cpu_ns(CLOCK_PROCESS_CPUTIME_ID);
                    if (write(out, &rec, sizeof rec) != sizeof rec) _exit(0);  // the benchmark is gone
                }
                if (got > 0) dds_return_loan(rd, s, got);
            }
    }
}

double median(std::vector<double> v) {
    if (v.empty()) return 0.0;
    std::nth_element(v.begin(), v.begin() + long(v.size() / 2), v.end());
    return v[v.size() / 2];
}

void BM_Publish(benchmark::State& state) {
    const int n = int(state.range(0));
    vxsim::Testbed tb;
    for (int c = 0; c < n; ++c) {
        vxsim::CameraOptions o;
        o.serial = "DDS" + std::to_string(c);
        o.measurement.scene = *vxsim::Scene::parse("wall:2");
        tb.add_camera(o);
    }
    struct Cam {
        vexel::Device dev;
        vexel::Frame raw;
        std::unique_ptr<vexel_dds::CameraPublisher> out;
    };
    std::vector<Cam> cams;
    try {
        for (int c = 0; c < n; ++c) {
            Cam cam{vexel::Device::open(c), {}, nullptr};
            {
                vexel::Capture running(cam.dev);
                cam.raw = cam.dev.next_frame();
            }
            cam.out = std::make_unique<vexel_dds::CameraPublisher>(g_domain, cam_ns(c), false, "bench_optical", false);
            cams.push_back(std::move(cam));
        }
    } catch (const std::exception& e) {
        g_failed = true;
        state.SkipWithError(e.what());
        return;
    }
    int64_t decode_cpu = 0;
    const auto publish_all = [&] {
        for (Cam& c : cams) {
            const int64_t stamp = vexel_dds::now_ns();
            const int64_t t0 = cpu_ns(CLOCK_THREAD_CPUTIME_ID);
            const std::vector<float> dist = c.dev.distance(c.raw), amp = c.dev.amplitude(c.raw);
            decode_cpu += cpu_ns(CLOCK_THREAD_CPUTIME_ID) - t0;
            c.out->send(c.dev, dist, amp, c.raw.width(), c.raw.height(), stamp);
        }
    };
    std::vector<double> lat[2], wire[2];
    int64_t sub_cpu_first = -1, sub_cpu_last = 0;
    std::vector<bool> heard(size_t(n), false);
    const auto collect = [&](bool keep) {
        Receipt r{};
        while (read(g_from_subscriber, &r, sizeof r) == sizeof r) {
            if (r.cam >= n) continue;
            heard[size_t(r.cam)] = true;
            if (!keep) continue;
            if (sub_cpu_first < 0) sub_cpu_first = r.cpu_ns;
            sub_cpu_last = r.cpu_ns;
            const int k = r.topic == vexel_dds::kDepth ? 0 : 1;
            lat[k].push_back(double(r.taken_ns - r.stamp_ns) / 1e6);
            wire[k].push_back(double(r.taken_ns - r.written_ns) / 1e6);
        }
    };
    // Until the subscriber has matched every camera's writers (discovery), then a clean start.
    const auto give_up = Clock::now() + std::chrono::seconds(20);
    while (std::count(heard.begin(), heard.end(), true) < n && Clock::now() < give_up) {
        publish_all();
        std::this_thread::sleep_for(kPeriod);
        collect(false);
    }
    if (std::count(heard.begin(), heard.end(), true) < n) {
        g_failed = true;
        state.SkipWithError("the subscriber heard no camera within 20 s");
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    collect(false);

    rusage ru0{}, ru1{};
    getrusage(RUSAGE_SELF, &ru0);
    decode_cpu = 0;
    const auto start = Clock::now();
    auto tick = start;
    int64_t frames = 0;
    for (auto _ : state) {
        publish_all();
        ++frames;
        collect(true);
        tick += kPeriod;
        std::this_thread::sleep_until(tick);
    }
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    getrusage(RUSAGE_SELF, &ru1);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the last frame's samples
    collect(true);
    const auto us = [](const timeval& t) { return double(t.tv_sec) * 1e6 + double(t.tv_usec); };
    const double pub_cpu = (us(ru1.ru_utime) + us(ru1.ru_stime) - us(ru0.ru_utime) - us(ru0.ru_stime)) / 1e6 -
                           double(decode_cpu) / 1e9;
    const double sub_cpu = double(sub_cpu_last - std::max<int64_t>(sub_cpu_first, 0)) / 1e9;
    state.counters["pub_pct"] = 100.0 * pub_cpu / wall / n;
    state.counters["sub_pct"] = 100.0 * sub_cpu / wall / n;
    state.counters["core_pct"] = 100.0 * (pub_cpu + sub_cpu) / wall / n;
    state.counters["decode_ms"] = double(decode_cpu) / 1e6 / double(frames * n);
    state.counters["lat_depth_ms"] = median(lat[0]);
    state.counters["lat_points_ms"] = median(lat[1]);
    state.counters["wire_depth_ms"] = median(wire[0]);
    state.counters["wire_points_ms"] = median(wire[1]);
    state.counters["received_points"] = double(lat[1].size()) / double(frames * n);
    state.counters["received"] = double(lat[0].size()) / double(frames * n);
}
BENCHMARK(BM_Publish)->ArgName("N")->Arg(1)->Arg(2)->Iterations(90)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    vxsim::ensure_preload(argc, argv);
    benchmark::Initialize(&argc, argv);
    setenv("CYCLONEDDS_URI", kLoopback, 1);  // nothing leaves the machine
    g_domain = 220 + uint32_t(getpid() % 12);
    // The subscriber is forked before this process has any thread.
    int fds[2];
    if (pipe(fds) != 0) return 1;
    const pid_t sub = fork();
    if (sub == 0) {
        close(fds[0]);
        subscribe(fds[1]);
    }
    close(fds[1]);
    g_from_subscriber = fds[0];
    fcntl(g_from_subscriber, F_SETFL, O_NONBLOCK);
    const fs::path dir = fs::temp_directory_path() / ("vexel_bench_dds_" + std::to_string(getpid()));
    fs::create_directories(dir);
    {
        vexel::Library lib("/dev/null");
        vexel::set_calibration_dir(dir.string());
        benchmark::RunSpecifiedBenchmarks();
    }
    benchmark::Shutdown();
    kill(sub, SIGTERM);
    waitpid(sub, nullptr, 0);
    fs::remove_all(dir);
    return g_failed ? 1 : 0;
}
