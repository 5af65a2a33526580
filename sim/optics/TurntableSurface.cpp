// Ray casting against the turntable's top and rim.
#include "sim/optics/TurntableSurface.h"

#include <algorithm>
#include <cmath>

namespace qv::sim {

TurntableSurface::TurntableSurface(double radius_mm, double thickness_mm)
    : radius_(radius_mm), thickness_(thickness_mm) {}

Eigen::Vector3d TurntableSurface::reflectanceAt(const Eigen::Vector3d& p) const {
  const double ring = 0.88 * radius_;
  if (p.x() * p.x() + p.z() * p.z() > ring * ring) {
    const double sector = std::floor((std::atan2(p.z(), p.x()) + M_PI) / (M_PI / 12.0));
    if (static_cast<long>(sector) % 2 == 0) return {0.55, 0.55, 0.6};
  }
  return {0.32, 0.32, 0.34};
}

std::optional<SurfaceHit> TurntableSurface::intersect(const Ray& ray, double tMin, double tMax) const {
  std::optional<SurfaceHit> best;
  // Top face, seen from above.
  if (ray.direction.y() < 0.0 && ray.origin.y() > 0.0) {
    const double t = -ray.origin.y() / ray.direction.y();
    if (t > tMin && t < tMax) {
      const Eigen::Vector3d p = ray.origin + t * ray.direction;
      if (p.x() * p.x() + p.z() * p.z() <= radius_ * radius_) {
        // A ray coming down onto the top is above the rim until it gets there.
        return SurfaceHit{t, Eigen::Vector3d::UnitY(), reflectanceAt(p), 0};
      }
    }
  }
  // Rim: the outside of the cylinder between the bottom and the top, out of reach of a ray that
  // starts above the top and does not go down.
  if (ray.origin.y() > 0.0 && ray.direction.y() >= 0.0) return best;
  const double a = ray.direction.x() * ray.direction.x() + ray.direction.z() * ray.direction.z();
  const double b = 2.0 * (ray.origin.x() * ray.direction.x() + ray.origin.z() * ray.direction.z());
  const double c = ray.origin.x() * ray.origin.x() + ray.origin.z() * ray.origin.z() - radius_ * radius_;
  if (c > 0.0) {
    if (const auto t = nearestRoot(a, b, c, tMin, tMax)) {
      const Eigen::Vector3d p = ray.origin + *t * ray.direction;
      if (p.y() <= 0.0 && p.y() >= -thickness_)
        best = SurfaceHit{*t, Eigen::Vector3d(p.x(), 0.0, p.z()).normalized(), Eigen::Vector3d(0.2, 0.2, 0.22), 1};
    }
  }
  return best;
}

double TurntableSurface::distanceToSurface(const Eigen::Vector3d& p) const {
  const double r = std::hypot(p.x(), p.z());
  if (r <= radius_) return std::fabs(p.y());
  return std::hypot(r - radius_, std::max(p.y(), 0.0));
}

}  // namespace qv::sim
