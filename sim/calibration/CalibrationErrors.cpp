// Comparing a recovered calibration with the simulated scanner's truth.
#include "sim/calibration/CalibrationErrors.h"

#include <Eigen/Geometry>
#include <Eigen/SVD>
#include <cmath>
#include <ostream>

namespace qv::sim {

double angleBetween_deg(const Eigen::Vector3d& a, const Eigen::Vector3d& b) {
  const double c = std::clamp(a.normalized().dot(b.normalized()), -1.0, 1.0);
  return std::acos(c) * 180.0 / M_PI;
}

namespace {

// Signed distance of a point from a plane given by a normal of any length and a point on it.
double signedDistance(const QVLLaserPlane& plane, const Eigen::Vector3d& point) {
  return plane.normal.normalized().dot(point - plane.origin);
}

}  // namespace

Eigen::Vector3d scanVolumePointOfPlane(const QVLLaserPlane& plane, const QVLScannerCalibration& truth) {
  // The lasers' fans hold the bed axis almost in them, so "where the plane meets the axis" is
  // ill defined; the point of the axis in the middle of the view is taken instead, and carried
  // onto the plane. The optical axis runs from the camera centre (the origin) along -z in the
  // calibration frame; the point of the bed axis nearest it is the middle of the view.
  const Eigen::Vector3d a(0.0, 0.0, -1.0);
  const Eigen::Vector3d b = truth.bedNormal.normalized();
  const Eigen::Vector3d& o = truth.bedOrigin;
  const double ab = a.dot(b);
  const double along = std::fabs(1.0 - ab * ab) > 1e-12 ? (ab * a.dot(o) - b.dot(o)) / (1.0 - ab * ab) : 0.0;
  const Eigen::Vector3d onAxis = o + along * b;
  return onAxis - signedDistance(plane, onAxis) * plane.normal.normalized();
}

CalibrationErrors compareCalibrations(const QVLScannerCalibration& c, const QVLScannerCalibration& truth) {
  CalibrationErrors e;
  e.fx_fraction = std::fabs(c.intrinsics[0] / truth.intrinsics[0] - 1.0);
  e.fy_fraction = std::fabs(c.intrinsics[1] / truth.intrinsics[1] - 1.0);
  e.cx_px = c.intrinsics[2] - truth.intrinsics[2];
  e.cy_px = c.intrinsics[3] - truth.intrinsics[3];
  const QVLLaserPlane* recovered[2] = {&c.laser1, &c.laser2};
  const QVLLaserPlane* planes[2] = {&truth.laser1, &truth.laser2};
  for (int i = 0; i < 2; ++i) {
    const QVLLaserPlane& f = *recovered[i];
    const QVLLaserPlane& t = *planes[i];
    e.laserAngle_deg[i] = angleBetween_deg(f.normal, t.normal);
    e.laserOffsetAtCamera_mm[i] = std::fabs(f.normal.normalized().dot(f.origin) - t.normal.normalized().dot(t.origin));
    e.laserOffsetInScanVolume_mm[i] = std::fabs(signedDistance(f, scanVolumePointOfPlane(t, truth)));
  }
  e.bedAxis_deg = angleBetween_deg(c.bedNormal, truth.bedNormal);
  const Eigen::Vector3d error = c.bedOrigin - truth.bedOrigin;
  const Eigen::Vector3d up = truth.bedNormal.normalized();
  e.bedOrigin_mm = error.norm();
  e.bedOriginAlong_mm = error.dot(up);
  e.bedOriginAcross_mm = (error - e.bedOriginAlong_mm * up).norm();
  e.leadScrew_deg = angleBetween_deg(c.leadScrewNormal, truth.leadScrewNormal);
  return e;
}

namespace {

ScannerModel cameraOf(const QVLScannerCalibration& c) {
  ScannerDesign design;
  design.fx = c.intrinsics[0];
  design.fy = c.intrinsics[1];
  design.cx = c.intrinsics[2];
  design.cy = c.intrinsics[3];
  design.k1 = c.distortion[0];
  design.k2 = c.distortion[1];
  design.p1 = c.distortion[2];
  design.p2 = c.distortion[3];
  return ScannerModel(design);
}

const Eigen::Matrix3d kCalibration_from_camera = Eigen::Vector3d(1.0, -1.0, -1.0).asDiagonal();

}  // namespace

Eigen::Matrix3d recoveredCameraTurn(const QVLScannerCalibration& recovered, const QVLScannerCalibration& truth) {
  const ScannerModel r = cameraOf(recovered);
  const ScannerModel t = cameraOf(truth);
  // Rays in the camera frame (both models share one pose), then the rotation of least squares
  // between the two bundles (the orthogonal Procrustes solution). Only the middle of the image
  // takes part, where the board and the scanned objects are seen: a shifted centre is a turn
  // there, while over the whole frame the pinhole's wide rays would shorten the turn by 6 %.
  Eigen::Matrix3d sum = Eigen::Matrix3d::Zero();
  for (int row = -6; row <= 6; ++row) {
    for (int column = -8; column <= 8; ++column) {
      const double u = 639.5 + 20.0 * column;
      const double v = 479.5 + 20.0 * row;
      const Eigen::Vector3d a = t.world_from_camera().transpose() * t.pixelDirection_world(u, v);
      const Eigen::Vector3d b = r.world_from_camera().transpose() * r.pixelDirection_world(u, v);
      sum += b * a.transpose();
    }
  }
  const Eigen::JacobiSVD<Eigen::Matrix3d> svd(sum, Eigen::ComputeFullU | Eigen::ComputeFullV);
  Eigen::Matrix3d fix = Eigen::Matrix3d::Identity();
  fix(2, 2) = (svd.matrixU() * svd.matrixV().transpose()).determinant() < 0.0 ? -1.0 : 1.0;
  const Eigen::Matrix3d camera = svd.matrixU() * fix * svd.matrixV().transpose();
  return kCalibration_from_camera * camera * kCalibration_from_camera;
}

void turnGeometry(QVLScannerCalibration& c, const Eigen::Matrix3d& rotation) {
  for (QVLLaserPlane* plane : {&c.laser1, &c.laser2}) {
    plane->normal = rotation * plane->normal;
    plane->origin = rotation * plane->origin;
  }
  c.bedNormal = rotation * c.bedNormal;
  c.bedOrigin = rotation * c.bedOrigin;
  c.leadScrewNormal = rotation * c.leadScrewNormal;
}

CalibrationComparison compareWithTruth(const QVLScannerCalibration& recovered, const QVLScannerCalibration& truth) {
  CalibrationComparison comparison;
  comparison.raw = compareCalibrations(recovered, truth);
  const Eigen::Matrix3d turn = recoveredCameraTurn(recovered, truth);
  const Eigen::Matrix3d back = turn.transpose();
  QVLScannerCalibration turned = recovered;
  turnGeometry(turned, back);
  comparison.ownFrame = compareCalibrations(turned, truth);
  const double angle = Eigen::AngleAxisd(turn).angle() * 180.0 / M_PI;
  comparison.raw.cameraTurn_deg = comparison.ownFrame.cameraTurn_deg = angle;
  return comparison;
}

std::ostream& operator<<(std::ostream& out, const CalibrationErrors& e) {
  out << "focal " << e.fx_fraction * 100.0 << " % / " << e.fy_fraction * 100.0 << " %, centre " << e.cx_px << " / "
      << e.cy_px << " px\n";
  for (int i = 0; i < 2; ++i)
    out << "laser " << i + 1 << ": " << e.laserAngle_deg[i] << " deg, offset " << e.laserOffsetInScanVolume_mm[i]
        << " mm in the scan volume (" << e.laserOffsetAtCamera_mm[i] << " mm at the camera)\n";
  out << "bed axis " << e.bedAxis_deg << " deg, origin " << e.bedOrigin_mm << " mm (" << e.bedOriginAcross_mm
      << " across the axis, " << e.bedOriginAlong_mm << " along it), lead screw " << e.leadScrew_deg << " deg\n";
  return out;
}

std::ostream& operator<<(std::ostream& out, const CalibrationComparison& c) {
  out << "against the truth:\n" << c.raw << "in the recovered camera's own frame (turned by " << c.raw.cameraTurn_deg
      << " deg):\n" << c.ownFrame;
  return out;
}

}  // namespace qv::sim
