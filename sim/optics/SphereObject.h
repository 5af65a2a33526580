// A sphere in the scene (resting on the turntable when its centre is one radius up).
#pragma once

#include "sim/optics/SceneObject.h"

namespace qv::sim {

class SphereObject : public SceneObject {
public:
  SphereObject(Eigen::Vector3d centre_mm, double radius_mm, Eigen::Vector3d reflectance);

  std::optional<SurfaceHit> intersect(const Ray& ray, double tMin, double tMax) const override;
  double distanceToSurface(const Eigen::Vector3d& point) const override;

  std::optional<Bounds> bounds() const override { return Bounds{centre_, radius_}; }
  const Eigen::Vector3d& centre() const { return centre_; }
  double radius() const { return radius_; }

private:
  Eigen::Vector3d centre_;
  double radius_;
  Eigen::Vector3d reflectance_;
};

}  // namespace qv::sim
