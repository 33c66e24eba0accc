// A synthetic 320 x 240 depth frame for the depth-quality tests and benchmarks: a wall at 4 m
// turning away on the right, three box fronts at 2, 2.5 and 3 m whose borders fall inside
// pixels (mixed pixels, as a lens footprint makes them: the phasor sum of both surfaces), noise
// by the shot-noise relation, and masks of what each pixel is.
#pragma once

#include <cmath>
#include <complex>
#include <cstdint>
#include <random>
#include <vector>

#include <vexel/depth_quality.h>

namespace dqtest {

inline constexpr int kW = 320, kH = 240;
inline constexpr double kRangeM = 12.4913524;  // c / 2f at 12 MHz

struct Box {
    double x0, x1, y0, y1, z;  // pixel edges (fractional) and distance
};

struct DepthScene {
    std::vector<float> truth, clean, noisy, amp, sigma;  // clean: mixed pixels, no noise
    std::vector<uint8_t> mixed, near_edge, wall;          // masks: 1 where true
};

// Wall distance at column x: flat to column 200, then turning away by `tilt_deg` per pixel ray.
inline double wall_at(double x, double tilt_deg) {
    if (x < 200) return 4.0;
    return 4.0 + (x - 200) * (4.0 / 210.0) * std::tan(tilt_deg * M_PI / 180.0);
}

inline DepthScene make_scene(uint64_t seed = 1, double tilt_deg = 70, double noise_scale = 1.0) {
    const Box boxes[] = {{40.3, 110.6, 80.7, 200.2, 2.0}, {130.5, 180.25, 100.4, 180.8, 2.5},
                         {205.7, 260.4, 60.1, 150.6, 3.0}};
    DepthScene s;
    const size_t n = size_t(kW) * kH;
    for (auto* v : {&s.truth, &s.clean, &s.noisy, &s.amp, &s.sigma}) v->assign(n, 0.0f);
    for (auto* v : {&s.mixed, &s.near_edge, &s.wall}) v->assign(n, 0);
    std::vector<int> surface(n, -1);
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            // Phasor sum over 4 x 4 sub-rays: amplitude falls with r^2.
            std::complex<double> sum = 0;
            double asum = 0;
            int first = -2;
            bool mix = false;
            for (int sy = 0; sy < 4; ++sy)
                for (int sx = 0; sx < 4; ++sx) {
                    const double px = x + (sx + 0.5) / 4, py = y + (sy + 0.5) / 4;
                    double z = wall_at(px, tilt_deg);
                    int id = -1;
                    for (int b = 0; b < 3; ++b)
                        if (px >= boxes[b].x0 && px < boxes[b].x1 && py >= boxes[b].y0 && py < boxes[b].y1) {
                            z = boxes[b].z;
                            id = b;
                        }
                    if (first == -2) first = id;
                    mix |= id != first;
                    const double a = 1000.0 / (z * z) / 16;
                    sum += std::polar(a, 2 * M_PI * z / kRangeM);
                    asum += a;
                }
            const size_t i = size_t(y) * kW + x;
            double phase = std::arg(sum);
            if (phase < 0) phase += 2 * M_PI;
            s.clean[i] = float(phase / (2 * M_PI) * kRangeM);
            s.amp[i] = float(std::abs(sum));
            const double cx = x + 0.5, cy = y + 0.5;
            double z = wall_at(cx, tilt_deg);
            for (int b = 0; b < 3; ++b)
                if (cx >= boxes[b].x0 && cx < boxes[b].x1 && cy >= boxes[b].y0 && cy < boxes[b].y1) {
                    z = boxes[b].z;
                    surface[i] = b;
                }
            s.truth[i] = mix ? s.clean[i] : float(z);  // no single truth inside a mixed pixel
            s.mixed[i] = mix;
            (void)asum;
        }
    vexel_noise_model m;
    vexel_noise_model_init(&m);
    vexel_depth_confidence(s.sigma.data(), s.amp.data(), nullptr, kW, kH, &m);
    std::mt19937_64 rng(seed);
    std::normal_distribution<float> g(0.f, 1.f);
    for (size_t i = 0; i < n; ++i) s.noisy[i] = s.clean[i] + float(noise_scale) * 0.001f * s.sigma[i] * g(rng);
    // Within 2 px of a depth edge (a surface change or a mixed pixel); walls: at least 4 px away.
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            int near = 99;
            const size_t i = size_t(y) * kW + x;
            for (int dy = -4; dy <= 4; ++dy)
                for (int dx = -4; dx <= 4; ++dx) {
                    const int xx = x + dx, yy = y + dy;
                    if (xx < 0 || yy < 0 || xx >= kW || yy >= kH) continue;
                    const size_t j = size_t(yy) * kW + xx;
                    if (s.mixed[j] || surface[j] != surface[i]) near = std::min(near, std::max(std::abs(dx), std::abs(dy)));
                }
            s.near_edge[i] = !s.mixed[i] && near <= 2;
            s.wall[i] = !s.mixed[i] && near > 4 && x >= 4 && y >= 4 && x < kW - 4 && y < kH - 4;
        }
    return s;
}

// Root mean square error against the truth over the pixels of `mask` that are measured.
inline double rms(const std::vector<float>& d, const DepthScene& s, const std::vector<uint8_t>& mask) {
    double sq = 0;
    size_t n = 0;
    for (size_t i = 0; i < d.size(); ++i)
        if (mask[i] && d[i] > 0 && d[i] < 60) {
            const double e = d[i] - s.truth[i];
            sq += e * e;
            ++n;
        }
    return n ? std::sqrt(sq / double(n)) : 0;
}

}  // namespace dqtest
