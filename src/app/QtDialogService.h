// The dialog service on Qt: window-modal message boxes and file dialogs on the main window, and
// the desktop's default application for files and addresses.
#pragma once

#include <QPointer>
#include <QWidget>

#include "platform/Settings.h"
#include "screens/DialogService.h"

class QFileDialog;

namespace qv::app {

class QtDialogService : public qv::screens::DialogService {
public:
  void setWindow(QWidget* window) { window_ = window; }
  // Where the file panels remember the folder last used in any of them.
  void setSettings(qv::Settings* settings) { settings_ = settings; }
  void showAlert(const qv::screens::Alert& alert, std::function<void(int)> done) override;
  void chooseFileToOpen(const std::string& prompt, const std::vector<std::string>& extensions,
                        std::function<void(std::optional<std::string>)> done) override;
  void chooseFileToSave(const std::string& suggestedName, std::function<void(std::optional<std::string>)> done,
                        const std::vector<std::string>& extensions = {}) override;
  void openWithDesktop(const std::string& fileOrUrl) override;

private:
  // Opens `dialog` in the remembered folder and remembers the folder of what is chosen in it.
  void startInLastFolder(QFileDialog* dialog);
  void rememberFolderOf(const std::string& chosen);

  QPointer<QWidget> window_;
  qv::Settings* settings_ = nullptr;
};

}  // namespace qv::app
