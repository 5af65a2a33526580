// How the scanner watcher reports scanners arriving and leaving.
#pragma once

#include <memory>

class QVLCDevice;

class QVLCControlDelegate {
public:
  virtual ~QVLCControlDelegate() = default;
  // A scanner's port has appeared; the watcher's list already holds its device.
  virtual void deviceAdded(const std::shared_ptr<QVLCDevice>& device) = 0;
  // A scanner's port has gone; its device has already left the list.
  virtual void deviceRemoved(const std::shared_ptr<QVLCDevice>& device) = 0;
};
