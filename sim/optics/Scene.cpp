// The scene's objects and the nearest-surface search over them.
#include "sim/optics/Scene.h"

#include "sim/optics/CylinderObject.h"
#include "sim/optics/HourglassObject.h"
#include "sim/optics/SphereObject.h"
#include "sim/optics/TurntableSurface.h"

namespace qv::sim {

Scene::Scene(double bedRadius_mm, double bedThickness_mm) {
  add(std::make_shared<TurntableSurface>(bedRadius_mm, bedThickness_mm));
}

Scene Scene::standard(double bedRadius_mm, double bedThickness_mm) {
  Scene scene(bedRadius_mm, bedThickness_mm);
  scene.add(std::make_shared<CylinderObject>(40.0, -25.0, 20.0, 70.0, Eigen::Vector3d(0.85, 0.8, 0.72)));
  scene.add(std::make_shared<SphereObject>(Eigen::Vector3d(-35.0, 28.0, 20.0), 28.0, Eigen::Vector3d(0.9, 0.9, 0.9)));
  scene.add(std::make_shared<HourglassObject>(20.0, 45.0, 12.0, 45.0, 0.5, 90.0, Eigen::Vector3d(0.75, 0.82, 0.9)));
  return scene;
}

int Scene::add(std::shared_ptr<const SceneObject> object) {
  Entry entry;
  entry.object = object;
  if (const auto bounds = object->bounds()) {
    // Widened so that rounding in the test below never turns away a ray that grazes the surface.
    entry.bounded = true;
    entry.centre = bounds->centre;
    entry.radius = bounds->radius * (1.0 + 1e-9) + 1e-6;
    entry.radius2 = entry.radius * entry.radius;
    if (bounds->uprightRadius > 0.0) {
      const double upright = bounds->uprightRadius * (1.0 + 1e-9) + 1e-6;
      entry.upright2 = upright * upright;
    }
  }
  entries_.push_back(std::move(entry));
  objects_.push_back(std::move(object));
  return static_cast<int>(objects_.size()) - 1;
}

std::optional<Scene::Hit> Scene::intersect(const Ray& ray, double tMin, double tMax) const {
  std::optional<Hit> best;
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    const Entry& entry = entries_[i];
    if (entry.bounded) {
      // Most rays pass far from the small objects: a ray whose line misses the bounding sphere,
      // or whose interval lies wholly before or after it, cannot meet the object.
      const Eigen::Vector3d toCentre = entry.centre - ray.origin;
      const double along = toCentre.dot(ray.direction);
      const double off2 = toCentre.squaredNorm() - along * along;
      if (off2 > entry.radius2 || along + entry.radius < tMin || along - entry.radius > tMax) continue;
      if (entry.upright2 > 0.0) {
        // Seen from above, the line passes the axis further off than the upright radius.
        const Eigen::Vector3d& d = ray.direction;
        const double across = toCentre.x() * d.z() - toCentre.z() * d.x();
        if (across * across > entry.upright2 * (d.x() * d.x() + d.z() * d.z())) continue;
      }
    }
    if (const auto hit = entry.object->intersect(ray, tMin, tMax)) {
      best = Hit{*hit, static_cast<int>(i)};
      tMax = hit->t;
    }
  }
  return best;
}

}  // namespace qv::sim
