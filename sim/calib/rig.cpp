// The factory's calibration rig: the camera looks along uniform optical paths, one per
// calibration distance (every pixel at that path length, at the calibration temperatures and a
// comfortable amplitude), averages frames until the noise is below the quantisation, and stores
// the phase each pixel measured: wiggling, per-DCS mismatch, fixed pattern and bad pixels alike.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <numbers>
#include <string>

#include "sim/calib/calib_package.hpp"
#include "sim/sensor/random.hpp"

namespace vxsim {

namespace {

constexpr double kRigAmplitude = 1500;  // counts at the rig's exposure
constexpr int kRigFrames = 100;         // averaged per distance

std::string rig_key(const Measurement& m) {
    const Effects& e = m.effects;
    char k[256];
    std::snprintf(k, sizeof k, "%llu %a %a %d %d %a %a %a %u %d", static_cast<unsigned long long>(m.seed), m.fpn_mm,
                  m.noise_mm, m.phase_offset, int(m.temperature_drift), e.wiggle_mm, e.dcs_offset, e.dcs_gain,
                  e.bad_pixels, int(e.compression));
    return k;
}

}  // namespace

std::vector<uint8_t> measure_distance_images(MeasurementModel& model) {
    // Measuring takes a while; cameras of one seed and one set of errors share the result.
    static std::mutex mu;
    static std::map<std::string, std::shared_ptr<const std::vector<uint8_t>>> cache;
    const std::string key = rig_key(model.measurement());
    {
        std::lock_guard<std::mutex> lk(mu);
        if (auto it = cache.find(key); it != cache.end()) return *it->second;
    }
    const Measurement& m = model.measurement();
    // Image k belongs where the host's tables say distance k lies: the file's origin
    // 885000 / U10 phase units (295 mm at 12 MHz) plus k steps.
    const int32_t d = calib_drnu_offset(m.phase_offset);
    const auto u10 = static_cast<uint16_t>(static_cast<uint32_t>(kSpeedOfLightDiv2 / (kCalibFreqKhz * 10.0)));
    const double origin = static_cast<int32_t>(885000.0 / u10 - d) + d;
    const double sp = kCalibStepMm * kPhasePeriod / range_unit_mm(kCalibFreqKhz);
    SensorSettings rig;
    const DriftCoefficients drift = DriftCoefficients::of(m.effects, m.seed);
    const double offset = m.phase_offset + (m.temperature_drift ? drift_phase(rig, drift) : 0.0);
    const double sigma = m.noise_mm * std::numbers::sqrt2 * 1000 * 2 * std::numbers::pi /
                         range_unit_mm(kCalibFreqKhz) *
                         std::sqrt((kBackground + kRigAmplitude) / (kBackground + 1000)) / std::sqrt(kRigFrames);
    uint64_t rng = m.seed ^ 0x5851F42D4C957F2Dull;
    auto v = std::make_shared<std::vector<uint8_t>>(size_t(kCalibDistances) * kPixels * 2);
    uint8_t* out = v->data();
    for (int k = 0; k < kCalibDistances; ++k) {
        const SubRay path{static_cast<float>((origin + k * sp) / phase_per_mm(kCalibFreqKhz) / 1000.0), 1.0f};
        for (unsigned q = 0; q < kPixels; ++q, out += 2) {
            float s[4];
            model.samples(q, &path, 1, kRigAmplitude, 0, offset, kCalibFreqKhz, s);
            double n[4];
            for (unsigned j = 0; j < 4; ++j) n[j] = std::clamp(s[j] + sigma * gaussian(rng), 0.0, 4095.0);
            // The phase as the rig computes it (x = d3 - d1, y = d2 - d0 as the sensor defines
            // them), a full turn being 30000.
            const double turn = std::atan2(n[3] - n[1], n[2] - n[0]) / (2 * std::numbers::pi);
            long p = std::lround(turn * kPhasePeriod + kPhasePeriod / 2.0) % kPhasePeriod;
            if (p < 0) p += kPhasePeriod;
            out[0] = static_cast<uint8_t>(p);
            out[1] = static_cast<uint8_t>(p >> 8);
        }
    }
    std::lock_guard<std::mutex> lk(mu);
    if (cache.size() >= 8) cache.clear();
    cache.emplace(key, v);
    return *v;
}

}  // namespace vxsim
