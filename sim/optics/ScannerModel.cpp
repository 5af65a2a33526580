// The ground-truth scanner: poses, projection with distortion, and the calibration they imply.
#include "sim/optics/ScannerModel.h"

#include <Eigen/Geometry>
#include <cmath>

namespace qv::sim {

namespace {

double radians(double degrees) { return degrees * M_PI / 180.0; }

// The camera frame's axes in the calibration frame's order: y and z reversed.
const Eigen::Matrix3d kCalibration_from_camera = Eigen::Vector3d(1.0, -1.0, -1.0).asDiagonal();

}  // namespace

ScannerModel::ScannerModel(const ScannerDesign& design) : design_(design) {
  // The turntable axis in the chassis, then the world turned so that this axis is +y.
  const Eigen::Matrix3d tilt = (Eigen::AngleAxisd(radians(design.bedTiltAboutZ_deg), Eigen::Vector3d::UnitZ()) *
                                Eigen::AngleAxisd(radians(design.bedTiltAboutX_deg), Eigen::Vector3d::UnitX()))
                                   .toRotationMatrix();
  world_from_chassis_ = tilt.transpose();

  // Camera: look from the centre at the target, chassis up as the image's up, then roll.
  const Eigen::Vector3d forward = (design.cameraTarget_chassis - design.camera_chassis).normalized();
  Eigen::Vector3d right = forward.cross(Eigen::Vector3d::UnitY()).normalized();
  Eigen::Vector3d down = forward.cross(right);
  const Eigen::Matrix3d roll = Eigen::AngleAxisd(radians(design.cameraRoll_deg), forward).toRotationMatrix();
  right = roll * right;
  down = roll * down;
  Eigen::Matrix3d chassis_from_camera;
  chassis_from_camera.col(0) = right;
  chassis_from_camera.col(1) = down;
  chassis_from_camera.col(2) = forward;
  world_from_camera_ = world_from_chassis_ * chassis_from_camera;
  camera_world_ = world_from_chassis_ * design.camera_chassis;
  leadScrew_world_ = world_from_chassis_ * design.leadScrew_chassis.normalized();

  const Eigen::Vector3d* emitters[2] = {&design.laser1_chassis, &design.laser2_chassis};
  const double leans[2] = {design.laser1Lean_deg, design.laser2Lean_deg};
  for (int i = 0; i < 2; ++i) {
    const Eigen::Vector3d aim = (design.laserTarget_chassis - *emitters[i]).normalized();
    const Eigen::Vector3d upright = Eigen::AngleAxisd(radians(leans[i]), aim) * Eigen::Vector3d::UnitY();
    const Eigen::Vector3d normal = aim.cross(upright).normalized();
    lasers_[i].emitter = world_from_chassis_ * *emitters[i];
    lasers_[i].normal = world_from_chassis_ * normal;
  }
}

Eigen::Matrix3d ScannerModel::world_from_turntable(double bedAngle_deg) {
  return Eigen::AngleAxisd(-radians(bedAngle_deg), Eigen::Vector3d::UnitY()).toRotationMatrix();
}

Eigen::Vector3d ScannerModel::cameraCentre_world(double headHeight_mm) const {
  return camera_world_ + headHeight_mm * leadScrew_world_;
}

std::optional<Eigen::Vector2d> ScannerModel::project(const Eigen::Vector3d& point_world, double headHeight_mm) const {
  const Eigen::Vector3d p = world_from_camera_.transpose() * (point_world - cameraCentre_world(headHeight_mm));
  if (!(p.z() > 0.0)) return std::nullopt;
  const double x = p.x() / p.z();
  const double y = p.y() / p.z();
  const double r2 = x * x + y * y;
  const double radial = 1.0 + design_.k1 * r2 + design_.k2 * r2 * r2;
  const double xd = x * radial + 2.0 * design_.p1 * x * y + design_.p2 * (r2 + 2.0 * x * x);
  const double yd = y * radial + design_.p1 * (r2 + 2.0 * y * y) + 2.0 * design_.p2 * x * y;
  return Eigen::Vector2d(design_.fx * xd + design_.cx, design_.fy * yd + design_.cy);
}

Eigen::Vector3d ScannerModel::pixelDirection_world(double u, double v) const {
  const double xd = (u - design_.cx) / design_.fx;
  const double yd = (v - design_.cy) / design_.fy;
  double x = xd;
  double y = yd;
  const bool distorted = design_.k1 != 0.0 || design_.k2 != 0.0 || design_.p1 != 0.0 || design_.p2 != 0.0;
  if (distorted) {
    // Newton's method on the forward model; a few steps reach machine precision for the
    // moderate distortion of a camera like this one.
    for (int iteration = 0; iteration < 20; ++iteration) {
      const double r2 = x * x + y * y;
      const double radial = 1.0 + design_.k1 * r2 + design_.k2 * r2 * r2;
      const double fxv = x * radial + 2.0 * design_.p1 * x * y + design_.p2 * (r2 + 2.0 * x * x) - xd;
      const double fyv = y * radial + design_.p1 * (r2 + 2.0 * y * y) + 2.0 * design_.p2 * x * y - yd;
      const double dRadial = design_.k1 + 2.0 * design_.k2 * r2;  // d(radial)/d(r2)
      const double a = radial + 2.0 * x * x * dRadial + 2.0 * design_.p1 * y + 6.0 * design_.p2 * x;
      const double b = 2.0 * x * y * dRadial + 2.0 * design_.p1 * x + 2.0 * design_.p2 * y;
      const double c = 2.0 * x * y * dRadial + 2.0 * design_.p1 * x + 2.0 * design_.p2 * y;
      const double d = radial + 2.0 * y * y * dRadial + 6.0 * design_.p1 * y + 2.0 * design_.p2 * x;
      const double det = a * d - b * c;
      const double stepX = (d * fxv - b * fyv) / det;
      const double stepY = (a * fyv - c * fxv) / det;
      x -= stepX;
      y -= stepY;
      if (std::fabs(stepX) + std::fabs(stepY) < 1e-15) break;
    }
  }
  return (world_from_camera_ * Eigen::Vector3d(x, y, 1.0)).normalized();
}

ScannerModel::LaserPlane ScannerModel::laserPlane_world(int laserIndex, double headHeight_mm) const {
  LaserPlane plane = lasers_[laserIndex == 0 ? 0 : 1];
  plane.emitter += headHeight_mm * leadScrew_world_;
  return plane;
}

QVLScannerCalibration ScannerModel::groundTruthCalibration() const {
  // Everything measured from the camera at head height 0, in the calibration frame.
  const Eigen::Matrix3d calibration_from_world = kCalibration_from_camera * world_from_camera_.transpose();
  auto position = [&](const Eigen::Vector3d& p_world) -> Eigen::Vector3d {
    return calibration_from_world * (p_world - camera_world_);
  };
  QVLScannerCalibration c;
  QVLLaserPlane* planes[2] = {&c.laser1, &c.laser2};
  for (int i = 0; i < 2; ++i) {
    Eigen::Vector3d normal = calibration_from_world * lasers_[i].normal;
    const Eigen::Vector3d emitter = position(lasers_[i].emitter);
    // A fitted plane's normal has a first component that is not positive; its origin is where the
    // plane meets the first axis.
    if (normal.x() > 0.0) normal = -normal;
    const double offset = -normal.dot(emitter);
    planes[i]->tag = 2 + i;
    planes[i]->normal = normal;
    planes[i]->origin = Eigen::Vector3d(-offset / normal.x(), 0.0, 0.0);
  }
  c.bedNormal = calibration_from_world * Eigen::Vector3d::UnitY();
  c.bedOrigin = position(Eigen::Vector3d::Zero());
  c.leadScrewNormal = calibration_from_world * leadScrew_world_;
  c.cameraOrigin = Eigen::Vector3d::Zero();
  c.intrinsics = Eigen::Vector4d(design_.fx, design_.fy, design_.cx, design_.cy);
  c.distortion = Eigen::Vector4d(design_.k1, design_.k2, design_.p1, design_.p2);
  return c;
}

Eigen::Matrix3d ScannerModel::bed_from_turntable() const {
  const Eigen::Matrix3d calibration_from_world = kCalibration_from_camera * world_from_camera_.transpose();
  const Eigen::Vector3d bedNormal = calibration_from_world * Eigen::Vector3d::UnitY();
  const Eigen::Matrix3d level = Eigen::Quaterniond::FromTwoVectors(bedNormal, Eigen::Vector3d::UnitY()).toRotationMatrix();
  return level * calibration_from_world;
}

}  // namespace qv::sim
