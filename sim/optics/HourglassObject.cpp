// Ray casting against the waisted solid: the side is a quadric, so each ray meets it at most twice.
#include "sim/optics/HourglassObject.h"

#include <algorithm>
#include <cmath>

namespace qv::sim {

HourglassObject::HourglassObject(double x_mm, double z_mm, double waistRadius_mm, double waistHeight_mm,
                                 double flare, double height_mm, Eigen::Vector3d reflectance)
    : x_(x_mm), z_(z_mm), waist_(waistRadius_mm), waistHeight_(waistHeight_mm), flare_(flare),
      height_(height_mm), topRadius_(radiusAt(height_mm)), reflectance_(std::move(reflectance)) {}

double HourglassObject::radiusAt(double y) const {
  const double dy = y - waistHeight_;
  return std::sqrt(waist_ * waist_ + flare_ * flare_ * dy * dy);
}

std::optional<SurfaceHit> HourglassObject::intersect(const Ray& ray, double tMin, double tMax) const {
  std::optional<SurfaceHit> best;
  const double ox = ray.origin.x() - x_;
  const double oy = ray.origin.y() - waistHeight_;
  const double oz = ray.origin.z() - z_;
  const Eigen::Vector3d& d = ray.direction;
  const double s2 = flare_ * flare_;
  const double topRadius = topRadius_;
  // Top disc, from above.
  if (d.y() < 0.0 && ray.origin.y() > height_) {
    const double t = (height_ - ray.origin.y()) / d.y();
    if (t > tMin && t < tMax) {
      const double px = ox + t * d.x();
      const double pz = oz + t * d.z();
      if (px * px + pz * pz <= topRadius * topRadius) {
        best = SurfaceHit{t, Eigen::Vector3d::UnitY(), reflectance_, 1};
        tMax = t;
      }
    }
  }
  // Side: x^2 + z^2 - s^2 y^2 - w^2 = 0 about the waist. Try the crossings in order and keep the
  // first within the height range that the ray enters from outside.
  const double a = d.x() * d.x() + d.z() * d.z() - s2 * d.y() * d.y();
  const double b = 2.0 * (ox * d.x() + oz * d.z() - s2 * oy * d.y());
  const double c = ox * ox + oz * oz - s2 * oy * oy - waist_ * waist_;
  double from = tMin;
  for (int i = 0; i < 2; ++i) {
    const auto t = nearestRoot(a, b, c, from, tMax);
    if (!t) break;
    const double y = ray.origin.y() + *t * d.y();
    if (y >= 0.0 && y <= height_) {
      const Eigen::Vector3d normal(ox + *t * d.x(), -s2 * (oy + *t * d.y()), oz + *t * d.z());
      if (normal.dot(d) < 0.0) {
        best = SurfaceHit{*t, normal.normalized(), reflectance_, 0};
        break;
      }
    }
    from = *t;
  }
  return best;
}

// The radius of the side grows away from the waist, so its widest is at one end.
std::optional<SceneObject::Bounds> HourglassObject::bounds() const {
  const double widest = std::max(radiusAt(0.0), radiusAt(height_));
  return Bounds{Eigen::Vector3d(x_, 0.5 * height_, z_), std::hypot(widest, 0.5 * height_), widest};
}

double HourglassObject::distanceToSurface(const Eigen::Vector3d& p) const {
  const double px = p.x() - x_;
  const double py = p.y() - waistHeight_;
  const double pz = p.z() - z_;
  if (p.y() > height_) {
    const double radial = std::hypot(px, pz) - radiusAt(height_);
    return radial <= 0.0 ? p.y() - height_ : std::hypot(radial, p.y() - height_);
  }
  // First-order distance to the implicit side surface.
  const double s2 = flare_ * flare_;
  const double f = px * px + pz * pz - s2 * py * py - waist_ * waist_;
  const double gradient = 2.0 * std::sqrt(px * px + pz * pz + s2 * s2 * py * py);
  const double side = gradient > 0.0 ? std::fabs(f) / gradient : std::fabs(f);
  const double top = std::fabs(p.y() - height_) + std::max(0.0, std::hypot(px, pz) - radiusAt(height_));
  return std::min(side, top);
}

}  // namespace qv::sim
