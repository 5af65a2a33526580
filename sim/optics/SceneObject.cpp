// The quadratic every curved surface of the scene reduces to.
#include "sim/optics/SceneObject.h"

#include <cmath>
#include <utility>

namespace qv::sim {

std::optional<double> nearestRoot(double a, double b, double c, double tMin, double tMax) {
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
