// The circles of the 3D viewer's brush overlay (`QVLPointSelectionOverlayView`): one per point, a
// second circle at exactly the same point replacing the first.
#pragma once

#include <map>
#include <utility>
#include <vector>

namespace qv::screens {

// `QVLVisiblePoint`.
struct QVLVisiblePoint {
  double x = 0, y = 0, radius = 0;
};

class PointSelectionOverlayModel {
public:
  struct Rect {
    double x = 0, y = 0, width = 0, height = 0;
  };
  // Adds (or replaces) the circle at the point; answers the rectangle to redraw.
  Rect addPoint(double x, double y, double radius);
  void removeAllPoints() { points_.clear(); }
  std::vector<QVLVisiblePoint> visiblePoints() const;
  std::size_t count() const { return points_.size(); }

private:
  std::map<std::pair<double, double>, QVLVisiblePoint> points_;
};

}  // namespace qv::screens
