// Fixed medians and the colour map at the sensor's 320x240, single-threaded, against OpenCV.
#include <cstdint>
#include <random>
#include <vector>

#include <benchmark/benchmark.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "imgproc/cmap.hpp"
#include "imgproc/median.hpp"
#include <vexel/cmap.h>
#include <vexel/filter.h>

namespace {

constexpr int kW = 320, kH = 240;

// Depth-like content: a smooth ramp with noise, so both libraries see realistic values.
std::vector<uint16_t> depth_image() {
    std::mt19937 rng(42);
    std::normal_distribution<float> noise(0.f, 30.f);
    std::vector<uint16_t> img(size_t(kW) * kH);
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) img[size_t(y) * kW + x] = uint16_t(500 + 8 * x + 4 * y + noise(rng));
    return img;
}

void cv_median(benchmark::State& state) {
    cv::setNumThreads(1);
    std::vector<uint16_t> pixels = depth_image();
    cv::Mat src(kH, kW, CV_16U, pixels.data()), dst(kH, kW, CV_16U);
    const int k = int(state.range(0));
    for (auto _ : state) {
        cv::medianBlur(src, dst, k);
        benchmark::DoNotOptimize(dst.data);
    }
    state.SetItemsProcessed(state.iterations() * kW * kH);
}
BENCHMARK(cv_median)->Arg(3)->Arg(5)->Unit(benchmark::kMicrosecond);

void vx_median_out_of_place(benchmark::State& state) {
    const std::vector<uint16_t> src = depth_image();
    std::vector<uint16_t> dst(src.size());
    const int k = int(state.range(0));
    for (auto _ : state) {
        vx_median2d_u16(dst.data(), src.data(), kW, kH, k);
        benchmark::DoNotOptimize(dst.data());
    }
    state.SetItemsProcessed(state.iterations() * kW * kH);
}
BENCHMARK(vx_median_out_of_place)->Arg(3)->Arg(5)->Unit(benchmark::kMicrosecond);

// The work is branch-free, so filtering the same buffer over and over costs the same each time.
void vx_median_in_place(benchmark::State& state) {
    std::vector<uint16_t> img = depth_image();
    const int k = int(state.range(0));
    for (auto _ : state) {
        vx_median2d_u16(img.data(), img.data(), kW, kH, k);
        benchmark::DoNotOptimize(img.data());
    }
    state.SetItemsProcessed(state.iterations() * kW * kH);
}
BENCHMARK(vx_median_in_place)->Arg(3)->Arg(5)->Unit(benchmark::kMicrosecond);

// What machines without AVX2 get: arg 1 is the kernel, arg 2 the instruction set.
void vx_median_isa(benchmark::State& state) {
    const std::vector<uint16_t> src = depth_image();
    std::vector<uint16_t> dst(src.size());
    const int k = int(state.range(0));
    const auto isa = static_cast<vx::Isa>(state.range(1));
    for (auto _ : state) {
        vx::median2d_fixed(isa, k, dst.data(), src.data(), kW, kH);
        benchmark::DoNotOptimize(dst.data());
    }
    state.SetItemsProcessed(state.iterations() * kW * kH);
}
BENCHMARK(vx_median_isa)->ArgsProduct({{3, 5}, {int(vx::Isa::kBaseline), int(vx::Isa::kSse41)}})->Unit(benchmark::kMicrosecond);

void vx_median_general_k7(benchmark::State& state) {
    const std::vector<uint16_t> src = depth_image();
    std::vector<uint16_t> dst(src.size());
    for (auto _ : state) {
        vx_median2d_u16(dst.data(), src.data(), kW, kH, 7);
        benchmark::DoNotOptimize(dst.data());
    }
    state.SetItemsProcessed(state.iterations() * kW * kH);
}
BENCHMARK(vx_median_general_k7)->Unit(benchmark::kMicrosecond);

void vx_box_out_of_place(benchmark::State& state) {
    const std::vector<uint16_t> src = depth_image();
    std::vector<uint16_t> dst(src.size());
    for (auto _ : state) {
        vx_box2d_u16_k3(dst.data(), src.data(), kW, kH);
        benchmark::DoNotOptimize(dst.data());
    }
    state.SetItemsProcessed(state.iterations() * kW * kH);
}
BENCHMARK(vx_box_out_of_place)->Unit(benchmark::kMicrosecond);

// Distances in metres over the range with a sprinkling of decoder codes.
void cmap_float(benchmark::State& state) {
    vx::library_cmap_init(30000);
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> d(0.f, 4.5f);
    std::vector<float> src(size_t(kW) * kH);
    for (size_t i = 0; i < src.size(); ++i) src[i] = i % 97 == 0 ? 65.5f : d(rng);
    std::vector<uint8_t> dst(src.size() * 4);
    const int fmt = int(state.range(0));
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            vexel_cmap_float(dst.data(), int32_t(dst.size()), src.data(), int32_t(src.size()), fmt, 0.f, 4.f));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * int64_t(src.size()));
    vx::library_cmap_uninit();
}
BENCHMARK(cmap_float)->Arg(VEXEL_COLOR_RGB888)->Arg(VEXEL_COLOR_RGBX8888)->Arg(VEXEL_COLOR_BGR888)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
