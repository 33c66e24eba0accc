#include "sim/sensor/thermal.hpp"

#include <algorithm>
#include <cmath>

#include "sim/sensor/random.hpp"
#include "sim/sim.hpp"

namespace vxsim {

namespace {

// Share of the time the LEDs are lit: four exposures a frame.
double duty(double fps, double integration_us) {
    return std::clamp(4 * integration_us * 1e-6 * fps, 0.0, 1.0);
}

double lag(double t, double target, double dt_s, double tau_s) {
    return target + (t - target) * std::exp(-dt_s / std::max(tau_s, 1e-3));
}

}  // namespace

// The LED driver dissipates with the duty cycle over a quiescent 2 K; the sensor with its
// readout (per frame), its modulation drivers (with the duty cycle) and a fifth of the board's
// rise through the housing. At 30 fps and 500 us both settle at the calibration temperatures.
double Thermal::illum_steady_c(double fps, double integration_us) {
    return kAmbientC + 2.0 + 50.0 * duty(fps, integration_us);
}

double Thermal::sensor_steady_c(double fps, double integration_us, double illum_c) {
    return kAmbientC + 5.4 + 0.1 * fps + 10.0 * duty(fps, integration_us) + 0.2 * (illum_c - kAmbientC);
}

void Thermal::advance(double dt_s, double fps, double integration_us, double tau_s) {
    illum_c = lag(illum_c, illum_steady_c(fps, integration_us), dt_s, 3 * tau_s);
    sensor_c = lag(sensor_c, sensor_steady_c(fps, integration_us, illum_c), dt_s, tau_s);
}

DriftCoefficients DriftCoefficients::of(const Effects& e, uint64_t seed) {
    DriftCoefficients d;
    // Each camera's coefficients sit between 60 and 100 % of the spread away from the nominal
    // ones the host compensates with, either side.
    uint64_t rng = seed ^ 0x5851F42D4C957F2Dull;
    auto off = [&] {
        const double u = uniform(rng);
        return (u < 0.5 ? -1.0 : 1.0) * (0.6 + 0.4 * uniform(rng)) * e.drift_error;
    };
    d.sensor_mm *= 1 + off();
    d.illum_mm *= 1 + off();
    d.curvature_per_c = e.drift_curvature;
    return d;
}

double DriftCoefficients::mm(double sensor_dc, double illum_dc) const {
    auto curved = [&](double dc) { return dc * (1 + curvature_per_c * dc / 10); };
    return curved(sensor_dc) * sensor_mm + curved(illum_dc) * illum_mm;
}

}  // namespace vxsim
