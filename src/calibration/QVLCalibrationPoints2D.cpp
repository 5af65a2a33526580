// The dictionary form of a calibration view, as the diagnostics write it.
#include "calibration/QVLCalibrationPoints2D.h"

namespace {

qv::Array pointArray(const std::vector<Eigen::Vector2d>& points) {
  qv::Array array;
  array.reserve(points.size());
  for (const auto& p : points) array.push_back(qv::Dictionary{{"x", p.x()}, {"y", p.y()}});
  return array;
}

}  // namespace

qv::Dictionary dictionaryWithCalibrationPoints2D(const QVLCalibrationPoints2D& view) {
  const char* box = view.boxPosition == 1   ? "FirstPosition"
                    : view.boxPosition == 2 ? "SecondPosition"
                                            : "UnknownPosition";
  const char* head = view.headPosition == 1 ? "Bottom" : view.headPosition == 2 ? "Top" : "Unknown";
  qv::Array corners2D;
  qv::Array corners3D;
  for (int k = 0; k < QVLCalibrationPoints2D::kCornerCount; ++k) {
    const auto& p = view.checkerboardCoordinates2D[k];
    const auto& q = view.checkerboardCoordinates3D[k];
    corners2D.push_back(qv::Dictionary{{"x", p.x()}, {"y", p.y()}});
    corners3D.push_back(qv::Dictionary{{"x", q.x()}, {"y", q.y()}, {"z", q.z()}});
  }
  return qv::Dictionary{
      {"boxPosition", box},
      {"checkerboardCoordinates2D", std::move(corners2D)},
      {"checkerboardCoordinates3D", std::move(corners3D)},
      {"headHeight", view.headHeight},
      {"laser1Points2D", pointArray(view.laser1Points2D)},
      {"laser2Points2D", pointArray(view.laser2Points2D)},
      {"headPosition", head},
  };
}
