// The user notifications of the desktop: org.freedesktop.Notifications on the session bus.
#pragma once

#include <string>

#include "screens/CalibrationWizardPresenter.h"

namespace qv::app {

// Sends each notification from a worker thread, so a notification server that is slow to answer
// never holds up the window. Where there is no session bus or no server the notification is
// dropped with a line in the log; nothing else depends on it.
class DesktopNotifier final : public qv::screens::CalibrationNotifier {
public:
  void notify(const std::string& title, const std::string& text) override;
  // Sends one notification now, on the caller's thread; false (logged) when it could not be sent.
  static bool send(const std::string& title, const std::string& text);
};

}  // namespace qv::app
