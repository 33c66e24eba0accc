// Point cloud of a full 320 x 240 distance image: the compact list with the driver's
// intrinsics, the organised cloud and the rays through the lens model, each instruction set
// against the pixel-by-pixel arithmetic, and what building the rays of a lens costs once.
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
    *out = {157.262 / sx, 122.083 / sy, 210.783 / sx, 204.817 / sy, {-0.378924, 0.145035, -0.000970854, 6.20728e-05, -0.0133954},
            w, h};
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

// The calls an application makes per frame: the compact list and the organised cloud through
// the lens model (rays built on the first call, then shared), and the z-depth image.
void BM_PclEx(benchmark::State& state) {
    BoundDevice bound;
    const auto d = scene(0.1);
    const auto flags = uint32_t(state.range(0));
    std::vector<float> pcl(size_t(kW) * kH * 3);
    std::vector<int32_t> index(size_t(kW) * kH);
    for (auto _ : state) {
        vexel_frame_get_pcl_ex(&bound.dev, pcl.data(), int32_t(pcl.size()), d.data(), kW * kH, kW, kH, nullptr, flags,
                               index.data(), int32_t(index.size()));
        benchmark::DoNotOptimize(pcl.data());
    }
}
BENCHMARK(BM_PclEx)
    ->ArgName("flags")
    ->Arg(VEXEL_PCL_DISTORTED)
    ->Arg(VEXEL_PCL_UNDISTORTED)
    ->Arg(VEXEL_PCL_DISTORTED | VEXEL_PCL_ORGANISED)
    ->Unit(benchmark::kMicrosecond);

void BM_ZDepth(benchmark::State& state) {
    BoundDevice bound;
    const auto d = scene(0.1);
    std::vector<float> z(size_t(kW) * kH);
    for (auto _ : state) {
        vexel_frame_get_zdepth(&bound.dev, z.data(), int32_t(z.size()), d.data(), kW * kH, kW, kH, nullptr,
                               VEXEL_PCL_DISTORTED);
        benchmark::DoNotOptimize(z.data());
    }
}
BENCHMARK(BM_ZDepth)->Unit(benchmark::kMicrosecond);

const vexel_lens_param kLens{157.262, 122.083, 210.783, 204.817,
                             {-0.378924, 0.145035, -0.000970854, 6.20728e-05, -0.0133954}, kW, kH};

// Compact and organised scans per instruction set, on rays through the lens.
void BM_PclLevel(benchmark::State& state) {
    const auto level = vx::PclSimd(state.range(0));
    if (level > vx::pcl_best_simd()) return state.SkipWithError("not on this machine");
    const bool organised = state.range(1) != 0;
    const auto d = scene(0.1);
    std::vector<float> pcl(size_t(kW) * kH * 3);
    const auto rays = vx::pcl_rays(kLens, kW, kH, vx::PclLens::distorted);
    for (auto _ : state) {
        if (organised)
            vx::pcl_organised(*rays, d.data(), pcl.data(), level);
        else
            vx::pcl_scan(*rays, d.data(), 1.0f, pcl.data(), int64_t(kW) * kH, vx::PclLayout::xyz, level);
        benchmark::DoNotOptimize(pcl.data());
    }
}
BENCHMARK(BM_PclLevel)
    ->ArgNames({"scalar_avx2", "organised"})
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->Unit(benchmark::kMicrosecond);

// Once per lens, size and kind: what the first frame pays.
void BM_PclRaysBuild(benchmark::State& state) {
    const auto kind = vx::PclLens(state.range(0));
    vexel_lens_param lens = kLens;
    for (auto _ : state) {
        lens.cx += 1e-9;  // a lens not seen before
        benchmark::DoNotOptimize(vx::pcl_rays(lens, kW, kH, kind).get());
    }
}
BENCHMARK(BM_PclRaysBuild)->ArgName("pinhole_distorted_undistorted")->DenseRange(0, 2)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
