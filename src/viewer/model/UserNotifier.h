// The desktop notice that tells the user a long job has ended while they may be looking elsewhere.
// The application installs the desktop's own notifier; until it does, notices go to the log.
#pragma once

#include <memory>
#include <string>

namespace qv::viewer {

class UserNotifier {
public:
  virtual ~UserNotifier() = default;
  // Shows a notice with the default sound; called on the main queue.
  virtual void deliverNotification(const std::string& title, const std::string& informativeText) = 0;
};

// The notifier in use (never null: the logging one when none is installed).
std::shared_ptr<UserNotifier> userNotifier();
// Installs a notifier for the whole process; null puts the logging one back.
void setUserNotifier(std::shared_ptr<UserNotifier> notifier);

}  // namespace qv::viewer
