// The desktop program around the application core: the main window with its screens, the
// preferences and About windows, the dialogs, the main queue in Qt's loop, files handed over by
// the desktop or a second launch, and the launch itself.
#pragma once

#include <QObject>
#include <QPointer>
#include <QStringList>
#include <filesystem>
#include <memory>

#include "app/CoreLink.h"
#include "app/DesktopNotifier.h"
#include "app/MainWindow.h"
#include "app/QtDialogService.h"
#include "app/QtMainQueueBridge.h"
#include "app/ScreenColormap.h"
#include "app/SingleInstance.h"
#include "app/StoreErrorAlerts.h"
#include "screens/AppTermination.h"
#include "screens/ScreenCoordinator.h"
#include "screens/widgets/AboutWindow.h"
#include "screens/widgets/PreferencesWindow.h"

class TBCoreDataStoreS1;

namespace qv::app {

class ViewerPage;

class DesktopApplication : public QObject, private qv::screens::MainScreenDelegate {
  Q_OBJECT
public:
  struct Options {
    qv::Settings* settings = nullptr;   // the user's standard store when null
    TBCoreDataStoreS1* store = nullptr;  // the default store when null
    std::unique_ptr<CoreLink> core;      // a core without scanner support when empty
    std::string shortVersion = "0";
    std::string buildVersion = "0";
    // Listen for files from later launches (the program does; tests need not).
    bool singleInstance = true;
    QString instancePath = SingleInstance::defaultServerPath();
    // The dialog service; Qt's own when null (tests give a fake).
    qv::screens::DialogService* dialogs = nullptr;
  };

  // Call on the GUI thread with a QApplication in place.
  explicit DesktopApplication(Options options);
  ~DesktopApplication() override;

  // Shows the window and runs the launch; `files` are the documents the program was started with.
  void launch(const QStringList& files);
  // A document handed over by the desktop or a later launch (answer as `application:openFile:`).
  bool openFile(const QString& path);

  MainWindow& window() { return *window_; }
  CoreLink& core() { return *core_; }
  qv::screens::ScreenCoordinator& coordinator() { return *coordinator_; }
  qv::screens::MainScreenPresenter& mainScreen() { return *mainPresenter_; }
  qv::screens::AppTermination& termination() { return *termination_; }
  // The 3D viewer once it has been shown (null before, and in a build without the viewer).
  ViewerPage* viewerPage() const { return viewer_.get(); }
  qv::screens::PreferencesWindow& preferencesWindow();
  qv::screens::AboutWindow& aboutWindow();
  void showPreferences();
  void showAbout();
  // The quit command: asks first where needed, then ends the event loop.
  void quit();
  // After the event loop has ended: runs Qt's loop on until the scanner's stop that the quit
  // started has ended (the core bounds it), so that its lines reach the scanner.
  void waitForHardwareStop();
  // Emitted once the main screen has been painted for the first time.
  Q_SIGNAL void mainScreenShown();

private:
  // MainScreenDelegate: the state from the core, the actions switch screens here.
  bool hasDeviceInterpreter() const override { return core_->hasDeviceInterpreter(); }
  bool isCalibrated() const override { return core_->isCalibrated(); }
  bool isConnecting() const override { return core_->isConnecting(); }
  std::uint64_t addStateListener(std::function<void()> l) override { return core_->addStateListener(std::move(l)); }
  void removeStateListener(std::uint64_t token) override { core_->removeStateListener(token); }
  void showScanScreenForMainController() override;
  void showManualScanScreenForMainController() override;
  void showCalibrationScreenForMainController() override;
  void openExistingScanForMainController() override;
  void openScanForMainController(const qv::ObjectID& scan) override;

  bool eventFilter(QObject* watched, QEvent* event) override;
  void wireCommands();

  std::unique_ptr<ScreenColormap> colormaps_;  // before any window is made
  // First: the store may report while it opens, which the next member does.
  std::shared_ptr<StoreErrorAlerts> storeAlerts_;
  qv::Settings& settings_;
  TBCoreDataStoreS1& store_;
  std::unique_ptr<CoreLink> core_;
  std::string shortVersion_, buildVersion_;
  std::unique_ptr<QtMainQueueBridge> bridge_;
  std::unique_ptr<QtDialogService> qtDialogs_;
  qv::screens::DialogService* dialogs_;
  DesktopNotifier notifier_;  // before the window, which hands it to the calibration wizard
  std::shared_ptr<qv::screens::MainScreenPresenter> mainPresenter_;
  std::unique_ptr<MainWindow> window_;
  std::shared_ptr<qv::screens::ScreenCoordinator> coordinator_;
  std::shared_ptr<qv::screens::AppTermination> termination_;
  std::shared_ptr<ViewerPage> viewer_;
  std::unique_ptr<qv::screens::PreferencesWindow> preferences_;
  std::unique_ptr<qv::screens::AboutWindow> about_;
  std::unique_ptr<SingleInstance> instance_;
  bool singleInstance_;
  QString instancePath_;
  bool announcedShown_ = false;
};

}  // namespace qv::app
