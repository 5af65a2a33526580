// What the screen switching needs of the window and of each screen, as small abstract classes:
// the Qt shell implements them, the tests fake them, and screens still to come fill them in.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "store/ObjectID.h"

namespace qv::screens {

// The screens of the one main window; exactly one is shown between switches, and the progress
// overlay may lie over it while a file is read.
enum class ScreenKind { Main, Scan, ManualScan, Calibration, Viewer, Progress };

const char* screenName(ScreenKind kind);

// The 3D viewer as the rest of the application drives it.
class ViewerScreen {
public:
  virtual ~ViewerScreen() = default;
  virtual void loadScan(const qv::ObjectID& scan) = 0;
  // False while brush cleaning, aligning, loading, saving or a meshed object is shown.
  virtual bool canOpenFile() const = 0;
  virtual void resetViewer() = 0;
  virtual void enableHeaderUI() = 0;
  virtual void windowDidResize() = 0;
  virtual bool meshNeedsSaving() const = 0;
  // Asks about unsaved point edits. `done(cancelled)` is called exactly once: at once when nothing
  // is unsaved or the user chose "Don't Save" (false) or "Cancel" (true), and after the save ends
  // when the user chose "Save" (false when it succeeded, true when it failed, so nothing is lost).
  virtual void saveAnyUnsavedChanges(std::function<void(bool cancelled)> done) = 0;
  // Enabled state of a window menu item (its tag, 0 when it has none, and its command name)
  // while the viewer is shown.
  virtual bool validateMenuItem(int /*tag*/, const std::string& /*action*/) const { return true; }
  // The Edit menu's "undo:" and "redo:" while the viewer is shown, and the name of what undo
  // would take back ("" when there is nothing).
  virtual void performEditAction(const std::string& /*action*/) {}
  virtual std::string undoActionName() const { return {}; }
};

class ScanScreen {
public:
  virtual ~ScanScreen() = default;
  virtual void resetView() = 0;
  virtual void startScan() = 0;
};

class ManualScanScreen {
public:
  virtual ~ManualScanScreen() = default;
  virtual void connectAndMonitorScanner() = 0;
};

class CalibrationScreen {
public:
  virtual ~CalibrationScreen() = default;
  virtual void resetContent() = 0;
};

// The main window as the screen switching sees it. The host makes each screen's page on first
// use; the manual scan screen and the calibration wizard are made afresh by each putUp and
// dropped by takeDownAll.
class ScreenHost {
public:
  virtual ~ScreenHost() = default;

  // Puts the screen's page into the window (filling it); Progress lies over whatever is shown.
  virtual void putUp(ScreenKind kind) = 0;
  // Takes one page out of the window (the main, scan and viewer pages are kept for later).
  virtual void takeDown(ScreenKind kind) = 0;
  // Ends any editing in the window, then takes every page down.
  virtual void takeDownAll() = 0;
  virtual bool isShown(ScreenKind kind) const = 0;
  virtual bool hasScreen(ScreenKind kind) const = 0;
  virtual void setProgress(float fraction) = 0;

  // The main screen's layout request (`adjustLayout:`).
  virtual void adjustMainLayout(bool rebuildList) = 0;
  // The screens' own operations, on the page that exists now (nothing when it does not).
  virtual ViewerScreen* viewer() = 0;
  virtual ScanScreen* scanScreen() = 0;
  virtual ManualScanScreen* manualScanScreen() = 0;
  virtual CalibrationScreen* calibrationScreen() = 0;

  virtual void showAboutWindow() = 0;
  virtual void showPreferencesWindow() = 0;
  // Whether the main window is still on the screen (false once it has closed).
  virtual bool isMainWindowVisible() const = 0;
  virtual void closeMainWindow() = 0;
};

// The application state the window commands consult and change; the application core provides
// it, the tests fake it.
class ApplicationState {
public:
  virtual ~ApplicationState() = default;
  // 1 idle, 2 calibrating, 3 scanning (below 2 counts as idle).
  virtual int currentAppState() const = 0;
  virtual void setShouldPauseScan(bool pause) = 0;
  virtual void cancelRunningCalibration() = 0;
  virtual void cancelRunningScan() = 0;
  // The background update check of the first showing of the main screen.
  virtual void startUpdateCheck() {}
  // Lasers off and motors stopped before the program ends.
  virtual void stopHardwareForQuit() {}
  // Runs `then` on the main queue once the stop of stopHardwareForQuit has ended (answered, or
  // given up after a short limit); at once when no stop was started. The program waits for it
  // before it ends, so that the stop reaches the scanner.
  virtual void whenHardwareStopped(std::function<void()> then) {
    if (then) then();
  }
};

}  // namespace qv::screens
