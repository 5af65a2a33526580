// Dialogs on Qt.
#include "app/QtDialogService.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QUrl>

#include "platform/Log.h"
#ifdef QUORVEL_WITH_VIEWER
#include "viewer/model/PanelFolder.h"
#endif

namespace qv::app {

void QtDialogService::showAlert(const qv::screens::Alert& alert, std::function<void(int)> done) {
  auto* box = new QMessageBox(window_);
  box->setWindowModality(window_ ? Qt::WindowModal : Qt::ApplicationModal);
  box->setIcon(alert.style == qv::screens::AlertStyle::Informational ? QMessageBox::Information
               : alert.style == qv::screens::AlertStyle::Critical    ? QMessageBox::Critical
                                                                      : QMessageBox::Warning);
  box->setText(QString::fromStdString(alert.message));
  box->setInformativeText(QString::fromStdString(alert.informativeText));
  std::vector<std::string> buttons = alert.buttons.empty() ? std::vector<std::string>{"OK"} : alert.buttons;
  std::vector<QAbstractButton*> made;
  for (std::size_t i = 0; i < buttons.size(); ++i) {
    auto* button = box->addButton(QString::fromStdString(buttons[i]), i == 0 ? QMessageBox::AcceptRole : QMessageBox::RejectRole);
    made.push_back(button);
    if (i == 0) box->setDefaultButton(button);
  }
  QObject::connect(box, &QMessageBox::finished, box, [box, made, done](int) {
    int chosen = 0;
    for (std::size_t i = 0; i < made.size(); ++i)
      if (box->clickedButton() == made[i]) chosen = static_cast<int>(i);
    box->deleteLater();
    if (done) done(chosen);
  });
  box->open();
}

void QtDialogService::chooseFileToOpen(const std::string& prompt, const std::vector<std::string>& extensions,
                                       std::function<void(std::optional<std::string>)> done) {
  auto* dialog = new QFileDialog(window_, QObject::tr("Open Scan"));
  dialog->setWindowModality(window_ ? Qt::WindowModal : Qt::ApplicationModal);
  dialog->setFileMode(QFileDialog::ExistingFile);
  dialog->setLabelText(QFileDialog::Accept, QString::fromStdString(prompt));
  QStringList patterns;
  for (const auto& ext : extensions) patterns << QString("*.%1").arg(QString::fromStdString(ext));
  dialog->setNameFilter(QObject::tr("Scans (%1)").arg(patterns.join(' ')));
  startInLastFolder(dialog);
  QObject::connect(dialog, &QFileDialog::finished, dialog, [this, dialog, done](int result) {
    std::optional<std::string> path;
    if (result == QDialog::Accepted && !dialog->selectedFiles().isEmpty()) path = dialog->selectedFiles().front().toStdString();
    if (path) rememberFolderOf(*path);
    dialog->deleteLater();
    if (done) done(path);
  });
  dialog->open();
}

void QtDialogService::chooseFileToSave(const std::string& suggestedName,
                                       std::function<void(std::optional<std::string>)> done,
                                       const std::vector<std::string>& extensions) {
  auto* dialog = new QFileDialog(window_, QObject::tr("Save"));
  dialog->setWindowModality(window_ ? Qt::WindowModal : Qt::ApplicationModal);
  dialog->setAcceptMode(QFileDialog::AcceptSave);
  QStringList allowed;
  for (const auto& ext : extensions) allowed << QString::fromStdString(ext);
  if (!allowed.isEmpty()) {
    QStringList patterns;
    for (const QString& ext : allowed) patterns << "*." + ext;
    dialog->setNameFilter(QObject::tr("%1 files (%2)").arg(allowed.front().toUpper(), patterns.join(' ')));
    dialog->setDefaultSuffix(allowed.front());
  }
  startInLastFolder(dialog);
  dialog->selectFile(QString::fromStdString(suggestedName));
  QObject::connect(dialog, &QFileDialog::finished, dialog, [this, dialog, done, allowed](int result) {
    std::optional<std::string> path;
    if (result == QDialog::Accepted && !dialog->selectedFiles().isEmpty()) {
      QString chosen = dialog->selectedFiles().front();
      // The desktop's own dialog may leave the suffix off: the file still gets its type's.
      if (!allowed.isEmpty() && !allowed.contains(QFileInfo(chosen).suffix(), Qt::CaseInsensitive))
        chosen += "." + allowed.front();
      path = chosen.toStdString();
      rememberFolderOf(*path);
    }
    dialog->deleteLater();
    if (done) done(path);
  });
  dialog->open();
}

void QtDialogService::startInLastFolder(QFileDialog* dialog) {
#ifdef QUORVEL_WITH_VIEWER
  if (settings_) dialog->setDirectory(QString::fromStdString(qv::viewer::lastPanelFolder(*settings_).string()));
#else
  (void)dialog;
#endif
}

void QtDialogService::rememberFolderOf(const std::string& chosen) {
#ifdef QUORVEL_WITH_VIEWER
  if (settings_) qv::viewer::rememberPanelFolder(*settings_, chosen);
#else
  (void)chosen;
#endif
}

void QtDialogService::openWithDesktop(const std::string& fileOrUrl) {
  const QString text = QString::fromStdString(fileOrUrl);
  const QUrl url = text.contains("://") ? QUrl(text) : QUrl::fromLocalFile(text);
  if (!url.isValid() || !QDesktopServices::openUrl(url)) QVLogWarn("Could not open %s", fileOrUrl.c_str());
}

}  // namespace qv::app
