// The pseudo-terminal pair of the simulated scanner and the peer thread watching its master side.
#include "sim/serial/SerialPeer.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <system_error>

#include "scanlink/SimulatorPortSource.h"

namespace qv::sim {

namespace {

[[noreturn]] void fail(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

int baudRateOf(speed_t speed) {
  static const std::pair<speed_t, int> kSpeeds[] = {
      {B300, 300},       {B600, 600},       {B1200, 1200},     {B2400, 2400},     {B4800, 4800},
      {B9600, 9600},     {B19200, 19200},   {B38400, 38400},   {B57600, 57600},   {B115200, 115200},
      {B230400, 230400}, {B460800, 460800}, {B921600, 921600},
  };
  for (const auto& [constant, rate] : kSpeeds) {
    if (constant == speed) return rate;
  }
  return 0;
}

// How often the peer looks at the device side when nothing arrives.
constexpr int kWatchIntervalMs = 2;

// Publishers in one folder (in any process) take turns: each holds an exclusive lock on the folder
// itself while it clears stale links away and claims a name, or takes its own link away. With no
// folder (it was removed under us) there is nothing to take turns over.
class FolderLock {
public:
  explicit FolderLock(const std::filesystem::path& folder)
      : fd_(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    while (fd_ >= 0 && ::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  ~FolderLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

private:
  int fd_;
};

// Takes the publisher lock of a link whose publisher is gone (nobody holds it), so that the link
// and its lock file can be removed; -1 when someone holds it or there is none.
int takeAbandonedLock(const std::filesystem::path& lockFile) {
  const int fd = ::open(lockFile.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return -1;
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return fd;
  ::close(fd);
  return -1;
}

// Removes what publishers that died (a program killed with SIGKILL) left in the folder: their
// links, whose pseudo-terminals are gone or (their numbers being reused at once) lead to another
// program's line, and their lock files. A link with no lock file was made by a simulator that
// kept none: it goes too when it leads to a pseudo-terminal or to nothing, since the folder holds
// only simulators' links; a link to anything else was made by hand and stays.
void removeAbandonedLinks(const std::filesystem::path& folder) {
  namespace fs = std::filesystem;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    struct stat entry {};
    if (::lstat(it->path().c_str(), &entry) != 0) continue;
    if (name.front() == '.') {
      // A lock file whose link is gone: its publisher died before making the link or after
      // removing it.
      const auto port = SimulatorPortSource::portNameOfLockFile(name);
      struct stat link {};
      if (!port || ::lstat((folder / *port).c_str(), &link) == 0) continue;
      if (const int fd = takeAbandonedLock(it->path()); fd >= 0) {
        ::unlink(it->path().c_str());
        ::close(fd);
      }
      continue;
    }
    if (!S_ISLNK(entry.st_mode)) continue;
    const fs::path lockFile = SimulatorPortSource::publisherLockPath(it->path());
    struct stat lock {};
    if (::lstat(lockFile.c_str(), &lock) == 0) {
      if (const int fd = takeAbandonedLock(lockFile); fd >= 0) {
        ::unlink(it->path().c_str());
        ::unlink(lockFile.c_str());
        ::close(fd);
      }
      continue;
    }
    struct stat target {};
    std::error_code unreadable;
    const fs::path leadsTo = fs::read_symlink(it->path(), unreadable);
    if (::stat(it->path().c_str(), &target) != 0 || leadsTo.string().starts_with("/dev/pts/")) {
      ::unlink(it->path().c_str());
    }
  }
}

}  // namespace

std::unique_ptr<SerialPeer> SerialPeer::plugIn(Options options) {
  std::unique_ptr<SerialPeer> peer(new SerialPeer);
  peer->master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (peer->master_ < 0) fail("posix_openpt");
  if (::grantpt(peer->master_) != 0 || ::unlockpt(peer->master_) != 0) fail("unlockpt");
  char name[128];
  if (::ptsname_r(peer->master_, name, sizeof name) != 0) fail("ptsname_r");
  peer->devicePath_ = name;

  // Raw at 9600 baud, so that bytes pass untouched (no echo) until the device sets its own mode;
  // the master's terminal requests act on the device side.
  termios attributes{};
  if (::tcgetattr(peer->master_, &attributes) != 0) fail("tcgetattr");
  ::cfmakeraw(&attributes);
  ::cfsetispeed(&attributes, B9600);
  ::cfsetospeed(&attributes, B9600);
  if (::tcsetattr(peer->master_, TCSANOW, &attributes) != 0) fail("tcsetattr");
  // Opened and closed once, the device side shows as hung up on the master until someone opens
  // it again: that is how the peer sees the device open and close.
  const int device = ::open(peer->devicePath_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (device < 0) fail("open");
  ::close(device);
  peer->baudRate_ = 9600;

  std::filesystem::path folder = options.folder.empty() ? SimulatorPortSource::defaultFolder() : options.folder;
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  {
    FolderLock turn(folder);
    // What a killed simulator left must not stand in the way: its names are free again, and a
    // port source must not see its links beside this one.
    removeAbandonedLinks(folder);
    if (!options.name.empty()) {
      if (!peer->claim(folder / options.name)) fail("symlink");
    } else {
      for (int n = 0; !peer->claim(folder / ("ttyACM" + std::to_string(n))); ++n) {
        if (errno != EEXIST || n > 9999) fail("symlink");
      }
    }
  }

  peer->wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (peer->wakeFd_ < 0) fail("eventfd");
  peer->thread_ = std::thread([p = peer.get()] { p->run(); });
  return peer;
}

SerialPeer::~SerialPeer() {
  unplug();
  hangUp();
  if (wakeFd_ >= 0) ::close(wakeFd_);
}

bool SerialPeer::claim(const std::filesystem::path& link) {
  // A link still there keeps its lock file as it is, even one left behind (whose publisher lock
  // someone was looking at as the stale links were cleared): taking that file away would make the
  // link look like one that never had a lock.
  struct stat existing {};
  if (::lstat(link.c_str(), &existing) == 0) {
    errno = EEXIST;
    return false;
  }
  const std::filesystem::path lockFile = SimulatorPortSource::publisherLockPath(link);
  const int fd = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return false;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    // Another peer's, alive (or being looked at this moment): the name is taken.
    ::close(fd);
    errno = EEXIST;
    return false;
  }
  if (::symlink(devicePath_.c_str(), link.c_str()) != 0) {
    const int error = errno;
    ::unlink(lockFile.c_str());
    ::close(fd);
    errno = error;
    return false;
  }
  linkPath_ = link;
  lockFd_ = fd;
  published_ = true;
  return true;
}

void SerialPeer::unplug() {
  std::lock_guard lock(mutex_);
  if (!published_) return;
  {
    FolderLock turn(linkPath_.parent_path());
    ::unlink(linkPath_.c_str());
    ::unlink(SimulatorPortSource::publisherLockPath(linkPath_).c_str());
  }
  ::close(lockFd_);  // the lock goes last: the link is never seen without it
  lockFd_ = -1;
  published_ = false;
}

void SerialPeer::hangUp() {
  if (thread_.joinable()) {
    const std::uint64_t one = 1;
    [[maybe_unused]] auto written = ::write(wakeFd_, &one, sizeof one);
    thread_.join();
  }
  std::lock_guard lock(mutex_);
  if (master_ >= 0) {
    ::close(master_);
    master_ = -1;
    masterClosed_ = true;
  }
}

std::string SerialPeer::received() const {
  std::lock_guard lock(mutex_);
  return received_;
}

std::string SerialPeer::takeReceived() {
  std::lock_guard lock(mutex_);
  std::string out;
  out.swap(received_);
  return out;
}

bool SerialPeer::waitForReceived(std::size_t count, std::chrono::milliseconds limit) const {
  std::unique_lock lock(mutex_);
  return receivedChanged_.wait_for(lock, limit, [&] { return received_.size() >= count; });
}

bool SerialPeer::write(std::string_view bytes) {
  std::lock_guard lock(mutex_);
  if (master_ < 0) return false;
  std::size_t done = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (done < bytes.size()) {
    const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && errno == EAGAIN && std::chrono::steady_clock::now() < deadline) {
      pollfd pfd{master_, POLLOUT, 0};
      ::poll(&pfd, 1, 10);
    } else {
      return false;
    }
  }
  return true;
}

void SerialPeer::setLineHandler(std::function<std::string(const std::string&)> handler) {
  std::lock_guard lock(mutex_);
  lineHandler_ = std::move(handler);
}

bool SerialPeer::isDeviceOpen() const {
  std::lock_guard lock(mutex_);
  return deviceOpen_;
}

int SerialPeer::baudRate() const {
  std::lock_guard lock(mutex_);
  return baudRate_;
}

std::vector<LineEvent> SerialPeer::events() const {
  std::lock_guard lock(mutex_);
  return events_;
}

int SerialPeer::hangUpCount() const {
  std::lock_guard lock(mutex_);
  return hangUps_;
}

void SerialPeer::readAvailable() {
  char buffer[1024];
  for (;;) {
    const ssize_t n = ::read(master_, buffer, sizeof buffer);
    if (n <= 0) return;  // drained (EAGAIN), or the device side is closed (EIO)
    std::vector<std::string> lines;
    std::function<std::string(const std::string&)> handler;
    {
      std::lock_guard lock(mutex_);
      received_.append(buffer, static_cast<std::size_t>(n));
      for (ssize_t i = 0; i < n; ++i) {
        if (buffer[i] == '\n') {
          lines.push_back(std::move(pendingLine_));
          pendingLine_.clear();
        } else if (buffer[i] != '\r') {
          pendingLine_.push_back(buffer[i]);
        }
      }
      handler = lineHandler_;
    }
    receivedChanged_.notify_all();
    if (!handler) continue;
    for (const auto& line : lines) {
      const std::string reply = handler(line);
      if (!reply.empty()) write(reply);
    }
  }
}

void SerialPeer::run() {
  for (;;) {
    pollfd fds[2] = {{master_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    const int ready = ::poll(fds, 2, kWatchIntervalMs);
    if (ready < 0 && errno != EINTR) return;
    if (fds[1].revents) return;
    if (fds[0].revents & POLLIN) readAvailable();
    const bool hungUpBefore = (fds[0].revents & POLLHUP) != 0;
    termios attributes{};
    const int speed = ::tcgetattr(master_, &attributes) == 0 ? baudRateOf(::cfgetospeed(&attributes)) : 0;
    // Looked at again after the speed: the device may have closed or opened in between, and a speed
    // read across such a change belongs to the session on the far side of it.
    pollfd again{master_, 0, 0};
    const bool hungUpAfter = ::poll(&again, 1, 0) > 0 && (again.revents & POLLHUP) != 0;
    {
      std::lock_guard lock(mutex_);
      noteLine(hungUpBefore, speed, hungUpAfter);
    }
    if (hungUpAfter) {
      // The master reports the hang-up until the device opens again: wait here instead of spinning.
      pollfd wake{wakeFd_, POLLIN, 0};
      if (::poll(&wake, 1, kWatchIntervalMs) > 0) return;
    }
  }
}

void SerialPeer::noteLine(bool hungUpBefore, int speed, bool hungUpAfter) {
  const auto hangUp = [&](int at) {
    if (!deviceOpen_) return;
    deviceOpen_ = false;
    ++hangUps_;
    events_.push_back({LineEvent::Kind::HungUp, at});
  };
  const auto open = [&](int at) {
    if (deviceOpen_) {
      if (at != baudRate_) events_.push_back({LineEvent::Kind::SpeedChanged, at});
    } else {
      deviceOpen_ = true;
      events_.push_back({LineEvent::Kind::Opened, at});
    }
    baudRate_ = at;
  };
  if (hungUpBefore && !hungUpAfter) {
    // Closed, then opened again while we looked: the speed is the new session's.
    hangUp(baudRate_);
    open(speed);
  } else if (!hungUpBefore && hungUpAfter) {
    // Open, then closed while we looked: the speed is the one it was closed at.
    open(speed);
    hangUp(speed);
  } else if (hungUpAfter) {
    // Closed at both looks. Only an open device changes the speed: either it did so as it closed,
    // or, when it was already known closed, a whole session came and went between two looks and is
    // reported as the device lived it.
    if (speed != baudRate_) open(speed);
    hangUp(speed);
  } else {
    open(speed);
  }
  baudRate_ = speed;
}

}  // namespace qv::sim
