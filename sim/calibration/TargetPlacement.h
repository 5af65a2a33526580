// Where the simulated user stands the calibration target on the bed for each pass.
#pragma once

#include <Eigen/Core>
#include <cmath>

namespace qv::sim {

struct TargetPlacement {
  Eigen::Vector2d faceCentre_turntable;  // the foot of the board face's centre line (x, z)
  double facing_deg = 0.0;               // as ChessboardTarget takes it
};

// Pass 1: square to the camera, just in front of the axis. Pass 2: turned well away and further
// out, so that the second pass has to turn the bed to find it, as the wizard's "turn the target"
// leaves it for a real user more often than not.
inline TargetPlacement calibrationTargetPlacement(int pass) {
  if (pass != 2) return {Eigen::Vector2d(0.0, 15.0), 0.0};
  const double facing_deg = -150.0;
  const double a = facing_deg * M_PI / 180.0;
  return {Eigen::Vector2d(25.0 * std::sin(a), 25.0 * std::cos(a)), facing_deg};
}

}  // namespace qv::sim
