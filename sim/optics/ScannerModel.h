// The simulated scanner's ground truth in world coordinates, and the calibration it implies.
#pragma once

#include <Eigen/Core>
#include <optional>

#include "records/QVLScannerCalibration.h"
#include "sim/optics/ScannerDesign.h"

namespace qv::sim {

// The world frame is the turntable's own frame at bed angle 0: origin at the centre of its top,
// +y along its axis of rotation. A point fixed to the turntable at `point_turntable` lies, at bed
// angle a, at R_y(-a) point_turntable in the world (the firmware's positive turn).
// The head (camera and lasers) moves by h x the lead-screw direction at head height h.
class ScannerModel {
public:
  explicit ScannerModel(const ScannerDesign& design = ScannerDesign::standard());

  const ScannerDesign& design() const { return design_; }

  // The rotation taking turntable coordinates to world coordinates at a bed angle.
  static Eigen::Matrix3d world_from_turntable(double bedAngle_deg);

  // The camera's axes (x right, y down, z forward) as columns in the world.
  const Eigen::Matrix3d& world_from_camera() const { return world_from_camera_; }
  Eigen::Vector3d cameraCentre_world(double headHeight_mm) const;
  const Eigen::Vector3d& leadScrew_world() const { return leadScrew_world_; }

  // The pixel a world point is seen at, distortion included; nothing for a point not in front of
  // the camera.
  std::optional<Eigen::Vector2d> project(const Eigen::Vector3d& point_world, double headHeight_mm) const;
  // The unit world direction of the ray seen at a pixel (the distortion undone).
  Eigen::Vector3d pixelDirection_world(double u, double v) const;

  // A laser's light plane (index 0: laser 1, 1: laser 2): its emitter and unit normal.
  struct LaserPlane {
    Eigen::Vector3d emitter = Eigen::Vector3d::Zero();
    Eigen::Vector3d normal = Eigen::Vector3d::Zero();
  };
  LaserPlane laserPlane_world(int laserIndex, double headHeight_mm) const;

  // The calibration a perfect calibration of this scanner would produce, in the calibration frame
  // (the camera frame at head height 0 with its y and z axes reversed).
  QVLScannerCalibration groundTruthCalibration() const;

  // Triangulation levels the calibration frame into a bed frame by the smallest rotation taking
  // the bed normal onto +y; that frame differs from the turntable frame by a turn about +y, and
  // this is the rotation from turntable to bed coordinates.
  Eigen::Matrix3d bed_from_turntable() const;

private:
  ScannerDesign design_;
  Eigen::Matrix3d world_from_chassis_;
  Eigen::Matrix3d world_from_camera_;
  Eigen::Vector3d camera_world_;
  Eigen::Vector3d leadScrew_world_;
  LaserPlane lasers_[2];
};

}  // namespace qv::sim
