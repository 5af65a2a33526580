// Quitting and closing the main window: one decision that asks the user first when a scan screen
// is up or the 3D viewer holds unsaved work.
#pragma once

#include <functional>
#include <memory>

#include "screens/DialogService.h"
#include "screens/ScreenInterfaces.h"

namespace qv::screens {

class AppTermination : public std::enable_shared_from_this<AppTermination> {
public:
  enum class Reply { Now, Cancel, Later };

  // How the viewer's unsaved edits are asked about; the viewer's own question when empty.
  using EditsQuestion = std::function<void(std::function<void(bool cancelled)> done)>;

  static std::shared_ptr<AppTermination> create(ScreenHost& host, DialogService& dialogs, ApplicationState* application,
                                                EditsQuestion askAboutViewerEdits = {});

  // True when the application may end at once; otherwise the answer comes through `done` (true:
  // it may end), exactly once, also after a save the user asked for has ended.
  bool handleAppTermination(std::function<void(bool mayEnd)> done);
  // The quit command: Now, or Later with `reply` called once the user has answered.
  Reply applicationShouldTerminate(std::function<void(bool mayEnd)> reply);
  // The main window's close button: true to close at once; otherwise the window is closed by
  // this object when the user agrees.
  bool mainWindowShouldClose();

private:
  AppTermination(ScreenHost& host, DialogService& dialogs, ApplicationState* application, EditsQuestion askAboutViewerEdits)
      : host_(host), dialogs_(dialogs), application_(application), askAboutViewerEdits_(std::move(askAboutViewerEdits)) {}
  std::function<void(bool)> stoppingHardwareFirst(std::function<void(bool)> done);

  ScreenHost& host_;
  DialogService& dialogs_;
  ApplicationState* application_;
  EditsQuestion askAboutViewerEdits_;
};

}  // namespace qv::screens
