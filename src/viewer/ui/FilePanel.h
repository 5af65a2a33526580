// The viewer's file panels: Qt's own (never the desktop's, so that they look and behave the same
// everywhere), modal to their window and gone once closed, giving one answer: the file chosen, or
// nothing when the panel is cancelled.
#pragma once

#include <QFileDialog>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

namespace qv::viewer {

using FileAnswer = std::function<void(std::optional<std::string>)>;

inline QFileDialog* makeFilePanel(QWidget* parent) {
  auto* panel = new QFileDialog(parent, QObject::tr("Quorvel"));
  panel->setAttribute(Qt::WA_DeleteOnClose);
  panel->setOption(QFileDialog::DontUseNativeDialog);
  panel->setWindowModality(Qt::WindowModal);
  return panel;
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
