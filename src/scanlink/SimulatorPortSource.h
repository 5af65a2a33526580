// The simulator's port source: a folder of links to pseudo-terminals, watched with inotify.
#pragma once

#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "scanlink/SerialPortSource.h"
#include "scanlink/internal/FdWatchThread.h"

namespace qv {

// Every link in the folder that leads to a character device is a port: its callout path is the
// link's own path, its dial-in path the device it leads to. Creating a link plugs a port in;
// removing it unplugs the port. Other entries are ignored.
//
// A publisher holds an exclusive flock on the link's lock file ".<name>.lock" beside it for as long
// as the port is plugged in; the kernel drops the lock when the publisher's process ends, even by
// SIGKILL. A link whose lock file is there but not held was left by a publisher that died: it is no
// port (its pseudo-terminal is gone, or its number already belongs to another line), and when the
// publisher dies while the folder is watched the port's removal is reported. A link with no lock
// file is taken as it is.
class SimulatorPortSource final : public SerialPortSource {
public:
  explicit SimulatorPortSource(std::filesystem::path folder);
  ~SimulatorPortSource() override;

  // $QUORVEL_SIM_DIR when set, else $XDG_RUNTIME_DIR/quorvel-sim, else quorvel-sim-<uid> in the
  // temporary folder.
  static std::filesystem::path defaultFolder();
  // The lock file of the link `link`, and the port name of a lock file's name (nothing for a name
  // that is not a lock file's).
  static std::filesystem::path publisherLockPath(const std::filesystem::path& link);
  static std::optional<std::string> portNameOfLockFile(const std::string& name);

  const std::filesystem::path& folder() const { return folder_; }

  std::string sourceName() const override { return "simulator"; }
  std::vector<SerialPortInfo> presentPorts() override;
  std::optional<SerialPortInfo> portForPath(const std::string& path) override;
  // Creates the folder (owner only) when it is missing, so that it can be watched.
  bool startWatching(PortsHandler arrived, PortsHandler removed) override;
  void stopWatching() override;

private:
  std::optional<SerialPortInfo> infoForEntry(const std::string& name) const;
  void readEvents();

  const std::filesystem::path folder_;
  std::mutex mutex_;
  std::map<std::string, SerialPortInfo> known_;  // by entry name: what a removal reports
  PortsHandler arrived_;
  PortsHandler removed_;
  int inotifyFd_ = -1;
  FdWatchThread watcher_;
};

}  // namespace qv
