// Records the lines a device announces, received and sent.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/NotificationCenter.h"
#include "scanlink/QVLIDeviceProtocol.h"

namespace qv::test {

// Announcements come on the main queue, but tests read them while waiting, so it locks.
class LineRecorder {
public:
  explicit LineRecorder(const QVLIDeviceProtocol& device);
  std::vector<std::string> received() const;
  std::vector<std::string> sent() const;
  // Whether `line` was received.
  bool heard(const std::string& line) const;

private:
  mutable std::mutex mutex_;
  std::vector<std::string> received_;
  std::vector<std::string> sent_;
  ObserverRegistration registration_;
};

}  // namespace qv::test
