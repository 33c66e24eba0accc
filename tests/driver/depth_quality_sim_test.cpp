// The decode's depth-quality switches against the simulated camera, judged by its ground truth:
// the predicted noise against the noise measured over frames, and the flying-pixel, temporal,
// spatial and fill steps on the boxes and a tilted wall.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include <vexel/depth_quality.h>
#include <vexel/features.h>
#include <vexel/vexel.h>

#include "chip/chip_fixture.hpp"
#include "sim/sim.hpp"

namespace {

constexpr int kW = 320, kH = 240;
constexpr uint32_t kPixels = kW * kH;

bool measured(float d) { return d > 0 && d < 60; }

class DepthQualitySim : public chiptest::ChipTest {
  protected:
    void SetUp() override {
        ChipTest::SetUp();
        vx_log_enable(VX_LOG_CONSOLE, VX_LOG_OFF, nullptr);
    }
    void TearDown() override {
        if (open_) vexel_dev_close(&dev_);
        ChipTest::TearDown();
    }

    // Pixel calibration on (the camera's own package), median and lens off: decoded pixel and
    // truth pixel are the same.
    void open(const vxsim::Measurement& m) {
        vxsim::CameraOptions o;
        o.measurement = m;
        o.pacing = vxsim::Pacing::fast;
        o.timing = vxsim::Timing::instant();
        cam_ = &tb_.add_camera(o);
        vexel_dev list[2];
        ASSERT_EQ(vexel_dev_list(list, 2), 1);
        dev_ = list[0];
        ASSERT_EQ(vexel_dev_open(&dev_), &dev_);
        open_ = true;
        uint8_t set = 1;
        ASSERT_EQ(vexel_filter_enable(&dev_, VEXEL_FILTER_PIXEL_CALIB, &set, 1), 1);
        ASSERT_EQ(vexel_filter_disable(&dev_, VEXEL_FILTER_MEDIAN), 1);
        ASSERT_EQ(vexel_cap_set_frame_buffer(&dev_, nullptr, 4 * 307200), 1);
    }

    std::vector<std::vector<uint8_t>> capture(int n) {
        std::vector<std::vector<uint8_t>> out;
        EXPECT_EQ(vexel_cap_start(&dev_), 1);
        for (int k = 0; k < n; ++k) {
            std::vector<uint8_t> raw(vxsim::kFrameBytes);
            EXPECT_EQ(vexel_cap_get_frames(&dev_, 1, raw.data(), uint32_t(raw.size()), &info_), 1);
            out.push_back(std::move(raw));
        }
        vexel_cap_stop(&dev_);
        return out;
    }

    std::vector<float> decode(const std::vector<uint8_t>& raw, bool gray = false) {
        std::vector<float> d(kPixels);
        auto fn = gray ? vexel_frame_get_gray : vexel_frame_get_distance;
        EXPECT_EQ(fn(&dev_, d.data(), kPixels, raw.data(), uint32_t(raw.size()), &info_), int(kPixels));
        return d;
    }

    void enable(int32_t id, float value) {
        ASSERT_EQ(vexel_filter_enable(&dev_, id, &value, sizeof value), 1) << id;
        float back = 0;
        EXPECT_EQ(vexel_filter_get(&dev_, id, &back, sizeof back), 1);
        EXPECT_EQ(back, value);
    }

    vxsim::Testbed tb_;
    vxsim::Camera* cam_ = nullptr;
    vexel_dev dev_{};
    vexel_frame_info info_{};
    bool open_ = false;
};

// Pixels the figures are taken on: no truth flag (mixed, saturated, bad), and a true amplitude of
// at least 50, below which a pixel's phase is mostly noise and the confidence step removes it.
bool usable(const vxsim::Truth& t, size_t i) { return !t.flags[i] && t.amplitude[i] >= 50; }

// Masks from the truth: within 2 px of a depth step of more than 5 cm, and smooth surfaces at
// least 4 px from one.
struct Regions {
    std::vector<uint8_t> edge, flat;
};

Regions regions(const vxsim::Truth& t) {
    const std::vector<float>& truth = t.distance;
    std::vector<uint8_t> step(kPixels);
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            const size_t i = size_t(y) * kW + x;
            const bool right = x + 1 < kW && std::fabs(truth[i + 1] - truth[i]) > 0.05f;
            const bool down = y + 1 < kH && std::fabs(truth[i + kW] - truth[i]) > 0.05f;
            step[i] = right || down;
        }
    Regions r{std::vector<uint8_t>(kPixels), std::vector<uint8_t>(kPixels)};
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            int near = 99;
            for (int dy = -4; dy <= 4; ++dy)
                for (int dx = -4; dx <= 4; ++dx) {
                    const int xx = x + dx, yy = y + dy;
                    if (xx >= 0 && yy >= 0 && xx < kW && yy < kH && step[size_t(yy) * kW + xx])
                        near = std::min(near, std::max(std::abs(dx), std::abs(dy)));
                }
            const size_t i = size_t(y) * kW + x;
            r.edge[i] = near <= 2 && truth[i] > 0 && usable(t, i);
            r.flat[i] = near > 4 && truth[i] > 0 && usable(t, i) && x >= 4 && y >= 4 && x < kW - 4 && y < kH - 4;
        }
    return r;
}

double rms_mm(const std::vector<float>& d, const std::vector<float>& truth, const std::vector<uint8_t>& mask) {
    double sq = 0;
    size_t n = 0;
    for (size_t i = 0; i < kPixels; ++i)
        if (mask[i] && measured(d[i])) {
            sq += (d[i] - truth[i]) * (d[i] - truth[i]);
            ++n;
        }
    return n ? 1000 * std::sqrt(sq / double(n)) : 1e9;
}

vxsim::Measurement scene(vxsim::Scene::Kind kind, double distance = 2, double tilt = 0) {
    vxsim::Measurement m;
    m.scene.kind = kind;
    m.scene.distance_m = distance;
    m.scene.tilt_deg = tilt;
    m.fpn_mm = 0;  // the pixel calibration would remove it; what is left is the noise
    // Light the surfaces relay to one another moves whole surfaces by centimetres, which none of
    // these steps is meant to undo; the judgements below are of noise, edges and motion.
    m.effects.multipath = 0;
    m.effects.warmup = false;  // a cold camera reads centimetres short at first, as evenly
    return m;
}

// Predicted sigma (from the amplitude, the shot-noise relation) against the spread of each pixel
// over 16 frames of a wall at 2.5 m (beyond the decode's weak-return limit of c/12f), for
// amplitudes up to what the samples' range holds around their offset of 2048 before they
// compress (about 1600); bad and saturated pixels by the truth are left out.
TEST_F(DepthQualitySim, ConfidencePredictsTheMeasuredNoise) {
    open(scene(vxsim::Scene::Kind::wall, 2.5));
    // Ambient light in counts per ms (20: the camera's default dim room), which the model does
    // not know about.
    const struct {
        double rho, ambient;
    } cases[] = {{0.16, 20}, {1.25, 20}, {6.0, 20}, {1.25, 0}, {1.25, 1000}};
    for (auto [rho, ambient] : cases) {
        vxsim::Measurement m = scene(vxsim::Scene::Kind::wall, 2.5);
        m.reflectivity = rho;
        m.effects.ambient = ambient;
        cam_->set_measurement(m);
        const std::vector<uint8_t> flags = cam_->truth().flags;
        auto tr_flags = [&](size_t i) { return flags[i]; };
        const auto raws = capture(16);
        std::vector<double> sum(kPixels), sq(kPixels), amp(kPixels);
        std::vector<int> n(kPixels);
        for (const auto& raw : raws) {
            const std::vector<float> d = decode(raw), a = decode(raw, true);
            for (size_t i = 0; i < kPixels; ++i)
                if (measured(d[i])) {
                    sum[i] += d[i];
                    sq[i] += double(d[i]) * d[i];
                    amp[i] += a[i];
                    ++n[i];
                }
        }
        std::vector<float> a_mean(kPixels), predicted(kPixels);
        for (size_t i = 0; i < kPixels; ++i) a_mean[i] = n[i] ? float(amp[i] / n[i]) : 0.0f;
        vexel_noise_model model;
        vexel_noise_model_init(&model);
        ASSERT_EQ(vexel_depth_confidence(predicted.data(), a_mean.data(), nullptr, kW, kH, &model), int(kPixels));
        // Median ratio per amplitude band (the LED beam and the vignetting spread one wall's
        // amplitudes over a range); bands with too few pixels are left out.
        const double bands[] = {0, 50, 150, 500, 1500, 4096};
        std::vector<double> ratio[5];
        for (size_t i = 0; i < kPixels; ++i) {
            if (n[i] < 16 || (tr_flags(i) & (vxsim::kTruthBadPixel | vxsim::kTruthSaturated))) continue;
            const double mean = sum[i] / 16, var = std::max(sq[i] / 16 - mean * mean, 0.0) * 16 / 15;
            for (int b = 0; b < 5; ++b)
                if (a_mean[i] >= bands[b] && a_mean[i] < bands[b + 1])
                    ratio[b].push_back(1000 * std::sqrt(var) / predicted[i]);
        }
        int banded = 0;
        for (int b = 0; b < 5; ++b) {
            std::vector<double>& r = ratio[b];
            if (r.size() < 500) continue;
            ++banded;
            std::nth_element(r.begin(), r.begin() + long(r.size() / 2), r.end());
            const double med = r[r.size() / 2];
            std::printf("[ confidence ] rho %.2f, ambient %4.0f, amplitude %4.0f-%4.0f: measured / predicted sigma "
                        "%.2f (median of %zu pixels)\n",
                        rho, ambient, bands[b], bands[b + 1], med, r.size());
            EXPECT_GT(med, 1 / 1.5) << rho << " " << b;
            EXPECT_LT(med, 1.5) << rho << " " << b;
        }
        EXPECT_GE(banded, 1) << rho;
    }
}

// The switches on the decode: each reported by vexel_filter_get, and judged against the truth.
TEST_F(DepthQualitySim, DecodeStepsCleanTheBoxesAgainstTheTruth) {
    open(scene(vxsim::Scene::Kind::boxes));
    const vxsim::Truth tr = cam_->truth();
    const std::vector<float>& truth = tr.distance;
    const Regions reg = regions(tr);
    const auto raws = capture(40);
    const std::vector<float> plain = decode(raws[0]);
    for (int32_t id = VEXEL_FILTER_CONFIDENCE; id <= VEXEL_FILTER_FILL; ++id)
        EXPECT_EQ(vexel_filter_get(&dev_, id, nullptr, 0), 0) << id;  // all off after open
    EXPECT_EQ(vexel_filter_get(&dev_, VEXEL_FILTER_MEDIAN, nullptr, 0), 0);
    EXPECT_EQ(vexel_filter_get(&dev_, 99, nullptr, 0), -1);
    float bad = 0.5f;
    EXPECT_EQ(vexel_filter_enable(&dev_, VEXEL_FILTER_FLYING, &bad, 4), 0);  // below 1
    EXPECT_EQ(vexel_filter_enable(&dev_, VEXEL_FILTER_FLYING, nullptr, 4), 0);

    // Flying pixels: the truth's mixed pixels go, the unflagged ones stay; a tilted wall keeps its
    // measured pixels (below).
    enable(VEXEL_FILTER_FLYING, 6.0f);
    // Fraction of the measured pixels of `which` that `after` no longer has.
    auto lost = [&](const std::vector<float>& before, const std::vector<float>& after, auto which) {
        size_t had = 0, gone = 0;
        for (size_t i = 0; i < kPixels; ++i)
            if (which(i)) {
                had += measured(before[i]);
                gone += measured(before[i]) && !measured(after[i]);
            }
        return double(gone) / double(std::max<size_t>(had, 1));
    };
    const std::vector<float> fly = decode(raws[0]);
    // A flagged mixed pixel whose value lies off every surface of its 3 x 3 truth neighbourhood
    // (by more than 3 sigma + 3 %) is a flying pixel; one that lies on a surface (its footprint
    // mostly there) is a point of that surface.
    const std::vector<float> amp = decode(raws[0], true);
    std::vector<float> sigma(kPixels);
    ASSERT_EQ(vexel_depth_confidence(sigma.data(), amp.data(), nullptr, kW, kH, nullptr), int(kPixels));
    auto flying_truth = [&](size_t i) {
        const int x = int(i % kW), y = int(i / kW);
        if (!(tr.flags[i] & vxsim::kTruthMixed) || x == 0 || y == 0 || x == kW - 1 || y == kH - 1) return false;
        double off = 1e9;
        for (int dy = -1; dy <= 1; ++dy)
            for (int dx = -1; dx <= 1; ++dx) {
                const float t = truth[size_t(int(i) + dy * kW + dx)];
                if (t > 0) off = std::min(off, std::fabs(double(plain[i]) - t));
            }
        return off > 3 * sigma[i] / 1000 + 0.03 * plain[i];
    };
    const double flying_gone = lost(plain, fly, flying_truth);
    // The figures on mixed and unflagged pixels over eight frames, so one frame's noise does not decide them.
    size_t mixed_had = 0, mixed_lost = 0, un_had = 0, un_lost = 0, use_had = 0, use_lost = 0;
    for (size_t f = 0; f < 8; ++f) {
        ASSERT_EQ(vexel_filter_disable(&dev_, VEXEL_FILTER_FLYING), 1);
        const std::vector<float> before = f ? decode(raws[f]) : plain;
        enable(VEXEL_FILTER_FLYING, 6.0f);
        const std::vector<float> after = f ? decode(raws[f]) : fly;
        for (size_t i = 0; i < kPixels; ++i) {
            const bool had = measured(before[i]), gone = had && !measured(after[i]);
            const bool mixed = tr.flags[i] & vxsim::kTruthMixed;
            mixed_had += mixed && had;
            mixed_lost += mixed && gone;
            un_had += !tr.flags[i] && had;
            un_lost += !tr.flags[i] && gone;
            use_had += usable(tr, i) && had;
            use_lost += usable(tr, i) && gone;
        }
    }
    const double mixed_gone = double(mixed_lost) / double(mixed_had), boxes_lost = double(un_lost) / double(un_had);
    const double boxes_usable_lost = double(use_lost) / double(use_had);
    ASSERT_EQ(vexel_filter_disable(&dev_, VEXEL_FILTER_FLYING), 1);
    EXPECT_EQ(decode(raws[0]), plain);

    // Temporal: ten frames of the still scene against one.
    enable(VEXEL_FILTER_TEMPORAL, 0.1f);
    std::vector<float> t;
    for (int f = 0; f < 10; ++f) t = decode(raws[size_t(f)]);
    ASSERT_EQ(vexel_filter_disable(&dev_, VEXEL_FILTER_TEMPORAL), 1);
    // The noise is the departure from the pixel's own mean over 30 other frames (which holds the
    // camera's systematic errors: wiggling, calibration residue).
    std::vector<float> mean(kPixels);
    std::vector<uint8_t> steady = reg.flat;
    for (size_t f = 10; f < raws.size(); ++f) {
        const std::vector<float> d = decode(raws[f]);
        for (size_t i = 0; i < kPixels; ++i) {
            mean[i] += d[i] / float(raws.size() - 10);
            steady[i] &= measured(d[i]);
        }
    }
    const double one = rms_mm(decode(raws[9]), mean, steady), ten = rms_mm(t, mean, steady);

    // Spatial on one frame: walls quieter, edges no worse than 10 %.
    enable(VEXEL_FILTER_SPATIAL, 3.0f);
    const std::vector<float> s = decode(raws[0]);
    ASSERT_EQ(vexel_filter_disable(&dev_, VEXEL_FILTER_SPATIAL), 1);
    const double flat0 = rms_mm(plain, truth, reg.flat), flat1 = rms_mm(s, truth, reg.flat);
    const double edge0 = rms_mm(plain, truth, reg.edge), edge1 = rms_mm(s, truth, reg.edge);

    // Fill never removes a measurement and marks nothing it did not fill.
    enable(VEXEL_FILTER_FILL, 4.0f);
    const std::vector<float> filled = decode(raws[0]);
    size_t more = 0;
    for (size_t i = 0; i < kPixels; ++i) {
        if (measured(plain[i])) {
            EXPECT_EQ(filled[i], plain[i]) << i;
        }
        more += !measured(plain[i]) && measured(filled[i]);
    }
    ASSERT_EQ(vexel_filter_disable(&dev_, VEXEL_FILTER_FILL), 1);  // it would fill what the flying step removes

    std::printf("[ flying   ] boxes, 8 frames: %.1f %% of flagged mixed pixels removed (frame 0: %.1f %% of those off "
                "every surface), "
                "%.3f %% of unflagged pixels (%.3f %% of those with amplitude >= 50)\n",
                100 * mixed_gone, 100 * flying_gone, 100 * boxes_lost, 100 * boxes_usable_lost);
    std::printf("[ temporal ] flat noise %.2f mm one frame, %.2f mm after 10 frames (%.2fx)\n", one, ten, one / ten);
    std::printf("[ spatial  ] flat rms %.2f -> %.2f mm (%.2fx), edge rms %.2f -> %.2f mm (%+.1f %%)\n", flat0, flat1,
                flat0 / flat1, edge0, edge1, 100 * (edge1 / edge0 - 1));
    std::printf("[ fill     ] %zu holes filled\n", more);
    EXPECT_GE(flying_gone, 0.9);
    EXPECT_GE(mixed_gone, 0.9);
    EXPECT_LE(boxes_lost, 0.01);
    EXPECT_GT(boxes_lost, 0.0);  // the floor of a figure that would show a filter that removes nothing
    EXPECT_GE(one / ten, 2.5);
    EXPECT_GE(flat0 / flat1, 1.8);
    EXPECT_LE(edge1, 1.1 * edge0);

    // Tilted walls: nothing of what the noise lets be measured (amplitude >= 50) goes, and at most
    // 1 % of all, the dimmest pixels included, whose sigma is tens of centimetres.
    for (const double deg : {60.0, 70.0}) {
        cam_->set_measurement(scene(vxsim::Scene::Kind::tilt, 2.0, deg));
        const vxsim::Truth tt = cam_->truth();
        const std::vector<uint8_t> tilt_raw = capture(2)[1];
        ASSERT_EQ(vexel_filter_disable(&dev_, VEXEL_FILTER_FLYING), 1);
        const std::vector<float> tilt_plain = decode(tilt_raw);
        enable(VEXEL_FILTER_FLYING, 6.0f);
        const std::vector<float> tilt_fly = decode(tilt_raw);
        const double tilt_usable = lost(tilt_plain, tilt_fly, [&](size_t i) { return usable(tt, i); });
        const double tilt_unflagged = lost(tilt_plain, tilt_fly, [&](size_t i) { return tt.flags[i] == 0; });
        std::printf("[ flying   ] wall tilted %.0f degrees: %.3f %% of unflagged pixels removed, %.3f %% of those with "
                    "amplitude >= 50\n",
                    deg, 100 * tilt_unflagged, 100 * tilt_usable);
        EXPECT_LE(tilt_usable, 0.001) << deg;
        EXPECT_LE(tilt_unflagged, 0.01) << deg;
    }
}

// The temporal step on a moving box: a pixel the box has reached (or left) by a jump, or whose
// surface slides towards the camera, must read within twice the single-frame error of the same
// pixels after two frames, not carry the old distance along (judged on each frame's own truth).
TEST_F(DepthQualitySim, TemporalLetsAMovingBoxGoWithinTwoFrames) {
    struct Case {
        const char* what;
        const char* motion;
    };
    const Case cases[] = {{"towards the camera", "box2:0,0,-0.6"}, {"across", "box2:0.6,0,0"}};
    constexpr int kFrames = 16, kFrom = 8;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        vxsim::Measurement m = scene(vxsim::Scene::Kind::boxes);
        ASSERT_TRUE(m.scene.set_motion(c.motion));
        m.effects.subrays = 1;  // a moving scene is traced four times a frame: one ray a pixel
        if (!open_)
            open(m);
        else
            cam_->set_measurement(m);
        ASSERT_EQ(vexel_cap_start(&dev_), 1);
        std::vector<std::vector<uint8_t>> raws;
        std::vector<vexel_frame_info> infos;
        std::vector<vxsim::Truth> truths;
        for (int k = 0; k < kFrames; ++k) {
            std::vector<uint8_t> raw(vxsim::kFrameBytes);
            vexel_frame_info info{};
            // A moving scene renders slowly; under load a frame may come after the host's wait.
            int got = 0;
            for (int tries = 0; tries < 5 && got != 1; ++tries)
                got = vexel_cap_get_frames(&dev_, 1, raw.data(), uint32_t(raw.size()), &info);
            ASSERT_EQ(got, 1) << k;
            raws.push_back(std::move(raw));
            infos.push_back(info);
        }
        vexel_cap_stop(&dev_);
        for (const auto& info : infos) {  // the camera remembers the last frames it exposed
            const auto t = cam_->truth(info.frame_idx);
            ASSERT_TRUE(t) << info.frame_idx;
            truths.push_back(*t);
        }
        std::vector<std::vector<float>> plain, filtered;
        for (int k = 0; k < kFrames; ++k) {
            info_ = infos[size_t(k)];
            plain.push_back(decode(raws[size_t(k)]));
        }
        enable(VEXEL_FILTER_TEMPORAL, 0.1f);
        for (int k = 0; k < kFrames; ++k) {
            info_ = infos[size_t(k)];
            filtered.push_back(decode(raws[size_t(k)]));
        }
        ASSERT_EQ(vexel_filter_disable(&dev_, VEXEL_FILTER_TEMPORAL), 1);

        // Groups 0..2: the truth jumped by more than 5 cm that many frames ago; 3: no jump in
        // four frames, but the surface moved more than 1 cm over the last two.
        double sq[4][2] = {};
        size_t n[4] = {};
        for (int f = kFrom; f < kFrames; ++f)
            for (size_t i = 0; i < kPixels; ++i) {
                const auto& t = truths[size_t(f)];
                if (!usable(t, i) || t.distance[i] == 0 || !measured(plain[size_t(f)][i]) ||
                    !measured(filtered[size_t(f)][i]))
                    continue;
                int group = 3;
                for (int a = 0; a < 4 && group == 3; ++a)
                    if (std::fabs(truths[size_t(f - a)].distance[i] - truths[size_t(f - a - 1)].distance[i]) > 0.05f)
                        group = a < 3 ? a : -1;
                if (group == 3 && std::fabs(t.distance[i] - truths[size_t(f - 2)].distance[i]) <= 0.01f) continue;
                if (group < 0) continue;
                ++n[group];
                for (int which = 0; which < 2; ++which) {
                    const double e = (which ? filtered : plain)[size_t(f)][i] - t.distance[i];
                    sq[group][which] += e * e;
                }
            }
        double ratio[4];
        for (int g = 0; g < 4; ++g) {
            ratio[g] = n[g] ? std::sqrt(sq[g][1] / sq[g][0]) : 0;
            std::printf("[ temporal ] box %s, %s: %zu pixel-frames, rms %.1f mm one frame, %.1f mm filtered (%.2fx)\n",
                        c.what, g < 3 ? (g == 0 ? "reached this frame" : g == 1 ? "one frame ago" : "two frames ago")
                                      : "sliding surface",
                        n[g], 1000 * std::sqrt(sq[g][0] / double(std::max<size_t>(n[g], 1))),
                        1000 * std::sqrt(sq[g][1] / double(std::max<size_t>(n[g], 1))), ratio[g]);
        }
        EXPECT_GT(n[2] + n[3], 500u);
        EXPECT_LE(ratio[2], 2.0);
        EXPECT_LE(ratio[3], 2.0);
    }
}

}  // namespace
