// Triangulation: pixel to camera ray, ray to laser plane, camera frame to the levelled bed frame.
#include "acquisition/ScannerGeometry.h"

#include <Eigen/Geometry>
#include <algorithm>
#include <cfloat>
#include <cmath>

#include "acquisition/internal/BedFrameTransform.h"

ScannerGeometry ScannerGeometryFromCalibration(const QVLScannerCalibration& calibration, float headHeight_mm) {
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
  g.headHeight = headHeight_mm;
  g.laser1Normal = calibration.laser1.normal / calibration.laser1.normal.norm();
  g.laser1Origin = calibration.laser1.origin;
  g.laser2Normal = calibration.laser2.normal / calibration.laser2.normal.norm();
  g.laser2Origin = calibration.laser2.origin;
  g.leadScrewDirection = calibration.leadScrewNormal / calibration.leadScrewNormal.norm();
  g.pixelScale = 1.0f;
  g.fx = static_cast<float>(calibration.intrinsics[0]);
  g.focalRatio = static_cast<float>(calibration.intrinsics[0] / calibration.intrinsics[1]);
  g.distortion = calibration.distortion;
  g.fy = static_cast<float>(calibration.intrinsics[1]);
  return g;
}

Eigen::Vector2d UndistortPixel(const ScannerGeometry& g, double x, double y) {
  const double k1 = g.distortion[0], k2 = g.distortion[1], p1 = g.distortion[2], p2 = g.distortion[3];
  if (k1 == 0.0 && k2 == 0.0 && p1 == 0.0 && p2 == 0.0) return {x, y};
  const double fx = g.fx, fy = g.fy;
  if (!(fx != 0.0 && fy != 0.0)) return {x, y};
  // The distorted position in the normalised image plane; the model maps the undistorted (u, v)
  // onto it, and Newton's method on that map finds (u, v) to machine precision in a few steps.
  const double xd = (x - g.cx) / fx;
  const double yd = (y - g.cy) / fy;
  double u = xd, v = yd;
  for (int iteration = 0; iteration < 10; ++iteration) {
    const double r2 = u * u + v * v;
    const double radial = 1.0 + k1 * r2 + k2 * r2 * r2;
    const double dRadial = k1 + 2.0 * k2 * r2;  // d(radial) / d(r2)
    const double ex = u * radial + 2.0 * p1 * u * v + p2 * (r2 + 2.0 * u * u) - xd;
    const double ey = v * radial + p1 * (r2 + 2.0 * v * v) + 2.0 * p2 * u * v - yd;
    const double a = radial + 2.0 * u * u * dRadial + 2.0 * p1 * v + 6.0 * p2 * u;  // d ex / du
    const double b = 2.0 * u * v * dRadial + 2.0 * p1 * u + 2.0 * p2 * v;          // d ex / dv = d ey / du
    const double d = radial + 2.0 * v * v * dRadial + 6.0 * p1 * v + 2.0 * p2 * u;  // d ey / dv
    const double det = a * d - b * b;
    if (!(std::fabs(det) > 1e-12)) break;  // beyond where the model folds over: keep the last estimate
    const double du = (d * ex - b * ey) / det;
    const double dv = (a * ey - b * ex) / det;
    u -= du;
    v -= dv;
    if (std::fabs(du) + std::fabs(dv) < 1e-14) break;
  }
  return {u * fx + g.cx, v * fy + g.cy};
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

Eigen::Vector3d CameraToBedFrame(const ScannerGeometry& g, const Eigen::Vector3d& point_calibration, float angle_rad) {
  return qv::BedFrameTransform(g, angle_rad).apply(point_calibration);
}

namespace qv {

bool triangulateLaserPixel(const ScannerGeometry& g, const BedFrameTransform& bed_from_calibration, double x, double y,
                           int laser, Eigen::Vector3d& point_bed, Eigen::Vector3d& normal_bed) {
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
  // The lens bends the ray seen at a pixel: the straight ray runs through the undistorted pixel.
  const Eigen::Vector2d pinhole = UndistortPixel(g, x, y);
  const Eigen::Vector3d ray_calibration = PixelToCameraRay(g, pinhole.x(), pinhole.y());
  // The ray is a direction from the camera: the line runs from the camera origin along it.
  const auto hit_calibration =
      IntersectRayWithPlane(g.cameraOrigin + ray_calibration, g.cameraOrigin, *planeOrigin, *planeNormal);
  if (!hit_calibration) return false;
  // The calibration was taken at head height 0; the head has since moved along the lead screw.
  const Eigen::Vector3d moved_calibration =
      *hit_calibration + static_cast<double>(g.headHeight) * g.leadScrewDirection;
  point_bed = bed_from_calibration.apply(moved_calibration);
  normal_bed = (point_bed - bed_from_calibration.apply(*planeOrigin)).normalized();
  return true;
}

}  // namespace qv

bool TriangulateLaserPixel(const ScannerGeometry& g, double x, double y, int laser, float angle_rad,
                           Eigen::Vector3d& point_bed, Eigen::Vector3d& normal_bed) {
  return qv::triangulateLaserPixel(g, qv::BedFrameTransform(g, angle_rad), x, y, laser, point_bed, normal_bed);
}

float PixelSizeAtDistance(float width, float fieldOfView_deg, float distance) {
  const double halfAngle = static_cast<double>(fieldOfView_deg) / 2.0 * M_PI / 180.0;
  return static_cast<float>(2.0 * distance * std::tan(halfAngle) / width);
}
