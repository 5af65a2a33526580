// The viewer's small scene graph: nodes with row-vector transforms, cameras, lights, materials and
// geometry drawn as indexed subsets of shared vertex buffers. No GL here: the renderer takes a
// snapshot when it paints, and projection works on the same snapshot off the GUI thread.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Value.h"
#include "viewer/model/SceneMath.h"

namespace qv::scene {

// The numbers are the primitive types the viewer's geometry calls pass around.
enum class PrimitiveType : int { Triangles = 0, TriangleStrip = 1, Lines = 2, Points = 3 };
enum class LightingModel { Constant, Lambert };

struct Colour {
  float red = 0, green = 0, blue = 0, alpha = 1;
  friend bool operator==(const Colour&, const Colour&) = default;
};

// 44-byte scan vertex records: position at byte 8, normal at 20, colour at 32. The renderer
// uploads a buffer once and recognises it by identity afterwards, so a buffer never changes.
struct VertexBuffer {
  SharedData bytes;
  std::size_t count() const { return bytes ? bytes->size() / 44 : 0; }
};
using VertexBufferPtr = std::shared_ptr<const VertexBuffer>;
using IndexBufferPtr = std::shared_ptr<const std::vector<std::uint32_t>>;

// An RGB or RGBA image for textured meshes, rows top-down.
struct Image {
  int width = 0, height = 0, channels = 3;
  std::vector<std::uint8_t> pixels;
};

struct Material {
  LightingModel lighting = LightingModel::Constant;
  // When set, every vertex takes this colour instead of its own (the red of selected points).
  std::optional<Colour> diffuse;
  std::optional<Colour> emission;
  std::shared_ptr<const Image> texture;
  // Lit from whichever side faces the camera (a mesh seen from inside is not black).
  bool doubleSided = false;
};

struct Geometry {
  VertexBufferPtr vertices;
  IndexBufferPtr indices;
  std::size_t elementCount = 0;  // indices drawn, from the start of the index buffer
  PrimitiveType primitive = PrimitiveType::Points;
  Material material;
  // One (u, v) pair of doubles per vertex, v down from the image's top row, for textured
  // triangles whose corners are not shared (so there are as many vertices as indices).
  std::shared_ptr<const std::vector<double>> textureCoordinates;
  // Primitives the element count makes: a strip of fewer than three indices makes none.
  std::size_t primitiveCount() const;
};
using GeometryPtr = std::shared_ptr<const Geometry>;

struct Camera {
  float fieldOfViewYDegrees = 60.0f;
  float zNear = 0.1f, zFar = 600.0f;
};

struct Light {
  enum class Kind { Omni, Ambient };
  Kind kind = Kind::Omni;
  Colour colour{1, 1, 1, 1};
};

// Every node of every scene shares one lock: scene edits are few and small, and one lock
// cannot be taken in two orders.
std::recursive_mutex& sceneLock();

class Node : public std::enable_shared_from_this<Node> {
public:
  static std::shared_ptr<Node> make(std::string name = {});

  std::string name() const;
  Mat4 transform() const;
  void setTransform(const Mat4& transform);
  Vec3 position() const;
  void setPosition(Vec3 position);
  // Replaces the rotation part, keeping the position.
  void setRotation(Vec3 axis, float angle);

  GeometryPtr geometry() const;
  void setGeometry(GeometryPtr geometry);
  std::optional<Camera> camera() const;
  void setCamera(std::optional<Camera> camera);
  std::optional<Light> light() const;
  void setLight(std::optional<Light> light);

  void addChild(const std::shared_ptr<Node>& child);
  void removeFromParent();
  std::shared_ptr<Node> parent() const;
  std::vector<std::shared_ptr<Node>> children() const;
  // The transform from this node's space to the root's: local * parent * ... .
  Mat4 worldTransform() const;

private:
  explicit Node(std::string name) : name_(std::move(name)) {}
  std::string name_;
  Mat4 transform_;
  GeometryPtr geometry_;
  std::optional<Camera> camera_;
  std::optional<Light> light_;
  std::weak_ptr<Node> parent_;
  std::vector<std::shared_ptr<Node>> children_;
};
using NodePtr = std::shared_ptr<Node>;

// What a frame draws, taken under the lock in one go.
struct SceneSnapshot {
  struct DrawItem {
    Mat4 world;
    GeometryPtr geometry;
  };
  struct LightItem {
    Light light;
    Vec3 position;
  };
  std::vector<DrawItem> items;
  std::vector<LightItem> lights;
  Mat4 cameraWorld;
  Camera camera;
  Colour background;
};

class Scene {
public:
  Scene();
  const NodePtr& rootNode() const { return root_; }
  void setPointOfView(NodePtr cameraNode);
  NodePtr pointOfView() const;
  Colour background() const;
  void setBackground(Colour colour);
  SceneSnapshot snapshot() const;

private:
  NodePtr root_;
  NodePtr pointOfView_;
  Colour background_{1, 1, 1, 1};
};
using ScenePtr = std::shared_ptr<Scene>;

}  // namespace qv::scene
