// Ray casting against an upright cylinder and its top.
#include "sim/optics/CylinderObject.h"

#include <algorithm>
#include <cmath>

namespace qv::sim {

CylinderObject::CylinderObject(double x_mm, double z_mm, double radius_mm, double height_mm,
                               Eigen::Vector3d reflectance)
    : x_(x_mm), z_(z_mm), radius_(radius_mm), height_(height_mm), reflectance_(std::move(reflectance)) {}

std::optional<SurfaceHit> CylinderObject::intersect(const Ray& ray, double tMin, double tMax) const {
  std::optional<SurfaceHit> best;
  const double ox = ray.origin.x() - x_;
  const double oz = ray.origin.z() - z_;
  const Eigen::Vector3d& d = ray.direction;
  // Top disc, from above.
  if (d.y() < 0.0 && ray.origin.y() > height_) {
    const double t = (height_ - ray.origin.y()) / d.y();
    if (t > tMin && t < tMax) {
      const double px = ox + t * d.x();
      const double pz = oz + t * d.z();
      if (px * px + pz * pz <= radius_ * radius_) {
        best = SurfaceHit{t, Eigen::Vector3d::UnitY(), reflectance_, 1};
        tMax = t;
      }
    }
  }
  // Side, from outside.
  const double c = ox * ox + oz * oz - radius_ * radius_;
  if (c > 0.0) {
    const double a = d.x() * d.x() + d.z() * d.z();
    const double b = 2.0 * (ox * d.x() + oz * d.z());
    if (const auto t = nearestRoot(a, b, c, tMin, tMax)) {
      const double y = ray.origin.y() + *t * d.y();
      if (y >= 0.0 && y <= height_) {
        const Eigen::Vector3d normal(ox + *t * d.x(), 0.0, oz + *t * d.z());
        best = SurfaceHit{*t, normal.normalized(), reflectance_, 0};
      }
    }
  }
  return best;
}

// The side and the top stand between heights 0 and the height within the radius of the axis.
std::optional<SceneObject::Bounds> CylinderObject::bounds() const {
  return Bounds{Eigen::Vector3d(x_, 0.5 * height_, z_), std::hypot(radius_, 0.5 * height_), radius_};
}

double CylinderObject::distanceToSurface(const Eigen::Vector3d& p) const {
  const double radial = std::hypot(p.x() - x_, p.z() - z_) - radius_;
  const double below = -p.y();
  const double above = p.y() - height_;
  if (above <= 0.0 && below <= 0.0) {
    // Inside the height range: the side, or the top when the point is within the disc.
    return radial >= 0.0 ? radial : std::min(-radial, -above);
  }
  const double vertical = std::max(above, below);
  return radial <= 0.0 ? vertical : std::hypot(radial, vertical);
}

}  // namespace qv::sim
