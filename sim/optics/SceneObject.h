// A surface of the simulated scene, in turntable coordinates, that rays can be cast against.
#pragma once

#include <Eigen/Core>
#include <cmath>
#include <optional>
#include <utility>

namespace qv::sim {

struct Ray {
  Eigen::Vector3d origin = Eigen::Vector3d::Zero();
  Eigen::Vector3d direction = Eigen::Vector3d::UnitZ();  // unit
};

struct SurfaceHit {
  double t = 0.0;                                        // distance along the ray
  Eigen::Vector3d normal = Eigen::Vector3d::UnitY();     // unit, facing out of the solid
  Eigen::Vector3d reflectance = Eigen::Vector3d::Ones(); // red, green, blue, 0 to 1
  int face = 0;                                          // which smooth part of the surface: 0 side, 1 top or rim
};

class SceneObject {
public:
  virtual ~SceneObject() = default;
  // The nearest crossing of the ray into the surface with tMin < t < tMax.
  virtual std::optional<SurfaceHit> intersect(const Ray& ray, double tMin, double tMax) const = 0;
  // The distance of a point from the surface (exact or a close first-order estimate near it).
  virtual double distanceToSurface(const Eigen::Vector3d& point) const = 0;

  // A sphere holding every point `intersect` can answer, so that rays passing well clear of it
  // need not be cast; nothing for a surface that is met almost everywhere (or not bounded).
  struct Bounds {
    Eigen::Vector3d centre = Eigen::Vector3d::Zero();
    double radius = 0.0;
    // For an upright solid, also the radius of an upright cylinder through the centre that holds
    // it (0: none): a much closer fit for a tall object than the sphere.
    double uprightRadius = 0.0;
  };
  virtual std::optional<Bounds> bounds() const { return std::nullopt; }
};

// The smaller root above tMin of a t^2 + b t + c = 0, or nothing; a ~ 0 falls back to the linear case.
// Inline: every pixel of every frame solves a few of these.
inline std::optional<double> nearestRoot(double a, double b, double c, double tMin, double tMax) {
  if (std::fabs(a) < 1e-12) {
    if (b == 0.0) return std::nullopt;
    const double t = -c / b;
    if (t > tMin && t < tMax) return t;
    return std::nullopt;
  }
  const double discriminant = b * b - 4.0 * a * c;
  if (discriminant < 0.0) return std::nullopt;
  // The numerically stable pair of roots.
  const double q = -0.5 * (b + std::copysign(std::sqrt(discriminant), b));
  double t0 = q / a;
  double t1 = q != 0.0 ? c / q : t0;
  if (t0 > t1) std::swap(t0, t1);
  if (t0 > tMin && t0 < tMax) return t0;
  if (t1 > tMin && t1 < tMax) return t1;
  return std::nullopt;
}

}  // namespace qv::sim
