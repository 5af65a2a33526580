// The one main window: it holds one screen's page at a time (the progress overlay over it), and
// carries the menus. It is the screen host the screen switching drives.
#pragma once

#include <QMainWindow>
#include <QMenu>
#include <QPointer>
#include <functional>
#include <map>
#include <memory>

#include "screens/AdvancedScanDelegate.h"
#include "screens/CalibrationWizardPresenter.h"
#include "screens/MainScreenPresenter.h"
#include "screens/ScreenInterfaces.h"
#include "screens/widgets/MainScreenWidget.h"
#include "screens/widgets/PlaceholderPage.h"
#include "screens/widgets/ProgressOverlay.h"

namespace qv::app {

class MainWindow : public QMainWindow, public qv::screens::ScreenHost {
  Q_OBJECT
public:
  // What the window's commands do; the application fills it in.
  struct Commands {
    std::function<void()> openExistingScan, resetScanList, showHud, autoScan, manualScan, calibrate, cancel,
        resetScanner, exportLogs, checkForUpdates, cancelFileLoad, quit;
    std::function<void(int)> showHelp;
    std::function<std::vector<std::pair<QString, qv::ObjectID>>()> recentScans;
    std::function<void(const qv::ObjectID&)> openRecent;
    // The close button: true to close now (otherwise the answer closes the window later).
    std::function<bool()> shouldClose;
    std::function<void()> resized;
    // The main window is closing: the preferences and About windows close with it.
    std::function<void()> closing;
  };

  MainWindow(std::shared_ptr<qv::screens::MainScreenPresenter> mainPresenter, QWidget* parent = nullptr);
  void setCommands(Commands commands) { commands_ = std::move(commands); }
  void setAboutAndPreferences(std::function<void()> about, std::function<void()> preferences) {
    about_ = std::move(about);
    preferences_ = std::move(preferences);
  }
  // Makes the viewer's page (a child of `parent`) and the screen that drives it, on its first
  // putUp; without it the viewer is a placeholder.
  using ViewerFactory = std::function<std::pair<QWidget*, qv::screens::ViewerScreen*>(QWidget* parent)>;
  void setViewerFactory(ViewerFactory factory) { viewerFactory_ = std::move(factory); }
  // Makes the scan screen's page and the screen that drives it, on its first putUp; without it
  // the scan screen is a placeholder.
  using ScanScreenFactory = std::function<std::pair<QWidget*, qv::screens::ScanScreen*>(QWidget* parent)>;
  void setScanScreenFactory(ScanScreenFactory factory) { scanFactory_ = std::move(factory); }
  // What each showing of the manual scan screen reaches the scanner through (none: the screen is
  // a placeholder), and the settings it loads and saves (outliving the window).
  using ManualScanDelegateFactory = std::function<std::shared_ptr<qv::screens::AdvancedScanDelegate>()>;
  void setManualScan(ManualScanDelegateFactory makeDelegate, qv::Settings* settings) {
    manualScanDelegate_ = std::move(makeDelegate);
    manualScanSettings_ = settings;
  }
  // What the calibration wizard runs its passes through and tells its success to (both outlive
  // the window); without a runner the calibration screen is a placeholder.
  void setCalibration(qv::screens::CalibrationRunner* runner, qv::screens::CalibrationNotifier* notifier) {
    calibrationRunner_ = runner;
    calibrationNotifier_ = notifier;
  }
  qv::screens::MainScreenWidget* mainScreen() const { return mainScreen_; }
  // The page of a screen while it exists (for tests and screenshots).
  QWidget* page(qv::screens::ScreenKind kind) const;

  // ScreenHost
  void putUp(qv::screens::ScreenKind kind) override;
  void takeDown(qv::screens::ScreenKind kind) override;
  void takeDownAll() override;
  bool isShown(qv::screens::ScreenKind kind) const override;
  bool hasScreen(qv::screens::ScreenKind kind) const override;
  void setProgress(float fraction) override;
  void adjustMainLayout(bool rebuildList) override;
  qv::screens::ViewerScreen* viewer() override;
  qv::screens::ScanScreen* scanScreen() override;
  qv::screens::ManualScanScreen* manualScanScreen() override;
  qv::screens::CalibrationScreen* calibrationScreen() override;
  void showAboutWindow() override {
    if (about_) about_();
  }
  void showPreferencesWindow() override {
    if (preferences_) preferences_();
  }
  bool isMainWindowVisible() const override { return isVisible(); }
  void closeMainWindow() override;

protected:
  void closeEvent(QCloseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

private:
  void buildMenus();
  void validate(QMenu* menu);
  void fillRecentMenu();
  void layOutPages();
  QAction* tagged(QMenu* menu, const QString& title, int tag, std::function<void()> action,
                  const QKeySequence& shortcut = {});

  std::shared_ptr<qv::screens::MainScreenPresenter> mainPresenter_;
  QWidget* content_;
  qv::screens::MainScreenWidget* mainScreen_;
  std::map<qv::screens::ScreenKind, QPointer<QWidget>> pages_;
  QPointer<qv::screens::ProgressOverlay> progress_;
  QMenu* recentMenu_ = nullptr;
  Commands commands_;
  std::function<void()> about_, preferences_;
  ViewerFactory viewerFactory_;
  ManualScanDelegateFactory manualScanDelegate_;
  qv::Settings* manualScanSettings_ = nullptr;
  ScanScreenFactory scanFactory_;
  qv::screens::ScanScreen* scanScreen_ = nullptr;
  qv::screens::CalibrationRunner* calibrationRunner_ = nullptr;
  qv::screens::CalibrationNotifier* calibrationNotifier_ = nullptr;
  qv::screens::ViewerScreen* viewerScreen_ = nullptr;
  bool closeAllowed_ = false;
};

}  // namespace qv::app
