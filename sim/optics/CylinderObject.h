// An upright cylinder standing on the turntable, with a flat top.
#pragma once

#include "sim/optics/SceneObject.h"

namespace qv::sim {

class CylinderObject : public SceneObject {
public:
  // Axis through (x, 0, z) of the turntable frame; the solid spans y = 0 .. height.
  CylinderObject(double x_mm, double z_mm, double radius_mm, double height_mm, Eigen::Vector3d reflectance);

  std::optional<SurfaceHit> intersect(const Ray& ray, double tMin, double tMax) const override;
  double distanceToSurface(const Eigen::Vector3d& point) const override;
  std::optional<Bounds> bounds() const override;

private:
  double x_;
  double z_;
  double radius_;
  double height_;
  Eigen::Vector3d reflectance_;
};

}  // namespace qv::sim
