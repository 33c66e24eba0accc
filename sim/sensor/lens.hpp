// The lens the sensor looks through: the driver's start-up lens parameters (320 x 240), so
// straight edges bend on the sensor as the driver expects them to.
#pragma once

namespace vxsim {

// Undistorted normalised coordinates of sensor pixel (u, v): Newton on the lens's forward
// model, which is monotonic over the whole sensor.
void undistort(double u, double v, double& x, double& y);

}  // namespace vxsim
