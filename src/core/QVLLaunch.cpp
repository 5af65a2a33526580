// The command line, the stop signals and the headless run.
#include "core/QVLLaunch.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "core/QVLAppDelegate.h"
#include "platform/Log.h"
#include "platform/Queue.h"

QVLCommandLine QVLCommandLine::parse(int argc, const char* const* argv) {
  QVLCommandLine line;
  // Only QUORVEL_SIMULATOR starts the emulator; a simulator folder alone just watches for one.
  if (const char* flag = std::getenv("QUORVEL_SIMULATOR")) line.simulator = *flag && std::strcmp(flag, "0") != 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--simulator") {
      line.simulator = true;
    } else if (arg == "--version") {
      line.version = true;
    } else if (arg == "--help" || arg == "-h") {
      line.help = true;
    } else if (!arg.empty() && arg[0] != '-' && line.file.empty()) {
      line.file = arg;
    } else {
      line.unknown.push_back(arg);
    }
  }
  return line;
}

const char* QVLCommandLine::usage() {
  return "Usage: quorvel [--simulator] [--version] [file.qvk | file.qvkx]\n"
         "  --simulator  use the simulated scanner (also QUORVEL_SIMULATOR=1)\n"
         "  --version    print the version and exit\n";
}

// ---- stop signals ----

namespace {

std::atomic<int> gStopPipe{-1};

void onStopSignal(int sig) {
  const int saved = errno;
  const int fd = gStopPipe.load();
  if (fd >= 0) {
    const unsigned char byte = static_cast<unsigned char>(sig);
    [[maybe_unused]] const ssize_t n = ::write(fd, &byte, 1);
  }
  errno = saved;
}

}  // namespace

struct QVLStopSignals::Impl {
  int pipe[2] = {-1, -1};
  struct sigaction previousInt {};
  struct sigaction previousTerm {};
  std::thread thread;
};

QVLStopSignals::QVLStopSignals(std::function<void(int)> stop) : impl_(new Impl) {
  if (::pipe2(impl_->pipe, O_CLOEXEC) != 0) {
    QVLogWarn("The stop signals cannot be watched: %s", std::strerror(errno));
    return;
  }
  gStopPipe = impl_->pipe[1];
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGINT, &action, &impl_->previousInt);
  ::sigaction(SIGTERM, &action, &impl_->previousTerm);
  const int readEnd = impl_->pipe[0];
  impl_->thread = std::thread([readEnd, stop = std::move(stop)] {
    for (;;) {
      unsigned char byte = 0;
      const ssize_t n = ::read(readEnd, &byte, 1);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;
      if (byte == 0) return;  // the destructor's wake-up
      if (stop) stop(byte);
    }
  });
}

QVLStopSignals::~QVLStopSignals() {
  if (impl_->pipe[1] >= 0) {
    ::sigaction(SIGINT, &impl_->previousInt, nullptr);
    ::sigaction(SIGTERM, &impl_->previousTerm, nullptr);
    gStopPipe = -1;
    const unsigned char wake = 0;
    [[maybe_unused]] const ssize_t n = ::write(impl_->pipe[1], &wake, 1);
    if (impl_->thread.joinable()) impl_->thread.join();
    ::close(impl_->pipe[0]);
    ::close(impl_->pipe[1]);
  }
  delete impl_;
}

// ---- the headless run ----

namespace QVLLaunch {

const char* noScannerHint() {
  return "No scanner is attached. To try Quorvel with the simulated scanner, run:\n"
         "    make run ARGS=--simulator     (or: quorvel --simulator)\n";
}

int runHeadless(QVLAppDelegate& delegate) {
  if (delegate.serialPortController().devices().empty()) {
    QVLogInfo("No scanner is attached; there are no screens to wait in yet");
    std::fputs(noScannerHint(), stdout);
    std::fflush(stdout);
    return 0;
  }
  QVLStopSignals signals([](int sig) {
    QVLogInfo("Stopping on signal %d", sig);
    // Through the queue, so that a signal that comes before the loop runs still stops it.
    qv::mainQueue()->async([] { qv::stopMainLoop(); });
  });
  QVLogInfo("Quorvel runs headless until stopped (Ctrl-C)");
  qv::runMainLoop();
  return 0;
}

}  // namespace QVLLaunch
