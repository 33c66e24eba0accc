// The driver's start-up lens and its forward model, written out independently of the library's
// inverse, for judging the rays the point cloud uses.
#pragma once

#include <cmath>
#include <utility>

#include <vexel/lens.h>

namespace pcltest {

inline constexpr vexel_lens_param kLens{157.262, 122.083, 210.783, 204.817,
                                        {-0.378924, 0.145035, -0.000970854, 6.20728e-05, -0.0133954}, 320, 240};

// Where the lens puts the ray (x, y, 1): the pixel it is seen at.
inline std::pair<double, double> seen_at(double x, double y, const vexel_lens_param& l = kLens) {
    const double k1 = l.dcoeff[0], k2 = l.dcoeff[1], p1 = l.dcoeff[2], p2 = l.dcoeff[3], k3 = l.dcoeff[4];
    const double r2 = x * x + y * y, kr = 1 + ((k3 * r2 + k2) * r2 + k1) * r2;
    return {l.cx + l.fx * (x * kr + 2 * p1 * x * y + p2 * (r2 + 2 * x * x)),
            l.cy + l.fy * (y * kr + p1 * (r2 + 2 * y * y) + 2 * p2 * x * y)};
}

struct Ray {
    double x, y, z;  // unit length
};

// The true ray of pixel (u, v): the forward model solved with a finite-difference Jacobian.
inline Ray true_ray(double u, double v, const vexel_lens_param& l = kLens) {
    double x = (u - l.cx) / l.fx, y = (v - l.cy) / l.fy;
    constexpr double h = 1e-7;
    for (int it = 0; it < 40; ++it) {
        const auto [pu, pv] = seen_at(x, y, l);
        const auto [ux, vx] = seen_at(x + h, y, l);
        const auto [uy, vy] = seen_at(x, y + h, l);
        const double a = (ux - pu) / h, b = (uy - pu) / h, c = (vx - pv) / h, d = (vy - pv) / h;
        const double det = a * d - b * c, eu = pu - u, ev = pv - v;
        x -= (d * eu - b * ev) / det;
        y -= (a * ev - c * eu) / det;
        if (std::hypot(eu, ev) < 1e-10) break;
    }
    const double n = 1 / std::sqrt(1 + x * x + y * y);
    return {x * n, y * n, n};
}

}  // namespace pcltest
