// The scan screen's preview scene and its navigation.
#include "screens/ScanPreviewScene.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "viewer/model/ViewerNavigation.h"

namespace qv::screens {

namespace {

constexpr scene::Colour kHighlightRed{1, 0, 0, 1};
constexpr float kPi = 3.14159265358979f;

}  // namespace

ScanPreviewScene::ScanPreviewScene(qv::Settings& settings) : settings_(settings) { resetScene(); }

scene::Colour ScanPreviewScene::backgroundColour() const {
  const auto value = settings_.objectForKey("ViewerDefaultColour");
  if (!value || !value->array() || value->array()->size() < 3) return {0.9f, 0.9f, 0.9f, 1.0f};
  const qv::Array& a = *value->array();
  return {static_cast<float>(a[0].toDouble()), static_cast<float>(a[1].toDouble()),
          static_cast<float>(a[2].toDouble()), a.size() > 3 ? static_cast<float>(a[3].toDouble()) : 1.0f};
}

void ScanPreviewScene::resetScene() {
  auto newScene = std::make_shared<scene::Scene>();
  newScene->setBackground(backgroundColour());
  auto objects = scene::Node::make("objects");
  newScene->rootNode()->addChild(objects);
  auto camera = scene::Node::make("camera");
  camera->setCamera(scene::Camera{60.0f, 0.1f, 800.0f});
  newScene->rootNode()->addChild(camera);
  newScene->setPointOfView(camera);
  auto light = scene::Node::make("ambient");
  light->setLight(scene::Light{scene::Light::Kind::Ambient, {1, 1, 1, 1}});
  newScene->rootNode()->addChild(light);
  {
    std::lock_guard lock(mutex_);
    scene_ = newScene;
    objectsNode_ = objects;
    cameraNode_ = camera;
  }
  yaw_ = pitch_ = 0;
  cameraPosition0_ = kStartCameraPosition;
  shouldUpdateCameraDistance_ = true;
  updateObjectTransform();
}

scene::ScenePtr ScanPreviewScene::scene() const {
  std::lock_guard lock(mutex_);
  return scene_;
}
scene::NodePtr ScanPreviewScene::objectsNode() const {
  std::lock_guard lock(mutex_);
  return objectsNode_;
}
scene::NodePtr ScanPreviewScene::cameraNode() const {
  std::lock_guard lock(mutex_);
  return cameraNode_;
}

scene::NodePtr ScanPreviewScene::renderVertices(std::span<const QVLPreviewVertex> records,
                                                std::vector<std::uint32_t> indices, std::size_t total,
                                                PointMaterial material) {
  const std::size_t drawable = std::min({total, records.size(), indices.size()});
  auto bytes = std::make_shared<qv::Data>(records.size() * sizeof(QVLPreviewVertex));
  if (!records.empty()) std::memcpy(bytes->data(), records.data(), bytes->size());
  auto geometry = std::make_shared<scene::Geometry>();
  geometry->vertices = std::make_shared<const scene::VertexBuffer>(scene::VertexBuffer{std::move(bytes)});
  geometry->indices = std::make_shared<const std::vector<std::uint32_t>>(std::move(indices));
  geometry->elementCount = drawable;
  geometry->primitive = scene::PrimitiveType::Points;
  geometry->material.lighting = scene::LightingModel::Constant;
  if (material == PointMaterial::Highlight) geometry->material.diffuse = kHighlightRed;
  auto node = scene::Node::make(material == PointMaterial::Highlight ? "highlight" : "points");
  node->setGeometry(std::move(geometry));
  return node;
}

scene::GeometryPtr ScanPreviewScene::fadedHighlight(const scene::Geometry& geometry, scene::Colour background,
                                                    float fade) {
  const float t = std::clamp(fade, 0.0f, 1.0f);
  auto faded = std::make_shared<scene::Geometry>(geometry);
  faded->material.diffuse = scene::Colour{kHighlightRed.red + (background.red - kHighlightRed.red) * t,
                                          kHighlightRed.green + (background.green - kHighlightRed.green) * t,
                                          kHighlightRed.blue + (background.blue - kHighlightRed.blue) * t, 1};
  return faded;
}

void ScanPreviewScene::setObjectsNodeHomePosition(Double3 position) {
  std::lock_guard lock(mutex_);
  home_ = position;
}

Double3 ScanPreviewScene::objectsNodeHomePosition() const {
  std::lock_guard lock(mutex_);
  return home_;
}

void ScanPreviewScene::setPitchAngle(float pitch) {
  // Written as negated comparisons so that a value that is not a number lands on the upper limit.
  if (!(pitch < viewer::kMaxPitch))
    pitch_ = viewer::kMaxPitch;
  else if (!(pitch > -viewer::kMaxPitch))
    pitch_ = -viewer::kMaxPitch;
  else
    pitch_ = pitch;
}

void ScanPreviewScene::updateObjectTransform() {
  const auto objects = objectsNode(), camera = cameraNode();
  // A difference that is not a number fails the comparison, as it should.
  if (std::fabs(static_cast<double>(yaw_) - yawRendered_) > viewer::kAngleThreshold) {
    yawRendered_ = yaw_;
    objects->setRotation({0, 1, 0}, yaw_);
  }
  if (std::fabs(static_cast<double>(pitch_) - pitchRendered_) > viewer::kAngleThreshold || shouldUpdateCameraDistance_) {
    pitchRendered_ = pitch_;
    const Double3 home = objectsNodeHomePosition();
    objects->setPosition({static_cast<float>(home.x), static_cast<float>(home.y), static_cast<float>(home.z)});
    const Double3 p{cameraPosition0_.x + home.x, cameraPosition0_.y + home.y, cameraPosition0_.z + home.z};
    camera->setTransform(viewer::cameraTransform(pitch_, p));
    shouldUpdateCameraDistance_ = false;
  }
}

void ScanPreviewScene::panTheObject(double dx, double dy) {
  cameraPosition0_ = viewer::pannedCameraPosition(cameraPosition0_, dx, dy);
  shouldUpdateCameraDistance_ = true;
  updateObjectTransform();
}

void ScanPreviewScene::drag(double dx, double dy, double width, double height, QVLModifiers m) {
  const float w = static_cast<float>(std::max(1.0, width)), h = static_cast<float>(std::max(1.0, height));
  const bool onlyShift = m.shift && !m.control && !m.option && !m.command;
  const bool onlyControl = m.control && !m.shift && !m.option && !m.command;
  const bool onlyOption = m.option && !m.shift && !m.control && !m.command;
  if (onlyOption) {
    panTheObject(dx, dy);
    return;
  }
  if (!onlyShift) setPitchAngle(pitch_ + static_cast<float>(dy) / h * kPi);
  if (!onlyControl) yaw_ += static_cast<float>(dx) / w * kPi;
  updateObjectTransform();
}

void ScanPreviewScene::scrollWheel(double deltaY) {
  const float distance = scene::length(cameraNode()->position());
  cameraPosition0_ =
      viewer::zoomedCameraPosition(cameraPosition0_, distance, deltaY, kMinCameraDistance, kMaxCameraDistance);
  shouldUpdateCameraDistance_ = true;
  updateObjectTransform();
}

void ScanPreviewScene::resetViewKey(bool shift) {
  pitch_ = yaw_ = 0;
  if (shift) {
    objectsNode()->setTransform(scene::Mat4::identity());
    yawRendered_ = 0;
    cameraPosition0_ = kStartCameraPosition;
  }
  shouldUpdateCameraDistance_ = true;
  updateObjectTransform();
}

float ScanPreviewScene::pointSize(double backingScale) const {
  const float distance = scene::length(cameraNode()->position());
  return viewer::pointSizeForSetting(settings_.integerForKey("ViewPointSize"), distance, backingScale, kFullSizeDistance);
}

bool ScanPreviewScene::pointSmoothing() const { return settings_.boolForKey("Enable3DPointSmoothing"); }

}  // namespace qv::screens
