// The turntable: a disc whose top is the plane y = 0, with a ring of marks near its rim.
#pragma once

#include "sim/optics/SceneObject.h"

namespace qv::sim {

class TurntableSurface : public SceneObject {
public:
  TurntableSurface(double radius_mm, double thickness_mm);

  std::optional<SurfaceHit> intersect(const Ray& ray, double tMin, double tMax) const override;
  double distanceToSurface(const Eigen::Vector3d& point) const override;

  // The top's reflectance at a point: plain grey, with alternating marks in the outer ring so
  // that the turn of the bed can be seen.
  Eigen::Vector3d reflectanceAt(const Eigen::Vector3d& point) const;

private:
  double radius_;
  double thickness_;
};

}  // namespace qv::sim
