// A thread that waits for a file descriptor to become readable and calls a handler each time.
#pragma once

#include <functional>
#include <thread>

namespace qv {

// The port sources watch their event descriptors (inotify, the udev monitor) with one of these, so
// that no worker of the shared pools is held by a blocking wait.
class FdWatchThread {
public:
  FdWatchThread() = default;
  FdWatchThread(const FdWatchThread&) = delete;
  FdWatchThread& operator=(const FdWatchThread&) = delete;
  ~FdWatchThread() { stop(); }

  // Starts the thread; `readable` runs on it whenever `fd` can be read. The descriptor stays the
  // caller's. False (with errno set) when the thread's wake-up descriptor cannot be made.
  bool start(int fd, std::function<void()> readable);
  // Ends the thread and waits for it; the handler does not run after this returns.
  void stop();
  bool isRunning() const { return thread_.joinable(); }

private:
  int wakeFd_ = -1;
  std::thread thread_;
};

}  // namespace qv
