#include "sim/sensor/model.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "sim/scenes/scene.hpp"
#include "sim/sensor/lens.hpp"
#include "sim/sensor/random.hpp"

namespace vxsim {

namespace {

constexpr double kRefAmplitude = 1000.0;  // noise_mm is the distance sigma at this amplitude
constexpr double kFpnSmoothShare = 0.9;   // of the fixed-pattern sigma; the rest is pixel noise

}  // namespace

uint16_t range_unit_mm(uint32_t freq_khz) {
    return static_cast<uint16_t>(static_cast<uint32_t>(kSpeedOfLightDiv2 / std::max<uint32_t>(freq_khz, 1)));
}

double phase_per_mm(uint32_t freq_khz) {
    return double(kPhasePeriod) / std::max<uint16_t>(range_unit_mm(freq_khz), 1);
}

double drift_phase(const SensorSettings& s) {
    const double k = phase_per_mm(s.freq_khz);
    return (s.illum_temp - kCalibIllumTemp) * kIllumDriftMm * k +
           std::max(0, s.sensor_temp - kCalibSensorTemp) * kSensorDriftMm * k;
}

int32_t calib_drnu_offset(int32_t phase_offset) {
    // The host sets its offset phase to trunc(885000 / U10 - D); pick the D that makes it -g.
    const auto u10 = static_cast<uint16_t>(static_cast<uint32_t>(kSpeedOfLightDiv2 / (kCalibFreqKhz * 10.0)));
    const double a = 885000.0 / u10;
    for (double base : {std::floor(a), std::ceil(a)}) {
        const auto d = static_cast<int32_t>(phase_offset + base);
        if (static_cast<int32_t>(a - d) == -phase_offset) return d;
    }
    return static_cast<int32_t>(phase_offset + std::ceil(a));
}

MeasurementModel::MeasurementModel(const Measurement& m) : m_(m) {}

void MeasurementModel::set(const Measurement& m) {
    const bool same_fpn = m.fpn_mm == m_.fpn_mm && m.seed == m_.seed;
    m_ = m;
    have_geometry_ = false;
    have_prepared_ = false;
    have_fpn_ = have_fpn_ && same_fpn;
}

const std::vector<float>& MeasurementModel::fixed_pattern() {
    if (have_fpn_) return fpn_;
    fpn_.assign(kPixels, 0.0f);
    have_fpn_ = true;
    if (m_.fpn_mm == 0) return fpn_;
    // A smooth field of a few low spatial frequencies, scaled to unit sigma, plus pixel noise.
    uint64_t rng = m_.seed ^ 0xD1B54A32D192ED03ull;
    struct Wave {
        double fu, fv, ph;
    } waves[6];
    for (auto& w : waves)
        w = {uniform(rng) * 5 - 2.5, uniform(rng) * 5 - 2.5, uniform(rng) * 2 * std::numbers::pi};
    std::vector<double> smooth(kPixels);
    double sum = 0, sum2 = 0;
    for (unsigned v = 0; v < kHeight; ++v)
        for (unsigned u = 0; u < kWidth; ++u) {
            double s = 0;
            for (const auto& w : waves)
                s += std::cos(2 * std::numbers::pi * (w.fu * u / kWidth + w.fv * v / kHeight) + w.ph);
            smooth[v * kWidth + u] = s;
            sum += s;
            sum2 += s * s;
        }
    const double mean = sum / kPixels, sd = std::sqrt(std::max(sum2 / kPixels - mean * mean, 1e-12));
    const double scale = m_.fpn_mm * phase_per_mm(kCalibFreqKhz);
    const double noise_share = std::sqrt(1 - kFpnSmoothShare * kFpnSmoothShare);
    for (unsigned q = 0; q < kPixels; ++q)
        fpn_[q] = static_cast<float>(
            scale * (kFpnSmoothShare * (smooth[q] - mean) / sd + noise_share * gaussian(rng)));
    return fpn_;
}

void MeasurementModel::build_geometry() {
    ray_m_.assign(kPixels, 0.0);
    irradiance_.assign(kPixels, 0.0);
    have_geometry_ = true;
    if (m_.scene.kind == Scene::Kind::pattern) return;
    for (unsigned v = 0; v < kHeight; ++v)
        for (unsigned u = 0; u < kWidth; ++u) {
            double d[3] = {0, 0, 1};
            undistort(u, v, d[0], d[1]);
            const Hit h = trace(m_.scene, d);
            if (!std::isfinite(h.t)) continue;
            const double len = std::sqrt(d[0] * d[0] + d[1] * d[1] + 1);
            const double r = h.t * len;
            ray_m_[v * kWidth + u] = r;
            irradiance_[v * kWidth + u] = m_.reflectivity * h.rho * (h.cos_dn / len) / (r * r);
        }
}

Truth MeasurementModel::truth(const SensorSettings& s) {
    if (!have_geometry_) build_geometry();
    const auto& fpn = fixed_pattern();
    Truth t;
    t.distance.resize(kPixels);
    t.amplitude.resize(kPixels);
    t.fixed_pattern.resize(kPixels);
    const double m_per_unit = 1.0 / phase_per_mm(kCalibFreqKhz) / 1000.0;
    for (unsigned q = 0; q < kPixels; ++q) {
        const unsigned row = q / kWidth;
        const double tint = s.hdr && row % 2 == 0 ? s.hdr_short_us : s.integration_us;
        t.distance[q] = static_cast<float>(ray_m_[q]);
        t.amplitude[q] = static_cast<float>(kAmplitudeGain * tint * irradiance_[q]);
        t.fixed_pattern[q] = static_cast<float>(fpn[q] * m_per_unit);
    }
    return t;
}

void MeasurementModel::prepare(const SensorSettings& s) {
    if (!have_geometry_) build_geometry();
    const auto& fpn = fixed_pattern();
    const double range_m = kSpeedOfLightDiv2 / (double(std::max<uint32_t>(s.freq_khz, 1)) * 1000.0);
    const double offset = m_.phase_offset + (m_.temperature_drift ? drift_phase(s) : 0.0);
    // Sample noise that gives noise_mm of distance sigma at the reference amplitude:
    // sigma_phase = sigma_sample / (sqrt 2 * A).
    const double sigma_ref =
        m_.noise_mm * std::numbers::sqrt2 * kRefAmplitude * 2 * std::numbers::pi / range_unit_mm(s.freq_khz);
    for (auto& c : clean_) c.resize(kPixels);
    sigma_.resize(kPixels);
    for (unsigned i = 0; i < kHeight; ++i) {
        const unsigned row = image_row(i);
        const double tint = s.hdr && row % 2 == 0 ? s.hdr_short_us : s.integration_us;
        for (unsigned u = 0; u < kWidth; ++u) {
            const unsigned q = row * kWidth + u, r = i * kWidth + u;
            const double a = kAmplitudeGain * tint * irradiance_[q];
            const double units = ray_m_[q] / range_m * kPhasePeriod + offset + fpn[q];
            const double phi =
                2 * std::numbers::pi * (units / kPhasePeriod - std::floor(units / kPhasePeriod));
            // DCS_k = B + A cos(phi - k pi/2).
            const double c = a * std::cos(phi), sn = a * std::sin(phi);
            clean_[0][r] = static_cast<float>(kBackground + c);
            clean_[1][r] = static_cast<float>(kBackground + sn);
            clean_[2][r] = static_cast<float>(kBackground - c);
            clean_[3][r] = static_cast<float>(kBackground - sn);
            sigma_[r] =
                static_cast<float>(sigma_ref * std::sqrt((kBackground + a) / (kBackground + kRefAmplitude)));
        }
    }
    quiet_.clear();
    if (m_.noise_mm == 0) {
        quiet_.resize(size_t(4) * kPixels);
        for (unsigned k = 0; k < 4; ++k)
            for (unsigned r = 0; r < kPixels; ++r)
                quiet_[k * kPixels + r] =
                    static_cast<uint16_t>(std::clamp(std::lround(clean_[k][r]), 0l, 4095l));
    }
    prepared_for_ = s;
    have_prepared_ = true;
}

namespace {

// Samples clip at the ends of the 12-bit range, which the decode reads as invalid.
__attribute__((optimize("O3"))) void noisy_plane(uint16_t* out, const float* clean, const float* sigma,
                                                 const float* draws, unsigned n) {
    for (unsigned r = 0; r < n; ++r) {
        const float v = clean[r] + sigma[r] * draws[r] + 0.5f;
        out[r] = static_cast<uint16_t>(std::clamp(static_cast<int>(v), 0, 4095));
    }
}

}  // namespace

void MeasurementModel::render(const SensorSettings& s, uint64_t frame, uint16_t* dst) {
    if (!have_prepared_ || !(prepared_for_ == s)) prepare(s);
    if (!quiet_.empty()) {
        std::copy(quiet_.begin(), quiet_.end(), dst);
        return;
    }
    const auto& g = gauss_table();
    uint64_t seed = m_.seed * 0x9E3779B97F4A7C15ull + frame;
    uint64_t x = splitmix64(seed) | 1;
    draws_.resize(kPixels);
    for (unsigned k = 0; k < 4; ++k) {
        // xorshift64: five 12-bit table indices per step.
        for (unsigned r = 0; r < kPixels;) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            uint64_t bits = x;
            for (unsigned j = 0; j < 5 && r < kPixels; ++j, ++r, bits >>= 12) draws_[r] = g[bits & 4095];
        }
        noisy_plane(dst + size_t(k) * kPixels, clean_[k].data(), sigma_.data(), draws_.data(), kPixels);
    }
}

}  // namespace vxsim
