// Draws the viewer's scene with OpenGL 3.3 core.
#include "viewer/ui/QVLSceneRenderer.h"

#include <QSurfaceFormat>
#include <vector>

#include "platform/Log.h"
#include "viewer/model/ViewProjection.h"

namespace {

const char* kVertexShader = R"(#version 330 core
layout(location = 0) in vec3 position;
layout(location = 1) in vec3 normal;
layout(location = 2) in vec3 colour;
layout(location = 3) in vec2 uv;
// Row-vector matrices uploaded as they are read as their transposes: column-vector form.
uniform mat4 objectToClip;
uniform mat4 objectToWorld;
uniform float pointSize;
uniform bool useUniformColour;
uniform vec4 uniformColour;
uniform bool lit;
uniform vec3 ambientLight;
uniform int lightCount;
uniform vec3 lightPosition[4];
uniform vec3 lightColour[4];
uniform bool doubleSided;
uniform vec3 eyePosition;
out vec3 shade;
out vec3 lighting;
out vec2 texCoord;
void main() {
  gl_Position = objectToClip * vec4(position, 1.0);
  gl_PointSize = pointSize;
  vec3 base = useUniformColour ? uniformColour.rgb : colour;
  if (lit) {
    vec3 worldPosition = (objectToWorld * vec4(position, 1.0)).xyz;
    vec3 n = normalize(mat3(objectToWorld) * normal);
    // A surface seen from behind is lit as its side that faces the camera.
    if (doubleSided && dot(n, eyePosition - worldPosition) < 0.0) n = -n;
    vec3 light = ambientLight;
    for (int i = 0; i < lightCount; ++i)
      light += lightColour[i] * max(dot(n, normalize(lightPosition[i] - worldPosition)), 0.0);
    base *= light;
    lighting = light;
  } else {
    lighting = vec3(1.0);
  }
  shade = base;
  texCoord = uv;
}
)";

const char* kFragmentShader = R"(#version 330 core
in vec3 shade;
in vec3 lighting;
in vec2 texCoord;
uniform bool roundPoints;
uniform bool textured;
uniform sampler2D atlas;
out vec4 fragment;
void main() {
  if (roundPoints && length(gl_PointCoord - vec2(0.5)) > 0.5) discard;
  fragment = textured ? vec4(texture(atlas, texCoord).rgb * lighting, 1.0) : vec4(shade, 1.0);
}
)";

GLenum glPrimitive(qv::scene::PrimitiveType type) {
  switch (type) {
    case qv::scene::PrimitiveType::Triangles: return GL_TRIANGLES;
    case qv::scene::PrimitiveType::TriangleStrip: return GL_TRIANGLE_STRIP;
    case qv::scene::PrimitiveType::Lines: return GL_LINES;
    case qv::scene::PrimitiveType::Points: return GL_POINTS;
  }
  return GL_POINTS;
}

}  // namespace

QVLSceneRenderer::QVLSceneRenderer(QWidget* parent) : QOpenGLWidget(parent) {
  QSurfaceFormat format;
  format.setVersion(3, 3);
  format.setProfile(QSurfaceFormat::CoreProfile);
  format.setDepthBufferSize(24);
  setFormat(format);
  setMinimumSize(64, 64);
}

QVLSceneRenderer::~QVLSceneRenderer() {
  if (ready_ && context()) {
    makeCurrent();
    releaseAll();
    program_.reset();
    doneCurrent();
  }
}

void QVLSceneRenderer::setPointRendering(float pointSizePixels, bool smoothing) {
  pointSize_ = pointSizePixels;
  smoothing_ = smoothing;
  update();
}

void QVLSceneRenderer::initializeGL() {
  if (!initializeOpenGLFunctions()) {
    QVLogError("The 3D view needs OpenGL 3.3 core, which this display does not offer");
    return;
  }
  program_ = std::make_unique<QOpenGLShaderProgram>();
  if (!program_->addShaderFromSourceCode(QOpenGLShader::Vertex, kVertexShader) ||
      !program_->addShaderFromSourceCode(QOpenGLShader::Fragment, kFragmentShader) || !program_->link()) {
    QVLogError("The 3D view's shader failed: %s", program_->log().toUtf8().constData());
    program_.reset();
    return;
  }
  ready_ = true;
}

QVLSceneRenderer::GpuVertices& QVLSceneRenderer::verticesFor(const qv::scene::VertexBufferPtr& buffer) {
  GpuVertices& gpu = vertices_[buffer.get()];
  // A dead entry at the same address belonged to a buffer that is gone: upload afresh.
  if (gpu.vbo != 0 && gpu.source.lock() == buffer) return gpu;
  if (gpu.vbo == 0) {
    glGenVertexArrays(1, &gpu.vao);
    glGenBuffers(1, &gpu.vbo);
  }
  glBindVertexArray(gpu.vao);
  glBindBuffer(GL_ARRAY_BUFFER, gpu.vbo);
  glBufferData(GL_ARRAY_BUFFER, static_cast<GLsizeiptr>(buffer->bytes ? buffer->bytes->size() : 0),
               buffer->bytes ? buffer->bytes->data() : nullptr, GL_STATIC_DRAW);
  // Position, normal and colour of the 44-byte scan vertex.
  const GLuint offsets[] = {8, 20, 32};
  for (GLuint a = 0; a < 3; ++a) {
    glEnableVertexAttribArray(a);
    glVertexAttribPointer(a, 3, GL_FLOAT, GL_FALSE, 44, reinterpret_cast<const void*>(static_cast<std::uintptr_t>(offsets[a])));
  }
  gpu.source = buffer;
  ++vertexUploads_;
  return gpu;
}

GLuint QVLSceneRenderer::indicesFor(const qv::scene::IndexBufferPtr& buffer) {
  GpuIndices& gpu = indices_[buffer.get()];
  if (gpu.ebo != 0 && gpu.source.lock() == buffer) return gpu.ebo;
  if (gpu.ebo == 0) glGenBuffers(1, &gpu.ebo);
  glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, gpu.ebo);
  glBufferData(GL_ELEMENT_ARRAY_BUFFER, static_cast<GLsizeiptr>(buffer->size() * 4), buffer->data(), GL_STATIC_DRAW);
  gpu.source = buffer;
  ++indexUploads_;
  return gpu.ebo;
}

GLuint QVLSceneRenderer::textureFor(const std::shared_ptr<const qv::scene::Image>& image) {
  GpuTexture& gpu = textures_[image.get()];
  if (gpu.texture != 0 && gpu.source.lock() == image) return gpu.texture;
  if (gpu.texture == 0) glGenTextures(1, &gpu.texture);
  glBindTexture(GL_TEXTURE_2D, gpu.texture);
  glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
  // Rows go up top row first, so a v measured down from the image's top is the texture's t.
  const GLenum format = image->channels == 4 ? GL_RGBA : GL_RGB;
  glTexImage2D(GL_TEXTURE_2D, 0, format == GL_RGBA ? GL_RGBA8 : GL_RGB8, image->width, image->height, 0, format,
               GL_UNSIGNED_BYTE, image->pixels.data());
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
  // Outside the atlas the surface shows white rather than a smeared edge.
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_BORDER);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_BORDER);
  const GLfloat white[] = {1, 1, 1, 1};
  glTexParameterfv(GL_TEXTURE_2D, GL_TEXTURE_BORDER_COLOR, white);
  gpu.source = image;
  ++textureUploads_;
  return gpu.texture;
}

void QVLSceneRenderer::bindCoordinates(const std::shared_ptr<const std::vector<double>>& uv) {
  GpuCoordinates& gpu = coordinates_[uv.get()];
  if (gpu.vbo == 0 || gpu.source.lock() != uv) {
    if (gpu.vbo == 0) glGenBuffers(1, &gpu.vbo);
    // GL 3.3 takes doubles as attributes only through conversion; floats carry a UV well enough.
    const std::vector<float> narrow(uv->begin(), uv->end());
    glBindBuffer(GL_ARRAY_BUFFER, gpu.vbo);
    glBufferData(GL_ARRAY_BUFFER, static_cast<GLsizeiptr>(narrow.size() * sizeof(float)), narrow.data(), GL_STATIC_DRAW);
    gpu.source = uv;
  }
  glBindBuffer(GL_ARRAY_BUFFER, gpu.vbo);
  glVertexAttribPointer(3, 2, GL_FLOAT, GL_FALSE, 0, nullptr);
  glEnableVertexAttribArray(3);
}

void QVLSceneRenderer::releaseUnused() {
  for (auto it = vertices_.begin(); it != vertices_.end();) {
    if (it->second.source.expired()) {
      glDeleteBuffers(1, &it->second.vbo);
      glDeleteVertexArrays(1, &it->second.vao);
      it = vertices_.erase(it);
    } else {
      ++it;
    }
  }
  for (auto it = indices_.begin(); it != indices_.end();) {
    if (it->second.source.expired()) {
      glDeleteBuffers(1, &it->second.ebo);
      it = indices_.erase(it);
    } else {
      ++it;
    }
  }
  for (auto it = textures_.begin(); it != textures_.end();) {
    if (it->second.source.expired()) {
      glDeleteTextures(1, &it->second.texture);
      it = textures_.erase(it);
    } else {
      ++it;
    }
  }
  for (auto it = coordinates_.begin(); it != coordinates_.end();) {
    if (it->second.source.expired()) {
      glDeleteBuffers(1, &it->second.vbo);
      it = coordinates_.erase(it);
    } else {
      ++it;
    }
  }
}

void QVLSceneRenderer::releaseAll() {
  for (auto& [key, gpu] : vertices_) {
    glDeleteBuffers(1, &gpu.vbo);
    glDeleteVertexArrays(1, &gpu.vao);
  }
  for (auto& [key, gpu] : indices_) glDeleteBuffers(1, &gpu.ebo);
  for (auto& [key, gpu] : textures_) glDeleteTextures(1, &gpu.texture);
  for (auto& [key, gpu] : coordinates_) glDeleteBuffers(1, &gpu.vbo);
  vertices_.clear();
  indices_.clear();
  textures_.clear();
  coordinates_.clear();
}

void QVLSceneRenderer::paintGL() {
  const qv::scene::ScenePtr scene = sceneSource_ ? sceneSource_() : nullptr;
  const qv::scene::SceneSnapshot snapshot = scene ? scene->snapshot() : qv::scene::SceneSnapshot{};
  if (!ready_) return;
  const qv::scene::Colour bg = snapshot.background;
  glClearColor(bg.red, bg.green, bg.blue, 1.0f);
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  glEnable(GL_DEPTH_TEST);
  glEnable(GL_PROGRAM_POINT_SIZE);

  qv::viewer::ViewSnapshot view;
  view.cameraWorld = snapshot.cameraWorld;
  view.camera = snapshot.camera;
  view.width = static_cast<float>(width());
  view.height = static_cast<float>(height());
  const qv::scene::Mat4 worldToClip = view.worldToClip();

  program_->bind();
  QVector3D ambient(0, 0, 0);
  std::vector<QVector3D> positions, colours;
  for (const auto& l : snapshot.lights) {
    if (l.light.kind == qv::scene::Light::Kind::Ambient)
      ambient += QVector3D(l.light.colour.red, l.light.colour.green, l.light.colour.blue);
    else if (positions.size() < 4) {
      positions.emplace_back(l.position.x, l.position.y, l.position.z);
      colours.emplace_back(l.light.colour.red, l.light.colour.green, l.light.colour.blue);
    }
  }
  program_->setUniformValue("ambientLight", ambient);
  program_->setUniformValue("lightCount", static_cast<int>(positions.size()));
  if (!positions.empty()) {
    program_->setUniformValueArray("lightPosition", positions.data(), static_cast<int>(positions.size()));
    program_->setUniformValueArray("lightColour", colours.data(), static_cast<int>(colours.size()));
  }
  const qv::scene::Mat4& eye = snapshot.cameraWorld;
  program_->setUniformValue("eyePosition", QVector3D(eye.m[12], eye.m[13], eye.m[14]));
  program_->setUniformValue("atlas", 0);
  const GLint clipLocation = program_->uniformLocation("objectToClip");
  const GLint worldLocation = program_->uniformLocation("objectToWorld");

  for (const auto& item : snapshot.items) {
    const qv::scene::Geometry& g = *item.geometry;
    const std::size_t primitives = g.primitiveCount();
    if (!g.vertices || !g.indices || primitives == 0 || g.elementCount > g.indices->size()) continue;
    GpuVertices& gpu = verticesFor(g.vertices);
    glBindVertexArray(gpu.vao);
    glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, indicesFor(g.indices));
    const qv::scene::Mat4 clip = item.world * worldToClip;
    glUniformMatrix4fv(clipLocation, 1, GL_FALSE, clip.m.data());
    glUniformMatrix4fv(worldLocation, 1, GL_FALSE, item.world.m.data());
    const bool points = g.primitive == qv::scene::PrimitiveType::Points;
    program_->setUniformValue("pointSize", points ? pointSize_ : 1.0f);
    program_->setUniformValue("roundPoints", points && smoothing_);
    program_->setUniformValue("lit", g.material.lighting == qv::scene::LightingModel::Lambert);
    const auto colour = g.material.emission ? g.material.emission : g.material.diffuse;
    program_->setUniformValue("useUniformColour", colour.has_value());
    if (colour) program_->setUniformValue("uniformColour", QVector4D(colour->red, colour->green, colour->blue, colour->alpha));
    program_->setUniformValue("doubleSided", g.material.doubleSided);
    // A texture needs one UV pair for every vertex the indices can reach.
    const bool textured = g.material.texture && !g.material.texture->pixels.empty() && g.textureCoordinates &&
                          g.textureCoordinates->size() >= 2 * g.vertices->count();
    program_->setUniformValue("textured", textured);
    if (textured) {
      glActiveTexture(GL_TEXTURE0);
      glBindTexture(GL_TEXTURE_2D, textureFor(g.material.texture));
      bindCoordinates(g.textureCoordinates);
    } else {
      glDisableVertexAttribArray(3);
    }
    glDrawElements(glPrimitive(g.primitive), static_cast<GLsizei>(g.elementCount), GL_UNSIGNED_INT, nullptr);
  }
  glBindVertexArray(0);
  program_->release();
  releaseUnused();
  if (didRender_) didRender_();
}
