// A surface of the simulated scene, in turntable coordinates, that rays can be cast against.
#pragma once

#include <Eigen/Core>
#include <optional>

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
};

// The smaller root above tMin of a t^2 + b t + c = 0, or nothing; a ~ 0 falls back to the linear case.
std::optional<double> nearestRoot(double a, double b, double c, double tMin, double tMax);

}  // namespace qv::sim
