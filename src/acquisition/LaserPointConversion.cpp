// Converting a frame's laser-line points into bed-frame points.
#include "acquisition/LaserPointConversion.h"

#include <Eigen/Geometry>
#include <cmath>

#include "acquisition/ScannerGeometry.h"
#include "acquisition/internal/BedFrameTransform.h"

namespace qv {

bool isPointInsideScanningArea(const Eigen::Vector3d& point_in_bed) {
  const float x = static_cast<float>(point_in_bed.x());
  const float z = static_cast<float>(point_in_bed.z());
  return x * x + z * z < 8100.0f && point_in_bed.y() >= -1.0;
}

std::vector<QVLPoint3D> convertTo3dPoints(const QVLScannerCalibration* calibration,
                                          const std::vector<QVSImageLaserPoint>& points, int laser,
                                          float angle_deg, float currentBedRotation_deg,
                                          float currentHeadHeight_mm) {
  std::vector<QVLPoint3D> result;
  if (!calibration || (laser != 2 && laser != 3)) return result;
  const ScannerGeometry geometry = ScannerGeometryFromCalibration(*calibration, currentHeadHeight_mm);
  const float bedAngle = static_cast<float>(static_cast<double>(currentBedRotation_deg) / 180.0 * M_PI);
  const BedFrameTransform bed(geometry, bedAngle);
  const Eigen::Matrix3d unwrap =
      Eigen::AngleAxisd(-static_cast<double>(angle_deg) / 180.0 * M_PI, Eigen::Vector3d::UnitY()).toRotationMatrix();
  result.reserve(points.size());
  for (const QVSImageLaserPoint& source : points) {
    Eigen::Vector3d point;
    Eigen::Vector3d normal;
    if (!triangulateLaserPixel(geometry, bed, source.x(), source.y(), laser, point, normal)) continue;
    if (!isPointInsideScanningArea(point)) continue;
    QVLPoint3D p;
    p.point2DX = source.x();
    p.point2DY = static_cast<float>(source.y());
    p.point3DX = static_cast<float>(point.x());
    p.point3DY = static_cast<float>(point.y());
    p.point3DZ = static_cast<float>(point.z());
    p.normalX = static_cast<float>(normal.x());
    p.normalY = static_cast<float>(normal.y());
    p.normalZ = static_cast<float>(normal.z());
    if (const auto& colour = source.sourceImagePixelColour()) {
      p.colourRed = static_cast<float>(colour->red);
      p.colourGreen = static_cast<float>(colour->green);
      p.colourBlue = static_cast<float>(colour->blue);
    }
    p.laserBrightness = source.laserBrightness();
    p.unwrappedPointZ = static_cast<float>((unwrap * point).z());
    result.push_back(p);
  }
  return result;
}

}  // namespace qv
