// The brush overlay's circles.
#include "screens/PointSelectionOverlayModel.h"

namespace qv::screens {

PointSelectionOverlayModel::Rect PointSelectionOverlayModel::addPoint(double x, double y, double radius) {
  points_[{x, y}] = QVLVisiblePoint{x, y, radius};
  return {x - radius, y - radius, 2 * radius, 2 * radius};
}

std::vector<QVLVisiblePoint> PointSelectionOverlayModel::visiblePoints() const {
  std::vector<QVLVisiblePoint> out;
  out.reserve(points_.size());
  for (const auto& [key, point] : points_) out.push_back(point);
  return out;
}

}  // namespace qv::screens
