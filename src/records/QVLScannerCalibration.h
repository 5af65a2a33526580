// The plain calibration structure triangulation works from, in double precision.
#pragma once

#include <Eigen/Core>
#include <cstdint>

// One laser's light plane: the laser number the triangulation uses (2 for laser 1, 3 for
// laser 2), the plane's normal and a point of it, in the camera frame (mm).
struct QVLLaserPlane {
  std::int32_t tag = 0;
  Eigen::Vector3d normal = Eigen::Vector3d::Zero();
  Eigen::Vector3d origin = Eigen::Vector3d::Zero();
};

// Nothing here is normalised: the values are those of the calibration record, widened to double.
// The two 4-vectors are vectorisable, so the structure must sit on a 16-byte boundary (new and
// std::vector honour that in C++17 and later).
struct QVLScannerCalibration {
  QVLLaserPlane laser1;
  QVLLaserPlane laser2;
  Eigen::Vector3d bedNormal = Eigen::Vector3d::Zero();
  Eigen::Vector3d bedOrigin = Eigen::Vector3d::Zero();
  Eigen::Vector3d leadScrewNormal = Eigen::Vector3d::Zero();
  Eigen::Vector3d cameraOrigin = Eigen::Vector3d::Zero();
  Eigen::Vector4d intrinsics = Eigen::Vector4d::Zero();  // fx, fy, cx, cy (px)
  Eigen::Vector4d distortion = Eigen::Vector4d::Zero();  // coefficients 0 to 3

  EIGEN_MAKE_ALIGNED_OPERATOR_NEW
};
