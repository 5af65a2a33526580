// The desktop program around the application core.
#include "app/DesktopApplication.h"

#include <QApplication>
#include <QEvent>
#include <QEventLoop>
#include <QFileInfo>

#include "platform/Log.h"
#include "platform/Paths.h"
#include "screens/IntermediateFileCleanup.h"
#include "store/TBCoreDataStoreS1.h"
#ifdef QUORVEL_WITH_SCAN_SCREEN
#include "screens/widgets/ScanScreenWidget.h"
#endif
#ifdef QUORVEL_WITH_VIEWER
#include "app/ViewerPage.h"
#include "viewer/ui/QVLObjectSceneView.h"
#endif

namespace qv::app {

using qv::screens::ScreenKind;

DesktopApplication::DesktopApplication(Options options)
    : colormaps_(ScreenColormap::install()),
      storeAlerts_(StoreErrorAlerts::install()),
      settings_(options.settings ? *options.settings : qv::Settings::standard()),
      store_(options.store ? *options.store : TBCoreDataStoreS1::defaultStore()),
      core_(options.core ? std::move(options.core) : makeStandaloneCore(options.shortVersion, options.buildVersion)),
      shortVersion_(options.shortVersion),
      buildVersion_(options.buildVersion),
      bridge_(std::make_unique<QtMainQueueBridge>()),
      singleInstance_(options.singleInstance),
      instancePath_(options.instancePath) {
  if (options.dialogs) {
    dialogs_ = options.dialogs;
  } else {
    qtDialogs_ = std::make_unique<QtDialogService>();
    qtDialogs_->setSettings(&settings_);
    dialogs_ = qtDialogs_.get();
  }
  storeAlerts_->attach(dialogs_);
  mainPresenter_ = qv::screens::MainScreenPresenter::create(store_, settings_);
  window_ = std::make_unique<MainWindow>(mainPresenter_);
  if (qtDialogs_) qtDialogs_->setWindow(window_.get());
  mainPresenter_->setDelegate(this);

  qv::screens::ScreenCoordinator::Options coordination;
  coordination.host = window_.get();
  coordination.dialogs = dialogs_;
  coordination.application = core_.get();
  coordination.store = &store_;
  coordination.settings = &settings_;
  coordinator_ = qv::screens::ScreenCoordinator::create(std::move(coordination));
  termination_ = qv::screens::AppTermination::create(*window_, *dialogs_, core_.get(), [this](auto done) {
    if (coordinator_) coordinator_->askAboutViewerEditsBeforeQuitting(std::move(done));
    else if (done) done(false);
  });
  window_->setAboutAndPreferences([this] { showAbout(); }, [this] { showPreferences(); });
  window_->mainScreen()->installEventFilter(this);
  wireCommands();
#ifdef QUORVEL_WITH_SCAN_SCREEN
  // Made when first shown and kept: from then on its preview follows the store's saves.
  window_->setScanScreenFactory([this](QWidget* parent) -> std::pair<QWidget*, qv::screens::ScanScreen*> {
    auto presenter = qv::screens::ScanScreenPresenter::create(store_, settings_, *dialogs_);
    presenter->setDelegate(std::make_shared<qv::screens::ScanScreenLink>(
        core_->scanRelays(), [this](const qv::ObjectID& scan) { if (coordinator_) coordinator_->openScan(scan); },
        [this] { if (coordinator_) coordinator_->showHudScreen(); }));
    return {new qv::screens::ScanScreenWidget(presenter, settings_, parent), presenter.get()};
  });
#endif
  window_->setCalibration(core_->calibrationRunner(), &notifier_);
  window_->setManualScan(
      [this] {
        return core_->advancedScanDelegate([this] { if (coordinator_) coordinator_->showHudScreen(); },
                                           [this] { if (coordinator_) coordinator_->showScanScreen(); });
      },
      &settings_);
#ifdef QUORVEL_WITH_VIEWER
  // The viewer is made when first shown, so a launch that never opens a scan never pays for it.
  window_->setViewerFactory([this](QWidget* parent) -> std::pair<QWidget*, qv::screens::ViewerScreen*> {
    ViewerHooks hooks;
    hooks.isOpenPanelShown = [this] { return coordinator_->isOpenPanelUp(); };
    hooks.openExistingScan = [this] { coordinator_->openExistingScan(); };
    hooks.showHudScreen = [this] { coordinator_->showHudScreen(); };
    viewer_ = ViewerPage::create(parent, store_, settings_, std::move(hooks));
    core_->setSceneViewController(viewer_);
    return {viewer_->view(), viewer_.get()};
  });
#endif
}

DesktopApplication::~DesktopApplication() {
  mainPresenter_->setDelegate(nullptr);
  // The core must not drive a viewer whose window is gone.
  if (viewer_) core_->setSceneViewController(nullptr);
  viewer_.reset();
  // Work still queued for the switching finds it gone (it holds it weakly), never a dead window.
  termination_.reset();
  coordinator_.reset();
  about_.reset();
  preferences_.reset();
  window_.reset();
  qv::drainMainQueue();
}

void DesktopApplication::wireCommands() {
  MainWindow::Commands c;
  auto unlessPanel = [this](void (qv::screens::ScreenCoordinator::*show)()) {
    return [this, show] {
      if (!coordinator_->isOpenPanelUp()) ((*coordinator_).*show)();
    };
  };
  c.openExistingScan = [this] { coordinator_->openExistingScan(); };
  c.resetScanList = [this] { coordinator_->resetScanList(); };
  c.showHud = unlessPanel(&qv::screens::ScreenCoordinator::showHudScreen);
  c.autoScan = [this] {
    if (coordinator_->isOpenPanelUp()) return;
    if (window_->isShown(ScreenKind::Main))
      mainPresenter_->startNewAutoScan();
    else
      coordinator_->showScanScreen();
  };
  c.manualScan = [this] {
    if (coordinator_->isOpenPanelUp()) return;
    if (window_->isShown(ScreenKind::Main))
      mainPresenter_->startNewManualScan();
    else
      coordinator_->showManualScanScreen();
  };
  c.calibrate = [this] {
    if (window_->isShown(ScreenKind::Main))
      mainPresenter_->showCalibrationScreen();
    else
      coordinator_->showCalibrationScreen();
  };
  c.cancel = [this] { coordinator_->cancelScannerCalibration(); };
  c.resetScanner = [this] {
    if (auto* delegate = core_->preferencesDelegate()) delegate->resetScannerForPreferences();
  };
  c.exportLogs = [this] { core_->exportLogFiles(); };
  c.checkForUpdates = [this] { core_->checkForUpdates(); };
  c.cancelFileLoad = [this] { coordinator_->cancelFileLoadOperation(); };
  c.quit = [this] { quit(); };
  c.showHelp = [this](int tag) { coordinator_->showHelp(tag); };
  c.recentScans = [this] {
    std::vector<std::pair<QString, qv::ObjectID>> out;
    for (auto& recent : coordinator_->recentScans()) out.emplace_back(QString::fromStdString(recent.title), recent.scan);
    return out;
  };
  c.openRecent = [this](const qv::ObjectID& scan) { coordinator_->openRecentScan(scan); };
  c.shouldClose = [this] { return termination_->mainWindowShouldClose(); };
  c.closing = [this] {
    if (preferences_) preferences_->close();
    if (about_) about_->close();
  };
  c.resized = [this] {
    if (window_->isShown(ScreenKind::Main)) mainPresenter_->adjustLayout(false);
    if (auto* viewer = window_->viewer()) viewer->windowDidResize();
    core_->windowDidResize();
  };
  window_->setCommands(std::move(c));
}

void DesktopApplication::launch(const QStringList& files) {
  if (singleInstance_) {
    instance_ = std::make_unique<SingleInstance>(instancePath_);
    instance_->listen([this](const QString& path) {
      if (!path.isEmpty()) openFile(path);
      window_->raise();
      window_->activateWindow();
    });
  }
  // Before any screen is up, documents wait for the end of the launch.
  for (const QString& file : files) openFile(file);
  const std::string pending = coordinator_->modelToDisplayOnStartup();
  window_->show();

  ShellLaunchHooks hooks;
  hooks.showHudScreen = [this] { coordinator_->showHudScreen(); };
  hooks.openScanWithFilePath = [this](const std::string& path) { coordinator_->openScanWithFilePath(path); };
  hooks.isOpenPanelUp = [this] { return coordinator_->isOpenPanelUp(); };
  hooks.removeIntermediateFiles = [this] { qv::screens::removeIntermediateFiles(store_); };
  hooks.adjustMainLayout = [this](bool rebuild) { mainPresenter_->adjustLayout(rebuild); };
  hooks.showAbout = [this] { showAbout(); };
  hooks.showPreferences = [this] { showPreferences(); };
  hooks.showAlert = [this](const qv::screens::Alert& alert) { dialogs_->showAlert(alert, [](int) {}); };
  hooks.dialogs = dialogs_;
  core_->launch(hooks, pending);
}

bool DesktopApplication::openFile(const QString& path) {
  // A path given relative to the folder the program was started from would follow the working
  // folder, not the file: the library, recent tiles and save panels need where the file is.
  const QString file = path.isEmpty() ? path : QFileInfo(path).absoluteFilePath();
  return coordinator_->applicationOpenFile(file.toStdString());
}

qv::screens::PreferencesWindow& DesktopApplication::preferencesWindow() {
  if (!preferences_) preferences_ = std::make_unique<qv::screens::PreferencesWindow>(settings_, core_->preferencesDelegate());
  return *preferences_;
}

qv::screens::AboutWindow& DesktopApplication::aboutWindow() {
  if (!about_) {
    auto* dialogs = dialogs_;
    about_ = std::make_unique<qv::screens::AboutWindow>(
        QString::fromStdString(shortVersion_), QString::fromStdString(buildVersion_), store_.libraryFolder(),
        [dialogs](const std::filesystem::path& file) { dialogs->openWithDesktop(file.string()); });
  }
  return *about_;
}

void DesktopApplication::showPreferences() { preferencesWindow().showWindow(); }

void DesktopApplication::showAbout() {
  auto& about = aboutWindow();
  about.show();
  about.raise();
  about.activateWindow();
}

void DesktopApplication::quit() {
  // The loop is ended directly once the answer is yes: closing the windows one by one would ask
  // the main window's question a second time.
  auto reply = termination_->applicationShouldTerminate([](bool mayEnd) {
    if (mayEnd) QCoreApplication::exit(0);
  });
  if (reply == qv::screens::AppTermination::Reply::Now) QCoreApplication::exit(0);
}

void DesktopApplication::waitForHardwareStop() {
  // Events are processed by hand: a loop of its own would return at once after the exit that
  // ended the program's loop. The scanner's answer and the core's time limit both arrive as events.
  bool stopped = false;
  core_->whenHardwareStopped([&] { stopped = true; });
  while (!stopped) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

void DesktopApplication::showScanScreenForMainController() {
  if (!coordinator_->isOpenPanelUp()) coordinator_->showScanScreen();
}
void DesktopApplication::showManualScanScreenForMainController() {
  if (!coordinator_->isOpenPanelUp()) coordinator_->showManualScanScreen();
}
void DesktopApplication::showCalibrationScreenForMainController() { coordinator_->showCalibrationScreen(); }
void DesktopApplication::openExistingScanForMainController() { coordinator_->openExistingScan(); }
void DesktopApplication::openScanForMainController(const qv::ObjectID& scan) {
  if (!coordinator_->isOpenPanelUp()) coordinator_->openScan(scan);
}

bool DesktopApplication::eventFilter(QObject* watched, QEvent* event) {
  if (!announcedShown_ && watched == window_->mainScreen() && event->type() == QEvent::Paint) {
    announcedShown_ = true;
    QMetaObject::invokeMethod(this, [this] { emit mainScreenShown(); }, Qt::QueuedConnection);
  }
  return QObject::eventFilter(watched, event);
}

}  // namespace qv::app
