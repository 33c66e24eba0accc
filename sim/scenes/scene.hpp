// Scene geometry: what a ray from the camera meets. Camera coordinates in metres: x right,
// y down, z along the optical axis; a ray is (x, y, 1) scaled by its parameter t.
#pragma once

#include <limits>

#include "sim/sim.hpp"

namespace vxsim {

struct Hit {
    double t = std::numeric_limits<double>::infinity();  // along (x, y, 1)
    double cos_dn = 0;                                   // |n . d| for the unnormalised d
    double rho = 0;
    double n[3] = {0, 0, 0};                             // unit normal, facing the camera
};

// The nearest surface of the scene along d (t infinite: none), t_s seconds after capture start
// (where Scene::motion has moved its object).
Hit trace(const Scene& sc, const double (&d)[3], double t_s = 0);

}  // namespace vxsim
