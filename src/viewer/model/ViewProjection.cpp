// Projection of points to view positions on a snapshot of the view.
#include "viewer/model/ViewProjection.h"

#include <mutex>

namespace qv::viewer {

scene::Mat4 ViewSnapshot::worldToClip() const {
  const float aspect = height > 0 ? width / height : 1.0f;
  return cameraWorld.rigidInverse() *
         scene::Mat4::perspective(camera.fieldOfViewYDegrees, aspect, camera.zNear, camera.zFar);
}

scene::Mat4 ViewSnapshot::objectToClip() const { return objectWorld * worldToClip(); }

ViewSnapshot takeViewSnapshot(const scene::Scene& scene, const scene::NodePtr& objectNode, float width, float height) {
  std::lock_guard<std::recursive_mutex> lock(scene::sceneLock());
  ViewSnapshot view;
  const scene::NodePtr camera = scene.pointOfView();
  if (!objectNode || !camera || width <= 0 || height <= 0) return view;
  view.objectWorld = objectNode->worldTransform();
  view.cameraWorld = camera->worldTransform();
  view.camera = camera->camera().value_or(scene::Camera{});
  view.width = width;
  view.height = height;
  view.valid = true;
  return view;
}

ViewPoint projectPoint(const ViewSnapshot& view, scene::Vec3 p) { return ViewProjector(view)(p); }

ViewProjector::ViewProjector(const ViewSnapshot& view)
    : width_(view.width), height_(view.height), valid_(view.valid) {
  if (valid_) toClip_ = view.objectToClip();
}

ViewPoint ViewProjector::operator()(scene::Vec3 p) const {
  if (!valid_) return {};
  float w = 0;
  const scene::Vec3 clip = scene::transformPoint(toClip_, p, &w);
  if (w == 0) return {};
  return {(clip.x / w + 1.0f) * 0.5f * width_, (1.0f - clip.y / w) * 0.5f * height_, w > 0};
}

}  // namespace qv::viewer
