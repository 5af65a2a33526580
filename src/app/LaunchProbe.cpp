// The launch probe of tests and measurements.
#include "app/LaunchProbe.h"

#include <QCoreApplication>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/DesktopApplication.h"


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

}  // namespace

void installLaunchProbe(DesktopApplication& application, CoreLink& core) {
  const char* probe = std::getenv("QUORVEL_LAUNCH_PROBE");
  const char* quitWhen = std::getenv("QUORVEL_QUIT_WHEN");
  if (!(probe && *probe && std::string(probe) != "0") && !(quitWhen && *quitWhen)) return;
  const std::string when = quitWhen ? quitWhen : "";
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
  QObject::connect(timer, &QTimer::timeout, &application, [&application, &core, state, check] {
    if (!state->connected && core.hasDeviceInterpreter()) {
      state->connected = true;
      std::printf("QUORVEL_PROBE connected\n");
      std::fflush(stdout);
      check();
    }
    if (!state->opened && application.window().isShown(qv::screens::ScreenKind::Viewer)) {
      state->opened = true;
      std::printf("QUORVEL_PROBE opened\n");
      std::fflush(stdout);
      check();
    }
  });
  timer->start(50);
}

}  // namespace qv::app
