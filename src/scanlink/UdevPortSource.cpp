// Serial ports of the machine through libudev: enumeration, look-up by device node, hot-plug.
#include "scanlink/UdevPortSource.h"

#include <libudev.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "platform/Log.h"
#include "platform/Queue.h"

namespace qv {

namespace {

std::string text(const char* value) { return value ? std::string(value) : std::string(); }

// A tty that a program can use as a serial port: one with a hardware device behind it. An 8250
// driver slot without a UART reports type 0 and cannot be opened usefully.
bool isSerialHardware(udev_device* device) {
  if (!device || !udev_device_get_devnode(device)) return false;
  if (!udev_device_get_parent(device)) return false;
  const char* type = udev_device_get_sysattr_value(device, "type");
  if (type && std::strcmp(type, "0") == 0) return false;
  return true;
}

SerialPortInfo infoForDevice(udev_device* device) {
  SerialPortInfo info;
  info.calloutPath = text(udev_device_get_devnode(device));
  info.dialinPath = info.calloutPath;
  info.ttyName = text(udev_device_get_sysname(device));
  splitTTYName(info.ttyName, &info.baseName, &info.suffix);
  info.sourceName = "udev";
  if (udev_device* usb = udev_device_get_parent_with_subsystem_devtype(device, "usb", "usb_device")) {
    info.usbVendorId = text(udev_device_get_sysattr_value(usb, "idVendor"));
    info.usbProductId = text(udev_device_get_sysattr_value(usb, "idProduct"));
    info.usbSerialNumber = text(udev_device_get_sysattr_value(usb, "serial"));
    info.usbManufacturer = text(udev_device_get_sysattr_value(usb, "manufacturer"));
    info.usbProduct = text(udev_device_get_sysattr_value(usb, "product"));
  }
  return info;
}

}  // namespace

UdevPortSource::UdevPortSource() : udev_(udev_new()) {
  if (!udev_) QVLogWarn("libudev is unavailable: no serial ports will be listed");
}

UdevPortSource::~UdevPortSource() {
  stopWatching();
  if (udev_) udev_unref(udev_);
}

std::vector<SerialPortInfo> UdevPortSource::presentPorts() {
  std::vector<SerialPortInfo> ports;
  std::lock_guard lock(mutex_);
  if (!udev_) return ports;
  udev_enumerate* enumerate = udev_enumerate_new(udev_);
  if (!enumerate) return ports;
  udev_enumerate_add_match_subsystem(enumerate, "tty");
  udev_enumerate_scan_devices(enumerate);
  udev_list_entry* entry = nullptr;
  udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate)) {
    udev_device* device = udev_device_new_from_syspath(udev_, udev_list_entry_get_name(entry));
    if (isSerialHardware(device)) ports.push_back(infoForDevice(device));
    if (device) udev_device_unref(device);
  }
  udev_enumerate_unref(enumerate);
  std::sort(ports.begin(), ports.end(),
            [](const SerialPortInfo& a, const SerialPortInfo& b) { return a.calloutPath < b.calloutPath; });
  for (const auto& info : ports) known_[info.calloutPath] = info;
  return ports;
}

std::optional<SerialPortInfo> UdevPortSource::portForPath(const std::string& path) {
  if (path.empty()) return std::nullopt;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) return std::nullopt;
  std::lock_guard lock(mutex_);
  if (!udev_) return std::nullopt;
  udev_device* device = udev_device_new_from_devnum(udev_, 'c', st.st_rdev);
  std::optional<SerialPortInfo> info;
  if (device && text(udev_device_get_subsystem(device)) == "tty" && isSerialHardware(device)) {
    info = infoForDevice(device);
  }
  if (device) udev_device_unref(device);
  return info;
}

bool UdevPortSource::startWatching(PortsHandler arrived, PortsHandler removed) {
  std::lock_guard lock(mutex_);
  if (monitor_) return true;
  monitorContext_ = udev_new();
  if (!monitorContext_) return false;
  // Without a udev daemon nothing is re-broadcast on the "udev" group: listen to the kernel.
  const bool daemonRuns = ::access("/run/udev/control", F_OK) == 0;
  monitor_ = udev_monitor_new_from_netlink(monitorContext_, daemonRuns ? "udev" : "kernel");
  if (!monitor_ || udev_monitor_filter_add_match_subsystem_devtype(monitor_, "tty", nullptr) < 0 ||
      udev_monitor_enable_receiving(monitor_) < 0) {
    QVLogWarn("Serial ports plugged in or out will not be noticed: the udev monitor cannot start");
    if (monitor_) udev_monitor_unref(monitor_);
    monitor_ = nullptr;
    udev_unref(monitorContext_);
    monitorContext_ = nullptr;
    return false;
  }
  arrived_ = std::move(arrived);
  removed_ = std::move(removed);
  if (!watcher_.start(udev_monitor_get_fd(monitor_), [this] { readMonitor(); })) {
    udev_monitor_unref(monitor_);
    monitor_ = nullptr;
    udev_unref(monitorContext_);
    monitorContext_ = nullptr;
    return false;
  }
  return true;
}

void UdevPortSource::stopWatching() {
  watcher_.stop();
  std::lock_guard lock(mutex_);
  if (monitor_) udev_monitor_unref(monitor_);
  monitor_ = nullptr;
  if (monitorContext_) udev_unref(monitorContext_);
  monitorContext_ = nullptr;
}

void UdevPortSource::readMonitor() {
  // Only this thread touches the monitor and its context while watching.
  while (udev_device* device = udev_monitor_receive_device(monitor_)) {
    const std::string action = text(udev_device_get_action(device));
    std::vector<SerialPortInfo> arrivedPorts;
    std::vector<SerialPortInfo> removedPorts;
    if (action == "add" && isSerialHardware(device)) {
      SerialPortInfo info = infoForDevice(device);
      std::lock_guard lock(mutex_);
      known_[info.calloutPath] = info;
      arrivedPorts.push_back(std::move(info));
    } else if (action == "remove") {
      const std::string node = text(udev_device_get_devnode(device));
      std::lock_guard lock(mutex_);
      if (auto it = known_.find(node); it != known_.end()) {
        removedPorts.push_back(it->second);
        known_.erase(it);
      }
    }
    udev_device_unref(device);
    if (!arrivedPorts.empty() && arrived_) {
      mainQueue()->async([handler = arrived_, ports = std::move(arrivedPorts)] { handler(ports); });
    }
    if (!removedPorts.empty() && removed_) {
      mainQueue()->async([handler = removed_, ports = std::move(removedPorts)] { handler(ports); });
    }
  }
}

}  // namespace qv
