// The event-descriptor watching thread of the port sources.
#include "scanlink/internal/FdWatchThread.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace qv {

bool FdWatchThread::start(int fd, std::function<void()> readable) {
  if (thread_.joinable()) return true;
  wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd_ < 0) return false;
  const int wakeFd = wakeFd_;
  thread_ = std::thread([fd, wakeFd, readable = std::move(readable)] {
    for (;;) {
      pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
      const int n = ::poll(fds, 2, -1);
      if (n < 0) {
        if (errno == EINTR) continue;
        return;  // the descriptors are unusable: nothing more will arrive
      }
      if (fds[1].revents) return;
      if (fds[0].revents & (POLLERR | POLLNVAL)) return;
      if (fds[0].revents & (POLLIN | POLLHUP)) readable();
    }
  });
  return true;
}

void FdWatchThread::stop() {
  if (thread_.joinable()) {
    const std::uint64_t one = 1;
    [[maybe_unused]] auto written = ::write(wakeFd_, &one, sizeof one);
    if (thread_.get_id() == std::this_thread::get_id()) {
      // Stopped from its own handler: it returns by itself after the handler, seeing the wake-up,
      // so its descriptor must stay open (and is given up) rather than be reused under it.
      thread_.detach();
      wakeFd_ = -1;
    } else {
      thread_.join();
    }
  }
  if (wakeFd_ >= 0) {
    ::close(wakeFd_);
    wakeFd_ = -1;
  }
}

}  // namespace qv
