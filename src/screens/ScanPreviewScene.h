// The scan screen's 3D preview scene: the objects node that holds the point nodes, the camera and
// the ambient light, the two materials, and the turning, tilting, panning and zooming of the view.
// Plain C++ over the viewer's scene model, which the renderer draws; no GL here.
#pragma once

#include <cstdint>
#include <mutex>
#include <span>
#include <vector>

#include "platform/Settings.h"
#include "screens/QVLScanViewPointSet.h"
#include "store/Double3.h"
#include "viewer/model/QVLObjectSceneViewController.h"
#include "viewer/model/SceneModel.h"

namespace qv::screens {

class ScanPreviewScene {
public:
  static constexpr Double3 kStartCameraPosition{0, 20, 150};
  // The zoom range and the distance inside which points grow, nearer than the viewer's because
  // the preview starts further out.
  static constexpr double kMinCameraDistance = 30, kMaxCameraDistance = 300;
  static constexpr float kFullSizeDistance = 160;

  enum class PointMaterial { Internal, Highlight };

  explicit ScanPreviewScene(qv::Settings& settings);

  // A new empty scene for a scan start: objects node, camera, ambient light, the start view.
  void resetScene();
  scene::ScenePtr scene() const;
  scene::NodePtr objectsNode() const;
  scene::NodePtr cameraNode() const;

  // A node drawing `total` points of the records through the indices (fewer when either buffer
  // holds fewer). The highlight shows in its own red; the point material in the records' colours.
  static scene::NodePtr renderVertices(std::span<const QVLPreviewVertex> records, std::vector<std::uint32_t> indices,
                                       std::size_t total, PointMaterial material);
  // The highlight's geometry faded towards the background by `fade` (0 red, 1 background).
  static scene::GeometryPtr fadedHighlight(const scene::Geometry& geometry, scene::Colour background, float fade);

  // The negated centre of the scanned object; any thread may set it, the next transform update
  // applies it.
  void setObjectsNodeHomePosition(Double3 position);
  Double3 objectsNodeHomePosition() const;

  float pitchAngle() const { return pitch_; }
  // Kept within +-0.49 pi; a value that is not a number becomes the upper limit.
  void setPitchAngle(float pitch);
  float yawAngle() const { return yaw_; }
  void setYawAngle(float yaw) { yaw_ = yaw; }
  Double3 cameraPosition0() const { return cameraPosition0_; }

  // Applies the angles and positions that changed enough since the last update.
  void updateObjectTransform();
  void panTheObject(double dx, double dy);
  // A left-button drag of (dx, dy) over a view of the size given.
  void drag(double dx, double dy, double width, double height, QVLModifiers modifiers);
  void scrollWheel(double deltaY);
  // The C key: levels the view; with Shift also returns the camera to its start.
  void resetViewKey(bool shift);

  // The point size in device pixels for the settings and the camera's distance now.
  float pointSize(double backingScale) const;
  bool pointSmoothing() const;
  // The background colour the settings give (a light grey when they hold none).
  scene::Colour backgroundColour() const;

private:
  qv::Settings& settings_;
  mutable std::mutex mutex_;  // the scene's nodes and the home position
  scene::ScenePtr scene_;
  scene::NodePtr objectsNode_, cameraNode_;
  Double3 home_{0, 0, 0};
  Double3 cameraPosition0_ = kStartCameraPosition;
  float pitch_ = 0, yaw_ = 0;
  float pitchRendered_ = 0, yawRendered_ = 0;
  bool shouldUpdateCameraDistance_ = true;
};

}  // namespace qv::screens
