// The camera in time: settings reach the exposure a fixed number of frames after they are
// written, and the four DCS of a frame are exposed one after another, so a moving edge smears
// into samples of two surfaces. Driven at the firmware, where the frame a write lands before is
// known exactly.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "sim/firmware/firmware.hpp"

namespace {

constexpr unsigned W = 320, H = 240, N = W * H;
constexpr double kC2 = 149896229.0;

vxsim::CameraOptions camera(const char* scene, unsigned latency) {
    vxsim::CameraOptions o;
    o.measurement.scene = *vxsim::Scene::parse(scene);
    o.measurement.effects = vxsim::Effects::none();
    o.measurement.effects.latency_frames = latency;
    o.measurement.noise_mm = 0;
    o.measurement.fpn_mm = 0;
    o.measurement.phase_offset = 0;
    o.timing = vxsim::Timing::instant();
    o.packet_payload = 0;  // a frame per packet
    return o;
}

void start(vxsim::Firmware& fw) {
    std::vector<uint8_t> in;
    const uint8_t data[4] = {};
    ASSERT_EQ(fw.control({0x22, 0xC2, 4, 0, 4}, data, in, vxsim::Firmware::Clock::now()),
              vxsim::Action::start_stream);
}

// Distance (at f_khz) and amplitude of every image pixel of the next frame the firmware sends.
struct Decoded {
    uint16_t index = 0;
    std::vector<double> dist, amp;
};
Decoded next_frame(vxsim::Firmware& fw, double f_khz) {
    std::vector<uint8_t> pkt(36 + vxsim::kFrameBytes);
    EXPECT_EQ(fw.produce(pkt.data(), pkt.size(), false), pkt.size());
    Decoded d{uint16_t(pkt[12] | pkt[13] << 8), std::vector<double>(N), std::vector<double>(N)};
    auto sample = [&](unsigned k, unsigned r) {
        uint16_t v;
        std::memcpy(&v, &pkt[36 + 2 * (k * N + r)], 2);
        return double(v & 0xFFF);
    };
    for (unsigned r = 0; r < N; ++r) {
        const unsigned i = r / W, row = i % 2 ? H / 2 + i / 2 : H / 2 - 1 - i / 2, q = row * W + r % W;
        // x = d3 - d1 = -2A sin phi, y = d2 - d0 = -2A cos phi
        const double x = sample(3, r) - sample(1, r), y = sample(2, r) - sample(0, r);
        double phi = std::atan2(-x, -y);
        if (phi < 0) phi += 2 * M_PI;
        d.dist[q] = phi / (2 * M_PI) * kC2 / (f_khz * 1000);
        d.amp[q] = std::hypot(x, y) / 2;
    }
    return d;
}

// Integration time, modulation frequency and frame rate written between two readouts reach
// the sensor exactly `latency` frames later: the frame before still shows the old settings.
TEST(Time, SettingsReachTheExposureLatencyFramesAfterTheyAreWritten) {
    constexpr unsigned kWriteBefore = 3;  // written after frame 2 is read out
    for (unsigned latency : {0u, 1u, 2u, 4u}) {
        SCOPED_TRACE(latency);
        vxsim::Firmware fw(camera("wall:1.5", latency));
        fw.power_on();
        start(fw);
        const unsigned centre = 120 * W + 160;
        double amp_before = 0;
        for (unsigned n = 0; n < kWriteBefore + latency + 3; ++n) {
            if (n == kWriteBefore) {
                fw.set_param(13, {0xE8, 0x03});         // 1000 us
                fw.set_reg(1, 133, 0);                  // modulation code 0: 24 MHz
                fw.set_param(12, {60, 0, 0, 0});        // 60 fps
            }
            fw.capture_frame();
            const bool landed = n >= kWriteBefore + latency;
            EXPECT_EQ(fw.frame_rate(), landed ? 60u : 30u) << "frame " << n;
            // Read at the old frequency, the new one doubles the phase: 1.5 m reads 3 m.
            const Decoded d = next_frame(fw, 12000);
            EXPECT_EQ(d.index, n);
            EXPECT_NEAR(d.dist[centre], landed ? 3.0 : 1.5, 0.02) << "frame " << n;
            if (n == 0) amp_before = d.amp[centre];
            EXPECT_NEAR(d.amp[centre] / amp_before, landed ? 2.0 : 1.0, 0.02) << "frame " << n;
        }
    }
}

// A box crossing the wall behind it at 8 m/s. DCS k sees the scene at t + k * 2.5 ms (500 us
// integration and 2 ms readout per DCS), so pixels the edge passes during those 7.5 ms mix the
// box's and the wall's samples and read neither distance; every other pixel reads the truth.
TEST(Time, MovingEdgesSmearAcrossTheFourExposuresAndNowhereElse) {
    constexpr double kDcsPeriod = 2.5e-3;
    for (double speed : {0.0, 8.0}) {
        SCOPED_TRACE(speed);
        vxsim::CameraOptions o = camera("boxes", 1);
        o.measurement.reflectivity = 1;
        ASSERT_TRUE(o.measurement.scene.set_motion("box2:" + std::to_string(speed) + ",0,0"));
        vxsim::Firmware fw(o);
        fw.power_on();
        start(fw);
        fw.capture_frame();
        fw.capture_frame();  // the second frame: t = 1/30 s
        next_frame(fw, 12000);
        const Decoded d = next_frame(fw, 12000);
        ASSERT_EQ(d.index, 1);
        const auto exposed = fw.exposure(1);
        ASSERT_TRUE(exposed);
        EXPECT_NEAR(exposed->t_s, 1 / 30.0, 1e-9);
        // The truth at each DCS's own time.
        std::vector<vxsim::Truth> at;
        for (int k = 0; k < 4; ++k) at.push_back(fw.model().truth(exposed->settings, exposed->t_s + k * kDcsPeriod));
        const vxsim::Truth flagged = fw.model().truth(exposed->settings, exposed->t_s);

        unsigned steady_bad = 0, steady = 0, smeared = 0, smeared_wrong = 0, flag_mismatch = 0;
        std::vector<unsigned> per_row(H, 0);
        for (unsigned q = 0; q < N; ++q) {
            if (at[0].distance[q] == 0 || d.amp[q] < 50) continue;
            double lo = 1e9, hi = 0;
            for (const auto& t : at) {
                lo = std::min<double>(lo, t.distance[q]);
                hi = std::max<double>(hi, t.distance[q]);
            }
            // Where the edge meets the floor the surfaces differ by less than the flag's 5 cm.
            const bool moved = hi - lo > 0.05;
            if (!moved && hi - lo > 0.001) continue;
            flag_mismatch += moved != bool(flagged.flags[q] & vxsim::kTruthMoving);
            if (!moved) {
                ++steady;
                // Within quantisation: whole-count samples turn the phase by up to atan(1/A).
                steady_bad += std::abs(d.dist[q] - at[0].distance[q]) > 0.002 + 1.5 / d.amp[q];
                continue;
            }
            ++smeared;
            ++per_row[q / W];
            smeared_wrong += std::abs(d.dist[q] - lo) > 0.05 && std::abs(d.dist[q] - hi) > 0.05;
        }
        ASSERT_GT(steady, N / 2);
        EXPECT_EQ(steady_bad, 0u);
        EXPECT_EQ(flag_mismatch, 0u);
        if (speed == 0) {
            EXPECT_EQ(smeared, 0u);
            continue;
        }
        // Two edges, each sweeping 8 m/s * 7.5 ms = 6 cm at 2.4 m: about 5 pixels of 210.8 px/m.
        std::vector<unsigned> rows;
        for (unsigned n : per_row)
            if (n) rows.push_back(n);
        ASSERT_GT(rows.size(), 60u);
        std::nth_element(rows.begin(), rows.begin() + rows.size() / 2, rows.end());
        EXPECT_NEAR(rows[rows.size() / 2], 2 * 0.06 * 210.8 / 2.4, 2.5);
        EXPECT_GT(smeared_wrong, smeared / 2) << smeared_wrong << " of " << smeared;
    }
}

}  // namespace
