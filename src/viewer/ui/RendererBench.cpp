// The renderer's part of the viewer benchmark.
#include "viewer/ui/RendererBench.h"

#include <QApplication>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "viewer/model/ViewerNavigation.h"
#include "viewer/ui/QVLSceneRenderer.h"

namespace qv::bench {

bool reexecUnderDisplay(int argc, char** argv) {
  if (std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY") || std::getenv("QUORVEL_BENCH_NO_XVFB")) return false;
  std::vector<char*> args{const_cast<char*>("xvfb-run"), const_cast<char*>("-a"),
                          const_cast<char*>("-s"), const_cast<char*>("-screen 0 1600x1200x24")};
  for (int i = 0; i < argc; ++i) args.push_back(argv[i]);
  args.push_back(nullptr);
  setenv("QUORVEL_BENCH_NO_XVFB", "1", 1);
  const pid_t child = fork();
  if (child < 0) return false;
  if (child == 0) {
    execvp("xvfb-run", args.data());
    _exit(127);
  }
  int status = 0;
  waitpid(child, &status, 0);
  // Without xvfb-run the figures are still taken here, only the frame time is missing.
  return WIFEXITED(status) && WEXITSTATUS(status) != 127;
}

double renderFrameMs(int argc, char** argv, const std::vector<QVLScanVertex>& vertices) {
  if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY")) return -1;
  QApplication app(argc, argv);
  auto scene = std::make_shared<qv::scene::Scene>();
  auto camera = qv::scene::Node::make("camera");
  camera->setCamera(qv::scene::Camera{});
  camera->setTransform(qv::viewer::cameraTransform(0.3f, {0, 0, 250}));
  scene->rootNode()->addChild(camera);
  scene->setPointOfView(camera);
  auto bytes = std::make_shared<qv::Data>(vertices.size() * sizeof(QVLScanVertex));
  std::memcpy(bytes->data(), vertices.data(), bytes->size());
  auto indices = std::make_shared<std::vector<std::uint32_t>>(vertices.size());
  for (std::size_t i = 0; i < indices->size(); ++i) (*indices)[i] = static_cast<std::uint32_t>(i);
  auto geometry = std::make_shared<qv::scene::Geometry>();
  geometry->vertices = std::make_shared<qv::scene::VertexBuffer>(qv::scene::VertexBuffer{bytes});
  geometry->indices = indices;
  geometry->elementCount = indices->size();
  auto node = qv::scene::Node::make("object");
  node->setGeometry(geometry);
  node->setPosition({0, -100, 0});
  scene->rootNode()->addChild(node);

  QVLSceneRenderer renderer;
  renderer.setSceneSource([scene] { return scene; });
  renderer.setPointRendering(4, false);
  renderer.resize(1280, 960);
  renderer.show();
  app.processEvents();
  (void)renderer.grabFramebuffer();  // the first frame uploads the buffers
  if (!renderer.isReady()) return -1;
  std::vector<double> frames;
  for (int i = 0; i < 7; ++i) {
    const auto start = std::chrono::steady_clock::now();
    (void)renderer.grabFramebuffer();  // draws and reads back, so the frame is complete
    frames.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(frames.begin(), frames.end());
  return frames[frames.size() / 2];
}

}  // namespace qv::bench
