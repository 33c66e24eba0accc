// Depth-quality filters on synthetic images: each limit from both sides, and the chain on a
// scene with mixed pixels and noise judged against its truth.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include <vexel/depth_quality.h>
#include <vexel/log.h>

#include "imgproc/depth_scene.hpp"

namespace {

using dqtest::kH;
using dqtest::kW;

class DepthQuality : public ::testing::Test {
  protected:
    void SetUp() override { vx_log_enable(VX_LOG_CONSOLE, VX_LOG_OFF, nullptr); }
};

TEST_F(DepthQuality, ConfidenceFollowsTheShotNoiseRelationAndItsThresholdCutsAtTheLimit) {
    vexel_noise_model m;
    vexel_noise_model_init(&m);
    // Amplitude 1000 on offset 2048 is the simulated camera's 3 mm; noise falls as 1/A at high A.
    const float amp[] = {1000, 4000, 0, -1, 59999, 60000, 65500, 50};
    float sig[8];
    ASSERT_EQ(vexel_depth_confidence(sig, amp, nullptr, 8, 1, &m), 8);
    EXPECT_NEAR(sig[0], 3.0, 0.02);
    EXPECT_NEAR(sig[1], 3.0 / 4 * std::sqrt((2048.0 + 4000) / 3048), 0.02);
    for (int i : {2, 3, 5, 6}) EXPECT_EQ(sig[i], 65500.0f) << i;
    EXPECT_LT(sig[4], 1.0f);
    EXPECT_GT(sig[7], 40.0f);
    // Background light raises the noise without raising the amplitude; so does a background image.
    m.ambient = 4;  // 4 units per us at 500 us: 2000 more
    float lit;
    vexel_depth_confidence(&lit, amp, nullptr, 1, 1, &m);
    EXPECT_NEAR(lit, 3.0 * std::sqrt((4048.0 + 1000) / 3048), 0.02);
    const float bg = 4048;
    m.ambient = 0;
    float from_image;
    vexel_depth_confidence(&from_image, amp, &bg, 1, 1, &m);
    EXPECT_FLOAT_EQ(from_image, lit);
    m.freq_khz = 24000;  // half the range: half the noise
    vexel_depth_confidence(&lit, amp, nullptr, 1, 1, &m);
    EXPECT_NEAR(lit, 1.5, 0.01);

    // Threshold: sigma at the limit stays, just above goes; unmeasured pixels are left alone.
    float dist[] = {2.0f, 2.0f, 65.5f, 2.0f};
    const float s[] = {10.0f, 10.001f, 99.0f, 65500.0f};
    uint8_t flags[4] = {};
    EXPECT_EQ(vexel_depth_confidence_reject(dist, flags, s, 4, 1, 10.0f), 2);
    EXPECT_EQ(dist[0], 2.0f);
    EXPECT_EQ(dist[1], 65.3f);
    EXPECT_EQ(dist[2], 65.5f);
    EXPECT_EQ(dist[3], 65.3f);
    EXPECT_EQ(flags[0], 0);
    EXPECT_EQ(flags[1], VEXEL_DQ_LOW_CONFIDENCE);
    EXPECT_EQ(vexel_depth_confidence_reject(dist, flags, s, 4, 1, 0.0f), 0);

    EXPECT_EQ(vexel_depth_confidence(nullptr, amp, nullptr, 1, 1, &m), -1);
    EXPECT_EQ(vexel_depth_confidence(sig, amp, nullptr, 0, 1, &m), -1);
    EXPECT_EQ(vexel_depth_confidence(sig, amp, nullptr, 16385, 1, &m), -1);
    EXPECT_EQ(vexel_depth_confidence_reject(dist, flags, nullptr, 4, 1, 1.0f), -1);
}

// One row through `vexel_depth_flying` (five rows high, the same row each time): which columns go.
std::vector<int> flying_cols(const std::vector<float>& row, float k, const float* sigma = nullptr) {
    const int w = int(row.size()), h = 5;
    std::vector<float> img;
    std::vector<float> sig;
    for (int y = 0; y < h; ++y) {
        img.insert(img.end(), row.begin(), row.end());
        if (sigma) sig.insert(sig.end(), sigma, sigma + w);
    }
    std::vector<uint8_t> flags(img.size());
    const int n = vexel_depth_flying(img.data(), flags.data(), sigma ? sig.data() : nullptr, w, h, k);
    std::vector<int> cols;
    for (int x = 0; x < w; ++x)
        if (img[2 * size_t(w) + x] == 65.3f && flags[2 * size_t(w) + x] == VEXEL_DQ_FLYING) cols.push_back(x);
    EXPECT_EQ(n, int(cols.size()) * h);
    return cols;
}

TEST_F(DepthQuality, FlyingPixelsBetweenSurfacesGoAndSlopesUpToTheLimitStay) {
    using V = std::vector<int>;
    // One and two mixed pixels between a box at 2 m and a wall at 4 m; the surfaces' own edge
    // pixels stay, and so does a step with nothing between.
    EXPECT_EQ(flying_cols({2, 2, 2, 3, 4, 4, 4}, 6), V{3});
    EXPECT_EQ(flying_cols({2, 2, 2, 2.8f, 3.3f, 4, 4, 4}, 6), (V{3, 4}));
    EXPECT_EQ(flying_cols({4, 4, 4, 2.5f, 2, 2, 2}, 6), V{3});
    EXPECT_EQ(flying_cols({2, 2, 2, 4, 4, 4}, 6), V{});
    // Without a measurement beside it nothing is judged; a spike in front of both is noise, not flying.
    EXPECT_EQ(flying_cols({2, 2, 65.5f, 3, 65.3f, 4, 4}, 6), V{});
    EXPECT_EQ(flying_cols({4, 4, 4, 2, 4, 4, 4}, 6), V{});
    // A slope whose step ratio r gives c r / (1 + r) just under k * c / 200 stays whole; just over,
    // its inner pixels go.
    for (float k : {3.0f, 6.0f, 12.0f}) {
        const double limit = 0.005 * k;  // r / (1 + r) at the threshold
        for (double f : {0.95, 1.05}) {
            const double q = limit * f, r = q / (1 - q);
            std::vector<float> ramp;
            for (int x = 0; x < 12; ++x) ramp.push_back(float(1.5 * std::pow(1 + r, x)));
            const auto gone = flying_cols(ramp, k);
            EXPECT_EQ(gone.size(), f < 1 ? 0u : 10u) << "k " << k;  // over: all but the two ends
        }
    }
    // The pixel's noise widens the test: 2 m to 2.2 m goes at 1 mm sigma, stays at 30 mm.
    const float quiet[] = {1, 1, 1, 1, 1, 1, 1}, noisy[] = {30, 30, 30, 30, 30, 30, 30};
    EXPECT_EQ(flying_cols({2, 2, 2, 2.1f, 2.2f, 2.2f, 2.2f}, 6, quiet), V{3});
    EXPECT_EQ(flying_cols({2, 2, 2, 2.1f, 2.2f, 2.2f, 2.2f}, 6, noisy), V{});
    // Each side's noise term is 1.414 x (the pixel's sigma + the neighbour's): 2 m, 2.2 m, 2.4 m
    // goes beside a neighbour of 90 mm, stays beside one of 98 mm (limit 93.8 mm).
    for (const auto& [far_mm, gone] : {std::pair{90.0f, true}, {98.0f, false}}) {
        const float sig[] = {1, 1, 1, 1, far_mm, far_mm, far_mm};
        EXPECT_EQ(flying_cols({2, 2, 2, 2.2f, 2.4f, 2.4f, 2.4f}, 6, sig), gone ? V{3} : V{}) << far_mm;
    }
    // A pixel straddling a step reads its brighter surface, but its amplitude, so its sigma, lies
    // between its neighbours': it goes when 1.1 x (1 + 3 sigma / 1405 mm) apart each way (from
    // the bright side at 5 mm: 5.57 mm; from the dim side at 20 mm: 17.5 mm), stays within that
    // margin, and stays without a step (a change of reflectivity on one plane).
    const std::vector<float> step = {2, 2, 2, 2, 4, 4, 4}, flat = {2, 2, 2, 2, 2, 2, 2};
    for (const auto& [mid, gone] : {std::pair{5.5f, false}, {5.65f, true}, {17.0f, true}, {18.0f, false}}) {
        const float sig[] = {5, 5, 5, mid, 20, 20, 20};
        EXPECT_EQ(flying_cols(step, 6, sig), gone ? V{3} : V{}) << mid;
        EXPECT_EQ(flying_cols(flat, 6, sig), V{}) << mid;
    }
    EXPECT_EQ(flying_cols(step, 6), V{});  // no sigma: no amplitude to judge by
    // Columns as well as rows.
    std::vector<float> straddle(5 * 7), straddle_sig(5 * 7);
    for (int y = 0; y < 7; ++y)
        for (int x = 0; x < 5; ++x) {
            straddle[size_t(y) * 5 + x] = y < 4 ? 2.0f : 4.0f;
            straddle_sig[size_t(y) * 5 + x] = y < 3 ? 5.0f : (y == 3 ? 10.0f : 20.0f);
        }
    EXPECT_EQ(vexel_depth_flying(straddle.data(), nullptr, straddle_sig.data(), 5, 7, 6), 5);
    EXPECT_EQ(straddle[3 * 5 + 2], 65.3f);
    std::vector<float> col(5 * 7);
    for (int y = 0; y < 7; ++y)
        for (int x = 0; x < 5; ++x) col[size_t(y) * 5 + x] = y < 3 ? 2.0f : (y == 3 ? 3.0f : 4.0f);
    EXPECT_EQ(vexel_depth_flying(col.data(), nullptr, nullptr, 5, 7, 6), 5);
    EXPECT_EQ(col[3 * 5 + 2], 65.3f);

    // Diagonals: a plane sloping along them keeps its pixels up to the same slope (k * c / 200 per
    // pixel of distance), just under stays whole, just over loses every pixel with both diagonal
    // neighbours. And a row of mixed pixels above a hole is judged across the diagonal.
    for (float k : {3.0f, 6.0f}) {
        const double lim = 1 - std::sqrt(1 - 0.005 * std::sqrt(2.0) * k);  // 2q - q^2 at the threshold
        for (double f : {0.95, 1.05}) {
            std::vector<float> plane(8 * 8);
            for (int y = 0; y < 8; ++y)
                for (int x = 0; x < 8; ++x) plane[size_t(y) * 8 + x] = float(1.5 / std::pow(1 - lim * f, x + y));
            EXPECT_EQ(vexel_depth_flying(plane.data(), nullptr, nullptr, 8, 8, k), f < 1 ? 0 : 36) << k;
        }
    }
    std::vector<float> rim = {4.2f, 4.2f, 4.2f, 4.2f, 4.2f, 3.7f, 3.7f, 3.7f, 3.7f, 3.7f,
                              2.3f, 2.3f, 65.3f, 2.3f, 2.3f, 2.3f, 2.3f, 65.3f, 2.3f, 2.3f};
    EXPECT_EQ(vexel_depth_flying(rim.data(), nullptr, nullptr, 5, 4, 6), 5);  // the mixed row
    EXPECT_EQ(rim[7], 65.3f);  // above the hole: only its diagonals see the step

    float one = 2;
    EXPECT_EQ(vexel_depth_flying(&one, nullptr, nullptr, 1, 1, 6), 0);
    EXPECT_EQ(vexel_depth_flying(&one, nullptr, nullptr, 1, 1, 0.99f), -1);
    EXPECT_EQ(vexel_depth_flying(&one, nullptr, nullptr, 1, 1, 100.01f), -1);
    EXPECT_EQ(vexel_depth_flying(nullptr, nullptr, nullptr, 1, 1, 6), -1);
}

TEST_F(DepthQuality, TemporalQuietensAStillSceneRestartsOnChangeAndHoldsForItsPersistence) {
    constexpr int w = 64, h = 32, n = w * h;
    vexel_temporal* t = vexel_temporal_create(w, h, 2);
    ASSERT_NE(t, nullptr);
    std::mt19937 rng(5);
    std::normal_distribution<float> g(0, 0.01f);
    const std::vector<float> sigma(n, 10.0f);
    auto frame = [&](float base) {
        std::vector<float> d(n);
        for (float& v : d) v = base + g(rng);
        return d;
    };
    auto spread = [&](const std::vector<float>& d, float base) {
        double sq = 0;
        for (float v : d) sq += (v - base) * (v - base);
        return std::sqrt(sq / n);
    };
    std::vector<float> d;
    double raw = 0;
    int restarts = 0;
    for (int f = 0; f < 10; ++f) {
        d = frame(2.0f);
        raw += spread(d, 2.0f) / 10;
        restarts += vexel_depth_temporal(t, d.data(), nullptr, sigma.data(), 0.1f);
    }
    EXPECT_LT(restarts, n / 100);
    EXPECT_GE(raw / spread(d, 2.0f), 2.5);  // the mean of 10 frames: sqrt(10)
    // A step of 10 sigma restarts every pixel: the new frame comes through as it is.
    d = frame(2.1f);
    const std::vector<float> stepped = d;
    EXPECT_EQ(vexel_depth_temporal(t, d.data(), nullptr, sigma.data(), 0.1f), n);
    EXPECT_EQ(d, stepped);
    // After ten frames there, 2 sigma is within the history: averaged (a tenth of it), not restarted.
    for (int f = 0; f < 10; ++f) {
        d = frame(2.1f);
        vexel_depth_temporal(t, d.data(), nullptr, sigma.data(), 0.1f);
    }
    d = frame(2.12f);
    EXPECT_LT(vexel_depth_temporal(t, d.data(), nullptr, sigma.data(), 0.1f), n / 10);
    EXPECT_LT(spread(d, 2.102f), 0.008);  // the frame itself: 22 mm
    // Without a measurement: the last value twice, then the mark.
    std::vector<uint8_t> flags(n);
    const float kept = d[0];
    for (int f = 0; f < 3; ++f) {
        std::fill(d.begin(), d.end(), 65.3f);
        std::fill(flags.begin(), flags.end(), 0);
        vexel_depth_temporal(t, d.data(), flags.data(), sigma.data(), 0.1f);
        EXPECT_EQ(d[0], f < 2 ? kept : 65.3f) << f;
        EXPECT_EQ(flags[0], f < 2 ? VEXEL_DQ_HELD : 0) << f;
    }
    // Alpha 1 passes frames through; reset forgets.
    vexel_temporal_reset(t);
    d = frame(3.0f);
    std::vector<float> copy = d;
    vexel_depth_temporal(t, d.data(), nullptr, nullptr, 1.0f);
    d = frame(3.0f);
    copy = d;
    vexel_depth_temporal(t, d.data(), nullptr, nullptr, 1.0f);
    EXPECT_EQ(d, copy);
    EXPECT_EQ(vexel_depth_temporal(t, d.data(), nullptr, nullptr, 0.0f), -1);
    EXPECT_EQ(vexel_depth_temporal(t, d.data(), nullptr, nullptr, 1.01f), -1);
    vexel_temporal_destroy(t);
    EXPECT_EQ(vexel_temporal_create(0, 1, 2), nullptr);
    EXPECT_NE(t = vexel_temporal_create(1, 1, 7), nullptr);
    vexel_temporal_destroy(t);
    EXPECT_EQ(vexel_temporal_create(1, 1, 8), nullptr);
    vexel_temporal_destroy(nullptr);
}

// The vector loop takes whole runs of eight pixels, the scalar loop the rest: a 7-pixel image runs
// only the scalar one. Both must give the same bits, held frames, flags and restarts included.
TEST_F(DepthQuality, TemporalGivesTheSameBitsInTheVectorAndTheScalarLoop) {
    constexpr int k = 40, n = 7 * k;
    std::mt19937 rng(11);
    std::normal_distribution<float> g(0, 0.02f);
    std::uniform_real_distribution<float> u(0, 1);
    for (const bool with_sigma : {true, false}) {
        vexel_temporal* whole = vexel_temporal_create(n, 1, 3);
        std::vector<vexel_temporal*> parts(k);
        for (auto& p : parts) p = vexel_temporal_create(7, 1, 3);
        std::vector<float> base(n), sigma(n);
        for (int i = 0; i < n; ++i) {
            base[i] = 0.5f + 5 * u(rng);
            sigma[i] = 2 + 30 * u(rng);
        }
        for (int f = 0; f < 40; ++f) {
            const float alpha = f < 20 ? 0.1f : 0.5f;
            std::vector<float> d(n);
            for (int i = 0; i < n; ++i) {
                const float r = u(rng);
                d[i] = r < 0.15f ? 65.3f : r < 0.2f ? base[i] + 0.5f : base[i] + g(rng);  // holes, steps, noise
            }
            std::vector<float> split = d;
            std::vector<uint8_t> fw(n), fs(n);
            const float* sg = with_sigma ? sigma.data() : nullptr;
            const int rw = vexel_depth_temporal(whole, d.data(), fw.data(), sg, alpha);
            int rs = 0;
            for (int p = 0; p < k; ++p)
                rs += vexel_depth_temporal(parts[size_t(p)], split.data() + 7 * p, fs.data() + 7 * p,
                                           sg ? sg + 7 * p : nullptr, alpha);
            ASSERT_EQ(rw, rs) << f;
            ASSERT_EQ(fw, fs) << f;
            for (int i = 0; i < n; ++i) ASSERT_EQ(std::memcmp(&d[size_t(i)], &split[size_t(i)], 4), 0) << f << " " << i;
        }
        vexel_temporal_destroy(whole);
        for (auto* p : parts) vexel_temporal_destroy(p);
    }
}

TEST_F(DepthQuality, SpatialSmoothsWallsNotEdgesAndLeavesHolesAlone) {
    const dqtest::DepthScene s = dqtest::make_scene();
    std::vector<float> d = s.noisy;
    ASSERT_EQ(vexel_depth_spatial(d.data(), s.sigma.data(), kW, kH, 2.0f), kW * kH);
    const double wall0 = dqtest::rms(s.noisy, s, s.wall), wall1 = dqtest::rms(d, s, s.wall);
    const double edge0 = dqtest::rms(s.noisy, s, s.near_edge), edge1 = dqtest::rms(d, s, s.near_edge);
    std::printf("[ spatial  ] wall rms %.2f -> %.2f mm, edge rms %.2f -> %.2f mm\n", wall0 * 1e3, wall1 * 1e3,
                edge0 * 1e3, edge1 * 1e3);
    EXPECT_GE(wall0 / wall1, 1.8);
    EXPECT_LE(edge1, 1.1 * edge0);
    // A constant image stays; a hole stays a hole and its value never leaks into neighbours.
    std::vector<float> flat(25, 3.0f);
    flat[12] = 65.5f;
    flat[0] = 65.3f;
    vexel_depth_spatial(flat.data(), nullptr, 5, 5, 5.0f);
    for (size_t i = 1; i < flat.size(); ++i)
        EXPECT_FLOAT_EQ(flat[i], i == 12 ? 65.5f : 3.0f) << i;
    EXPECT_EQ(flat[12], 65.5f);
    EXPECT_EQ(flat[0], 65.3f);
    // A step of 4 range sigmas is an edge; a step of 1 is smoothed.
    for (float step : {0.004f, 0.001f}) {
        std::vector<float> img(9 * 3);
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 9; ++x) img[size_t(y) * 9 + x] = x < 4 ? 2.0f : 2.0f + step;
        vexel_depth_spatial(img.data(), nullptr, 9, 3, 1.0f);
        EXPECT_EQ(img[9 + 3] == 2.0f, step > 0.002f) << step;
    }
    EXPECT_EQ(vexel_depth_spatial(d.data(), nullptr, kW, kH, 0.0f), -1);
}

TEST_F(DepthQuality, FillClosesHolesUpToItsSizeFromTheSurfaceOrTheBackground) {
    struct Case {
        std::vector<float> row;
        int max_px;
        std::vector<float> want;
    };
    const float X = 65.3f, Y = 65.5f;
    const Case cases[] = {
        {{2, X, X, 2.03f}, 2, {2, 2.01f, 2.02f, 2.03f}},  // same surface: linear
        {{2, X, X, X, 2.03f}, 2, {2, X, X, X, 2.03f}},    // one too wide
        {{2, X, 4}, 1, {2, 4, 4}},                        // across an edge: the background
        {{X, 2, Y, 2}, 1, {X, 2, 2, 2}},                  // open at the border: stays
    };
    for (const Case& c : cases) {
        std::vector<float> d = c.row;
        std::vector<uint8_t> flags(d.size());
        const int n = vexel_depth_fill(d.data(), flags.data(), int(d.size()), 1, c.max_px);
        int want_n = 0;
        for (size_t i = 0; i < d.size(); ++i) {
            EXPECT_NEAR(d[i], c.want[i], 1e-5) << i;
            const bool filled = c.row[i] != c.want[i];
            want_n += filled;
            EXPECT_EQ(flags[i], filled ? VEXEL_DQ_FILLED : 0) << i;
        }
        EXPECT_EQ(n, want_n);
    }
    // Rows first, then the columns close what the rows left open; a filled pixel seeds nothing.
    std::vector<float> img = {1, 1, 1,  //
                              1, X, X,  //
                              1, X, 1};
    EXPECT_EQ(vexel_depth_fill(img.data(), nullptr, 3, 3, 1), 2);
    EXPECT_EQ(img[7], 1.0f);  // row 2
    EXPECT_EQ(img[5], 1.0f);  // column 2
    EXPECT_EQ(img[4], X);
    float one = 1;
    EXPECT_EQ(vexel_depth_fill(&one, nullptr, 1, 1, 0), -1);
    EXPECT_EQ(vexel_depth_fill(&one, nullptr, 1, 1, 65), -1);
}

// The chain on the synthetic boxes: mixed pixels that are more than 3 sigma off both surfaces go,
// the rest of the frame stays.
TEST_F(DepthQuality, FlyingOnTheBoxSceneRemovesMixedPixelsAndSparesTheRest) {
    for (double tilt : {0.0, 70.0}) {
        const dqtest::DepthScene s = dqtest::make_scene(3, tilt);
        std::vector<float> d = s.noisy;
        std::vector<uint8_t> flags(d.size());
        vexel_depth_flying(d.data(), flags.data(), s.sigma.data(), kW, kH, 6.0f);
        size_t mixed = 0, mixed_gone = 0, clean = 0, clean_gone = 0;
        for (size_t i = 0; i < d.size(); ++i) {
            const bool gone = flags[i] & VEXEL_DQ_FLYING;
            if (s.mixed[i]) {
                // A footprint mostly on one surface reads that surface: nothing to remove.
                bool off = true;
                for (float z : {2.0f, 2.5f, 3.0f, float(dqtest::wall_at(i % kW + 0.5, tilt))})
                    off &= std::fabs(s.clean[i] - z) > 0.003f * s.sigma[i] + 0.03f * z;
                if (!off) continue;
                ++mixed;
                mixed_gone += gone;
            } else {
                ++clean;
                clean_gone += gone;
            }
        }
        std::printf("[ flying   ] tilt %.0f: %zu of %zu mixed removed, %zu of %zu others\n", tilt, mixed_gone, mixed,
                    clean_gone, clean);
        EXPECT_GE(mixed_gone, mixed * 9 / 10) << tilt;
        EXPECT_LE(clean_gone, clean / 100) << tilt;
    }
}

}  // namespace
