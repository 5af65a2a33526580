// The simulator folder's ports and their arrival and removal through inotify.
#include "scanlink/SimulatorPortSource.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "platform/Log.h"
#include "platform/Queue.h"

namespace qv {

namespace fs = std::filesystem;

SimulatorPortSource::SimulatorPortSource(fs::path folder)
    : folder_(fs::absolute(std::move(folder)).lexically_normal()) {}

SimulatorPortSource::~SimulatorPortSource() { stopWatching(); }

fs::path SimulatorPortSource::defaultFolder() {
  if (const char* dir = std::getenv("QUORVEL_SIM_DIR"); dir && *dir) return fs::path(dir);
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
    return fs::path(runtime) / "quorvel-sim";
  }
  std::error_code ec;
  fs::path temp = fs::temp_directory_path(ec);
  if (ec) temp = "/tmp";
  return temp / ("quorvel-sim-" + std::to_string(::getuid()));
}

namespace {

constexpr std::string_view kLockSuffix = ".lock";

// True when the link has a lock file that nobody holds: its publisher is gone. Looked at with a
// shared lock, let go at once, so that two lookers never take each other for a publisher.
bool publisherIsGone(const fs::path& link) {
  const int fd = ::open(SimulatorPortSource::publisherLockPath(link).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  const bool gone = ::flock(fd, LOCK_SH | LOCK_NB) == 0;
  ::close(fd);
  return gone;
}

}  // namespace

fs::path SimulatorPortSource::publisherLockPath(const fs::path& link) {
  return link.parent_path() / ("." + link.filename().string() + std::string(kLockSuffix));
}

std::optional<std::string> SimulatorPortSource::portNameOfLockFile(const std::string& name) {
  if (name.size() <= 1 + kLockSuffix.size() || name.front() != '.' || !name.ends_with(kLockSuffix)) return std::nullopt;
  return name.substr(1, name.size() - 1 - kLockSuffix.size());
}

std::optional<SerialPortInfo> SimulatorPortSource::infoForEntry(const std::string& name) const {
  // Hidden names are lock files, and the temporary links a publisher may make just before renaming
  // them into place: never ports of their own.
  if (name.empty() || name.front() == '.') return std::nullopt;
  const fs::path link = folder_ / name;
  struct stat linkStat {};
  struct stat targetStat {};
  if (::lstat(link.c_str(), &linkStat) != 0 || !S_ISLNK(linkStat.st_mode)) return std::nullopt;
  if (::stat(link.c_str(), &targetStat) != 0 || !S_ISCHR(targetStat.st_mode)) return std::nullopt;
  if (publisherIsGone(link)) return std::nullopt;
  std::error_code ec;
  fs::path target = fs::read_symlink(link, ec);
  if (ec) return std::nullopt;
  if (target.is_relative()) target = folder_ / target;

  SerialPortInfo info;
  info.calloutPath = link.string();
  info.dialinPath = target.lexically_normal().string();
  info.ttyName = name;
  splitTTYName(name, &info.baseName, &info.suffix);
  info.sourceName = "simulator";
  return info;
}

std::vector<SerialPortInfo> SimulatorPortSource::presentPorts() {
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(folder_, ec), end; !ec && it != end; it.increment(ec)) {
    names.push_back(it->path().filename().string());
  }
  std::sort(names.begin(), names.end());
  std::vector<SerialPortInfo> ports;
  for (const auto& name : names) {
    if (auto info = infoForEntry(name)) ports.push_back(std::move(*info));
  }
  std::lock_guard lock(mutex_);
  for (const auto& info : ports) known_[info.ttyName] = info;
  return ports;
}

std::optional<SerialPortInfo> SimulatorPortSource::portForPath(const std::string& path) {
  if (path.empty()) return std::nullopt;
  const fs::path asked = fs::absolute(fs::path(path)).lexically_normal();
  if (asked.parent_path() == folder_) return infoForEntry(asked.filename().string());

  // A dial-in path: the device one of the links leads to.
  struct stat askedStat {};
  if (::stat(asked.c_str(), &askedStat) != 0 || !S_ISCHR(askedStat.st_mode)) return std::nullopt;
  for (const auto& info : presentPorts()) {
    struct stat targetStat {};
    if (::stat(info.calloutPath.c_str(), &targetStat) == 0 && targetStat.st_rdev == askedStat.st_rdev) {
      return info;
    }
  }
  return std::nullopt;
}

bool SimulatorPortSource::startWatching(PortsHandler arrived, PortsHandler removed) {
  std::lock_guard lock(mutex_);
  if (inotifyFd_ >= 0) return true;
  std::error_code ec;
  if (!fs::exists(folder_, ec)) {
    fs::create_directories(folder_, ec);
    if (!ec) fs::permissions(folder_, fs::perms::owner_all, ec);
  }
  const int fd = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (fd < 0) {
    QVLogWarn("The simulator folder %s cannot be watched: %s", folder_.c_str(), std::strerror(errno));
    return false;
  }
  // A publisher's lock file is closed (it was open for writing) when the publisher unplugs or dies.
  const std::uint32_t mask = IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM | IN_CLOSE_WRITE | IN_DELETE_SELF |
                             IN_MOVE_SELF | IN_ONLYDIR;
  if (::inotify_add_watch(fd, folder_.c_str(), mask) < 0) {
    QVLogWarn("The simulator folder %s cannot be watched: %s", folder_.c_str(), std::strerror(errno));
    ::close(fd);
    return false;
  }
  // The ports already present are recorded (not reported as arriving), so that their removal is
  // reported whether or not anyone listed the ports first. Listing after the watch is in place
  // misses none: a link made in between is both listed and reported, and the manager takes a
  // port it knows once.
  for (fs::directory_iterator it(folder_, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (auto info = infoForEntry(name)) known_[name] = std::move(*info);
  }
  arrived_ = std::move(arrived);
  removed_ = std::move(removed);
  inotifyFd_ = fd;
  if (!watcher_.start(fd, [this] { readEvents(); })) {
    QVLogWarn("The simulator folder %s cannot be watched: %s", folder_.c_str(), std::strerror(errno));
    ::close(fd);
    inotifyFd_ = -1;
    return false;
  }
  return true;
}

void SimulatorPortSource::stopWatching() {
  watcher_.stop();
  std::lock_guard lock(mutex_);
  if (inotifyFd_ >= 0) {
    ::close(inotifyFd_);
    inotifyFd_ = -1;
  }
}

void SimulatorPortSource::readEvents() {
  alignas(inotify_event) char buffer[8192];
  for (;;) {
    const ssize_t length = ::read(inotifyFd_, buffer, sizeof buffer);
    if (length <= 0) return;  // drained (EAGAIN) or the descriptor is going away
    for (ssize_t offset = 0; offset < length;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
      offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      const std::string name = event->len ? std::string(event->name) : std::string();

      std::vector<SerialPortInfo> arrivedPorts;
      std::vector<SerialPortInfo> removedPorts;
      if (event->mask & (IN_CREATE | IN_MOVED_TO)) {
        if (auto info = infoForEntry(name)) {
          std::lock_guard lock(mutex_);
          known_[name] = *info;
          arrivedPorts.push_back(std::move(*info));
        }
      } else if (event->mask & (IN_DELETE | IN_MOVED_FROM)) {
        std::lock_guard lock(mutex_);
        if (auto it = known_.find(name); it != known_.end()) {
          removedPorts.push_back(it->second);
          known_.erase(it);
        }
      } else if (event->mask & IN_CLOSE_WRITE) {
        // A publisher let its lock go: when its link is still there, the publisher died.
        if (const auto port = portNameOfLockFile(name); port && !infoForEntry(*port)) {
          std::lock_guard lock(mutex_);
          if (auto it = known_.find(*port); it != known_.end()) {
            removedPorts.push_back(it->second);
            known_.erase(it);
          }
        }
      } else if (event->mask & (IN_DELETE_SELF | IN_MOVE_SELF)) {
        // The folder itself went away: every port in it went with it.
        std::lock_guard lock(mutex_);
        for (auto& [entry, info] : known_) removedPorts.push_back(info);
        known_.clear();
      }
      if (!arrivedPorts.empty() && arrived_) {
        mainQueue()->async([handler = arrived_, ports = std::move(arrivedPorts)] { handler(ports); });
      }
      if (!removedPorts.empty() && removed_) {
        mainQueue()->async([handler = removed_, ports = std::move(removedPorts)] { handler(ports); });
      }
    }
  }
}

}  // namespace qv
