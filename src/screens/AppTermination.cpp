// The questions asked before the application ends.
#include "screens/AppTermination.h"

#include "platform/Log.h"

namespace qv::screens {

std::shared_ptr<AppTermination> AppTermination::create(ScreenHost& host, DialogService& dialogs,
                                                       ApplicationState* application, EditsQuestion askAboutViewerEdits) {
  return std::shared_ptr<AppTermination>(new AppTermination(host, dialogs, application, std::move(askAboutViewerEdits)));
}

// Ending the program leaves no laser lit and no motor turning.
std::function<void(bool)> AppTermination::stoppingHardwareFirst(std::function<void(bool)> done) {
  ApplicationState* application = application_;
  return [application, done = std::move(done)](bool mayEnd) {
    if (mayEnd && application) application->stopHardwareForQuit();
    if (done) done(mayEnd);
  };
}

bool AppTermination::handleAppTermination(std::function<void(bool mayEnd)> done) {
  auto answer = stoppingHardwareFirst(std::move(done));
  if (host_.isShown(ScreenKind::Scan)) {
    Alert alert{AlertStyle::Warning, "Scan in progress", "If you continue you will lose your current scan.",
                {"Continue Scanning", "Abort and Quit"}};
    dialogs_.showAlert(alert, [answer](int button) { answer(button == 1); });
    return false;
  }
  ViewerScreen* viewer = host_.isShown(ScreenKind::Viewer) ? host_.viewer() : nullptr;
  if (!viewer) {
    if (application_) application_->stopHardwareForQuit();
    return true;
  }
  if (viewer->meshNeedsSaving()) {
    Alert alert{AlertStyle::Warning, "Mesh not saved", "If you continue you will lose your current mesh.",
                {"Continue Editing", "Quit Without Saving"}};
    dialogs_.showAlert(alert, [answer](int button) { answer(button == 1); });
    return false;
  }
  auto answered = [answer](bool cancelled) { answer(!cancelled); };
  if (askAboutViewerEdits_) askAboutViewerEdits_(std::move(answered));
  else viewer->saveAnyUnsavedChanges(std::move(answered));
  return false;
}

AppTermination::Reply AppTermination::applicationShouldTerminate(std::function<void(bool mayEnd)> reply) {
  if (!host_.isMainWindowVisible()) {
    if (application_) application_->stopHardwareForQuit();
    return Reply::Now;
  }
  const bool now = handleAppTermination([reply](bool mayEnd) {
    // Only when it does: after a Cancel the program stays.
    if (mayEnd) QVLogInfo("Closing app via the system");
    if (reply) reply(mayEnd);
  });
  return now ? Reply::Now : Reply::Later;
}

bool AppTermination::mainWindowShouldClose() {
  QVLogInfo("Closing app via the window");
  auto weak = weak_from_this();
  return handleAppTermination([weak](bool mayEnd) {
    if (auto self = weak.lock(); self && mayEnd) self->host_.closeMainWindow();
  });
}

}  // namespace qv::screens
