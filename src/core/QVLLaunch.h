// The program's start before the desktop shell exists: its command line, the stop signals, and the
// headless run on the main queue. A Qt main calls the same delegate steps from its event loop.
#pragma once

#include <functional>
#include <string>
#include <vector>

class QVLAppDelegate;

// What the command line asks for.
struct QVLCommandLine {
  bool simulator = false;  // --simulator, or QUORVEL_SIMULATOR set (not empty, not "0")
  bool version = false;    // --version
  bool help = false;       // --help, -h
  std::string file;        // a qvk or qvkx file to open
  std::vector<std::string> unknown;

  static QVLCommandLine parse(int argc, const char* const* argv);
  static const char* usage();
};

// SIGINT and SIGTERM, turned into a call of `stop` on a thread of its own (a signal handler may do
// almost nothing, so it only writes a byte into a pipe). The previous handlers come back when the
// object goes.
class QVLStopSignals {
public:
  explicit QVLStopSignals(std::function<void(int signal)> stop);
  ~QVLStopSignals();
  QVLStopSignals(const QVLStopSignals&) = delete;
  QVLStopSignals& operator=(const QVLStopSignals&) = delete;

private:
  struct Impl;
  Impl* impl_;
};

namespace QVLLaunch {

// The hint printed when no scanner is attached.
const char* noScannerHint();

// Runs the launched delegate on the main queue until SIGINT or SIGTERM. With no scanner present
// it prints the hint and returns at once. Answers the program's exit status.
int runHeadless(QVLAppDelegate& delegate);

}  // namespace QVLLaunch
