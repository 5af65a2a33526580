// The shell over the application core: the delegate's state for the screens, and the shell as
// the delegate's screen host, clean-up hook and main screen.
#include <map>
#include <mutex>

#include "app/CoreCalibrationRunner.h"
#include "app/CoreLink.h"
#include "core/QVLAppDelegate.h"
#include "core/QVLAppcast.h"
#include "platform/Log.h"
#include "platform/Queue.h"
#include "screens/AdvancedScanCoreDelegate.h"
#include "screens/ScanCoreRelays.h"

namespace qv::app {
namespace {

// What the core asks of the screens, answered through the shell's launch hooks.
class ShellScreenHost : public QVLScreenHost, public QVLCleanUpHook, public QVLMainViewControllerInterface {
public:
  ShellScreenHost(ShellLaunchHooks hooks, std::weak_ptr<QVLAppDelegate> delegate)
      : hooks_(std::move(hooks)), delegate_(std::move(delegate)) {}

  void showHudScreen() override {
    hooks_.showHudScreen();
    if (auto delegate = delegate_.lock()) delegate->runStartupUpdateCheckIfDue();
  }
  void openScanWithFilePath(const std::string& path) override { hooks_.openScanWithFilePath(path); }
  bool isOpenPanelShown() const override { return hooks_.isOpenPanelUp(); }
  void showAboutWindow() override { hooks_.showAbout(); }
  void showPreferences() override { hooks_.showPreferences(); }
  void offerCrashReport(const std::filesystem::path& report) override {
    hooks_.showAlert({qv::screens::AlertStyle::Informational, "Quorvel quit unexpectedly last time",
                      "A report of what happened was kept at " + report.string() + ".", {"OK"}});
  }
  void updateAvailable(const QVLAppcastItem& item, bool) override {
    hooks_.showAlert({qv::screens::AlertStyle::Informational, "A new version of Quorvel is available",
                      "Version " + item.displayVersionString + " can be downloaded from the Quorvel web site.", {"OK"}});
  }
  void noUpdateAvailable(const qv::Error* error) override {
    hooks_.showAlert({qv::screens::AlertStyle::Informational, error ? "The update check failed" : "Quorvel is up to date",
                      error ? error->description : "There is no newer version.", {"OK"}});
  }
  void presentError(const qv::Error& error) override {
    hooks_.showAlert({qv::screens::AlertStyle::Warning, "The scanner needs attention", error.description, {"OK"}});
  }
  void removeIntermediateFiles() override { hooks_.removeIntermediateFiles(); }
  void adjustLayout(bool animated) override { hooks_.adjustMainLayout(animated); }

private:
  ShellLaunchHooks hooks_;
  std::weak_ptr<QVLAppDelegate> delegate_;
};

class AppDelegateCore : public CoreLink, public qv::screens::GeneralPreferencesDelegate {
public:
  AppDelegateCore(std::shared_ptr<QVLAppDelegate> delegate, const QVLLaunchOptions& options)
      : delegate_(std::move(delegate)), options_(options), calibrationRunner_(delegate_) {}
  ~AppDelegateCore() override {
    std::lock_guard lock(mutex_);
    for (auto& [token, pair] : listeners_) {
      delegate_->deviceInterpreterObservable().removeListener(pair.first);
      delegate_->isConnectingObservable().removeListener(pair.second);
    }
  }

  bool hasDeviceInterpreter() const override { return delegate_->deviceInterpreter() != nullptr; }
  bool isCalibrated() const override { return delegate_->isCalibrated(); }
  bool isConnecting() const override { return delegate_->isConnecting(); }
  std::uint64_t addStateListener(std::function<void()> listener) override {
    auto shared = std::make_shared<std::function<void()>>(std::move(listener));
    auto interpreter = delegate_->deviceInterpreterObservable().addListener([shared](const auto&, const auto&) { (*shared)(); });
    auto connecting = delegate_->isConnectingObservable().addListener([shared](bool, bool) { (*shared)(); });
    std::lock_guard lock(mutex_);
    listeners_[next_] = {interpreter, connecting};
    return next_++;
  }
  void removeStateListener(std::uint64_t token) override {
    std::lock_guard lock(mutex_);
    auto it = listeners_.find(token);
    if (it == listeners_.end()) return;
    delegate_->deviceInterpreterObservable().removeListener(it->second.first);
    delegate_->isConnectingObservable().removeListener(it->second.second);
    listeners_.erase(it);
  }
  qv::screens::GeneralPreferencesDelegate* preferencesDelegate() override { return this; }
  void resetScannerForPreferences() override { delegate_->resetScannerForPreferences(); }

  void launch(const ShellLaunchHooks& hooks, const std::string& file) override {
    hooks_ = hooks;
    host_ = std::make_shared<ShellScreenHost>(hooks, delegate_);
    delegate_->setScreenHost(host_);
    delegate_->setCleanUpHook(host_);
    delegate_->setMainViewController(host_);
    delegate_->setModelToDisplayOnStartup(file);
    delegate_->applicationDidFinishLaunching(options_);
  }
  void checkForUpdates() override { delegate_->checkForUpdates(); }
  void exportLogFiles() override {
    if (!hooks_.dialogs) return;
    std::weak_ptr<QVLAppDelegate> weak = delegate_;
    auto showAlert = hooks_.showAlert;
    hooks_.dialogs->chooseFileToSave("QuorvelLogs.zip", [weak, showAlert](std::optional<std::string> path) {
      auto delegate = weak.lock();
      if (!path || !delegate) return;
      delegate->exportLogFiles(*path, [showAlert](const std::optional<qv::Error>& error) {
        if (!error) return;
        // The export reports from a worker thread; the alert belongs to the main queue.
        qv::mainQueue()->async([showAlert, error] {
          showAlert({qv::screens::AlertStyle::Warning, "The log files could not be exported", error->description, {"OK"}});
        });
      });
    }, {"zip"});
  }
  void windowDidResize() override {}  // the shell lays out its own screens
  qv::screens::ScanRelays* scanRelays() override { return &scanRelays_; }
  qv::screens::CalibrationRunner* calibrationRunner() override { return &calibrationRunner_; }
  std::shared_ptr<qv::screens::AdvancedScanDelegate> advancedScanDelegate(std::function<void()> returnHome,
                                                                          std::function<void()> showScanScreen) override {
    return std::make_shared<qv::screens::AdvancedScanCoreDelegate>(delegate_, std::move(returnHome), std::move(showScanScreen));
  }
  void setSceneViewController(std::shared_ptr<QVLObjectSceneViewControllerInterface> viewer) override {
    delegate_->setSceneViewController(std::move(viewer));
  }

  int currentAppState() const override { return delegate_->currentAppState(); }
  void setShouldPauseScan(bool pause) override { delegate_->setShouldPauseScan(pause); }
  void cancelRunningCalibration() override { delegate_->cancelScannerCalibrationForViewController(); }
  void cancelRunningScan() override { delegate_->cancelScanForScanViewController(); }
  void stopHardwareForQuit() override {
    // Ending the program must not leave a laser lit or a motor turning: the running scan is
    // cancelled and the disconnection's stop request halts the bed, the head and the lasers.
    {
      std::lock_guard lock(quitStop_->mutex);
      if (quitStop_->started) return;  // one stop per quit, whichever way the quit came
      quitStop_->started = true;
    }
    delegate_->stopScannerForQuit([stop = quitStop_] {
      QVLogInfo("Scanner stopped for quitting");
      std::vector<std::function<void()>> waiting;
      {
        std::lock_guard lock(stop->mutex);
        stop->ended = true;
        waiting.swap(stop->waiting);
      }
      for (auto& then : waiting) then();
    });
  }
  void whenHardwareStopped(std::function<void()> then) override {
    {
      std::lock_guard lock(quitStop_->mutex);
      if (quitStop_->started && !quitStop_->ended) {
        quitStop_->waiting.push_back(std::move(then));
        return;
      }
    }
    if (then) then();
  }

private:
  std::shared_ptr<QVLAppDelegate> delegate_;
  QVLLaunchOptions options_;
  qv::screens::ScanCoreRelays scanRelays_{delegate_};
  CoreCalibrationRunner calibrationRunner_;
  std::shared_ptr<ShellScreenHost> host_;
  ShellLaunchHooks hooks_;
  // The scanner's stop of the quit, which the program waits for before it ends.
  struct QuitStop {
    std::mutex mutex;
    bool started = false, ended = false;
    std::vector<std::function<void()>> waiting;
  };
  std::shared_ptr<QuitStop> quitStop_ = std::make_shared<QuitStop>();
  std::mutex mutex_;
  std::map<std::uint64_t, std::pair<std::uint64_t, std::uint64_t>> listeners_;
  std::uint64_t next_ = 1;
};

}  // namespace

std::unique_ptr<CoreLink> makeAppDelegateCore(std::shared_ptr<QVLAppDelegate> delegate, const QVLLaunchOptions& options) {
  return std::make_unique<AppDelegateCore>(std::move(delegate), options);
}

}  // namespace qv::app
