// The quorvel program: the command line, the simulated scanner when asked for, the delegate's
// launch, and the desktop shell around it (or, with no display to show it on, the headless run).
#include <stdlib.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <system_error>

#include "core/QVLAppDelegate.h"
#include "core/QVLLaunch.h"
#include "platform/Log.h"
#ifdef QUORVEL_WITH_DESKTOP
#include <QApplication>
#include <QMetaObject>

#include "app/CoreLink.h"
#include "app/DesktopApplication.h"
#include "app/LaunchProbe.h"
#include "app/SingleInstance.h"
#endif
#if __has_include("sim/firmware/FirmwareEmulator.h")
#include "sim/firmware/FirmwareEmulator.h"
#define QUORVEL_WITH_SIMULATOR 1
#endif

namespace {

#ifdef QUORVEL_WITH_DESKTOP
// A desktop session to show the window in (or a platform plugin chosen by hand).
bool hasDisplay() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
    if (const char* value = std::getenv(name); value && *value) return true;
  return false;
}
#endif

}  // namespace

int main(int argc, char** argv) {
  const QVLCommandLine commandLine = QVLCommandLine::parse(argc, argv);
  if (commandLine.version) {
    std::printf("Quorvel %s (%s)\n", QUORVEL_SHORT_VERSION, QUORVEL_BUILD_VERSION);
    return 0;
  }
  if (commandLine.help || !commandLine.unknown.empty()) {
    std::fputs(QVLCommandLine::usage(), commandLine.help ? stdout : stderr);
    return commandLine.help ? 0 : 2;
  }

#ifdef QUORVEL_WITH_DESKTOP
  std::optional<QApplication> gui;
  QStringList files;
  if (!commandLine.file.empty()) files << QString::fromStdString(commandLine.file);
  if (hasDisplay()) {
    gui.emplace(argc, argv);
    QApplication::setApplicationName("Quorvel");
    QApplication::setDesktopFileName("org.quorvel.Quorvel");
    // One instance per user: a second launch hands its file to the first and ends.
    if (qv::app::SingleInstance().handOverToRunningInstance(files)) return 0;
  }
#else
  const bool gui = false;
#endif

  // The simulated scanner: the firmware emulator on a pseudo-terminal in the simulator folder,
  // which the port sources then watch like any other. It is unplugged when the program ends.
#ifdef QUORVEL_WITH_SIMULATOR
  std::unique_ptr<qv::sim::FirmwareEmulator> simulatedScanner;
  if (commandLine.simulator) {
    ::setenv("QUORVEL_SIMULATOR", "1", 1);
    try {
      simulatedScanner = qv::sim::FirmwareEmulator::plugIn({});
    } catch (const std::system_error& error) {
      std::fprintf(stderr, "The simulated scanner could not be started: %s\n", error.what());
      return 1;
    }
  }
#else
  if (commandLine.simulator) {
    std::fputs("This build of Quorvel has no simulated scanner\n", stderr);
    return 1;
  }
#endif

  int status = 0;
  {
    QVLAppEnvironment environment;
    environment.shortVersion = QUORVEL_SHORT_VERSION;
    environment.buildVersion = QUORVEL_BUILD_VERSION;
    auto delegate = QVLAppDelegate::create(std::move(environment));
    if (!gui) {
      delegate->setModelToDisplayOnStartup(commandLine.file);
      delegate->applicationDidFinishLaunching();
      status = QVLLaunch::runHeadless(*delegate);
    }
#ifdef QUORVEL_WITH_DESKTOP
    else {
      qv::app::DesktopApplication::Options options;
      options.core = qv::app::makeAppDelegateCore(delegate, QVLLaunchOptions{});
      options.shortVersion = QUORVEL_SHORT_VERSION;
      options.buildVersion = QUORVEL_BUILD_VERSION;
      qv::app::DesktopApplication desktop(std::move(options));
      qv::app::installLaunchProbe(desktop, desktop.core());
      // SIGINT and SIGTERM quit as the menu does, without questions.
      QVLStopSignals stop([](int) { QMetaObject::invokeMethod(qApp, [] { QCoreApplication::exit(0); }, Qt::QueuedConnection); });
      desktop.launch(files);
#ifdef QUORVEL_WITH_SIMULATOR
      if (simulatedScanner) QVLogInfo("The simulated scanner is at %s", simulatedScanner->path().c_str());
#endif
      status = QApplication::exec();
    }
#endif
  }
#ifdef QUORVEL_WITH_SIMULATOR
  simulatedScanner.reset();
#endif
  qv::log::reset();
  return status;
}
