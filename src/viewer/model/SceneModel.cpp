// The viewer's small scene graph.
#include "viewer/model/SceneModel.h"

#include <algorithm>

namespace qv::scene {

std::size_t Geometry::primitiveCount() const {
  const std::size_t k = elementCount;
  switch (primitive) {
    case PrimitiveType::Triangles: return k / 3;
    case PrimitiveType::TriangleStrip: return k >= 3 ? k - 2 : 0;
    case PrimitiveType::Lines: return k / 2;
    case PrimitiveType::Points: return k;
  }
  return 0;
}

std::recursive_mutex& sceneLock() {
  static std::recursive_mutex lock;
  return lock;
}

using Guard = std::lock_guard<std::recursive_mutex>;

NodePtr Node::make(std::string name) { return NodePtr(new Node(std::move(name))); }

std::string Node::name() const { return name_; }

Mat4 Node::transform() const {
  Guard g(sceneLock());
  return transform_;
}

void Node::setTransform(const Mat4& transform) {
  Guard g(sceneLock());
  transform_ = transform;
}

Vec3 Node::position() const {
  Guard g(sceneLock());
  return transform_.translationPart();
}

void Node::setPosition(Vec3 position) {
  Guard g(sceneLock());
  transform_.setTranslation(position);
}

void Node::setRotation(Vec3 axis, float angle) {
  Guard g(sceneLock());
  Mat4 r = Mat4::rotation(axis, angle);
  r.setTranslation(transform_.translationPart());
  transform_ = r;
}

GeometryPtr Node::geometry() const {
  Guard g(sceneLock());
  return geometry_;
}

void Node::setGeometry(GeometryPtr geometry) {
  Guard g(sceneLock());
  geometry_ = std::move(geometry);
}

std::optional<Camera> Node::camera() const {
  Guard g(sceneLock());
  return camera_;
}

void Node::setCamera(std::optional<Camera> camera) {
  Guard g(sceneLock());
  camera_ = camera;
}

std::optional<Light> Node::light() const {
  Guard g(sceneLock());
  return light_;
}

void Node::setLight(std::optional<Light> light) {
  Guard g(sceneLock());
  light_ = light;
}

void Node::addChild(const NodePtr& child) {
  if (!child || child.get() == this) return;
  Guard g(sceneLock());
  child->removeFromParent();
  child->parent_ = weak_from_this();
  children_.push_back(child);
}

void Node::removeFromParent() {
  Guard g(sceneLock());
  if (auto parent = parent_.lock()) {
    auto& siblings = parent->children_;
    siblings.erase(std::remove(siblings.begin(), siblings.end(), shared_from_this()), siblings.end());
  }
  parent_.reset();
}

NodePtr Node::parent() const {
  Guard g(sceneLock());
  return parent_.lock();
}

std::vector<NodePtr> Node::children() const {
  Guard g(sceneLock());
  return children_;
}

Mat4 Node::worldTransform() const {
  Guard g(sceneLock());
  Mat4 world = transform_;
  for (auto p = parent_.lock(); p; p = p->parent_.lock()) world = world * p->transform_;
  return world;
}

Scene::Scene() : root_(Node::make("root")) {}

void Scene::setPointOfView(NodePtr cameraNode) {
  Guard g(sceneLock());
  pointOfView_ = std::move(cameraNode);
}

NodePtr Scene::pointOfView() const {
  Guard g(sceneLock());
  return pointOfView_;
}

Colour Scene::background() const {
  Guard g(sceneLock());
  return background_;
}

void Scene::setBackground(Colour colour) {
  Guard g(sceneLock());
  background_ = colour;
}

namespace {

void collect(const Node& node, const Mat4& parentWorld, SceneSnapshot& out, const Node* pointOfView) {
  const Mat4 world = node.transform() * parentWorld;
  if (auto geometry = node.geometry()) out.items.push_back({world, geometry});
  if (auto light = node.light()) out.lights.push_back({*light, world.translationPart()});
  if (&node == pointOfView) {
    out.cameraWorld = world;
    out.camera = node.camera().value_or(Camera{});
  }
  for (const NodePtr& child : node.children()) collect(*child, world, out, pointOfView);
}

}  // namespace

SceneSnapshot Scene::snapshot() const {
  Guard g(sceneLock());
  SceneSnapshot out;
  out.background = background_;
  collect(*root_, Mat4::identity(), out, pointOfView_.get());
  return out;
}

}  // namespace qv::scene
