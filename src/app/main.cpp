// The quorvel program: the command line, the simulated scanner when asked for, and the delegate's
// launch; the launch steps themselves live in the core, so that the desktop shell runs the same.
#include <stdlib.h>

#include <cstdio>
#include <memory>
#include <system_error>

#include "core/QVLAppDelegate.h"
#include "core/QVLLaunch.h"
#include "platform/Log.h"
#if __has_include("sim/firmware/FirmwareEmulator.h")
#include "sim/firmware/FirmwareEmulator.h"
#define QUORVEL_WITH_SIMULATOR 1
#endif

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
    delegate->setModelToDisplayOnStartup(commandLine.file);
    delegate->applicationDidFinishLaunching();
#ifdef QUORVEL_WITH_SIMULATOR
    if (simulatedScanner) QVLogInfo("The simulated scanner is at %s", simulatedScanner->path().c_str());
#endif
    status = QVLLaunch::runHeadless(*delegate);
  }
#ifdef QUORVEL_WITH_SIMULATOR
  simulatedScanner.reset();
#endif
  qv::log::reset();
  return status;
}
