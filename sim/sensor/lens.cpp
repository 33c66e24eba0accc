#include "sim/sensor/lens.hpp"

#include <cmath>

namespace vxsim {

namespace {

// The driver's start-up lens (320 x 240): the sensor sees the scene through this distortion.
constexpr double kCx = 157.262, kCy = 122.083, kFx = 210.783, kFy = 204.817;
constexpr double kK1 = -0.378924, kK2 = 0.145035, kP1 = -0.000970854, kP2 = 6.20728e-05, kK3 = -0.0133954;

}  // namespace

void undistort(double u, double v, double& x, double& y) {
    const double xd = (u - kCx) / kFx, yd = (v - kCy) / kFy;
    x = xd;
    y = yd;
    for (int it = 0; it < 50; ++it) {
        const double r2 = x * x + y * y;
        const double kr = 1 + ((kK3 * r2 + kK2) * r2 + kK1) * r2;
        const double dk = kK1 + (2 * kK2 + 3 * kK3 * r2) * r2;  // d kr / d r2
        const double fx = x * kr + 2 * kP1 * x * y + kP2 * (r2 + 2 * x * x) - xd;
        const double fy = y * kr + kP1 * (r2 + 2 * y * y) + 2 * kP2 * x * y - yd;
        const double a = kr + 2 * x * x * dk + 2 * kP1 * y + 6 * kP2 * x;
        const double b = 2 * x * y * dk + 2 * kP1 * x + 2 * kP2 * y;
        const double d = kr + 2 * y * y * dk + 6 * kP1 * y + 2 * kP2 * x;
        const double det = a * d - b * b;
        const double dx = (fx * d - fy * b) / det, dy = (fy * a - fx * b) / det;
        x -= dx;
        y -= dy;
        if (std::abs(dx) + std::abs(dy) < 1e-14) break;
    }
}

}  // namespace vxsim
