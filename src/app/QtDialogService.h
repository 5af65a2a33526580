// The dialog service on Qt: window-modal message boxes and file dialogs on the main window, and
// the desktop's default application for files and addresses.
#pragma once

#include <QPointer>
#include <QWidget>

#include "screens/DialogService.h"

namespace qv::app {

class QtDialogService : public qv::screens::DialogService {
public:
  void setWindow(QWidget* window) { window_ = window; }
  void showAlert(const qv::screens::Alert& alert, std::function<void(int)> done) override;
  void chooseFileToOpen(const std::string& prompt, const std::vector<std::string>& extensions,
                        std::function<void(std::optional<std::string>)> done) override;
  void chooseFileToSave(const std::string& suggestedName, std::function<void(std::optional<std::string>)> done,
                        const std::vector<std::string>& extensions = {}) override;
  void openWithDesktop(const std::string& fileOrUrl) override;

private:
  QPointer<QWidget> window_;
};

}  // namespace qv::app
