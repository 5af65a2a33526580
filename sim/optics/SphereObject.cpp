// Ray casting against a sphere.
#include "sim/optics/SphereObject.h"

#include <cmath>

namespace qv::sim {

SphereObject::SphereObject(Eigen::Vector3d centre_mm, double radius_mm, Eigen::Vector3d reflectance)
    : centre_(std::move(centre_mm)), radius_(radius_mm), reflectance_(std::move(reflectance)) {}

std::optional<SurfaceHit> SphereObject::intersect(const Ray& ray, double tMin, double tMax) const {
  const Eigen::Vector3d o = ray.origin - centre_;
  const double c = o.squaredNorm() - radius_ * radius_;
  if (c <= 0.0) return std::nullopt;  // rays from inside do not see the outer surface
  const double b = 2.0 * o.dot(ray.direction);
  const auto t = nearestRoot(1.0, b, c, tMin, tMax);
  if (!t) return std::nullopt;
  const Eigen::Vector3d normal = (o + *t * ray.direction) / radius_;
  return SurfaceHit{*t, normal.normalized(), reflectance_, 0};
}

double SphereObject::distanceToSurface(const Eigen::Vector3d& p) const {
  return std::fabs((p - centre_).norm() - radius_);
}

}  // namespace qv::sim
