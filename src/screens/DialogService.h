// Questions, messages and file choices that screens ask of the user, through one small service so
// that presenters can be tested with a fake that answers.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace qv::screens {

enum class AlertStyle { Warning, Informational, Critical };

struct Alert {
  AlertStyle style = AlertStyle::Warning;
  std::string message;
  std::string informativeText;
  std::vector<std::string> buttons;  // first is the default; none means one "OK"
};

class DialogService {
public:
  virtual ~DialogService() = default;

  // Shows the alert attached to the main window (window-modal, never blocking the caller) and
  // calls `done` once with the index of the button chosen.
  virtual void showAlert(const Alert& alert, std::function<void(int button)> done) = 0;
  // Lets the user pick one existing file of the given extensions; `done` gets nothing on cancel.
  virtual void chooseFileToOpen(const std::string& prompt, const std::vector<std::string>& extensions,
                                std::function<void(std::optional<std::string> path)> done) = 0;
  // Lets the user choose where to save a new file, starting from the suggested name; `done` gets
  // nothing on cancel. With extensions, only files of those types are offered and the chosen name
  // ends in one of them (the first is added when it does not). The default answers nothing.
  virtual void chooseFileToSave(const std::string& /*suggestedName*/,
                                std::function<void(std::optional<std::string> path)> done,
                                const std::vector<std::string>& /*extensions*/ = {}) {
    done(std::nullopt);
  }
  // Hands a file or an address to the desktop's default application for it.
  virtual void openWithDesktop(const std::string& fileOrUrl) = 0;
};

}  // namespace qv::screens
