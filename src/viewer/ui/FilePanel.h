// The viewer's file panels: Qt's own (never the desktop's, so that they look and behave the same
// everywhere), modal to their window and gone once closed, giving one answer: the file chosen, or
// nothing when the panel is cancelled.
#pragma once

#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

namespace qv::viewer {

using FileAnswer = std::function<void(std::optional<std::string>)>;

// The question whether to replace a file that exists, window-modal and gone once answered: the
// save panel's about the file chosen, and the viewer's about a file the save writes beside it.
inline QMessageBox* makeReplaceQuestion(QWidget* parent, const QString& title, const QString& fileName) {
  auto* box = new QMessageBox(QMessageBox::Warning, title,
                              QObject::tr("%1 already exists.\nDo you want to replace it?").arg(fileName),
                              QMessageBox::Yes | QMessageBox::No, parent);
  box->setObjectName("replaceQuestion");
  box->setDefaultButton(QMessageBox::No);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setWindowModality(Qt::WindowModal);
  return box;
}

// A save panel asks whether to replace an existing file in a window-modal question of its own,
// opened like every other alert. Qt's built-in question runs a nested modal loop inside the
// panel's accept; shown that way over the viewer's GL view, it was seen drawn as a black box
// under the virtual X server while the program waited in it.
class FilePanel : public QFileDialog {
public:
  FilePanel(QWidget* parent, const QString& caption) : QFileDialog(parent, caption) {
    setOption(QFileDialog::DontConfirmOverwrite);
  }

  void accept() override {
    const QFileInfo file(selectedFiles().value(0));
    if (acceptMode() != QFileDialog::AcceptSave || replacing_ || !file.exists() || file.isDir()) {
      QFileDialog::accept();
      return;
    }
    auto* box = makeReplaceQuestion(this, windowTitle(), file.fileName());
    QObject::connect(box, &QMessageBox::finished, this, [this, box](int) {
      if (box->clickedButton() != box->button(QMessageBox::Yes)) return;  // back to the panel
      replacing_ = true;
      QFileDialog::accept();
      replacing_ = false;
    });
    box->open();
  }

private:
  bool replacing_ = false;
};

inline QFileDialog* makeFilePanel(QWidget* parent) {
  auto* panel = new FilePanel(parent, QObject::tr("Quorvel"));
  panel->setAttribute(Qt::WA_DeleteOnClose);
  panel->setOption(QFileDialog::DontUseNativeDialog);
  panel->setWindowModality(Qt::WindowModal);
  return panel;
}

// Opens the panel in the folder of `path` with its name filled in (a bare name alone would leave
// the panel in the program's working folder).
inline void proposeFile(QFileDialog* panel, const std::string& path) {
  const QFileInfo proposed(QString::fromStdString(path));
  if (!proposed.path().isEmpty() && proposed.isAbsolute()) panel->setDirectory(proposed.path());
  panel->selectFile(proposed.fileName());
}

inline void openFilePanel(QFileDialog* panel, FileAnswer answer) {
  auto shared = std::make_shared<FileAnswer>(std::move(answer));
  QObject::connect(panel, &QFileDialog::fileSelected, panel, [shared](const QString& file) {
    if (*shared) std::exchange(*shared, nullptr)(file.toStdString());
  });
  QObject::connect(panel, &QFileDialog::rejected, panel, [shared] {
    if (*shared) std::exchange(*shared, nullptr)(std::nullopt);
  });
  panel->open();
}

}  // namespace qv::viewer
