// The recorder of a device's announced lines.
#include "support/LineRecorder.h"

#include <algorithm>

namespace qv::test {

LineRecorder::LineRecorder(const QVLIDeviceProtocol& device) {
  auto& center = NotificationCenter::defaultCenter();
  registration_ = ObserverRegistration(
      center, center.addObserver(kDeviceLineNotification, device.notificationSender(), [this](const Notification& n) {
        std::lock_guard lock(mutex_);
        if (const Value* line = find(n.userInfo, kReceivedDataKey)) received_.push_back(*line->string());
        if (const Value* line = find(n.userInfo, kSentDataKey)) sent_.push_back(*line->string());
      }));
}

std::vector<std::string> LineRecorder::received() const {
  std::lock_guard lock(mutex_);
  return received_;
}

std::vector<std::string> LineRecorder::sent() const {
  std::lock_guard lock(mutex_);
  return sent_;
}

bool LineRecorder::heard(const std::string& line) const {
  std::lock_guard lock(mutex_);
  return std::find(received_.begin(), received_.end(), line) != received_.end();
}

}  // namespace qv::test
