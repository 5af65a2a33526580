// The scene's objects and the nearest-surface search over them.
#include "sim/optics/Scene.h"

#include "sim/optics/CylinderObject.h"
#include "sim/optics/HourglassObject.h"
#include "sim/optics/SphereObject.h"
#include "sim/optics/TurntableSurface.h"

namespace qv::sim {

Scene::Scene(double bedRadius_mm, double bedThickness_mm) {
  objects_.push_back(std::make_shared<TurntableSurface>(bedRadius_mm, bedThickness_mm));
}

Scene Scene::standard(double bedRadius_mm, double bedThickness_mm) {
  Scene scene(bedRadius_mm, bedThickness_mm);
  scene.add(std::make_shared<CylinderObject>(40.0, -25.0, 20.0, 70.0, Eigen::Vector3d(0.85, 0.8, 0.72)));
  scene.add(std::make_shared<SphereObject>(Eigen::Vector3d(-35.0, 28.0, 20.0), 28.0, Eigen::Vector3d(0.9, 0.9, 0.9)));
  scene.add(std::make_shared<HourglassObject>(20.0, 45.0, 12.0, 45.0, 0.5, 90.0, Eigen::Vector3d(0.75, 0.82, 0.9)));
  return scene;
}

int Scene::add(std::shared_ptr<const SceneObject> object) {
  objects_.push_back(std::move(object));
  return static_cast<int>(objects_.size()) - 1;
}

std::optional<Scene::Hit> Scene::intersect(const Ray& ray, double tMin, double tMax) const {
  std::optional<Hit> best;
  for (std::size_t i = 0; i < objects_.size(); ++i) {
    if (const auto hit = objects_[i]->intersect(ray, tMin, tMax)) {
      best = Hit{*hit, static_cast<int>(i)};
      tMax = hit->t;
    }
  }
  return best;
}

}  // namespace qv::sim
