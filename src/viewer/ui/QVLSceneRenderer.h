// Draws the viewer's scene with OpenGL 3.3 core into a frame buffer of its own and shows the frame
// as a plain widget: each vertex buffer is uploaded once, each index buffer when it first appears,
// and only while drawing; point size and round points are done in the shader. The OpenGL context is
// made when the first frame is drawn, so a window that never shows a scene never loads OpenGL, and
// the window itself never needs OpenGL (it is never made again as another native window for it).
// Where no OpenGL 3.3 can be had the widget says so, and why, in place of the scene.
#pragma once

#include <QImage>
#include <QOpenGLFunctions_3_3_Core>
#include <QOpenGLShaderProgram>
#include <QString>
#include <QWidget>
#include <functional>
#include <memory>
#include <unordered_map>

#include "viewer/model/SceneModel.h"

class QOffscreenSurface;
class QOpenGLContext;
class QOpenGLFramebufferObject;

class QVLSceneRenderer : public QWidget, protected QOpenGLFunctions_3_3_Core {
  Q_OBJECT
public:
  explicit QVLSceneRenderer(QWidget* parent = nullptr);
  ~QVLSceneRenderer() override;

  // The scene to draw is asked for at every paint (the viewer replaces it on reset).
  void setSceneSource(std::function<qv::scene::ScenePtr()> source) { sceneSource_ = std::move(source); }
  void setPointRendering(float pointSizePixels, bool smoothing);
  // Called after every drawn frame, on the GUI thread.
  void setDidRender(std::function<void()> didRender) { didRender_ = std::move(didRender); }

  // Uploads so far, so tests can tell that a crop pass sent only an index buffer.
  std::size_t vertexBufferUploads() const { return vertexUploads_; }
  std::size_t indexBufferUploads() const { return indexUploads_; }
  std::size_t textureUploads() const { return textureUploads_; }
  // Whether a 3.3 core context could be made and the shader built (known from the first frame on).
  bool isReady() const { return ready_; }
  // A repaint asked for through the renderer draws a new frame; one Qt asks for because something
  // over the scene changed shows the last frame again.
  void update() {
    frameNeeded_ = true;
    QWidget::update();
  }
  // Draws a frame now and returns it (null where OpenGL cannot be had).
  QImage grabFramebuffer();

protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

private:
  struct GpuVertices {
    GLuint vao = 0, vbo = 0;
    std::weak_ptr<const qv::scene::VertexBuffer> source;
  };
  struct GpuIndices {
    GLuint ebo = 0;
    std::weak_ptr<const std::vector<std::uint32_t>> source;
  };
  struct GpuTexture {
    GLuint texture = 0;
    std::weak_ptr<const qv::scene::Image> source;
  };
  struct GpuCoordinates {
    GLuint vbo = 0;
    std::weak_ptr<const std::vector<double>> source;
  };
  // Makes the context, its surface and the shader on the first call; false where that failed.
  bool prepare();
  // The context, its surface and the shader; the reason when one cannot be had.
  QString makeContext();
  void drawFrame();
  QSize framePixels() const;
  void drawScene();
  GpuVertices& verticesFor(const qv::scene::VertexBufferPtr& buffer);
  GLuint textureFor(const std::shared_ptr<const qv::scene::Image>& image);
  // Binds the UVs as attribute 3 of the vertex array bound now.
  void bindCoordinates(const std::shared_ptr<const std::vector<double>>& uv);
  GLuint indicesFor(const qv::scene::IndexBufferPtr& buffer);
  void releaseUnused();
  void releaseAll();

  std::function<qv::scene::ScenePtr()> sceneSource_;
  std::function<void()> didRender_;
  std::unique_ptr<QOpenGLContext> context_;
  std::unique_ptr<QOffscreenSurface> surface_;
  std::unique_ptr<QOpenGLFramebufferObject> framebuffer_;
  std::unique_ptr<QOpenGLShaderProgram> program_;
  QImage frame_;
  std::unordered_map<const qv::scene::VertexBuffer*, GpuVertices> vertices_;
  std::unordered_map<const std::vector<std::uint32_t>*, GpuIndices> indices_;
  std::unordered_map<const qv::scene::Image*, GpuTexture> textures_;
  std::unordered_map<const std::vector<double>*, GpuCoordinates> coordinates_;
  float pointSize_ = 1;
  bool smoothing_ = false;
  bool ready_ = false, tried_ = false, frameNeeded_ = true;
  QString unavailable_;
  std::size_t vertexUploads_ = 0, indexUploads_ = 0, textureUploads_ = 0;
};
