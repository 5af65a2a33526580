// The camera-to-bed transform at one bed angle, made once and applied to every point of a frame.
#pragma once

#include <Eigen/Core>
#include <Eigen/Geometry>

#include "acquisition/ScannerGeometry.h"

namespace qv {

// Turns a point back through the bed angle about the bed normal (around the bed origin), then
// levels it and moves the bed origin to 0: levelling x R(angle) x (P - bed origin).
class BedFrameTransform {
public:
  BedFrameTransform(const ScannerGeometry& g, float angle_rad)
      : bedOrigin_calibration_(g.bedOrigin), levelledBedOrigin_(g.levelledBedOrigin), levelling_(g.levelling),
        turn_(Eigen::AngleAxisd(static_cast<double>(angle_rad), g.bedNormal).toRotationMatrix()) {}

  Eigen::Vector3d apply(const Eigen::Vector3d& point_calibration) const {
    const Eigen::Vector3d turned_calibration = bedOrigin_calibration_ + turn_ * (point_calibration - bedOrigin_calibration_);
    return levelling_ * turned_calibration - levelledBedOrigin_;
  }

private:
  Eigen::Vector3d bedOrigin_calibration_;
  Eigen::Vector3d levelledBedOrigin_;
  Eigen::Matrix3d levelling_;
  Eigen::Matrix3d turn_;
};

// TriangulateLaserPixel with the transform made beforehand.
bool triangulateLaserPixel(const ScannerGeometry& g, const BedFrameTransform& bed_from_calibration, double x, double y,
                           int laser, Eigen::Vector3d& point_bed, Eigen::Vector3d& normal_bed);

}  // namespace qv
