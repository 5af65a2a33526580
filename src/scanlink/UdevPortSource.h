// The real machine's port source: the tty subsystem through libudev, enumerated and monitored.
#pragma once

#include <map>
#include <mutex>

#include "scanlink/SerialPortSource.h"
#include "scanlink/internal/FdWatchThread.h"

struct udev;
struct udev_device;
struct udev_monitor;

namespace qv {

// Lists every tty that belongs to a hardware device (virtual consoles and pseudo-terminals have
// none, and an 8250 slot with no UART behind it is left out), with the USB identity of the device
// it belongs to. Hot-plug comes from udev's monitor, or from the kernel's own events where no udev
// daemon runs (containers).
class UdevPortSource final : public SerialPortSource {
public:
  UdevPortSource();
  ~UdevPortSource() override;

  std::string sourceName() const override { return "udev"; }
  std::vector<SerialPortInfo> presentPorts() override;
  std::optional<SerialPortInfo> portForPath(const std::string& path) override;
  bool startWatching(PortsHandler arrived, PortsHandler removed) override;
  void stopWatching() override;

private:
  void readMonitor();

  std::mutex mutex_;  // libudev objects are not thread-safe: one lock for the context
  udev* udev_ = nullptr;
  udev* monitorContext_ = nullptr;  // the monitor thread's own context
  udev_monitor* monitor_ = nullptr;
  std::map<std::string, SerialPortInfo> known_;  // by device node: what a removal reports
  PortsHandler arrived_;
  PortsHandler removed_;
  FdWatchThread watcher_;
};

}  // namespace qv
