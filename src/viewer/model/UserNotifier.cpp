// The process-wide notifier and its logging stand-in.
#include "viewer/model/UserNotifier.h"

#include <mutex>

#include "platform/Log.h"

namespace qv::viewer {

namespace {

class LoggingNotifier final : public UserNotifier {
public:
  void deliverNotification(const std::string& title, const std::string& informativeText) override {
    QVLogInfo("%s: %s", title.c_str(), informativeText.c_str());
  }
};

std::mutex& notifierLock() {
  static std::mutex lock;
  return lock;
}

std::shared_ptr<UserNotifier>& installed() {
  static std::shared_ptr<UserNotifier> notifier;
  return notifier;
}

}  // namespace

std::shared_ptr<UserNotifier> userNotifier() {
  std::lock_guard<std::mutex> lock(notifierLock());
  if (!installed()) installed() = std::make_shared<LoggingNotifier>();
  return installed();
}

void setUserNotifier(std::shared_ptr<UserNotifier> notifier) {
  std::lock_guard<std::mutex> lock(notifierLock());
  installed() = std::move(notifier);
}

}  // namespace qv::viewer
