// What the desktop shell needs of the application core: the main screen's delegate, the
// application state the window commands use, the preferences' scanner reset, and the launch.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "screens/AdvancedScanDelegate.h"
#include "screens/CalibrationWizardPresenter.h"
#include "screens/DialogService.h"
#include "screens/GeneralPreferencesPresenter.h"
#include "screens/MainScreenPresenter.h"
#include "screens/ScanScreenDelegate.h"
#include "screens/ScreenInterfaces.h"

class QVLObjectSceneViewControllerInterface;

namespace qv::app {

// The shell's side of the launch: what the core's sequence calls back into.
struct ShellLaunchHooks {
  std::function<void()> showHudScreen;
  std::function<void(const std::string& path)> openScanWithFilePath;
  std::function<bool()> isOpenPanelUp;
  std::function<void()> removeIntermediateFiles;
  std::function<void(bool rebuild)> adjustMainLayout;
  std::function<void()> showAbout, showPreferences;
  std::function<void(const qv::screens::Alert&)> showAlert;
  qv::screens::DialogService* dialogs = nullptr;
};

// The screens' actions are the shell's own (it switches the screens); the scanner's state and the
// application state are the core's.
class CoreLink : public qv::screens::ApplicationState {
public:
  ~CoreLink() override = default;
  virtual bool hasDeviceInterpreter() const = 0;
  virtual bool isCalibrated() const = 0;
  virtual bool isConnecting() const = 0;
  // The listener runs, on any thread, after each change of the interpreter or of isConnecting.
  virtual std::uint64_t addStateListener(std::function<void()> listener) = 0;
  virtual void removeStateListener(std::uint64_t token) = 0;
  virtual qv::screens::GeneralPreferencesDelegate* preferencesDelegate() = 0;
  // Runs the launch sequence with the main screen, the clean-up and, last, the file handed over
  // before any screen was up (empty: none).
  virtual void launch(const ShellLaunchHooks& hooks, const std::string& fileHandedOver) = 0;
  // Window commands the core answers.
  virtual void checkForUpdates() {}
  virtual void exportLogFiles() {}
  virtual void windowDidResize() {}
  // The 3D viewer once the window has made it (null when it goes): the core drives it too.
  virtual void setSceneViewController(std::shared_ptr<QVLObjectSceneViewControllerInterface>) {}
  // What the scan screen starts, pauses, resumes, cancels and tidies scans through; none without
  // scanner support.
  virtual qv::screens::ScanRelays* scanRelays() { return nullptr; }
  // A delegate for one showing of the manual scan screen, whose ways out are the shell's; none
  // without scanner support.
  virtual std::shared_ptr<qv::screens::AdvancedScanDelegate> advancedScanDelegate(std::function<void()> /*returnHome*/,
                                                                                  std::function<void()> /*showScanScreen*/) {
    return nullptr;
  }
  // What the calibration wizard runs its passes through; none without scanner support.
  virtual qv::screens::CalibrationRunner* calibrationRunner() { return nullptr; }
};

// The core of a program with no scanner code linked (and of the shell's own tests): no scanner is
// ever attached; the launch shows the main screen, cleans up and opens the file handed over.
std::unique_ptr<CoreLink> makeStandaloneCore(std::string shortVersion, std::string buildVersion);

}  // namespace qv::app

class QVLAppDelegate;
struct QVLLaunchOptions;

namespace qv::app {

// The application core itself: the scanner's state comes from the delegate, the shell becomes its
// screen host, clean-up hook and main screen, and the launch is the delegate's own sequence.
std::unique_ptr<CoreLink> makeAppDelegateCore(std::shared_ptr<QVLAppDelegate> delegate, const QVLLaunchOptions& options);

}  // namespace qv::app
