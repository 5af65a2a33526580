// Draws the viewer's scene with OpenGL 3.3 core.
#include "viewer/ui/QVLSceneRenderer.h"

#include <QGuiApplication>
#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLFramebufferObject>
#include <QPainter>
#include <QPaintEvent>
#include <QSurfaceFormat>
#include <cmath>
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

QVLSceneRenderer::QVLSceneRenderer(QWidget* parent) : QWidget(parent) {
  // Every pixel is the frame's (or the message's): nothing behind needs painting.
  setAttribute(Qt::WA_OpaquePaintEvent);
  setMinimumSize(64, 64);
}

QVLSceneRenderer::~QVLSceneRenderer() {
  if (context_ && context_->makeCurrent(surface_.get())) {
    releaseAll();
    program_.reset();
    framebuffer_.reset();
    context_->doneCurrent();
  }
}

void QVLSceneRenderer::setPointRendering(float pointSizePixels, bool smoothing) {
  pointSize_ = pointSizePixels;
  smoothing_ = smoothing;
  update();
}

bool QVLSceneRenderer::prepare() {
  if (tried_) return ready_;
  tried_ = true;
  unavailable_ = makeContext();
  if (!unavailable_.isEmpty()) {
    QVLogError("The 3D view cannot be drawn: %s", unavailable_.toUtf8().constData());
    return false;
  }
  ready_ = true;
  return true;
}

QString QVLSceneRenderer::makeContext() {
  const QString platform = QGuiApplication::platformName();
  QSurfaceFormat format;
  format.setVersion(3, 3);
  format.setProfile(QSurfaceFormat::CoreProfile);
  format.setDepthBufferSize(24);
  context_ = std::make_unique<QOpenGLContext>();
  context_->setFormat(format);
  if (!context_->create()) return tr("this display offers no OpenGL (Qt platform \"%1\")").arg(platform);
  const QSurfaceFormat made = context_->format();
  if (made.version() < qMakePair(3, 3))
    return tr("it needs OpenGL 3.3, and this display offers %1.%2 (Qt platform \"%3\")")
        .arg(made.majorVersion())
        .arg(made.minorVersion())
        .arg(platform);
  surface_ = std::make_unique<QOffscreenSurface>();
  surface_->setFormat(made);
  surface_->create();
  if (!surface_->isValid() || !context_->makeCurrent(surface_.get()))
    return tr("no OpenGL drawing surface can be made on this display (Qt platform \"%1\")").arg(platform);
  QString failure;
  if (!initializeOpenGLFunctions()) {
    failure = tr("its OpenGL 3.3 functions cannot be reached on this display");
  } else {
    program_ = std::make_unique<QOpenGLShaderProgram>();
    if (!program_->addShaderFromSourceCode(QOpenGLShader::Vertex, kVertexShader) ||
        !program_->addShaderFromSourceCode(QOpenGLShader::Fragment, kFragmentShader) || !program_->link()) {
      failure = tr("its shader failed: %1").arg(program_->log());
      program_.reset();
    }
  }
  context_->doneCurrent();
  return failure;
}

void QVLSceneRenderer::drawFrame() {
  frameNeeded_ = false;
  if (!prepare() || !context_->makeCurrent(surface_.get())) return;
  const qreal scale = devicePixelRatioF();
  const QSize pixels = framePixels();
  if (!framebuffer_ || framebuffer_->size() != pixels)
    framebuffer_ = std::make_unique<QOpenGLFramebufferObject>(pixels, QOpenGLFramebufferObject::Depth);
  if (!framebuffer_->isValid() || !framebuffer_->bind()) {
    context_->doneCurrent();
    return;
  }
  glViewport(0, 0, pixels.width(), pixels.height());
  drawScene();
  frame_ = framebuffer_->toImage().convertToFormat(QImage::Format_RGB32);
  frame_.setDevicePixelRatio(scale);
  framebuffer_->release();
  context_->doneCurrent();
  if (didRender_) didRender_();
}

QSize QVLSceneRenderer::framePixels() const {
  const qreal scale = devicePixelRatioF();
  return {std::max(1, static_cast<int>(std::lround(width() * scale))),
          std::max(1, static_cast<int>(std::lround(height() * scale)))};
}

QImage QVLSceneRenderer::grabFramebuffer() {
  drawFrame();
  return ready_ ? frame_ : QImage();
}

void QVLSceneRenderer::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  frameNeeded_ = true;
}

void QVLSceneRenderer::paintEvent(QPaintEvent* event) {
  if (frameNeeded_ || frame_.isNull() || frame_.size() != framePixels()) drawFrame();
  QPainter painter(this);
  if (ready_ && !frame_.isNull()) {
    painter.drawImage(QRectF(rect()), frame_);
    return;
  }
  // No scene can be drawn: the scene's background, and why.
  const qv::scene::ScenePtr scene = sceneSource_ ? sceneSource_() : nullptr;
  const qv::scene::Colour bg = scene ? scene->background() : qv::scene::Colour{0.9f, 0.9f, 0.9f, 1};
  painter.fillRect(event->rect(), QColor::fromRgbF(bg.red, bg.green, bg.blue));
  painter.setPen(QColor(60, 60, 60));
  const QString text = unavailable_.isEmpty() ? QString() : tr("The 3D view cannot be drawn: %1.").arg(unavailable_);
  painter.drawText(rect().adjusted(24, 24, -24, -24), Qt::AlignCenter | Qt::TextWordWrap, text);
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

void QVLSceneRenderer::drawScene() {
  const qv::scene::ScenePtr scene = sceneSource_ ? sceneSource_() : nullptr;
  const qv::scene::SceneSnapshot snapshot = scene ? scene->snapshot() : qv::scene::SceneSnapshot{};
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
}
