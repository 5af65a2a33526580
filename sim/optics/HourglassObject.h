// A waisted solid of revolution (a hyperboloid of one sheet with a flat top): not convex.
#pragma once

#include "sim/optics/SceneObject.h"

namespace qv::sim {

// The radius at height y is sqrt(waist^2 + flare^2 (y - waistHeight)^2), for y = 0 .. height;
// the axis stands upright through (x, 0, z) of the turntable frame.
class HourglassObject : public SceneObject {
public:
  HourglassObject(double x_mm, double z_mm, double waistRadius_mm, double waistHeight_mm, double flare,
                  double height_mm, Eigen::Vector3d reflectance);

  std::optional<SurfaceHit> intersect(const Ray& ray, double tMin, double tMax) const override;
  double distanceToSurface(const Eigen::Vector3d& point) const override;
  std::optional<Bounds> bounds() const override;

  double radiusAt(double y_mm) const;

private:
  double x_;
  double z_;
  double waist_;
  double waistHeight_;
  double flare_;
  double height_;
  double topRadius_;  // radiusAt(height_), which every ray from above needs
  Eigen::Vector3d reflectance_;
};

}  // namespace qv::sim
