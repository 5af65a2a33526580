// The scanner watcher: the list of scanner devices kept current from the port manager's notices.
#include "scanlink/QVLCControl.h"

#include <algorithm>
#include <filesystem>

#include "platform/Log.h"

QVLCControl::QVLCControl() : QVLCControl(ORSSerialPortManager::sharedSerialPortManager()) {}

QVLCControl::QVLCControl(std::shared_ptr<ORSSerialPortManager> manager)
    : serialPortManager_(std::move(manager)) {
  auto& center = qv::NotificationCenter::defaultCenter();
  const void* sender = serialPortManager_.get();
  addedObservation_ = qv::ObserverRegistration(
      center, center.addObserver(ORSSerialPortsWereConnectedNotification, sender,
                                 [this](const qv::Notification& n) { serialPortAdded(n); }));
  removedObservation_ = qv::ObserverRegistration(
      center, center.addObserver(ORSSerialPortsWereDisconnectedNotification, sender,
                                 [this](const qv::Notification& n) { serialPortRemoved(n); }));
}

QVLCControl::~QVLCControl() {
  addedObservation_.reset();
  removedObservation_.reset();
}

bool QVLCControl::isScannerPortPath(const std::string& path) {
  return std::filesystem::path(path).filename().string().rfind("ttyACM", 0) == 0;
}

void QVLCControl::setDelegate(QVLCControlDelegate* delegate) {
  std::lock_guard lock(mutex_);
  delegate_ = delegate;
}

QVLCControlDelegate* QVLCControl::delegate() const {
  std::lock_guard lock(mutex_);
  return delegate_;
}

std::vector<std::shared_ptr<QVLCDevice>>& QVLCControl::devicesLocked() {
  if (!devices_) {
    devices_.emplace();
    for (const auto& port : serialPortManager_->availablePorts()) {
      if (isScannerPortPath(port->path())) devices_->push_back(QVLCDevice::createDeviceForPort(port->path()));
    }
  }
  return *devices_;
}

std::vector<std::shared_ptr<QVLCDevice>> QVLCControl::devices() {
  std::lock_guard lock(mutex_);
  return devicesLocked();
}

void QVLCControl::serialPortAdded(const qv::Notification& notification) {
  for (const auto& port : ORSSerialPortsInNotification(notification, ORSConnectedSerialPortsKey)) {
    const std::string& path = port->path();
    QVLogInfo("Added port: %s", path.c_str());
    if (!isScannerPortPath(path)) continue;
    std::shared_ptr<QVLCDevice> device;
    QVLCControlDelegate* delegate = nullptr;
    {
      std::lock_guard lock(mutex_);
      auto& list = devicesLocked();  // built now, it already holds the arriving port
      auto it = std::find_if(list.begin(), list.end(), [&](const auto& d) { return d->port() == path; });
      if (it == list.end()) {
        list.push_back(QVLCDevice::createDeviceForPort(path));
        it = std::prev(list.end());
      }
      device = *it;
      delegate = delegate_;
    }
    // Called with the list already current, and without the lock, so that the delegate may read it.
    if (delegate) delegate->deviceAdded(device);
  }
}

void QVLCControl::serialPortRemoved(const qv::Notification& notification) {
  for (const auto& port : ORSSerialPortsInNotification(notification, ORSDisconnectedSerialPortsKey)) {
    const std::string& path = port->path();
    if (!isScannerPortPath(path)) continue;
    std::shared_ptr<QVLCDevice> device;
    QVLCControlDelegate* delegate = nullptr;
    {
      std::lock_guard lock(mutex_);
      auto& list = devicesLocked();
      auto it = std::find_if(list.begin(), list.end(), [&](const auto& d) { return d->port() == path; });
      if (it == list.end()) continue;
      device = *it;
      std::erase_if(list, [&](const auto& d) { return *d == *device; });
      delegate = delegate_;
    }
    if (delegate) delegate->deviceRemoved(device);
  }
}
