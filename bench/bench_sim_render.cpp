// Frames the simulated camera renders per second (items_per_second): it must keep up with a
// 30 fps stream on one core while the host decodes on the other.
#include <cstdlib>
#include <filesystem>
#include <vector>

#include <benchmark/benchmark.h>

#include "sim/calib/calib_package.hpp"
#include "sim/sensor/model.hpp"

namespace {

// Boxes with every effect of the real sensor on (the defaults), or the clean instrument.
vxsim::Measurement boxes(double noise_mm, bool effects = true) {
    vxsim::Measurement m;
    m.scene.kind = vxsim::Scene::Kind::boxes;
    m.noise_mm = noise_mm;
    if (!effects) m.effects = vxsim::Effects::none();
    return m;
}

// Steady stream: settings unchanged, a new noise draw per frame.
void BM_RenderFrame(benchmark::State& state) {
    vxsim::MeasurementModel model(boxes(double(state.range(0)), state.range(1) != 0));
    std::vector<uint16_t> frame(vxsim::kFrameBytes / 2);
    const vxsim::SensorSettings s;
    uint64_t n = 0;
    model.render(s, n++, frame.data());
    for (auto _ : state) {
        model.render(s, n++, frame.data());
        benchmark::DoNotOptimize(frame.data());
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_RenderFrame)
    ->ArgNames({"noise_mm", "effects"})
    ->Args({3, 1})
    ->Args({0, 1})
    ->Args({3, 0})
    ->Unit(benchmark::kMillisecond);

// Every frame with other settings (automatic integration time at work): the model recomputes
// what it otherwise keeps.
void BM_RenderFrameNewSettings(benchmark::State& state) {
    vxsim::MeasurementModel model(boxes(3));
    std::vector<uint16_t> frame(vxsim::kFrameBytes / 2);
    vxsim::SensorSettings s;
    uint64_t n = 0;
    for (auto _ : state) {
        s.integration_us = n % 2 ? 500 : 550;
        model.render(s, n++, frame.data());
        benchmark::DoNotOptimize(frame.data());
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_RenderFrameNewSettings)->Unit(benchmark::kMillisecond);

// Frames whose geometry is built anew, multipath on or off: a moving object (each of the four
// DCS sees the scene at its own time, so every frame traces and prepares four geometries), or a
// new scene every frame (the corner: footprints traced once, and the light the surfaces relay).
void BM_RenderFrameNewGeometry(benchmark::State& state) {
    const bool moving = state.range(0) != 0;
    vxsim::Measurement m = boxes(3);
    if (moving)
        m.scene.motion = {2, {0.6, 0, 0}};
    else
        m.scene = *vxsim::Scene::parse("corner");
    m.effects.multipath = double(state.range(1));
    vxsim::MeasurementModel model(m);
    std::vector<uint16_t> frame(vxsim::kFrameBytes / 2);
    const vxsim::SensorSettings s;
    uint64_t n = 0;
    for (auto _ : state) {
        if (!moving) model.set(m);
        model.render(s, n, frame.data(), double(n) / 30);
        ++n;
        benchmark::DoNotOptimize(frame.data());
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_RenderFrameNewGeometry)
    ->ArgNames({"moving", "multipath"})
    ->Args({1, 1})
    ->Args({1, 0})
    ->Args({0, 1})
    ->Args({0, 0})
    ->Unit(benchmark::kMillisecond);

void BM_CalibPackage(benchmark::State& state) {
    for (auto _ : state) {
        vxsim::MeasurementModel model(boxes(3, false));
        auto p = vxsim::generate_calib_package(model, 42);
        benchmark::DoNotOptimize(p.data());
    }
}
BENCHMARK(BM_CalibPackage)->Unit(benchmark::kMillisecond);

// The rig measuring 30 distance images (a new seed each time, and no cache directory: the
// cache would answer otherwise).
void BM_CalibMeasured(benchmark::State& state) {
    vxsim::set_calib_cache("off");
    static uint64_t seed = 1000;
    for (auto _ : state) {
        vxsim::Measurement m = boxes(3);
        m.seed = seed++;
        vxsim::MeasurementModel model(m);
        auto p = vxsim::measure_distance_images(model);
        benchmark::DoNotOptimize(p.data());
    }
}
BENCHMARK(BM_CalibMeasured)->Unit(benchmark::kMillisecond);

// What a new process pays for a camera measured before: its maps and the cache key, and the file
// read and checked.
void BM_CalibFromCache(benchmark::State& state) {
    char dir[] = "/tmp/bench_rig_cache_XXXXXX";
    if (!mkdtemp(dir)) {
        state.SkipWithError("no temporary directory");
        return;
    }
    vxsim::set_calib_cache(dir);
    const vxsim::Measurement m = boxes(3);
    {
        vxsim::MeasurementModel model(m);
        vxsim::measure_distance_images(model);  // measured and written once
    }
    for (auto _ : state) {
        state.PauseTiming();
        vxsim::forget_measured_calibrations();
        vxsim::MeasurementModel model(m);
        state.ResumeTiming();
        auto p = vxsim::measure_distance_images(model);
        benchmark::DoNotOptimize(p.data());
    }
    vxsim::set_calib_cache("");
    std::filesystem::remove_all(dir);
}
BENCHMARK(BM_CalibFromCache)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
