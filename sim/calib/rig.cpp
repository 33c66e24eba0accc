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
#include <optional>
#include <string>

#include <zlib.h>

#include "sim/calib/calib_package.hpp"
#include "sim/calib/rig_cache.hpp"
#include "sim/sensor/random.hpp"

namespace vxsim {

namespace {

// The rig's procedure. Changing it, or the pixel model it samples, changes what is measured for
// a key: bump kRigModelVersion (rig_cache.hpp), or processes read the old tables from disk.
constexpr double kRigAmplitude = 1500;  // counts at the rig's exposure
constexpr int kRigFrames = 100;         // averaged per distance
constexpr size_t kImagesBytes = size_t(kCalibDistances) * kPixels * 2;

// Where the rig puts each calibration distance, and how it exposes it.
struct RigSetup {
    double origin;  // phase units of image 0 from the camera's zero
    double sp;      // phase units per step
    double offset;  // the camera's phase offset at the calibration temperatures
    double sigma;   // sample noise of the average of kRigFrames frames

    explicit RigSetup(const Measurement& m) {
        // Image k belongs where the host's tables say distance k lies: the file's origin
        // 885000 / U10 phase units (295 mm at 12 MHz) plus k steps.
        const int32_t d = calib_drnu_offset(m.phase_offset);
        const auto u10 = static_cast<uint16_t>(static_cast<uint32_t>(kSpeedOfLightDiv2 / (kCalibFreqKhz * 10.0)));
        origin = static_cast<int32_t>(885000.0 / u10 - d) + d;
        sp = kCalibStepMm * kPhasePeriod / range_unit_mm(kCalibFreqKhz);
        const SensorSettings rig;
        const DriftCoefficients drift = DriftCoefficients::of(m.effects, m.seed);
        offset = m.phase_offset + (m.temperature_drift ? drift_phase(rig, drift) : 0.0);
        sigma = m.noise_mm * std::numbers::sqrt2 * 1000 * 2 * std::numbers::pi / range_unit_mm(kCalibFreqKhz) *
                std::sqrt((kBackground + kRigAmplitude) / (kBackground + 1000)) / std::sqrt(kRigFrames);
    }
    SubRay path(int k) const {
        return {static_cast<float>((origin + k * sp) / phase_per_mm(kCalibFreqKhz) / 1000.0), 1.0f};
    }
};

std::vector<uint8_t> measure(MeasurementModel& model);

}  // namespace

// Besides the parameters, the key holds a fingerprint of what the pixel model gives (its maps,
// its noiseless samples at every distance for a spread of pixels and every bad one, the first
// draws of the noise), which changes when someone changes the model and forgets the version.
// Computing it builds the maps the measurement or the frames need anyway.
std::string rig_key(MeasurementModel& model) {
    const Measurement& m = model.measurement();
    const Effects& e = m.effects;
    const RigSetup rig(m);
    uLong h = crc32_z(0, nullptr, 0);
    auto add = [&h](const void* p, size_t n) { h = crc32_z(h, static_cast<const Bytef*>(p), n); };
    const auto& fpn = model.fixed_pattern();
    add(fpn.data(), fpn.size() * sizeof(float));
    const PixelMaps& maps = model.pixel_maps();
    for (unsigned k = 0; k < 4; ++k) {
        add(maps.offset[k].data(), maps.offset[k].size() * sizeof(float));
        add(maps.gain[k].data(), maps.gain[k].size() * sizeof(float));
    }
    add(maps.bad.data(), maps.bad.size());
    add(maps.stuck_value.data(), maps.stuck_value.size() * sizeof(uint16_t));
    for (unsigned q = 0; q < kPixels; ++q) {
        if (q % 997 != 0 && maps.bad[q] == PixelMaps::good) continue;
        for (int k = 0; k < kCalibDistances; ++k) {
            const SubRay path = rig.path(k);
            float s[4];
            model.samples(q, &path, 1, kRigAmplitude, 0, rig.offset, kCalibFreqKhz, s);
            add(s, sizeof s);
        }
    }
    uint64_t rng = 1;
    for (int i = 0; i < 16; ++i) {
        const double g = gaussian(rng);
        add(&g, sizeof g);
    }
    // Formatted twice, measuring first: a key cut short could name another key's file.
    const auto format = [&](char* out, size_t n) {
        return std::snprintf(out, n,
                  "vexel-sim rig %u: %ux%u, %d images at %u kHz from %a step %a, %d/%d, amplitude %a, %d frames, "
                  "background %a; seed %llu fpn %a noise %a offset %d drift %d (%a %a); wiggle %a dcs %a %a "
                  "bad %u compression %d; model %08lx",
                  kRigModelVersion, kWidth, kHeight, kCalibDistances, kCalibFreqKhz, rig.origin, rig.sp,
                  int(kCalibSensorTemp), int(kCalibIllumTemp), kRigAmplitude, kRigFrames, kBackground,
                  static_cast<unsigned long long>(m.seed), m.fpn_mm, m.noise_mm, m.phase_offset,
                  int(m.temperature_drift), e.drift_error, e.drift_curvature, e.wiggle_mm, e.dcs_offset, e.dcs_gain,
                  e.bad_pixels, int(e.compression), static_cast<unsigned long>(h));
    };
    std::string key(size_t(std::max(format(nullptr, 0), 0)), '\0');
    format(key.data(), key.size() + 1);
    return key;
}

namespace {

std::vector<uint8_t> measure(MeasurementModel& model) {
    const Measurement& m = model.measurement();
    const RigSetup rig(m);
    uint64_t rng = m.seed ^ 0x5851F42D4C957F2Dull;
    std::vector<uint8_t> v(kImagesBytes);
    uint8_t* out = v.data();
    for (int k = 0; k < kCalibDistances; ++k) {
        const SubRay path = rig.path(k);
        for (unsigned q = 0; q < kPixels; ++q, out += 2) {
            float s[4];
            model.samples(q, &path, 1, kRigAmplitude, 0, rig.offset, kCalibFreqKhz, s);
            double n[4];
            for (unsigned j = 0; j < 4; ++j) n[j] = std::clamp(s[j] + rig.sigma * gaussian(rng), 0.0, 4095.0);
            // The phase as the rig computes it (x = d3 - d1, y = d2 - d0 as the sensor defines
            // them), a full turn being 30000.
            const double turn = std::atan2(n[3] - n[1], n[2] - n[0]) / (2 * std::numbers::pi);
            long p = std::lround(turn * kPhasePeriod + kPhasePeriod / 2.0) % kPhasePeriod;
            if (p < 0) p += kPhasePeriod;
            out[0] = static_cast<uint8_t>(p);
            out[1] = static_cast<uint8_t>(p >> 8);
        }
    }
    return v;
}

std::mutex g_mu;
std::map<std::string, std::shared_ptr<const std::vector<uint8_t>>> g_measured;  // this process's

}  // namespace

std::vector<uint8_t> measure_distance_images(MeasurementModel& model) {
    // Measuring takes a while; cameras of one seed and one set of errors share the result, in
    // this process and, through the cache directory, in the next.
    const std::string key = rig_key(model);
    {
        std::lock_guard<std::mutex> lk(g_mu);
        if (auto it = g_measured.find(key); it != g_measured.end()) return *it->second;
    }
    const std::string dir = rig_cache_dir();
    std::shared_ptr<const std::vector<uint8_t>> v;
    if (auto got = dir.empty() ? std::nullopt : rig_cache_load(dir, key, kImagesBytes))
        v = std::make_shared<const std::vector<uint8_t>>(std::move(*got));
    if (!v) {
        v = std::make_shared<const std::vector<uint8_t>>(measure(model));
        if (!dir.empty()) rig_cache_store(dir, key, *v);
    }
    std::lock_guard<std::mutex> lk(g_mu);
    if (g_measured.size() >= 8) g_measured.clear();
    g_measured.emplace(key, v);
    return *v;
}

void forget_measured_calibrations() {
    std::lock_guard<std::mutex> lk(g_mu);
    g_measured.clear();
}

}  // namespace vxsim
