// The quorvel program: the command line, the simulated scanner when asked for, the delegate's
// launch, and the desktop shell around it (or, with no display to show it on, the headless run).
#include <stdlib.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <stdexcept>

#include "app/ProgramHardware.h"
#include "core/QVLAppDelegate.h"
#include "core/QVLLaunch.h"
#include "platform/Log.h"
#include "store/TBCoreDataStoreS1.h"
#ifdef QUORVEL_WITH_DESKTOP
#include <QApplication>
#include <QMessageBox>
#include <QMetaObject>

#include "app/CoreLink.h"
#include "app/DesktopApplication.h"
#include "app/LaunchProbe.h"
#include "app/SingleInstance.h"
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
    // One instance per login session: a second launch hands its file to the first and ends. An
    // instance that is there but does not answer keeps its place (taking over its socket would
    // leave two programs on one store): this launch says so and ends.
    switch (qv::app::SingleInstance().handOverToRunningInstance(files)) {
      case qv::app::SingleInstance::HandOver::Taken:
        return 0;
      case qv::app::SingleInstance::HandOver::NoAnswer:
        std::fputs("Quorvel is already running in this session but does not answer; nothing was opened.\n", stderr);
        QMessageBox::warning(nullptr, "Quorvel",
                             "Quorvel is already running but does not answer. Quit it, then open the scan again.");
        return 1;
      case qv::app::SingleInstance::HandOver::NoInstance:
        break;
    }
  }
#else
  const bool gui = false;
#endif

  // The scanner's hardware: the kernel's ports and camera, or the simulated scanner (the firmware
  // emulator on a pseudo-terminal in the simulator folder, which the port sources then watch like
  // any other) with its synthetic camera. The simulated scanner is unplugged when the program ends.
  std::unique_ptr<qv::app::ProgramHardware> hardware;
  if (commandLine.simulator) ::setenv("QUORVEL_SIMULATOR", "1", 1);
  try {
    qv::app::ProgramHardware::Options options;
    options.simulator = commandLine.simulator;
    hardware = qv::app::ProgramHardware::create(options);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "The simulated scanner could not be started: %s\n", error.what());
    return 1;
  }

  int status = 0;
  {
    QVLAppEnvironment environment;
    environment.shortVersion = QUORVEL_SHORT_VERSION;
    environment.buildVersion = QUORVEL_BUILD_VERSION;
    auto delegate = QVLAppDelegate::create(std::move(environment));
    hardware->attachCamera(*delegate);
    if (!gui) {
      delegate->setModelToDisplayOnStartup(commandLine.file);
      delegate->applicationDidFinishLaunching();
      status = QVLLaunch::runHeadless(*delegate);
    }
#ifdef QUORVEL_WITH_DESKTOP
    else {
      // Logging comes first: the shell opens the object store, whose errors must reach the log
      // file as well as the user.
      QVLLaunchOptions launchOptions;
      QVLAppDelegate::setUpLogging(launchOptions);
      launchOptions.setUpLogging = false;
      qv::app::DesktopApplication::Options options;
      options.core = qv::app::makeAppDelegateCore(delegate, launchOptions);
      options.shortVersion = QUORVEL_SHORT_VERSION;
      options.buildVersion = QUORVEL_BUILD_VERSION;
      qv::app::DesktopApplication desktop(std::move(options));
      qv::app::installLaunchProbe(desktop, desktop.core());
      // SIGINT and SIGTERM quit as the menu does, without questions.
      auto& core = desktop.core();
      QVLStopSignals stop([&core](int) {
        QMetaObject::invokeMethod(qApp, [&core] {
          core.stopHardwareForQuit();
          QCoreApplication::exit(0);
        }, Qt::QueuedConnection);
      });
      desktop.launch(files);
      if (hardware->isSimulated()) {
        QVLogInfo("The simulated scanner is at %s; it keeps its memory in %s", hardware->simulatedScannerPath().c_str(),
                  hardware->simulatedScannerMemoryFolder().c_str());
      }
      status = QApplication::exec();
      // However the loop ended, the scanner's stop started by the quit is answered (or given up
      // after its limit) before the program goes.
      desktop.waitForHardwareStop();
    }
#endif
  }
  // The scan library's log is folded into its file now, not left for the next launch.
  TBCoreDataStoreS1::closeDefaultStore();
  hardware.reset();
  qv::log::reset();
  return status;
}
