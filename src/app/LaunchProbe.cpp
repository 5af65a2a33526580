// The launch probe of tests and measurements.
#include "app/LaunchProbe.h"

#include <QCoreApplication>
#include <QTimer>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "app/DesktopApplication.h"
#ifdef QUORVEL_WITH_VIEWER
#include "app/ViewerPage.h"
#include "viewer/ui/QVLObjectSceneView.h"
#endif

namespace qv::app {
namespace {

long residentKilobytes() {
  long pages = 0, resident = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return resident * 4;  // 4 KiB pages
}

// The number of points the viewer shows once its scan is loaded, drawn, the busy view gone and
// its header's buttons enabled again (which follows on the main queue); nothing before. A build without the viewer counts its page being up as shown.
std::optional<std::uint64_t> pointsShown(DesktopApplication& application) {
  if (!application.window().isShown(qv::screens::ScreenKind::Viewer)) return std::nullopt;
#ifdef QUORVEL_WITH_VIEWER
  ViewerPage* page = application.viewerPage();
  QVLObjectSceneView* view = page ? page->view() : nullptr;
  if (!view) return std::nullopt;
  const auto& controller = *view->controller();
  if (!controller.isDoneLoading() || controller.isRendering() || view->busyView()->isVisible() ||
      !view->button("export")->isEnabled())
    return std::nullopt;
  if (controller.numberOfPresentVertices() == 0) return std::nullopt;
  return controller.numberOfPresentVertices();
#else
  return 0;
#endif
}

}  // namespace

void installLaunchProbe(DesktopApplication& application, CoreLink& core) {
  const char* probe = std::getenv("QUORVEL_LAUNCH_PROBE");
  const char* quitWhen = std::getenv("QUORVEL_QUIT_WHEN");
  if (!(probe && *probe && std::string(probe) != "0") && !(quitWhen && *quitWhen)) return;
  const std::string when = quitWhen ? quitWhen : "";
  const char* screenshot = std::getenv("QUORVEL_PROBE_SCREENSHOT");
  const QString screenshotPath = screenshot ? QString::fromLocal8Bit(screenshot) : QString();
  struct State {
    bool shown = false, connected = false, opened = false;
  };
  auto state = std::make_shared<State>();
  auto check = [state, when] {
    const bool done = (when == "shown" && state->shown) || (when == "connected" && state->connected) ||
                      (when == "opened" && state->opened) || (when == "connected+opened" && state->connected && state->opened);
    if (done) QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(0); });
  };
  QObject::connect(&application, &DesktopApplication::mainScreenShown, &application, [state, check] {
    std::printf("QUORVEL_PROBE shown rss_kb=%ld\n", residentKilobytes());
    std::fflush(stdout);
    state->shown = true;
    check();
  });
  // Connection and the viewer are polled: the probe must not change what it watches.
  auto* timer = new QTimer(&application);
  QObject::connect(timer, &QTimer::timeout, &application, [&application, &core, state, check, screenshotPath] {
    if (!state->connected && core.hasDeviceInterpreter()) {
      state->connected = true;
      std::printf("QUORVEL_PROBE connected\n");
      std::fflush(stdout);
      check();
    }
    if (!state->opened) {
      const auto points = pointsShown(application);
      if (!points) return;
      state->opened = true;
      // The window as the user sees it then, drawn scene included.
      if (!screenshotPath.isEmpty() && !application.window().grab().save(screenshotPath))
        std::printf("QUORVEL_PROBE screenshot-failed\n");
      std::printf("QUORVEL_PROBE opened points=%llu\n", static_cast<unsigned long long>(*points));
      std::fflush(stdout);
      check();
    }
  });
  timer->start(50);
}

}  // namespace qv::app
