// Multipath in the corner: the walls light each other, so a pixel near the concave corner also
// collects light that came the long way round and reads too far; the truth flags those pixels.
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim/sensor/lens.hpp"
#include "sim/sensor/model.hpp"

namespace {

constexpr unsigned W = 320, H = 240, N = W * H;

double median(std::vector<double> v) {
    if (v.empty()) return NAN;
    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    return v[v.size() / 2];
}

// A frame of the clean instrument with multipath of `strength`, decoded at 12 MHz: per image
// pixel the error against the truth, and the truth.
struct Seen {
    std::vector<double> err;
    vxsim::Truth truth;
};
Seen look(const char* scene, double strength) {
    vxsim::Measurement m;
    m.scene = *vxsim::Scene::parse(scene);
    m.effects = vxsim::Effects::none();
    m.effects.multipath = strength;
    m.noise_mm = 0;
    m.fpn_mm = 0;
    m.phase_offset = 0;
    m.reflectivity = 1;
    vxsim::MeasurementModel model(m);
    vxsim::SensorSettings s;
    s.integration_us = 1500;
    std::vector<uint16_t> raw(N * 4);
    model.render(s, 0, raw.data());
    Seen out{std::vector<double>(N), model.truth(s)};
    const double range_m = 149896229.0 / (s.freq_khz * 1000.0);
    for (unsigned r = 0; r < N; ++r) {
        const double x = double(raw[3 * N + r] & 0xFFF) - (raw[N + r] & 0xFFF);
        const double y = double(raw[2 * N + r] & 0xFFF) - (raw[r] & 0xFFF);
        double phi = std::atan2(-x, -y);
        if (phi < 0) phi += 2 * M_PI;
        const unsigned q = vxsim::image_row(r / W) * W + r % W;
        out.err[q] = phi / (2 * M_PI) * range_m - out.truth.distance[q];
    }
    return out;
}

// The walls light each other: a wall pixel collects light that came by the other wall, reads
// long, and most where the other wall relays much light over a path much longer than its own.
// At the apex itself the relayed light comes nearly the direct way, so the error there is
// smaller than half a metre out; towards the far ends of the walls it falls again.
TEST(Multipath, CornerWallsReadLongAndOnlyWithMultipath) {
    constexpr double kBins[] = {0, 0.25, 0.5, 1.0, 2.0};  // distance from the corner along the wall, m
    for (double strength : {1.0, 0.0}) {
        SCOPED_TRACE(strength);
        const Seen seen = look("corner:3", strength);
        std::vector<std::vector<double>> err(4);
        for (unsigned row = 0; row < 100; ++row)  // the walls above the camera: the floor is 1 m below
            for (unsigned u = 0; u < W; ++u) {
                const unsigned q = row * W + u;
                if (seen.truth.amplitude[q] < 300) continue;
                double rx, ry;
                vxsim::undistort(u, row, rx, ry);
                const double from_corner =
                    std::abs(rx) * seen.truth.distance[q] / std::sqrt(rx * rx + ry * ry + 1) * std::sqrt(2.0);
                for (unsigned b = 0; b < 4; ++b)
                    if (from_corner >= kBins[b] && from_corner < kBins[b + 1]) err[b].push_back(seen.err[q]);
            }
        for (const auto& b : err) ASSERT_GT(b.size(), 100u);
        const double m0 = median(err[0]), m1 = median(err[1]), m2 = median(err[2]), m3 = median(err[3]);
        std::printf("multipath %.1f: median error 0-0.25 / 0.25-0.5 / 0.5-1 / 1-2 m from the corner: "
                    "%.1f / %.1f / %.1f / %.1f mm\n",
                    strength, m0 * 1000, m1 * 1000, m2 * 1000, m3 * 1000);
        if (strength > 0) {
            EXPECT_GT(m0, 0.03);
            EXPECT_GT(m1, m0 + 0.02);
            EXPECT_GT(m2, m1);
            EXPECT_GT(m2, m3 + 0.02);
            EXPECT_GT(m3, 0.03);
        } else {
            for (const auto& b : err)
                for (double e : b) ASSERT_LT(std::abs(e), 0.004);
        }
    }
}

// The truth's multipath flag is where the relayed light moves the phase by more than 5 mm: the
// decode agrees pixel by pixel (within quantisation), in the corner, between the boxes and on
// a plain wall, which relays nothing to itself.
TEST(Multipath, TruthFlagsThePixelsTheRelayedLightMoves) {
    for (const char* scene : {"corner:3", "boxes", "wall:2"}) {
        SCOPED_TRACE(scene);
        const Seen on = look(scene, 1), off = look(scene, 0);
        unsigned flagged = 0, flagged_far = 0, clean = 0, clean_near = 0, flags_off = 0;
        for (unsigned q = 0; q < N; ++q) {
            flags_off += (off.truth.flags[q] & vxsim::kTruthMultipath) != 0;
            if (on.truth.amplitude[q] < 300 || (on.truth.flags[q] & ~vxsim::kTruthMultipath)) continue;
            const double pull = std::abs(on.err[q] - off.err[q]);
            if (on.truth.flags[q] & vxsim::kTruthMultipath) {
                ++flagged;
                flagged_far += pull > 0.003;
            } else {
                ++clean;
                clean_near += pull < 0.007;
            }
        }
        std::printf("%s: %u pixels flagged, %u moved > 3 mm; %u not flagged, %u moved < 7 mm\n", scene, flagged,
                    flagged_far, clean, clean_near);
        EXPECT_EQ(flags_off, 0u);
        EXPECT_GE(flagged_far, flagged * 0.99);
        EXPECT_GE(clean_near, clean * 0.98);
        if (std::string(scene) == "wall:2") {
            EXPECT_EQ(flagged, 0u);
        } else {
            EXPECT_GT(flagged, 5000u);
        }
        if (std::string(scene) == "boxes") {
            EXPECT_GT(clean, 1000u);
        }
    }
}

}  // namespace
