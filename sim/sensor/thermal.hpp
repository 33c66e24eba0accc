// How the camera warms up, and how its phase drifts with temperature (sim/README.md, "Warm-up
// and drift").
#pragma once

#include <cstdint>

namespace vxsim {

struct Effects;

inline constexpr double kAmbientC = 25.0;

// The two temperatures the camera measures, in degrees Celsius. Both start at the ambient
// temperature at power-on and follow first-order lags towards what the present settings heat
// them to; between captures they hold.
struct Thermal {
    double sensor_c = kAmbientC, illum_c = kAmbientC;
    // `dt_s` seconds of streaming at `fps` with integration time `integration_us`; the
    // sensor's time constant is `tau_s`, the illumination board's three times it.
    void advance(double dt_s, double fps, double integration_us, double tau_s);
    // Where the temperatures settle under these settings.
    static double illum_steady_c(double fps, double integration_us);
    static double sensor_steady_c(double fps, double integration_us, double illum_c);
};

// This camera's own drift in millimetres of the decode's range unit per tenth of a degree away
// from the calibration temperatures: the driver and LED delays (illumination board) and the
// demodulation delay (sensor). Close to the host's compensation coefficients, never equal
// unless the effects are off; slightly curved.
struct DriftCoefficients {
    double sensor_mm = 1.7, illum_mm = 0.33765;
    double curvature_per_c = 0;  // relative growth of the drift per degree away from calibration
    static DriftCoefficients of(const Effects& e, uint64_t seed);
    // The drift in millimetres at temperatures `sensor_dc`, `illum_dc` (tenths) from calibration.
    double mm(double sensor_dc, double illum_dc) const;
};

}  // namespace vxsim
