// Projection of points to view positions as pure math on a locked snapshot of the view, so the
// brush and the tests can project off the GUI thread and get what the renderer draws.
#pragma once

#include "viewer/model/SceneModel.h"

namespace qv::viewer {

struct ViewSnapshot {
  scene::Mat4 objectWorld;  // from the object node's space to the root's
  scene::Mat4 cameraWorld;  // the camera node's world transform
  scene::Camera camera;
  float width = 0, height = 0;  // the view in points
  bool valid = false;

  // world-to-clip for points in the object node's space (row-vector form, ready for GL as is).
  scene::Mat4 objectToClip() const;
  scene::Mat4 worldToClip() const;
};

// Takes the object node's and the camera's transforms together under the scene lock.
ViewSnapshot takeViewSnapshot(const scene::Scene& scene, const scene::NodePtr& objectNode, float width, float height);

struct ViewPoint {
  float x = 0, y = 0;       // view points, origin at the top left, y downwards
  bool inFront = false;      // in front of the camera (behind it the position means nothing)
};
// A missing node or view gives (0, 0), not in front.
ViewPoint projectPoint(const ViewSnapshot& view, scene::Vec3 pointInObject);

// projectPoint for many points of one view: the view's matrices are multiplied once.
class ViewProjector {
public:
  explicit ViewProjector(const ViewSnapshot& view);
  ViewPoint operator()(scene::Vec3 pointInObject) const;
  bool valid() const { return valid_; }

private:
  scene::Mat4 toClip_;
  float width_ = 0, height_ = 0;
  bool valid_ = false;
};

}  // namespace qv::viewer
