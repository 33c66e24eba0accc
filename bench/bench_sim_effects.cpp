// Two of the simulated camera's effects as the host sees them: what its light does to the noise,
// and what its pixel footprint does at depth edges. Counts and sigmas, not times: a loaded
// machine gives the same figures. One simulated camera on the emulated USB bus, opened through
// the library (its own measured calibration package downloaded at open), pixel calibration on,
// median and every depth-quality step off, so a decoded pixel is the sensor pixel the truth
// describes. Every other effect of the camera stays at its default, but for the warm-up: the
// temperatures are held at calibration, so no drift the compensation leaves enters the figures.
//
// BM_Noise/ambient:LEVEL (`--ambient LEVEL`: 0, the default 20, and strong light 1000, 3000).
//   A wall of reflectivity 1 straight ahead at 1.0, 1.6, 2.5, 4 and 6 m, at the integration time
//   the host sets at open (700 us): the light falls as 1/r^2 and the beam and vignetting spread
//   each wall over a fifth, so the truth amplitude covers 10..2800, while the ambient light on
//   the wall stays LEVEL * 0.7 counts (it grows with reflectivity and integration time, not with
//   nearness). Per pixel, the temporal sigma of vexel_frame_get_distance over 24 frames (8 with
//   --short); pixels binned by truth amplitude (bins around 50, 100, 200, 500, 1000, 2000, a
//   factor 2 wide, geometric). A truth flag of any kind (bad, saturated, mixed) or a frame where
//   the host reports no distance leaves the pixel out. Against the model's noise law
//   (sim/README.md): per-sample variance sigma_ref^2 (B + A + ambient) / (B + 1000), B = 2048,
//   sigma_ref the noise at amplitude 1000, plus 1/12 count^2 of the rounding; in distance
//       sigma^2 = (noise * 1000 / A)^2 (B + A + ambient) / (B + 1000) + (U' / 2 pi)^2 / (24 A^2).
//   Per bin: pixels, median truth amplitude, measured sigma (root of the mean per-pixel
//   variance), the law's sigma (the same over its per-pixel variances) and their ratio.
//
// BM_Flying/footprint:N/multipath:M (`--footprint 1|4`, `--multipath` off or at its default,
//   the boxes scene, all else default). A depth edge is where the truth ray length jumps between
//   two neighbouring pixels by more than 5 cm and by more than three times the steps on either
//   side (so a floor seen at a grazing angle, or the crease where two faces meet, is no edge).
//   Its length is counted crack by crack: each jumping pair adds one pixel's extent across the
//   jump at the near surface, z / fy for a pair side by side (the edge runs down between them),
//   z / fx for a pair one above the other, z the near surface's depth along the axis (pinhole
//   with the camera's start-up fx, fy, cx, cy; the boxes' edges are lines parallel to the image
//   axes, so the staircase is their length). A flying pixel is one of a jumping pair whose
//   decoded distance lies between the nearest and the farthest truth surface of its 3 x 3
//   neighbourhood and off both by more than 3 sigma + 1 cm: sigma the noise law at the
//   amplitude the host decoded for that pixel (a footprint across an edge adds two phasors, so
//   its amplitude is below the truth's sum), the centimetre for what the calibration leaves.
//   Multipath is its own effect: the light the floor relays moves pixels beside an edge
//   centimetres towards the far surface, which this criterion cannot tell from mixing, so the
//   figure is taken with it off and on, and truth flag 2 shows which pixels it moved. Per frame,
//   over 16 frames (4 with --short): flying pixels per metre of edge, the shares of them truth
//   flags 1 (mixed) and 2 (multipath) mark, the share of the flag-1 pixels that fly (the others'
//   footprints lie mostly on one surface), and the count after the host's flying filter
//   (VEXEL_FILTER_FLYING at its table entry's default value, else 6) on the same frames, with
//   the share of the measured unflagged pixels off the edges that filter removed.
//
// The tables are printed after the run. `--short` takes fewer frames and checks what the figures
// must show whatever the load: at amplitude 50 the noise follows the law and grows with ambient
// light; with multipath off the four-ray footprint gives flying pixels, nearly all flagged mixed,
// and the single ray next to none; the flying filter removes most. A check that fails, or a case
// that cannot run, fails the program.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include <vexel/features.h>
#include <vexel/vexel.h>

#include "sim/sim.hpp"

namespace {

namespace fs = std::filesystem;

constexpr int kW = int(vxsim::kWidth), kH = int(vxsim::kHeight);
constexpr size_t kPixels = size_t{vxsim::kWidth} * vxsim::kHeight;
// The driver's start-up lens, which the simulated camera looks through.
constexpr double kFx = 210.783, kFy = 204.817, kCx = 157.262, kCy = 122.083;
// The noise law's constants (sim/README.md): offset B, reference amplitude, and U' at 12 MHz in mm.
constexpr double kB = 2048, kRefAmplitude = 1000, kUnitMm = 12491;

int g_noise_frames = 24, g_flying_frames = 16;
bool g_short = false;
bool g_failed = false;
vxsim::Camera* g_cam = nullptr;
vexel_dev* g_dev = nullptr;

void fail(benchmark::State& state, const char* why) {
    g_failed = true;
    state.SkipWithError(why);
}

bool measured(float d) { return d > 0 && d < 60; }

// The integration time the camera exposes with (parameter 13, microseconds): the host writes its
// own at open, and the ambient light a pixel collects grows with it.
double integration_us() {
    const std::vector<uint8_t> p = g_cam->param(13);
    return p.size() >= 2 ? double(p[0] | p[1] << 8) : 0;
}

// Distance sigma in mm the model's law gives at amplitude `a` with `ambient` counts of background.
double law_variance(double noise_mm, double a, double ambient) {
    const double shot = noise_mm * kRefAmplitude / a;
    const double quant = kUnitMm / (2 * M_PI) / a;
    return shot * shot * (kB + a + ambient) / (kB + kRefAmplitude) + quant * quant / 24;
}

// `n` frames after two the sensor may have exposed under the previous measurement.
bool capture(int n, std::vector<std::vector<uint8_t>>& raws, std::vector<vexel_frame_info>& infos) {
    raws.assign(size_t(n), std::vector<uint8_t>(vxsim::kFrameBytes));
    infos.assign(size_t(n), vexel_frame_info{});
    if (vexel_cap_start(g_dev) != 1) return false;
    bool ok = true;
    std::vector<uint8_t> skip(vxsim::kFrameBytes);
    vexel_frame_info info{};
    for (int k = 0; ok && k < 2; ++k) ok = vexel_cap_get_frames(g_dev, 1, skip.data(), uint32_t(skip.size()), &info) == 1;
    for (int k = 0; ok && k < n; ++k)
        ok = vexel_cap_get_frames(g_dev, 1, raws[size_t(k)].data(), uint32_t(vxsim::kFrameBytes), &infos[size_t(k)]) == 1;
    vexel_cap_stop(g_dev);
    return ok;
}

std::vector<float> decode(const std::vector<uint8_t>& raw, vexel_frame_info& info, bool gray = false) {
    std::vector<float> d(kPixels);
    auto fn = gray ? vexel_frame_get_gray : vexel_frame_get_distance;
    if (fn(g_dev, d.data(), uint32_t(kPixels), raw.data(), uint32_t(raw.size()), &info) != int(kPixels))
        d.assign(kPixels, 0);
    return d;
}

// ---- noise against amplitude ----

constexpr double kBinCentre[] = {50, 100, 200, 500, 1000, 2000};
constexpr int kBins = 6;
constexpr double kWalls[] = {1.0, 1.6, 2.5, 4.0, 6.0};

struct NoiseBin {
    size_t pixels = 0;
    double var = 0, law = 0;     // sums of per-pixel variances (mm^2)
    std::vector<float> amplitude;
};
std::map<int, std::vector<NoiseBin>> g_noise;  // by ambient level

int bin_of(double a) {
    for (int b = 0; b < kBins; ++b)
        if (a >= kBinCentre[b] / std::sqrt(2.0) && a < kBinCentre[b] * std::sqrt(2.0)) return b;
    return -1;
}

void BM_Noise(benchmark::State& state) {
    const int level = int(state.range(0));
    std::vector<NoiseBin> bins(kBins);
    for (auto _ : state) {
        bins.assign(kBins, NoiseBin{});
        for (const double metres : kWalls) {
            vxsim::Measurement m;
            m.scene.kind = vxsim::Scene::Kind::wall;
            m.scene.distance_m = metres;
            m.reflectivity = 1;
            m.effects.ambient = level;
            m.effects.warmup = false;  // held temperatures: the figure is the noise, not the drift
            g_cam->set_measurement(m);
            const vxsim::Truth tr = g_cam->truth();
            std::vector<std::vector<uint8_t>> raws;
            std::vector<vexel_frame_info> infos;
            if (!capture(g_noise_frames, raws, infos)) return fail(state, "the camera did not deliver its frames");
            std::vector<double> sum(kPixels), sq(kPixels);
            std::vector<int> n(kPixels);
            for (size_t f = 0; f < raws.size(); ++f) {
                const std::vector<float> d = decode(raws[f], infos[f]);
                for (size_t i = 0; i < kPixels; ++i)
                    if (measured(d[i])) {
                        // About the truth, so the sums keep their precision in float metres.
                        const double e = 1000.0 * (double(d[i]) - tr.distance[i]);
                        sum[i] += e;
                        sq[i] += e * e;
                        ++n[i];
                    }
            }
            const double ambient = level * m.reflectivity * integration_us() / 1000;
            for (size_t i = 0; i < kPixels; ++i) {
                const int b = bin_of(tr.amplitude[i]);
                if (b < 0 || tr.flags[i] || n[i] < g_noise_frames) continue;
                const double mean = sum[i] / n[i];
                bins[size_t(b)].var += std::max(0.0, sq[i] / n[i] - mean * mean) * n[i] / (n[i] - 1);
                bins[size_t(b)].law += law_variance(m.noise_mm, tr.amplitude[i], ambient);
                bins[size_t(b)].amplitude.push_back(tr.amplitude[i]);
                ++bins[size_t(b)].pixels;
            }
        }
    }
    for (int b = 0; b < kBins; ++b) {
        const NoiseBin& nb = bins[size_t(b)];
        if (!nb.pixels) continue;
        const std::string a = std::to_string(int(kBinCentre[b]));
        state.counters["sigma_mm_a" + a] = std::sqrt(nb.var / double(nb.pixels));
        state.counters["ratio_a" + a] = std::sqrt(nb.var / nb.law);
    }
    g_noise[level] = std::move(bins);
}
BENCHMARK(BM_Noise)->ArgName("ambient")->Arg(0)->Arg(20)->Arg(1000)->Arg(3000)->Iterations(1)->UseRealTime()
    ->Unit(benchmark::kSecond);

// ---- flying pixels per metre of edge ----

struct FlyingResult {
    double edge_m = 0;
    size_t frames = 0, candidates = 0;
    size_t flying = 0, flagged = 0, multipath = 0, flying_filtered = 0;
    size_t mixed_flags = 0, removed_elsewhere = 0, kept_elsewhere = 0;  // of the unflagged off the edges
    double filter_k = 0;
};
std::map<std::pair<int, int>, FlyingResult> g_flying;  // by footprint, multipath

// The truth's depth edges: the pixels of every jumping pair, and the edge's length in metres.
struct Edges {
    std::vector<uint8_t> pixel;
    double metres = 0;
};

Edges edges_of(const std::vector<float>& t) {
    Edges e{std::vector<uint8_t>(kPixels), 0};
    auto depth = [&](size_t i) {
        const double xn = (double(i % kW) - kCx) / kFx, yn = (double(i / kW) - kCy) / kFy;
        return t[i] / std::sqrt(1 + xn * xn + yn * yn);
    };
    // Pair (i, j) along a line whose previous pixel is `before` and next `after` (or none).
    auto pair = [&](size_t i, size_t j, long before, long after, double f) {
        if (!(t[i] > 0 && t[j] > 0)) return;
        const double step = std::fabs(t[j] - t[i]);
        double around = 0;
        if (before >= 0 && t[size_t(before)] > 0) around = std::max(around, double(std::fabs(t[i] - t[size_t(before)])));
        if (after >= 0 && t[size_t(after)] > 0) around = std::max(around, double(std::fabs(t[size_t(after)] - t[j])));
        if (step <= 0.05 || step <= 3 * around) return;
        e.pixel[i] = e.pixel[j] = 1;
        e.metres += depth(t[i] < t[j] ? i : j) / f;
    };
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x + 1 < kW; ++x) {
            const size_t i = size_t(y) * kW + size_t(x);
            pair(i, i + 1, x > 0 ? long(i) - 1 : -1, x + 2 < kW ? long(i) + 2 : -1, kFy);
        }
    for (int y = 0; y + 1 < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            const size_t i = size_t(y) * kW + size_t(x);
            pair(i, i + kW, y > 0 ? long(i) - kW : -1, y + 2 < kH ? long(i + 2 * kW) : -1, kFx);
        }
    return e;
}

// Flying pixels of one decoded frame among the edge pixels.
std::vector<size_t> flying_of(const std::vector<float>& d, const std::vector<float>& amp, const std::vector<float>& t,
                              const Edges& e, double noise_mm) {
    std::vector<size_t> out;
    for (int y = 1; y + 1 < kH; ++y)
        for (int x = 1; x + 1 < kW; ++x) {
            const size_t i = size_t(y) * kW + size_t(x);
            if (!e.pixel[i] || !measured(d[i]) || !(amp[i] > 0)) continue;
            double near = 1e9, far = 0;
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx) {
                    const float v = t[size_t(int(i) + dy * kW + dx)];
                    if (v > 0) {
                        near = std::min(near, double(v));
                        far = std::max(far, double(v));
                    }
                }
            const double margin = 3e-3 * std::sqrt(law_variance(noise_mm, amp[i], 0)) + 0.01;
            if (d[i] > near + margin && d[i] < far - margin) out.push_back(i);
        }
    return out;
}

double flying_filter_value() {
    for (int32_t k = 0; k < vexel_filter_count(); ++k) {
        const vexel_filter_info* f = vexel_filter_at(k);
        if (f && f->id == VEXEL_FILTER_FLYING && f->has_default) return f->default_value;
    }
    return 6;
}

void BM_Flying(benchmark::State& state) {
    const unsigned footprint = unsigned(state.range(0));
    const int multipath = int(state.range(1));
    FlyingResult r;
    for (auto _ : state) {
        r = FlyingResult{};
        vxsim::Measurement m;
        m.scene.kind = vxsim::Scene::Kind::boxes;
        m.effects.subrays = footprint;
        if (!multipath) m.effects.multipath = 0;
        m.effects.warmup = false;  // a warming camera reads short all over, which is not mixing
        g_cam->set_measurement(m);
        const vxsim::Truth tr = g_cam->truth();
        const Edges e = edges_of(tr.distance);
        r.edge_m = e.metres;
        for (size_t i = 0; i < kPixels; ++i) {
            r.candidates += e.pixel[i];
            r.mixed_flags += (tr.flags[i] & vxsim::kTruthMixed) != 0;
        }
        std::vector<std::vector<uint8_t>> raws;
        std::vector<vexel_frame_info> infos;
        if (!capture(g_flying_frames, raws, infos)) return fail(state, "the camera did not deliver its frames");
        r.filter_k = flying_filter_value();
        float k = float(r.filter_k);  // the call takes a writable value
        for (size_t f = 0; f < raws.size(); ++f) {
            if (vexel_filter_disable(g_dev, VEXEL_FILTER_FLYING) != 1) return fail(state, "flying filter not switched off");
            const std::vector<float> d = decode(raws[f], infos[f]), amp = decode(raws[f], infos[f], true);
            const std::vector<size_t> fly = flying_of(d, amp, tr.distance, e, m.noise_mm);
            r.flying += fly.size();
            for (size_t i : fly) {
                r.flagged += (tr.flags[i] & vxsim::kTruthMixed) != 0;
                r.multipath += (tr.flags[i] & vxsim::kTruthMultipath) != 0;
            }
            if (vexel_filter_enable(g_dev, VEXEL_FILTER_FLYING, &k, sizeof k) != 1)
                return fail(state, "flying filter refused");
            const std::vector<float> df = decode(raws[f], infos[f]);
            r.flying_filtered += flying_of(df, amp, tr.distance, e, m.noise_mm).size();
            for (size_t i = 0; i < kPixels; ++i) {
                if (tr.flags[i] || e.pixel[i] || !measured(d[i])) continue;
                r.removed_elsewhere += !measured(df[i]);
                r.kept_elsewhere += measured(df[i]);
            }
        }
        vexel_filter_disable(g_dev, VEXEL_FILTER_FLYING);
        r.frames = raws.size();
    }
    const double per_frame = 1.0 / double(std::max<size_t>(r.frames, 1));
    state.counters["edge_m"] = r.edge_m;
    state.counters["flying_per_m"] = double(r.flying) * per_frame / r.edge_m;
    state.counters["flagged_pct"] = r.flying ? 100.0 * double(r.flagged) / double(r.flying) : 0;
    state.counters["filtered_per_m"] = double(r.flying_filtered) * per_frame / r.edge_m;
    g_flying[{int(footprint), multipath}] = r;
}
BENCHMARK(BM_Flying)->ArgNames({"footprint", "multipath"})->Args({1, 0})->Args({4, 0})->Args({1, 1})->Args({4, 1})
    ->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

// ---- tables and checks ----

void print_tables() {
    if (!g_noise.empty()) {
        std::printf("\nNoise against amplitude: wall of reflectivity 1 at 1.0-6 m, %.0f us, %d frames, pixel "
                    "calibration on,\nunflagged pixels valid in every frame; sigma in mm, measured / law\n",
                    integration_us(), g_noise_frames);
        std::printf("%-8s %-8s %8s %8s %9s %9s %7s\n", "ambient", "bin", "pixels", "A med", "sigma", "law",
                    "ratio");
        for (const auto& [level, bins] : g_noise)
            for (int b = 0; b < kBins; ++b) {
                NoiseBin nb = bins[size_t(b)];
                if (!nb.pixels) {
                    std::printf("%-8d %-8.0f %8s\n", level, kBinCentre[b], "none");
                    continue;
                }
                std::nth_element(nb.amplitude.begin(), nb.amplitude.begin() + long(nb.pixels / 2), nb.amplitude.end());
                const double sigma = std::sqrt(nb.var / double(nb.pixels)), law = std::sqrt(nb.law / double(nb.pixels));
                std::printf("%-8d %-8.0f %8zu %8.0f %9.2f %9.2f %7.3f\n", level, kBinCentre[b], nb.pixels,
                            double(nb.amplitude[nb.pixels / 2]), sigma, law, sigma / law);
            }
    }
    if (!g_flying.empty()) {
        std::printf("\nFlying pixels: boxes scene, %d frames; per frame and metre of depth edge\n", g_flying_frames);
        std::printf("%-9s %9s %7s %6s %7s %9s %7s %7s %12s %8s %11s %10s\n", "footprint", "multipath", "edge_m",
                    "edgepx", "mixedpx", "flying/m", "flag 1", "flag 2", "mixed flying", "filter k", "filtered/m",
                    "removed");
        for (const auto& [key, r] : g_flying) {
            const double pf = 1.0 / double(std::max<size_t>(r.frames, 1));
            auto pct = [&](size_t k) { return r.flying ? 100.0 * double(k) / double(r.flying) : 0.0; };
            const double mixed_flying = r.mixed_flags ? 100.0 * double(r.flagged) * pf / double(r.mixed_flags) : 0.0;
            const size_t elsewhere = std::max<size_t>(r.removed_elsewhere + r.kept_elsewhere, 1);
            std::printf("%-9d %9s %7.2f %6zu %7zu %9.2f %6.1f%% %6.1f%% %11.1f%% %8.1f %11.2f %9.3f%%\n", key.first,
                        key.second ? "on" : "off", r.edge_m, r.candidates, r.mixed_flags,
                        double(r.flying) * pf / r.edge_m, pct(r.flagged), pct(r.multipath), mixed_flying, r.filter_k,
                        double(r.flying_filtered) * pf / r.edge_m,
                        100.0 * double(r.removed_elsewhere) / double(elsewhere));
        }
    }
}

// What the figures must show on any machine: the short run's test.
bool check() {
    bool ok = true;
    auto expect = [&](bool c, const char* what) {
        if (!c) std::fprintf(stderr, "check failed: %s\n", what);
        ok = ok && c;
    };
    if (g_noise.count(0) && g_noise.count(3000)) {
        const NoiseBin &dark = g_noise[0][0], &lit = g_noise[3000][0];
        expect(dark.pixels > 100 && lit.pixels > 100, "pixels in the amplitude-50 bin");
        if (dark.pixels && lit.pixels) {
            const double s0 = std::sqrt(dark.var / double(dark.pixels)), s1 = std::sqrt(lit.var / double(lit.pixels));
            const double l0 = std::sqrt(dark.law / double(dark.pixels)), l1 = std::sqrt(lit.law / double(lit.pixels));
            expect(s1 > s0 * 1.1, "noise at amplitude 50 grows with ambient 3000");
            expect(std::fabs(s0 / l0 - 1) < 0.25 && std::fabs(s1 / l1 - 1) < 0.25, "noise at amplitude 50 within 25 % of the law");
        }
    }
    if (g_flying.count({1, 0}) && g_flying.count({4, 0})) {
        const FlyingResult &one = g_flying[{1, 0}], &four = g_flying[{4, 0}];
        expect(four.edge_m > 1, "the boxes show depth edges");
        expect(four.flying > 10 * (one.flying + 1), "four rays a pixel give ten times the flying pixels of one");
        expect(four.flagged * 10 >= four.flying * 9, "nine in ten flying pixels flagged mixed");
        expect(four.flying_filtered * 4 <= four.flying, "the flying filter removes three in four");
    }
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    vxsim::ensure_preload(argc, argv);
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--short") == 0) {
            g_short = true;
            g_noise_frames = 8;
            g_flying_frames = 4;
        } else {
            args.push_back(argv[i]);
        }
    }
    int n = int(args.size());
    benchmark::Initialize(&n, args.data());
    const fs::path dir = fs::temp_directory_path() / ("vexel_bench_effects_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    vexel_init("/dev/null");
    vx_log_enable(VX_LOG_CONSOLE, 4, nullptr);
    vexel_path_cfg((dir.string() + "/").c_str());
    int rc = 0;
    {
        vxsim::Testbed tb;
        vxsim::CameraOptions o;
        o.pacing = vxsim::Pacing::fast;
        o.timing = vxsim::Timing::instant();
        o.measurement.effects.warmup = false;
        g_cam = &tb.add_camera(o);
        vexel_dev list[2];
        uint8_t calib = 1;
        if (vexel_dev_list(list, 2) != 1 || vexel_dev_open(&list[0]) != &list[0]) {
            std::fprintf(stderr, "the simulated camera does not open\n");
            rc = 1;
        } else {
            g_dev = &list[0];
            if (vexel_filter_enable(g_dev, VEXEL_FILTER_PIXEL_CALIB, &calib, 1) != 1 ||
                vexel_filter_disable(g_dev, VEXEL_FILTER_MEDIAN) != 1 ||
                vexel_cap_set_frame_buffer(g_dev, nullptr, 4 * 307200) != 1) {
                std::fprintf(stderr, "pixel calibration on, median off: refused\n");
                rc = 1;
            } else {
                benchmark::RunSpecifiedBenchmarks();
                print_tables();
                if (g_short && !check()) rc = 1;
            }
            vexel_dev_close(g_dev);
        }
    }
    benchmark::Shutdown();
    vexel_uninit();
    fs::remove_all(dir);
    return rc != 0 || g_failed ? 1 : 0;
}
