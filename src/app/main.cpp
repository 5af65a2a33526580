// The quorvel program: sets up logging and settings, logs the start-up banner, and runs.
#include <cstdio>
#include <cstring>
#include <string>

#include "core/QVLRegisteredDefaults.h"
#include "core/QVLStartupBanner.h"
#include "platform/Log.h"
#include "platform/Paths.h"
#include "platform/Settings.h"

namespace {

void printUsage() {
  std::printf(
      "Usage: quorvel [--simulator] [--version] [file.qvk | file.qvkx]\n"
      "  --simulator  use the simulated scanner (also QUORVEL_SIMULATOR=1)\n"
      "  --version    print the version and exit\n");
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("Quorvel %s (%s)\n", QUORVEL_SHORT_VERSION, QUORVEL_BUILD_VERSION);
      return 0;
    }
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      printUsage();
      return 0;
    }
  }

  qv::log::Setup logSetup;
  logSetup.logFolder = qv::paths::logFolder();
  qv::log::setup(logSetup);

  QVLRegisteredDefaults::registerWith(qv::Settings::standard());
  QVLStartupBanner::log(QUORVEL_SHORT_VERSION, QUORVEL_BUILD_VERSION);

  // The screens are not built yet: the program stops after its start-up.
  QVLogInfo("Quorvel started headless; no screens to show yet");
  return 0;
}
