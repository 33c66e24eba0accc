// Point cloud of a full 320 x 240 distance image with the driver's intrinsics, against the
// pixel-by-pixel arithmetic it must reproduce.
#include <cmath>
#include <random>
#include <vector>

#include <benchmark/benchmark.h>

#include "core/device.hpp"
#include "imgproc/cmap.hpp"
#include "imgproc/pcl.hpp"
#include <vexel/lens.h>
#include <vexel/pcl.h>

namespace {

constexpr int kW = 320, kH = 240;

// The start-up lens parameters with the driver's binning rule.
uint8_t lens_param_get(vexel_driver_entry*, vexel_lens_param* out, int w, int h) {
    if (w < 1 || h < 1 || kW % w || kH % h) return 0;
    const int sx = kW / w, sy = kH / h;
    *out = {157.262 / sx, 122.083 / sy, 210.783 / sx, 204.817 / sy, {}, w, h};
    return 1;
}

// An open record bound to that driver, without a camera behind it.
struct BoundDevice {
    BoundDevice() {
        ops.lens_param_get = lens_param_get;
        entry = {"bench", "X0", &ops, &dev, nullptr};
        h.open.store(1);
        h.driver = &entry;
        dev.handle = &h;
    }
    vexel_driver_op ops{};
    vexel_dev dev{};
    vexel_dev_handle h;
    vexel_driver_entry entry{};
};

// A tilted wall 0.8 to 3.5 m away; `holes` of the pixels (scattered) carry the decoder's
// invalid code or 0.
std::vector<float> scene(double holes) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> unit(0, 1);
    std::vector<float> d(size_t(kW) * kH);
    for (int v = 0; v < kH; ++v)
        for (int u = 0; u < kW; ++u) {
            float& p = d[size_t(v) * kW + u];
            p = float(0.8 + 2.7 * (u + v) / double(kW + kH) + 0.01 * std::sin(u * 0.3));
            if (unit(rng) < holes) p = (u & 1) ? 65.5f : 0.0f;
        }
    return d;
}

void BM_PclDriverIntrinsics(benchmark::State& state) {
    BoundDevice bound;
    const auto d = scene(state.range(0) / 100.0);
    std::vector<float> pcl(size_t(kW) * kH * 3);
    int32_t n = 0;
    for (auto _ : state) {
        n = vexel_frame_get_pcl(&bound.dev, pcl.data(), int32_t(pcl.size()), d.data(), kW * kH, kW, kH, nullptr);
        benchmark::DoNotOptimize(pcl.data());
    }
    state.counters["points"] = n;
}
BENCHMARK(BM_PclDriverIntrinsics)->ArgName("holes_pct")->Arg(0)->Arg(10)->Unit(benchmark::kMicrosecond);

void BM_PclXyzdDriverIntrinsics(benchmark::State& state) {
    vx::library_cmap_init(30000);
    BoundDevice bound;
    const auto d = scene(0.1);
    std::vector<float> pcl(size_t(kW) * kH * 4);
    for (auto _ : state) {
        vexel_frame_get_pcl_xyzd(&bound.dev, pcl.data(), int32_t(pcl.size()), d.data(), kW * kH, kW, kH,
                                 uint8_t(state.range(0)), nullptr);
        benchmark::DoNotOptimize(pcl.data());
    }
    vx::library_cmap_uninit();
}
BENCHMARK(BM_PclXyzdDriverIntrinsics)->ArgName("pseudo_color")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// Each instruction set against the reference, one pixel at a time with the two divisions.
void BM_PclLevel(benchmark::State& state) {
    const auto level = vx::PclSimd(state.range(0));
    if (level > vx::pcl_best_simd()) return state.SkipWithError("not on this machine");
    const auto d = scene(0.1);
    std::vector<float> pcl(size_t(kW) * kH * 3);
    const vx::PclIntrinsics in{157.262, 122.083, 210.783, 204.817, 1.0f};
    for (auto _ : state) {
        vx::pcl_scan(in, d.data(), kW, kH, pcl.data(), int64_t(kW) * kH, vx::PclLayout::xyz, level);
        benchmark::DoNotOptimize(pcl.data());
    }
}
BENCHMARK(BM_PclLevel)->ArgName("scalar_avx2_avx512")->DenseRange(0, 2)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
