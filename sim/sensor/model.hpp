// The camera as a physical instrument: a scene seen through the lens, the four DCS samples
// a time-of-flight pixel takes of it, and the camera's own errors. sim/README.md walks through
// the phase and offset arithmetic that ties these samples to the host's decode.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "sim/sensor/thermal.hpp"
#include "sim/sim.hpp"

namespace vxsim {

inline constexpr double kSpeedOfLightDiv2 = 149896229.0;  // m/s
inline constexpr int kPhasePeriod = 30000;                // phase units of one modulation period
inline constexpr unsigned kPixels = kWidth * kHeight;

// The calibration this camera carries: recorded at 12 MHz, 30 distances 298.2 mm apart, at
// 35.0 degC sensor and 30.0 degC illumination-board temperature.
inline constexpr uint32_t kCalibFreqKhz = 12000;
inline constexpr int kCalibDistances = 30;
inline constexpr double kCalibStepMm = 298.2;
inline constexpr int16_t kCalibSensorTemp = 350;
inline constexpr int16_t kCalibIllumTemp = 300;

// Samples centre on mid-scale; amplitude is kAmplitudeGain per microsecond of integration for a
// surface of reflectivity 1 at 1 m, seen head-on.
inline constexpr double kBackground = 2048.0;
inline constexpr double kAmplitudeGain = 4.0;

// How one frame is taken, as the firmware reads it from its registers and parameters.
struct SensorSettings {
    uint32_t freq_khz = kCalibFreqKhz;
    double integration_us = 500;  // every row; with HDR the odd image rows
    bool hdr = false;
    double hdr_short_us = 0;  // with HDR: the even image rows
    int16_t sensor_temp = kCalibSensorTemp;
    int16_t illum_temp = kCalibIllumTemp;
    bool operator==(const SensorSettings&) const = default;
};

// Image row of raw row i: the sensor reads its halves alternately from the centre outwards.
constexpr unsigned image_row(unsigned raw_row) {
    return raw_row & 1 ? kHeight / 2 + raw_row / 2 : kHeight / 2 - 1 - raw_row / 2;
}

// The four DCS of a frame are exposed one after another: each integrates, then is read out
// before the next begins.
inline constexpr double kDcsReadoutUs = 2000;
// Seconds between the starts of two DCS exposures of one frame under these settings.
double dcs_interval_s(const SensorSettings& s);

// The decode's 16-bit range unit U' = trunc(c/2 / f) in millimetres, and phase units per mm.
uint16_t range_unit_mm(uint32_t freq_khz);
double phase_per_mm(uint32_t freq_khz);
// The camera's phase drift at the temperatures of `s`, in phase units.
double drift_phase(const SensorSettings& s, const DriftCoefficients& d);
// DRNU offset D of the parameter file that makes the host's offset phase trunc(885000/U10 - D)
// equal -phase_offset at the calibration frequency.
int32_t calib_drnu_offset(int32_t phase_offset);

// A 12-bit sample of DCS k with the sensor's flags in the upper bits.
uint16_t with_flags(uint16_t sample, unsigned k);

// Per-pixel properties of this sensor that stay from frame to frame (seeded).
struct PixelMaps {
    enum Bad : uint8_t { good, hot, dead, stuck };
    std::array<std::vector<float>, 4> offset, gain;  // per DCS, image order
    std::vector<uint8_t> bad;                        // image order
    std::vector<uint16_t> stuck_value;               // what a stuck pixel always reads
};

// One ray of a pixel's footprint: path length and the irradiance it brings back.
struct SubRay {
    float r_m, irradiance;
};

class MeasurementModel {
  public:
    explicit MeasurementModel(const Measurement& m = {});
    const Measurement& measurement() const { return m_; }
    void set(const Measurement& m);

    // Per image pixel: the fixed-pattern phase error in phase units (0 with fpn_mm 0).
    const std::vector<float>& fixed_pattern();
    const PixelMaps& pixel_maps();
    // The truth of a frame whose first DCS starts t_s seconds after capture start.
    Truth truth(const SensorSettings& s, double t_s = 0);
    // One four-phase frame (kFrameBytes / 2 samples): planes DCS0..3 of raw rows, its first DCS
    // exposed t_s seconds after capture start (DCS k at t_s + k * dcs_interval_s). Frames of one
    // seed, number and time are identical.
    void render(const SensorSettings& s, uint64_t frame, uint16_t* dst, double t_s = 0);
    // The same frame before rounding, the 12-bit clip and the flags: the charge of each tap in
    // sample counts, which binned pixels add up.
    void render_charges(const SensorSettings& s, uint64_t frame, float* dst, double t_s = 0);

    // The four noiseless samples (before rounding) image pixel q gives for the footprint `rays`
    // (amplitude per unit irradiance `gain`, ambient counts `ambient`, phase offset in units);
    // true when a sample clips or compresses (a tap beyond its linear range).
    bool samples(unsigned q, const SubRay* rays, unsigned n, double gain, double ambient, double offset_units,
                 uint32_t freq_khz, float out[4]);

  private:
    void build_geometry();
    void prepare(const SensorSettings& s);
    // The scene as it stands t_s seconds after capture start (geometry rebuilt when it moves).
    void expose_at(double t_s);
    // The noiseless samples and their sigmas of every DCS plane (raw order) of a frame at t_s;
    // false when noise is off and quiet_ holds the whole frame.
    bool planes(const SensorSettings& s, double t_s, const float* (&clean)[4], const float* (&sigma)[4]);

    Measurement m_;
    bool have_geometry_ = false;
    bool have_fpn_ = false;
    bool have_maps_ = false;
    bool have_prepared_ = false;
    SensorSettings prepared_for_;
    // Image order: the centre ray's length (0: no surface), the footprint's rays (pixel q's are
    // rays_[first_[q] .. first_[q + 1])), reflectivity for the ambient light, geometry flags.
    std::vector<double> ray_m_;
    std::vector<SubRay> rays_;
    std::vector<uint32_t> first_;
    std::vector<float> rho_;
    std::vector<uint8_t> geo_flags_, sat_flags_;
    std::vector<float> fpn_;
    std::vector<float> mp_ratio_, mp_path_;  // indirect light over direct, and its one-way path (m)
    PixelMaps maps_;
    // Raw order, what does not change from frame to frame under one set of settings.
    std::array<std::vector<float>, 4> clean_;
    std::vector<float> sigma_;
    std::vector<uint16_t> quiet_;  // the whole frame when noise is off
    std::vector<float> draws_;
    double geo_time_ = 0;  // when the geometry above stands
    std::array<std::vector<float>, 4> moving_clean_, moving_sigma_;  // per DCS, a moving scene
};

}  // namespace vxsim
