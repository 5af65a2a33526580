// The main window.
#include "app/MainWindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QMenuBar>

#include "screens/ScanScreenMenu.h"
#include "screens/widgets/AdvancedScanPage.h"
#include "screens/widgets/AppIcon.h"
#include "screens/widgets/CalibrationWizardPage.h"
#include "screens/widgets/QtColours.h"

namespace qv::app {

using qv::screens::ScreenKind;

MainWindow::MainWindow(std::shared_ptr<qv::screens::MainScreenPresenter> mainPresenter, QWidget* parent)
    : QMainWindow(parent), mainPresenter_(std::move(mainPresenter)) {
  setWindowTitle(tr("Quorvel"));
  setWindowIcon(qv::screens::appIcon());
  setObjectName("QuorvelMainWindow");
  QPalette palette = this->palette();
  palette.setColor(QPalette::Window, qv::screens::accentGreenColour());
  setPalette(palette);
  content_ = new QWidget(this);
  content_->setAutoFillBackground(true);
  setCentralWidget(content_);
  content_->installEventFilter(this);
  mainScreen_ = new qv::screens::MainScreenWidget(mainPresenter_, content_);
  mainScreen_->hide();
  pages_[ScreenKind::Main] = mainScreen_;
  setMinimumSize(860, 600);
  resize(1024, 700);
  buildMenus();
}

QWidget* MainWindow::page(ScreenKind kind) const {
  auto it = pages_.find(kind);
  return it == pages_.end() ? nullptr : it->second.data();
}

QAction* MainWindow::tagged(QMenu* menu, const QString& title, int tag, std::function<void()> action,
                            const QKeySequence& shortcut) {
  QAction* item = menu->addAction(title);
  item->setData(tag);
  if (!shortcut.isEmpty()) item->setShortcut(shortcut);
  connect(item, &QAction::triggered, this, [action] {
    if (action) action();
  });
  return item;
}

void MainWindow::buildMenus() {
  auto call = [this](std::function<void()> Commands::*member) {
    return [this, member] {
      if (commands_.*member) (commands_.*member)();
    };
  };
  QMenu* file = menuBar()->addMenu(tr("&File"));
  tagged(file, tr("&Open Scan..."), qv::screens::MainScreenPresenter::kOpenMenuTag, call(&Commands::openExistingScan), QKeySequence::Open);
  recentMenu_ = file->addMenu(tr("Open &Recent"));
  connect(recentMenu_, &QMenu::aboutToShow, this, &MainWindow::fillRecentMenu);
  file->addSeparator();
  tagged(file, tr("&Main Screen"), 0, call(&Commands::showHud), QKeySequence(Qt::CTRL | Qt::Key_1));
  tagged(file, tr("&Close Window"), 0, [this] { close(); }, QKeySequence::Close);
  tagged(file, tr("&Quit"), 0, call(&Commands::quit), QKeySequence::Quit);

  QMenu* edit = menuBar()->addMenu(tr("&Edit"));
  // Undo and redo take back the viewer's last cleaning step; they are enabled only while the
  // viewer is shown and has one.
  for (const char* action : {"undo:", "redo:"}) {
    const bool undo = std::string_view(action) == "undo:";
    QAction* item = tagged(edit, undo ? tr("&Undo") : tr("&Redo"), 0, [this, action] {
      if (auto* shown = isShown(ScreenKind::Viewer) ? viewer() : nullptr) shown->performEditAction(action);
    }, undo ? QKeySequence::Undo : QKeySequence::Redo);
    item->setObjectName(action);
  }
  // The menu's check runs only when it opens; once it closes, the shortcuts must reach the viewer
  // again, which ignores them when there is nothing to take back.
  connect(edit, &QMenu::aboutToHide, this, [edit] {
    for (QAction* item : edit->actions())
      if (item->objectName() == "undo:" || item->objectName() == "redo:") item->setEnabled(true);
  });
  edit->addSeparator();
  tagged(edit, tr("&Preferences..."), 0, [this] { showPreferencesWindow(); }, QKeySequence::Preferences);

  QMenu* scanner = menuBar()->addMenu(tr("&Scanner"));
  tagged(scanner, tr("New &Automatic Scan"), qv::screens::MainScreenPresenter::kScanMenuTag, call(&Commands::autoScan), QKeySequence::New);
  tagged(scanner, tr("New &Manual Scan"), qv::screens::MainScreenPresenter::kScanMenuTag, call(&Commands::manualScan));
  tagged(scanner, tr("&Calibrate Scanner"), qv::screens::MainScreenPresenter::kCalibrateMenuTag, call(&Commands::calibrate));
  scanner->addSeparator();
  tagged(scanner, tr("C&ancel"), 0, call(&Commands::cancel), QKeySequence(Qt::CTRL | Qt::Key_Period));
  tagged(scanner, tr("&Reset Scanner"), 0, call(&Commands::resetScanner));
  // The scan screen's items follow its buttons; they show only while it does.
  using qv::screens::ScanScreenMenu;
  const std::pair<QString, int> scanItems[] = {{tr("&Pause Scan"), ScanScreenMenu::kPauseMenuTag},
                                              {tr("Res&ume Scan"), ScanScreenMenu::kPlayMenuTag},
                                              {tr("&Finish Scan"), ScanScreenMenu::kFinishMenuTag},
                                              {tr("Cancel &Scan"), ScanScreenMenu::kCancelMenuTag},
                                              {tr("Scan &Details"), ScanScreenMenu::kDetailsMenuTag}};
  for (const auto& [title, tag] : scanItems)
    tagged(scanner, title, tag, [this, tag = tag] {
      if (auto* menu = isShown(ScreenKind::Scan) ? dynamic_cast<ScanScreenMenu*>(scanScreen()) : nullptr)
        menu->performMenuItem(tag);
    })->setVisible(false);

  QMenu* help = menuBar()->addMenu(tr("&Help"));
  const std::pair<QString, int> documents[] = {{tr("User &Manual"), 1}, {tr("&Dos and Don'ts"), 2}, {tr("&Questions and Answers"), 3}};
  for (const auto& [title, tag] : documents)
    tagged(help, title, 0, [this, tag = tag] {
      if (commands_.showHelp) commands_.showHelp(tag);
    });
  help->addSeparator();
  tagged(help, tr("&Export Log Files..."), 0, call(&Commands::exportLogs));
  tagged(help, tr("Check for &Updates..."), 0, call(&Commands::checkForUpdates));
  tagged(help, tr("&About Quorvel"), 0, [this] { showAboutWindow(); });

  for (QMenu* menu : {file, edit, scanner}) connect(menu, &QMenu::aboutToShow, this, [this, menu] { validate(menu); });
}

void MainWindow::validate(QMenu* menu) {
  // The main screen and the viewer decide the items they know while they are shown.
  qv::screens::ViewerScreen* shownViewer = isShown(ScreenKind::Viewer) ? viewer() : nullptr;
  auto* scanMenu = isShown(ScreenKind::Scan) ? dynamic_cast<qv::screens::ScanScreenMenu*>(scanScreen()) : nullptr;
  for (QAction* item : menu->actions()) {
    const int tag = item->data().toInt();
    if (qv::screens::ScanScreenMenu::isScanMenuTag(tag)) {
      const auto state = scanMenu ? scanMenu->validateMenuItem(tag) : qv::screens::ScanScreenMenu::ItemState{false, false};
      item->setVisible(state.visible);
      item->setEnabled(state.enabled);
      continue;
    }
    const std::string action = item->objectName().toStdString();
    if (action == "undo:" || action == "redo:") {
      item->setEnabled(shownViewer && shownViewer->validateMenuItem(tag, action));
      if (action == "undo:") {
        const std::string name = shownViewer ? shownViewer->undoActionName() : std::string();
        item->setText(name.empty() ? tr("&Undo") : tr("&Undo %1").arg(QString::fromStdString(name)));
      }
      continue;
    }
    if (shownViewer) {
      if (item->menu() || item->isSeparator()) continue;
      item->setEnabled(shownViewer->validateMenuItem(tag, action));
      continue;
    }
    if (tag == 0) continue;
    item->setEnabled(!isShown(ScreenKind::Main) || mainPresenter_->validateMenuItem(tag));
  }
}

void MainWindow::fillRecentMenu() {
  recentMenu_->clear();
  auto recent = commands_.recentScans ? commands_.recentScans() : std::vector<std::pair<QString, qv::ObjectID>>{};
  for (const auto& [title, id] : recent) {
    QAction* item = recentMenu_->addAction(title);
    connect(item, &QAction::triggered, this, [this, id = id] {
      if (commands_.openRecent) commands_.openRecent(id);
    });
  }
  if (recent.empty()) recentMenu_->addAction(tr("No Recent Scans"))->setEnabled(false);
  recentMenu_->addSeparator();
  QAction* clear = recentMenu_->addAction(tr("Clear Menu"));
  clear->setEnabled(!recent.empty());
  connect(clear, &QAction::triggered, this, [this] {
    if (commands_.resetScanList) commands_.resetScanList();
  });
}

void MainWindow::putUp(ScreenKind kind) {
  QWidget* widget = page(kind);
  if (!widget) {
    if (kind == ScreenKind::Progress) {
      auto* overlay = new qv::screens::ProgressOverlay(content_);
      connect(overlay, &qv::screens::ProgressOverlay::cancelRequested, this, [this] {
        if (commands_.cancelFileLoad) commands_.cancelFileLoad();
      });
      progress_ = overlay;
      widget = overlay;
    } else if (kind == ScreenKind::Viewer && viewerFactory_) {
      auto [viewerPage, screen] = viewerFactory_(content_);
      viewerScreen_ = screen;
      widget = viewerPage;
    } else if (kind == ScreenKind::Scan && scanFactory_) {
      auto [scanPage, screen] = scanFactory_(content_);
      scanScreen_ = screen;
      widget = scanPage;
    } else if (auto delegate = kind == ScreenKind::ManualScan && manualScanDelegate_ && manualScanSettings_
                                   ? manualScanDelegate_()
                                   : nullptr) {
      widget = new qv::screens::AdvancedScanPage(std::move(delegate), *manualScanSettings_, content_);
    } else if (kind == ScreenKind::Calibration && calibrationRunner_) {
      widget = new qv::screens::CalibrationWizardPage(*calibrationRunner_, calibrationNotifier_, content_);
    } else {
      auto* placeholder = new qv::screens::PlaceholderPage(kind, content_);
      connect(placeholder, &qv::screens::PlaceholderPage::homeRequested, this, [this] {
        if (commands_.showHud) commands_.showHud();
      });
      widget = placeholder;
    }
    pages_[kind] = widget;
  }
  widget->setGeometry(content_->rect());
  widget->show();
  widget->raise();
  if (progress_ && kind != ScreenKind::Progress && progress_->isVisible()) progress_->raise();
  if (kind != ScreenKind::Progress) widget->setFocus();
}

void MainWindow::takeDown(ScreenKind kind) {
  QWidget* widget = page(kind);
  if (!widget) return;
  widget->hide();
  // The manual scan screen, the calibration wizard and the overlay start afresh each time.
  if (kind == ScreenKind::ManualScan || kind == ScreenKind::Calibration || kind == ScreenKind::Progress) {
    widget->deleteLater();
    pages_.erase(kind);
  }
}

void MainWindow::takeDownAll() {
  if (QWidget* focus = QApplication::focusWidget()) focus->clearFocus();  // any field editor gives up its text
  for (ScreenKind kind : {ScreenKind::Calibration, ScreenKind::ManualScan, ScreenKind::Main, ScreenKind::Progress,
                          ScreenKind::Viewer, ScreenKind::Scan})
    takeDown(kind);
}

bool MainWindow::isShown(ScreenKind kind) const {
  QWidget* widget = page(kind);
  return widget && !widget->isHidden();
}

bool MainWindow::hasScreen(ScreenKind kind) const { return page(kind) != nullptr; }

void MainWindow::setProgress(float fraction) {
  if (progress_) progress_->setProgress(fraction);
}

void MainWindow::adjustMainLayout(bool rebuildList) { mainPresenter_->adjustLayout(rebuildList); }

qv::screens::ViewerScreen* MainWindow::viewer() {
  if (viewerScreen_ && page(ScreenKind::Viewer)) return viewerScreen_;
  return qobject_cast<qv::screens::PlaceholderPage*>(page(ScreenKind::Viewer));
}
qv::screens::ScanScreen* MainWindow::scanScreen() {
  if (scanScreen_ && page(ScreenKind::Scan)) return scanScreen_;
  return qobject_cast<qv::screens::PlaceholderPage*>(page(ScreenKind::Scan));
}
qv::screens::ManualScanScreen* MainWindow::manualScanScreen() {
  if (auto* manual = qobject_cast<qv::screens::AdvancedScanPage*>(page(ScreenKind::ManualScan))) return manual;
  return qobject_cast<qv::screens::PlaceholderPage*>(page(ScreenKind::ManualScan));
}
qv::screens::CalibrationScreen* MainWindow::calibrationScreen() {
  if (auto* wizard = qobject_cast<qv::screens::CalibrationWizardPage*>(page(ScreenKind::Calibration))) return wizard;
  return qobject_cast<qv::screens::PlaceholderPage*>(page(ScreenKind::Calibration));
}

void MainWindow::closeMainWindow() {
  closeAllowed_ = true;
  close();
}

void MainWindow::closeEvent(QCloseEvent* event) {
  if (closeAllowed_ || !commands_.shouldClose || commands_.shouldClose()) {
    closeAllowed_ = true;
    event->accept();
    if (commands_.closing) commands_.closing();
    return;
  }
  event->ignore();
}

void MainWindow::resizeEvent(QResizeEvent* event) {
  QMainWindow::resizeEvent(event);
  if (commands_.resized) commands_.resized();
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
  if (watched == content_ && event->type() == QEvent::Resize) layOutPages();
  return QMainWindow::eventFilter(watched, event);
}

void MainWindow::layOutPages() {
  for (auto& [kind, widget] : pages_)
    if (widget) widget->setGeometry(content_->rect());
}

}  // namespace qv::app
