// The scanner watcher: recognises scanners among the serial ports and keeps one device per scanner.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/NotificationCenter.h"
#include "scanlink/ORSSerialPortManager.h"
#include "scanlink/QVLCControlDelegate.h"
#include "scanlink/QVLCDevice.h"

// A scanner's port is a USB modem port, /dev/ttyACM<n>; the simulator publishes its scanners as
// links of the same name. The watcher never opens a port. It hears the manager's notifications on
// the main queue, where its list changes and its delegate is called.
class QVLCControl {
public:
  // Over the process's shared serial-port manager.
  QVLCControl();
  // Over a chosen manager (tests, tools).
  explicit QVLCControl(std::shared_ptr<ORSSerialPortManager> manager);
  QVLCControl(const QVLCControl&) = delete;
  QVLCControl& operator=(const QVLCControl&) = delete;
  ~QVLCControl();  // stops observing

  // Not owned: the owner of the watcher outlives it, or clears it first.
  void setDelegate(QVLCControlDelegate* delegate);
  QVLCControlDelegate* delegate() const;

  // The scanners present, one device per path, in the order listed or arrived. Built from the
  // manager's ports on first use.
  std::vector<std::shared_ptr<QVLCDevice>> devices();

  const std::shared_ptr<ORSSerialPortManager>& serialPortManager() const { return serialPortManager_; }

  // The manager's notifications.
  void serialPortAdded(const qv::Notification& notification);
  void serialPortRemoved(const qv::Notification& notification);

  // Whether a port path is a scanner's: its file name begins "ttyACM" (case-sensitive).
  static bool isScannerPortPath(const std::string& path);

private:
  std::vector<std::shared_ptr<QVLCDevice>>& devicesLocked();

  const std::shared_ptr<ORSSerialPortManager> serialPortManager_;
  mutable std::mutex mutex_;
  QVLCControlDelegate* delegate_ = nullptr;
  std::optional<std::vector<std::shared_ptr<QVLCDevice>>> devices_;
  qv::ObserverRegistration addedObservation_;
  qv::ObserverRegistration removedObservation_;
};
