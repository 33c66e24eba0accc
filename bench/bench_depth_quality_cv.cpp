// The depth-quality filters at the sensor's 320x240 on one core, and the edge-preserving one
// side by side with OpenCV's bilateralFilter on the same noisy frame: time, and as counters the
// noise left on the wall (wall_rms_mm, against the truth) and the error within 2 px of the edges
// (edge_rms_mm); the unfiltered frame's figures are the counters of `unfiltered`.
#include <cstdint>
#include <random>
#include <vector>

#include <benchmark/benchmark.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <vexel/depth_quality.h>

#include "tests/imgproc/depth_scene.hpp"

namespace {

using dqtest::kH;
using dqtest::kW;

const dqtest::DepthScene& scene() {
    static const dqtest::DepthScene s = dqtest::make_scene();
    return s;
}

void quality(benchmark::State& state, const std::vector<float>& d) {
    const auto& s = scene();
    state.counters["wall_rms_mm"] = 1000 * dqtest::rms(d, s, s.wall);
    state.counters["edge_rms_mm"] = 1000 * dqtest::rms(d, s, s.near_edge);
}

void unfiltered(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(scene().noisy.data());
    quality(state, scene().noisy);
}
BENCHMARK(unfiltered);

void confidence(benchmark::State& state) {
    std::vector<float> sigma(scene().amp.size());
    vexel_noise_model m;
    vexel_noise_model_init(&m);
    for (auto _ : state) {
        vexel_depth_confidence(sigma.data(), scene().amp.data(), nullptr, kW, kH, &m);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(confidence)->Unit(benchmark::kMicrosecond);

void flying(benchmark::State& state) {
    std::vector<float> d;
    for (auto _ : state) {
        state.PauseTiming();
        d = scene().noisy;
        state.ResumeTiming();
        vexel_depth_flying(d.data(), nullptr, scene().sigma.data(), kW, kH, 6.0f);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(flying)->Unit(benchmark::kMicrosecond);

// Arg 1: with the confidence image (the reset threshold from each pixel's sigma); 0: without.
void temporal(benchmark::State& state) {
    vexel_temporal* t = vexel_temporal_create(kW, kH, 2);
    std::vector<float> d = scene().noisy;
    const float* sigma = state.range(0) ? scene().sigma.data() : nullptr;
    for (auto _ : state) {
        vexel_depth_temporal(t, d.data(), nullptr, sigma, 0.1f);
        benchmark::ClobberMemory();
    }
    vexel_temporal_destroy(t);
}
BENCHMARK(temporal)->Arg(1)->Arg(0)->Unit(benchmark::kMicrosecond);

void spatial(benchmark::State& state) {
    std::vector<float> d;
    for (auto _ : state) {
        state.PauseTiming();
        d = scene().noisy;
        state.ResumeTiming();
        vexel_depth_spatial(d.data(), scene().sigma.data(), kW, kH, 5.0f);
        benchmark::ClobberMemory();
    }
    quality(state, d);
}
BENCHMARK(spatial)->Unit(benchmark::kMicrosecond);

// OpenCV on the same metres: d = 5, colour sigma in metres (arg 0, in mm) and space sigma 1.5.
void cv_bilateral(benchmark::State& state) {
    cv::setNumThreads(1);
    std::vector<float> src = scene().noisy, out(src.size());
    cv::Mat in(kH, kW, CV_32F, src.data()), dst(kH, kW, CV_32F, out.data());
    const double sigma_color = state.range(0) / 1000.0;
    for (auto _ : state) {
        cv::bilateralFilter(in, dst, 5, sigma_color, 1.5);
        benchmark::ClobberMemory();
    }
    quality(state, out);
}
BENCHMARK(cv_bilateral)->Arg(30)->Arg(100)->Unit(benchmark::kMicrosecond);

void fill(benchmark::State& state) {
    // The frame after the flying-pixel step (holes along every edge) with 2 % of its pixels
    // rejected at random besides.
    std::vector<float> holes = scene().noisy;
    vexel_depth_flying(holes.data(), nullptr, scene().sigma.data(), kW, kH, 6.0f);
    std::mt19937 rng(9);
    for (float& v : holes)
        if (rng() % 50 == 0) v = 65.3f;
    std::vector<float> d;
    for (auto _ : state) {
        state.PauseTiming();
        d = holes;
        state.ResumeTiming();
        vexel_depth_fill(d.data(), nullptr, kW, kH, 4);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(fill)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
