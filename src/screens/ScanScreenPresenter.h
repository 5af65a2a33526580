// The scan screen (`QVLScanViewController`): the quality choice or an immediate start, the running
// scan with its progress, status line, camera monitor images and live preview, pause, resume,
// cancel and finish, and saving the scan to a qvkx or qvk file, after which it opens in the 3D
// viewer. Plain C++: the widget shows the controls it is told; every scanner action goes through
// the delegate, which the application core and the screen switching implement.
#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/Error.h"
#include "platform/NotificationCenter.h"
#include "platform/Settings.h"
#include "platform/Value.h"
#include "records/QVLStatus.h"
#include "screens/DialogService.h"
#include "screens/ScanPreview.h"
#include "screens/ScanPreviewScene.h"
#include "screens/ScanScreenDelegate.h"
#include "screens/ScanScreenMenu.h"
#include "screens/ScreenInterfaces.h"
#include "store/ObjectID.h"

class TBCoreDataStoreS1;

namespace qv::screens {

// What the screen shows; the presenter's whole state lies in it.
struct ScanScreenControls {
  bool startView = true;  // the quality choice; otherwise the running scan
  bool pause = false, play = false, cancel = true, finish = false, details = false;
  bool progressLabel = false, progressBar = false;
  bool saveOverlay = false, savePrompt = true, saving = false;
  float progress = 0;
  std::string status;
  friend bool operator==(const ScanScreenControls&, const ScanScreenControls&) = default;
};

// What the presenter asks of its widget, always on the main thread.
class ScanScreenView {
public:
  virtual ~ScanScreenView() = default;
  virtual void showControls(const ScanScreenControls& controls) = 0;
  // Raw camera frames (1280 x 960, 4 bytes a pixel: blue, green, red, alpha); a null frame
  // leaves its image as it is. clearMonitorImages empties both.
  virtual void showMonitorImages(qv::SharedData laserImage, qv::SharedData monitorImage) = 0;
  virtual void clearMonitorImages() = 0;
  // Opens or closes the right panel at once.
  virtual void setRightPanelOpen(bool open) = 0;
  // Animates it open or closed over the duration, then calls `done`.
  virtual void animateRightPanel(bool open, double seconds, std::function<void()> done) = 0;
  // A save panel for a qvkx or qvk file in the folder, named `defaultName`; nothing on cancel.
  virtual void chooseSaveLocation(const std::string& defaultName, const std::filesystem::path& folder,
                                  std::function<void(std::optional<std::string> path)> done) = 0;
  // The preview changed: new points to fade in, the highlight to fade out over the duration, and
  // the point size to apply again.
  virtual void previewChanged(double highlightFadeSeconds) = 0;
  // The scene was replaced (a new scan start).
  virtual void sceneReset() = 0;
};

class ScanScreenPresenter : public ScanScreen,
                            public ScanScreenMenu,
                            public std::enable_shared_from_this<ScanScreenPresenter> {
public:
  static constexpr float kHeadIntervalMM = 37.0f;
  static constexpr float kRightPanelWidth = 260;

  // Observes the store's private-queue saves for the preview from now on.
  static std::shared_ptr<ScanScreenPresenter> create(TBCoreDataStoreS1& store, qv::Settings& settings,
                                                     DialogService& dialogs);
  ~ScanScreenPresenter() override;

  void setDelegate(QVLScanViewControllerDelegate* delegate) { delegate_ = delegate; }
  // The same, kept alive by the screen (the window's link to the core and the switching).
  void setDelegate(std::shared_ptr<QVLScanViewControllerDelegate> delegate) {
    ownedDelegate_ = std::move(delegate);
    delegate_ = ownedDelegate_.get();
  }
  void setView(ScanScreenView* view);

  // ScanScreen: the start view or, when the settings fix the step, the scan view; and the start
  // from the settings.
  void resetView() override;
  void startScan() override;
  bool shouldStartScanImmediately() const;
  // Whether a fixed step in degrees makes whole turns: within a thousandth of a degree, so the
  // 0.6 and 1.2 degree steps pass though 360 is not an exact multiple of them in floating point.
  static bool stepDividesTurn(float degrees);

  // The entry for every start: a step of 0 is adaptive. The advanced scan screen starts here too.
  void scanWithSliceDegrees(float sliceDegrees, float heightInterval);
  void simpleQualityScanButtonPressed() { qualityChosen(3.0f); }
  void mediumQualityScanButtonPressed() { qualityChosen(1.0f); }
  void highQualityScanButtonPressed() { qualityChosen(0.5f); }

  void showStartView();
  void showScanView();

  void pauseButtonPressed();
  void playButtonPressed();
  void cancelButtonPressed();
  void finishButtonPressed();
  void cancelFinishButtonPressed();
  void saveScanButtonPressed();
  // Deletes the finished scan instead of saving it, and returns to the main screen.
  void discardScanButtonPressed();
  void toggleAdvanced();
  // ScanScreenMenu
  ItemState validateMenuItem(int tag) const override;
  void performMenuItem(int tag) override;

  // The default name of the save panel: a qvk or qvkx source file's own name, else the first of
  // "Scan", "Scan(1)" .. "Scan(999)" with no qvkx or qvk file of that name in the folder.
  static std::string defaultScanFileName(const std::optional<std::string>& sourceFilePath,
                                         const std::filesystem::path& folder);
  // The folder the save panel starts in: the last one used, else the home folder.
  std::filesystem::path lastSaveFolder() const;

  const ScanScreenControls& controls() const { return controls_; }
  std::optional<qv::ObjectID> scanObjectID() const;
  bool isRightPanelOpen() const { return rightPanelWidth_ == kRightPanelWidth; }
  ScanPreview& preview() { return preview_; }
  ScanPreviewScene& scene() { return scene_; }

  // The handlers of the build and the resume (they move to the main queue themselves).
  qv::Completion completionHandler();
  ScanRelays::Update updateHandler();
  qv::ErrorCallback errorHandler();

private:
  ScanScreenPresenter(TBCoreDataStoreS1& store, qv::Settings& settings, DialogService& dialogs);
  void observeStore();
  void contextDidSavePrivateQueueContext(const qv::Notification& notification);
  void qualityChosen(float degrees);
  void scanCompleted();
  void scanUpdated(const std::shared_ptr<QVLStatus>& status);
  void scanFailed(const qv::Error& error);
  void handlePausedScan();
  void handleCameraError();
  void endCancelledScan();
  void returnToMainScreen();
  void deleteScanObject();
  void saveTo(const std::string& path);
  void saveFailed(const qv::Error& error);
  void show();
  std::weak_ptr<ScanScreenPresenter> weakSelf() { return weak_from_this(); }

  TBCoreDataStoreS1& store_;
  qv::Settings& settings_;
  DialogService& dialogs_;
  QVLScanViewControllerDelegate* delegate_ = nullptr;
  std::shared_ptr<QVLScanViewControllerDelegate> ownedDelegate_;
  ScanScreenView* view_ = nullptr;
  ScanPreviewScene scene_;
  ScanPreview preview_;
  ScanScreenControls controls_;
  mutable std::mutex idMutex_;  // the scan's identifier is read on the store's thread
  std::optional<qv::ObjectID> scanObjectID_;
  float rightPanelWidth_ = 0;  // 0 closed, 260 open, anything else while it moves
  bool cancelRequested_ = false;
  qv::ObserverRegistration storeSaves_;
};

}  // namespace qv::screens
