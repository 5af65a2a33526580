// What stands in front of the simulated camera: the turntable and the objects on it.
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "sim/optics/SceneObject.h"

namespace qv::sim {

class Scene {
public:
  struct Hit {
    SurfaceHit surface;
    int objectId = -1;  // index in objects(); the turntable is 0
  };

  // A turntable of the given size and nothing on it.
  explicit Scene(double bedRadius_mm = 100.0, double bedThickness_mm = 15.0);

  // The turntable with the three test objects: a cylinder off the axis, a sphere resting on the
  // bed and a waisted solid of revolution, all inside the 90 mm scanning radius.
  static Scene standard(double bedRadius_mm = 100.0, double bedThickness_mm = 15.0);

  // Adds an object fixed to the turntable (turntable coordinates); answers its id.
  int add(std::shared_ptr<const SceneObject> object);
  const std::vector<std::shared_ptr<const SceneObject>>& objects() const { return objects_; }

  // The nearest surface along a ray in turntable coordinates.
  std::optional<Hit> intersect(const Ray& ray, double tMin = 1e-9, double tMax = 1e30) const;

  // What rays that meet nothing see, as a reflectance under the scene's light.
  Eigen::Vector3d background{0.06, 0.06, 0.07};

private:
  struct Entry {
    std::shared_ptr<const SceneObject> object;
    bool bounded = false;
    Eigen::Vector3d centre = Eigen::Vector3d::Zero();
    double radius2 = 0.0;  // the bounds' squared radius, a little widened
    double radius = 0.0;
    double upright2 = 0.0;  // the upright cylinder's squared radius, widened; 0: none
  };
  std::vector<std::shared_ptr<const SceneObject>> objects_;
  std::vector<Entry> entries_;  // the same objects, with their bounds
};

}  // namespace qv::sim
