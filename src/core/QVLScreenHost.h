// What the application core asks of the desktop shell: the window, the switching between screens,
// the About and preferences windows, and the few things the core has to tell the user. The shell
// implements it; the core's tests use a recording fake. Every call comes on the main queue.
#pragma once

#include <filesystem>
#include <string>

#include "platform/Error.h"

struct QVLAppcastItem;

class QVLScreenHost {
public:
  virtual ~QVLScreenHost() = default;

  // Takes every screen down and puts the main screen up. The first showing consumes the start-up
  // update check: the host calls QVLAppDelegate::runStartupUpdateCheckIfDue() then.
  virtual void showHudScreen() = 0;
  // Reads a qvk or qvkx file into a new stored scan and shows it in the 3D viewer.
  virtual void openScanWithFilePath(const std::string& path) = 0;
  // True while an open panel is on screen (several commands do nothing then).
  virtual bool isOpenPanelShown() const { return false; }

  virtual void showAboutWindow() {}
  virtual void showPreferences() {}

  // A report of the last run's crash is waiting at `report`; the user may send or discard it.
  virtual void offerCrashReport(const std::filesystem::path& /*report*/) {}
  // The update check found a newer version (`userStarted`: the user asked for the check).
  virtual void updateAvailable(const QVLAppcastItem& /*item*/, bool /*userStarted*/) {}
  // A check the user asked for found nothing newer, or failed (`error` set).
  virtual void noUpdateAvailable(const qv::Error* /*error*/) {}
  // A fault the user must act on (a firmware update that failed, say).
  virtual void presentError(const qv::Error& /*error*/) {}
};
