// Recording and playback costs on the simulated camera's boxes scene with noise:
// - BM_RecordOneSecond: the recorder's work for one second of frames at line rate (65 fps),
//   handed over at once; BM_RecordLineRate: the same frames 1/65 s apart, as a camera gives them:
//   its parser, the frame copies, the writer thread's zstd level 1 and the writes, as process
//   CPU time (so "cpu" per iteration is the share of one core); counter `size_ratio` is the
//   file bytes per frame against the raw frame bytes.
// - BM_Playback / BM_PlaybackDecode: frames a recording gives as fast as they are pulled, on
//   the caller's thread and the feeder's, without and with the distance decode.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include <vexel/vexel.h>

#include "record/reader.hpp"
#include "record/recorder.hpp"
#include "record/records.hpp"
#include "sim/sim.hpp"

namespace {

namespace fs = std::filesystem;

fs::path g_dir;
std::string g_recording;
std::vector<std::vector<uint8_t>> g_packets;  // the recorded frames as one stream packet each

constexpr int kLineRate = 65;

// Each recorded frame as the camera sends it: one packet header and the frame.
void load_packets() {
    std::string err;
    auto r = vx::rec::Reader::open(g_recording, err);
    if (!r) return;
    std::vector<uint8_t> raw;
    std::vector<vx::rec::RecordView> recs;
    uint16_t sidx = 0;
    for (size_t i = 0; i < r->chunks().size() && g_packets.size() < 32; ++i) {
        if (!r->load(i, raw, recs, err)) break;
        for (const auto& v : recs) {
            vx::rec::FrameRec f;
            if (v.kind != vx::rec::Kind::frame || !vx::rec::decode_frame(v, f)) continue;
            vx::rec::Out o;
            o.u16(VX_STREAM_MAGIC);
            o.u16(sidx++);
            o.u32(f.info.frlen);
            o.u32(f.info.frlen);
            o.u16(f.info.fridx);
            o.u16(f.info.frfmt);
            o.u16(f.info.width);
            o.u16(f.info.height);
            o.u16(static_cast<uint16_t>(f.info.sensor_temp));
            o.u16(static_cast<uint16_t>(f.info.illum_temp));
            o.u32(f.info.spare);
            o.u32(0);
            o.u8(1);
            o.u8(0);
            const uint16_t sum = vxsim::fletcher16(o.bytes.data(), 34);
            o.u16(sum);
            o.raw(f.bytes, f.info.frlen);
            g_packets.push_back(std::move(o.bytes));
        }
    }
}

// paced: each frame when the camera would give it, so the writer thread keeps up as it does in
// a real run; else all 65 at once.
void record_second(benchmark::State& state, bool paced) {
    const std::string path = (g_dir / "line_rate.vxr").string();
    vx::rec::WriterOptions opt;
    opt.level = static_cast<int>(state.range(0));
    double ratio = 0;
    for (auto _ : state) {
        std::string err;
        auto tap = vx::rec::make_recorder(vx::rec::Writer::create(path, opt, 0, err));
        const auto start = std::chrono::steady_clock::now();
        for (int k = 0; k < kLineRate; ++k) {
            if (paced) std::this_thread::sleep_until(start + std::chrono::microseconds(1000000 * k / kLineRate));
            const auto& p = g_packets[static_cast<size_t>(k) % g_packets.size()];
            tap->on_capture(VX_LL_CAP_OK, p.data(), static_cast<int>(p.size()));
        }
        tap.release()->on_close();  // writes the rest and the index, then deletes itself
        ratio = static_cast<double>(fs::file_size(path)) / (kLineRate * double(vxsim::kFrameBytes));
    }
    state.counters["size_ratio"] = ratio;
    state.SetItemsProcessed(int64_t(state.iterations()) * kLineRate);
}
void BM_RecordOneSecond(benchmark::State& state) { record_second(state, false); }
void BM_RecordLineRate(benchmark::State& state) { record_second(state, true); }
BENCHMARK(BM_RecordOneSecond)->ArgName("zstd")->Arg(1)->Arg(-1)->Arg(-3)->MeasureProcessCPUTime()->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RecordLineRate)->ArgName("zstd")->Arg(1)->Arg(-3)->MeasureProcessCPUTime()->UseRealTime()
    ->Unit(benchmark::kMillisecond);

void playback(benchmark::State& state, bool decode) {
    vexel_dev* dev = vexel_dev_open_recording(g_recording.c_str());
    if (!dev) {
        state.SkipWithError("recording does not open");
        return;
    }
    vexel_play_set(dev, VEXEL_PLAY_AS_PULLED, 1);
    vexel_cap_start(dev);
    std::vector<uint8_t> raw(vxsim::kFrameBytes);
    std::vector<float> dist(vxsim::kWidth * vxsim::kHeight);
    vexel_frame_info info{};
    for (auto _ : state) {
        if (vexel_cap_get_frames(dev, 1, raw.data(), static_cast<uint32_t>(raw.size()), &info) != 1) {
            state.SkipWithError("no frame");
            break;
        }
        if (decode)
            benchmark::DoNotOptimize(vexel_frame_get_distance(dev, dist.data(), static_cast<uint32_t>(dist.size()),
                                                              raw.data(), static_cast<uint32_t>(raw.size()), &info));
    }
    vexel_cap_stop(dev);
    vexel_dev_close(dev);
    state.SetItemsProcessed(int64_t(state.iterations()));
}

void BM_Playback(benchmark::State& state) { playback(state, false); }
void BM_PlaybackDecode(benchmark::State& state) { playback(state, true); }
BENCHMARK(BM_Playback)->MeasureProcessCPUTime()->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlaybackDecode)->MeasureProcessCPUTime()->UseRealTime()->Unit(benchmark::kMillisecond);

// Two hundred frames of the boxes scene with noise, recorded through the library.
bool make_recording() {
    vxsim::Testbed tb;
    vxsim::CameraOptions o;
    o.measurement.scene = *vxsim::Scene::parse("boxes");
    o.pacing = vxsim::Pacing::fast;
    o.rate_cap_mbps = 0;
    tb.add_camera(o);
    vexel_dev* dev = vexel_dev_open(nullptr);
    if (!dev) return false;
    bool ok = vexel_rec_start(dev, g_recording.c_str(), nullptr) == 1 && vexel_cap_start(dev) == 1;
    std::vector<uint8_t> raw(vxsim::kFrameBytes);
    for (int k = 0; ok && k < 200; ++k)
        ok = vexel_cap_get_frames(dev, 1, raw.data(), static_cast<uint32_t>(raw.size()), nullptr) == 1;
    vexel_cap_stop(dev);
    ok = vexel_rec_stop(dev, nullptr) == 1 && ok;
    vexel_dev_close(dev);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    vxsim::ensure_preload(argc, argv);
    benchmark::Initialize(&argc, argv);
    g_dir = fs::temp_directory_path() / ("vexel_bench_record_" + std::to_string(::getpid()));
    fs::create_directories(g_dir);
    g_recording = (g_dir / "boxes.vxr").string();
    vexel_init("/dev/null");
    vx_log_enable(VX_LOG_CONSOLE, 4, nullptr);
    vexel_path_cfg((g_dir.string() + "/").c_str());
    int rc = 0;
    if (!make_recording()) {
        std::fprintf(stderr, "recording the simulated camera failed\n");
        rc = 1;
    } else {
        load_packets();
        benchmark::RunSpecifiedBenchmarks();
    }
    benchmark::Shutdown();
    vexel_uninit();
    fs::remove_all(g_dir);
    return rc;
}
