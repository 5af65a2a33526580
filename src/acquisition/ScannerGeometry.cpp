// Triangulation: pixel to camera ray, ray to laser plane, camera frame to the levelled bed frame.
#include "acquisition/ScannerGeometry.h"

#include <Eigen/Geometry>
#include <algorithm>
#include <cfloat>
#include <cmath>

#include "acquisition/internal/BedFrameTransform.h"

ScannerGeometry ScannerGeometryFromCalibration(const QVLScannerCalibration& calibration, float headHeight) {
  ScannerGeometry g;
  g.bedNormal = calibration.bedNormal / calibration.bedNormal.norm();
  const Eigen::Vector3d& n = g.bedNormal;
  const Eigen::Vector3d axis(-n.z(), 0.0, n.x());
  const double axisLength = axis.norm();
  // A normal along +y or -y leaves no axis to turn about; any axis in the bed plane will do
  // (the angle is then 0 or a half turn).
  g.levellingAxis = axisLength == 0.0 ? Eigen::Vector3d::UnitX() : Eigen::Vector3d(axis / axisLength);
  g.levellingAngle = std::acos(std::isnan(n.y()) ? n.y() : std::clamp(n.y(), -1.0, 1.0));
  g.levelling = Eigen::AngleAxisd(g.levellingAngle, g.levellingAxis).toRotationMatrix();
  g.bedOrigin = calibration.bedOrigin;
  g.levelledBedOrigin = g.levelling * g.bedOrigin;
  g.cameraOrigin = calibration.cameraOrigin;
  g.cx = static_cast<float>(calibration.intrinsics[2]);
  g.cy = static_cast<float>(calibration.intrinsics[3]);
  g.headHeight = headHeight;
  g.laser1Normal = calibration.laser1.normal / calibration.laser1.normal.norm();
  g.laser1Origin = calibration.laser1.origin;
  g.laser2Normal = calibration.laser2.normal / calibration.laser2.normal.norm();
  g.laser2Origin = calibration.laser2.origin;
  g.leadScrewDirection = calibration.leadScrewNormal / calibration.leadScrewNormal.norm();
  g.pixelScale = 1.0f;
  g.fx = static_cast<float>(calibration.intrinsics[0]);
  g.focalRatio = static_cast<float>(calibration.intrinsics[0] / calibration.intrinsics[1]);
  return g;
}

Eigen::Vector3d PixelToCameraRay(const ScannerGeometry& g, double x, double y) {
  const double s = g.pixelScale;
  return {(x - g.cx) * s, (g.cy - y) * s * g.focalRatio, -static_cast<double>(g.fx)};
}

std::optional<Eigen::Vector3d> IntersectRayWithPlane(const Eigen::Vector3d& point, const Eigen::Vector3d& origin,
                                                     const Eigen::Vector3d& planePoint,
                                                     const Eigen::Vector3d& planeNormal) {
  const Eigen::Vector3d d = (point - origin).normalized();
  const float denominator = static_cast<float>(d.dot(planeNormal));
  if (std::fabs(denominator) <= FLT_EPSILON) return std::nullopt;
  const float t = static_cast<float>((planePoint - origin).dot(planeNormal)) / denominator;
  // A plane met behind the origin (or not at all, for values that are not numbers) gives no point.
  if (!(t > 0.0f)) return std::nullopt;
  return Eigen::Vector3d(origin + static_cast<double>(t) * d);
}

Eigen::Vector3d CameraToBedFrame(const ScannerGeometry& g, const Eigen::Vector3d& point, float angle) {
  return qv::BedFrameTransform(g, angle).apply(point);
}

namespace qv {

bool triangulateLaserPixel(const ScannerGeometry& g, const BedFrameTransform& bed, double x, double y, int laser,
                           Eigen::Vector3d& point, Eigen::Vector3d& normal) {
  const Eigen::Vector3d* planeNormal;
  const Eigen::Vector3d* planeOrigin;
  if (laser == 2) {
    planeNormal = &g.laser1Normal;
    planeOrigin = &g.laser1Origin;
  } else if (laser == 3) {
    planeNormal = &g.laser2Normal;
    planeOrigin = &g.laser2Origin;
  } else {
    return false;
  }
  const Eigen::Vector3d ray = PixelToCameraRay(g, x, y);
  // The ray is a direction from the camera: the line runs from the camera origin along it.
  const auto hit = IntersectRayWithPlane(g.cameraOrigin + ray, g.cameraOrigin, *planeOrigin, *planeNormal);
  if (!hit) return false;
  const Eigen::Vector3d moved = *hit + static_cast<double>(g.headHeight) * g.leadScrewDirection;
  point = bed.apply(moved);
  normal = (point - bed.apply(*planeOrigin)).normalized();
  return true;
}

}  // namespace qv

bool TriangulateLaserPixel(const ScannerGeometry& g, double x, double y, int laser, float angle,
                           Eigen::Vector3d& point, Eigen::Vector3d& normal) {
  return qv::triangulateLaserPixel(g, qv::BedFrameTransform(g, angle), x, y, laser, point, normal);
}

float PixelSizeAtDistance(float width, float fieldOfView_deg, float distance) {
  const double halfAngle = static_cast<double>(fieldOfView_deg) / 2.0 * M_PI / 180.0;
  return static_cast<float>(2.0 * distance * std::tan(halfAngle) / width);
}
