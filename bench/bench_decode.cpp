// Frame decode of one 320 x 240 four-phase frame on one core: the distance path with the
// default features (3 x 3 median, amplitude threshold) and pixel calibration, the gray path and
// the automatic integration pass, for each kernel build and for the scalar reference of the
// tests; plus the distance path's stages on their own.
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include <benchmark/benchmark.h>

#include <vexel/chip.h>
#include <vexel/filter.h>

#include "chip/chip.hpp"
#include "driver/decode.hpp"
#include "driver/epc.hpp"
#include "tests/driver/decode_ref.hpp"

namespace {

using vx::epc::Simd;
constexpr int kW = 320, kH = 240, kPixels = kW * kH;

// A wall about 2 m away seen through noise, with per-pixel calibration tables around it.
struct Scene {
    std::vector<uint8_t> raw = std::vector<uint8_t>(8 * kPixels);
    vx::epc::State st;
    vexel_driver_entry entry{"EPC chip driver", "E2", nullptr, nullptr, &st};
    vexel_frame_info info{8 * kPixels, 2, 0, kW, kH, 8, {}};

    Scene() {
        vx::chip::reset_all();
        atan2lut_Init();
        configSetPartType(2);
        vx::chip::config().freq_khz = 12000;
        vx::chip::calib().sel = {8364, 361, 341, 298.2};
        calibrateSetNumDistances(30);
        std::mt19937 rng(3);
        std::normal_distribution<double> noise(0, 8);
        std::vector<uint16_t> s(4 * kPixels);
        for (int i = 0; i < kPixels; ++i) {
            const double phi = 2 * M_PI * (0.45 + 0.02 * (i % kW) / kW), a = 300 + (i % 97);
            for (int k = 0; k < 4; ++k)
                s[size_t(k) * kPixels + i] =
                    uint16_t(std::lround(2048 + a * std::cos(phi - k * M_PI / 2) + noise(rng)));
        }
        std::memcpy(raw.data(), s.data(), raw.size());
        for (int q = 0; q < VX_CHIP_PIXELS; ++q) {
            const int base = 7000 + int(rng() % 200);
            for (int k = 0; k < 30; ++k) distImagesDRNU[1][size_t(q) * 30 + k] = uint16_t(base + 716 * k);
            distImagesDRNUMin[1][q] = uint16_t(base);
            distImagesDRNUMax[1][q] = uint16_t(base + 716 * 29);
        }
        calculationSetEnableDRNU(2);
        calculationSetEnableTemperature(1);
        const int16_t t[2] = {400, 380};
        temperatureSetTemperatureByFrameHeader(t);
        apiSetHysteresis(20);
        pruSetSize(kW, kH / 2);
        st.min_amp = 30;  // amplitude threshold on
        // The same calibration as an opened camera holds it: its own copy, its own lock.
        cam.calib = vx::epc::calibration_from_chip(true);
        cam.min_amp = 30;
        cam.hyst_width = 20;
        cam.t_sensor = 400;
        cam.t_ib = 380;
        make_cam_table();
    }
    vx::epc::State cam;
    vexel_driver_entry cam_entry{"EPC chip driver", "E2", nullptr, nullptr, &cam};
    // The same camera with the phases gathered from the octant table instead of computed, for a
    // comparison within one run.
    vx::epc::State cam_table;
    vexel_driver_entry cam_table_entry{"EPC chip driver", "E2", nullptr, nullptr, &cam_table};
    void make_cam_table() {
        auto c = std::make_shared<vx::epc::Calibration>(*cam.calib);
        c->base.made_table = false;
        cam_table.calib = c;
        cam_table.min_amp = cam.min_amp.load();
        cam_table.hyst_width = cam.hyst_width;
        cam_table.t_sensor = cam.t_sensor.load();
        cam_table.t_ib = cam.t_ib.load();
    }
};

Scene& scene() {
    static Scene s;
    return s;
}

void run_distance(benchmark::State& state, vexel_driver_entry* entry) {
    Scene& sc = scene();
    vx::epc::pin_simd(Simd(state.range(0)));
    std::vector<uint16_t> out(kPixels);
    for (auto _ : state) {
        const int n = vx::epc::frame_decode(entry, out.data(), 2 * kPixels, 1, sc.raw.data(), int(sc.raw.size()),
                                            &sc.info);
        benchmark::DoNotOptimize(n);
        benchmark::ClobberMemory();
    }
    vx::epc::unpin_simd();
}

// A state without its own calibration: the chip library's, under the process-wide lock.
void BM_Distance(benchmark::State& state) { run_distance(state, &scene().entry); }
// The decode of an opened camera: its own calibration, read once per frame, its own lock.
void BM_DistanceCamera(benchmark::State& state) {
    run_distance(state, state.range(1) ? &scene().cam_table_entry : &scene().cam_entry);
}

void BM_DistanceReference(benchmark::State& state) {
    Scene& sc = scene();
    for (auto _ : state) {
        apiSetMinAmplitude(30);
        auto out = ref::distance(sc.raw.data(), kW, kH, {}, nullptr);
        benchmark::DoNotOptimize(out.data());
    }
}

void BM_Gray(benchmark::State& state) {
    Scene& sc = scene();
    vx::epc::pin_simd(Simd(state.range(0)));
    std::vector<uint16_t> out(kPixels);
    for (auto _ : state) {
        const int n = vx::epc::frame_decode(&sc.entry, out.data(), 2 * kPixels, 2, sc.raw.data(),
                                            int(sc.raw.size()), &sc.info);
        benchmark::DoNotOptimize(n);
        benchmark::ClobberMemory();
    }
    vx::epc::unpin_simd();
}

void BM_GrayReference(benchmark::State& state) {
    Scene& sc = scene();
    for (auto _ : state) {
        auto out = ref::gray(sc.raw.data(), kW, kH, {}, nullptr);
        benchmark::DoNotOptimize(out.data());
    }
}

// One qualifying pass: every call is 10 s after the last, and the frame asks for no change,
// so no parameter goes to a camera.
void BM_AutoIntegration(benchmark::State& state) {
    Scene& sc = scene();
    static vx::Timestamp t{1000, 0};  // later than every earlier run
    bool ran = false;
    for (auto _ : state) {
        t.sec += 10;
        auto c = vx::epc::auto_intg_decide(ran, t, 1500, false, 5, sc.raw.data(), sc.raw.size(), t,
                                           Simd(state.range(0)));
        benchmark::DoNotOptimize(c);
    }
}

// The distance path's stages alone.
void BM_StageKernel(benchmark::State& state) {
    Scene& sc = scene();
    std::vector<uint16_t> amp(kPixels), mm(kPixels);
    std::vector<uint8_t> hyst(VX_CHIP_PIXELS);
    std::vector<uint32_t> atan(VX_CHIP_ATAN_ENTRIES), octant(vx::epc::kOctantZero + 2);
    const auto& tab = vx::chip::atan_table();
    std::copy(tab.begin(), tab.end(), atan.begin());
    vx::epc::build_octant_phase(atan.data(), octant.data());
    vx::epc::PixelSetup ps;
    ps.dist_ok = true;
    ps.sp = 716.2f;
    vx::epc::set_range(ps, 12.4913f);
    ps.drnu = ps.calib_ok = getenv("NODRNU") == nullptr;
    ps.nd = getenv("ND") ? atoi(getenv("ND")) : 30;
    ps.table = distImagesDRNU[1];
    ps.vmax = distImagesDRNUMax[1];
    ps.vmin = distImagesDRNUMin[1];
    ps.upper = 900;
    ps.hyst = hyst.data();
    ps.hyst_len = kPixels;
    ps.atan = atan.data();
    ps.octant_phase = octant.data();
    ps.made_table = state.range(1) == 0;
    const vx::epc::RawView view{sc.raw.data(), kPixels, kW, kH};
    for (auto _ : state) {
        vx::epc::distance_image(Simd(state.range(0)), ps, view, amp.data(), mm.data(), false, 12491);
        benchmark::ClobberMemory();
    }
}

void BM_StageMedian3(benchmark::State& state) {
    std::vector<uint16_t> img(kPixels);
    std::mt19937 rng(5);
    for (auto& v : img) v = uint16_t(2000 + rng() % 100);
    for (auto _ : state) {
        vx_median2d_u16(img.data(), img.data(), kW, kH, 3);
        benchmark::ClobberMemory();
    }
}

void BM_StagePlausibility(benchmark::State& state) {
    std::vector<uint16_t> img(kPixels, 2000), amp(kPixels, 20000), out(kPixels);
    for (auto _ : state) {
        vx::epc::plausibility(Simd(state.range(0)), img.data(), amp.data(), out.data(), kPixels, 12491, 2081);
        benchmark::ClobberMemory();
    }
}

// 0 scalar, 1 AVX2, 2 AVX-512, as far as the machine has them.
void simds(benchmark::internal::Benchmark* b) {
    b->ArgName("simd");
    for (int s = 0; s <= int(vx::epc::best_simd()); ++s) b->Arg(s);
    b->Unit(benchmark::kMicrosecond);
}

// table:0 computes the phase table's entries where the kernel can (AVX-512), table:1 gathers
// them from the octant table as for a chip library with another table.
void simds_tables(benchmark::internal::Benchmark* b) {
    b->ArgNames({"simd", "table"});
    for (int s = 0; s <= int(vx::epc::best_simd()); ++s)
        for (int t = 0; t <= (s == int(Simd::kAvx512) ? 1 : 0); ++t) b->Args({s, t});
    b->Unit(benchmark::kMicrosecond);
}

BENCHMARK(BM_Distance)->Apply(simds);
BENCHMARK(BM_DistanceCamera)->Apply(simds_tables);
BENCHMARK(BM_DistanceReference)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Gray)->Apply(simds);
BENCHMARK(BM_GrayReference)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_AutoIntegration)->Apply(simds);
BENCHMARK(BM_StageKernel)->Apply(simds_tables);
BENCHMARK(BM_StageMedian3)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StagePlausibility)->Apply(simds);

}  // namespace

BENCHMARK_MAIN();
