// The decode's per-pixel phase: the chip library's table lookup against the library arctangent,
// over one 320 x 240 frame of DCS differences.
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include <benchmark/benchmark.h>

#include <vexel/chip.h>

namespace {

constexpr int kPixels = 320 * 240;

struct Diffs {
    std::vector<int> x, y;
    Diffs() : x(kPixels), y(kPixels) {
        std::mt19937 rng(7);
        std::uniform_int_distribution<int> d(-4095, 4095);  // differences of two 12-bit samples
        for (int i = 0; i < kPixels; ++i) {
            x[static_cast<size_t>(i)] = d(rng);
            y[static_cast<size_t>(i)] = d(rng);
        }
    }
};

const Diffs& diffs() {
    static const Diffs d;
    return d;
}

void BM_PhaseTable(benchmark::State& state) {
    atan2lut_Init();
    const Diffs& d = diffs();
    std::vector<int> out(kPixels);
    for (auto _ : state) {
        for (size_t i = 0; i < kPixels; ++i) out[i] = atan2_lut(d.y[i], d.x[i]);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * kPixels);
}

void BM_PhaseStdAtan2(benchmark::State& state) {
    const Diffs& d = diffs();
    std::vector<int> out(kPixels);
    const double units = 15000.0 / M_PI;
    for (auto _ : state) {
        for (size_t i = 0; i < kPixels; ++i) {
            double p = std::atan2(d.y[i], d.x[i]) * units;
            out[i] = static_cast<int>(p < 0 ? p + 30000.0 : p);
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * kPixels);
}

BENCHMARK(BM_PhaseTable)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PhaseStdAtan2)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
