// The main screen (`QVLMainViewController`): recent-scan tiles, the buttons that start work, the
// first-run view and the bottom information panel. Plain C++: the widget shows what it is told.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/NotificationCenter.h"
#include "platform/Settings.h"
#include "screens/MruList.h"
#include "store/ObjectContext.h"
#include "store/ObjectID.h"

class TBCoreDataStoreS1;

namespace qv::screens {

// What the main screen needs of the application (`QVLMainViewControllerProtocol`).
class MainScreenDelegate {
public:
  virtual ~MainScreenDelegate() = default;
  virtual bool hasDeviceInterpreter() const = 0;
  virtual bool isCalibrated() const = 0;
  virtual bool isConnecting() const = 0;
  // The listener runs, on any thread, after each change of the interpreter or of isConnecting.
  virtual std::uint64_t addStateListener(std::function<void()> listener) = 0;
  virtual void removeStateListener(std::uint64_t token) = 0;

  virtual void showScanScreenForMainController() = 0;
  virtual void showManualScanScreenForMainController() = 0;
  virtual void showCalibrationScreenForMainController() = 0;
  virtual void openExistingScanForMainController() = 0;
  virtual void openScanForMainController(const qv::ObjectID& scan) = 0;
};

// What the presenter asks of its widget. Every call is on the main thread.
class MainScreenView {
public:
  virtual ~MainScreenView() = default;
  // Calibrate, open, automatic and manual scan buttons, in that order.
  virtual void setScanButtonsEnabled(bool enabled) = 0;
  // With a scanner: veil hidden, automatic, manual and create buttons enabled, calibrate title at
  // full strength; without: veil shown, those three disabled, calibrate title at alpha 0.3.
  virtual void setScannerAttached(bool attached) = 0;
  // While a scanner that was found is being connected (the veil then says so).
  virtual void setScannerConnecting(bool /*connecting*/) {}
  virtual void setTiles(const std::vector<MruItem>& tiles) = 0;
  virtual void hideTileLabels() = 0;
  virtual double tileRowWidth() const = 0;

  // Puts the first-run view over the screen (and hides the open, create and calibrate buttons
  // and the tiles); restoreAfterFirstRun shows them again.
  virtual void showFirstRunView() = 0;
  virtual void restoreAfterFirstRun() = 0;
  virtual bool isFirstRunViewShown() const = 0;
  // Fades the first-run view out, removes it, then calls `done`.
  virtual void fadeOutFirstRunView(double seconds, std::function<void()> done) = 0;

  virtual void setBottomLabelText(const std::string& text) = 0;
  virtual std::string bottomLabelText() const = 0;
  virtual void setBottomLabelAlpha(double alpha) = 0;
  virtual void setHideBottomPanelButtonHidden(bool hidden) = 0;
  // Animations with an ease-in-ease-out curve; `done` runs when each ends.
  virtual void animateBottomPanelHeight(double height, double seconds, std::function<void()> done) = 0;
  virtual void animateBottomLabelAlpha(double alpha, double seconds, std::function<void()> done) = 0;
};

class MainScreenPresenter : public std::enable_shared_from_this<MainScreenPresenter> {
public:
  static constexpr double kBottomPanelHeight = 30.0;
  static constexpr double kFirstRunMinimumSeconds = 4.0;
  static constexpr const char* kConnectingText = "Scanner detected. Connecting...";

  // Menu tags the screen decides.
  static constexpr int kScanMenuTag = 400;
  static constexpr int kCalibrateMenuTag = 401;
  static constexpr int kOpenMenuTag = 101;

  // The store whose two contexts' saves the screen watches; the settings it reads and writes.
  static std::shared_ptr<MainScreenPresenter> create(TBCoreDataStoreS1& store, qv::Settings& settings);
  ~MainScreenPresenter();

  // The set-up of the loaded screen (`awakeFromNib`): watches the store, shows the first-run view
  // when due, sets the buttons.
  void attachView(MainScreenView* view);
  // The widget is going: nothing reaches it any more, and the store is no longer watched.
  void detachView();
  void setDelegate(MainScreenDelegate* delegate);
  MainScreenDelegate* delegate() const { return delegate_; }
  // Decides whether a thumbnail file can be shown (the widget decodes it); all can by default.
  void setImageValidator(std::function<bool(const std::filesystem::path&)> validator) { imageValidator_ = std::move(validator); }

  void adjustLayout(bool rebuildList);
  bool validateMenuItem(int tag) const;

  void startNewAutoScan();
  void startNewManualScan();
  void showCalibrationScreen();
  void openScanButtonPressed();
  void openMruPressedForItem(const qv::ObjectID& scan);

  void updateScanButtons();
  void updateBottomInfoPanel();
  void updateMruListUsingContext(const qv::ObjectContextPtr& context);
  bool showStartView();
  void dismissStartView();

  bool canOpenNewScans() const { return canOpenNewScans_; }
  const std::vector<MruItem>& mruItems() const { return mruItems_; }
  // Nothing while the screen is being left.
  const std::optional<std::vector<MruItem>>& visibleMruItems() const { return visibleMruItems_; }
  bool hasShownFirstRunSetupView() const;
  void setHasShownFirstRunSetupView(bool shown);
  bool isBottomPanelSliding() const { return panelSliding_; }
  bool isBottomPanelShown() const { return panelShown_; }

private:
  MainScreenPresenter(TBCoreDataStoreS1& store, qv::Settings& settings);
  void observeStore();
  void applyVisibleTileRule();
  void setVisibleItems(std::optional<std::vector<MruItem>> items);
  void leaveScreen();
  void delegateChanged();
  void panelSlideEnded(bool shown);
  std::weak_ptr<MainScreenPresenter> weakSelf() { return weak_from_this(); }

  TBCoreDataStoreS1& store_;
  qv::Settings& settings_;
  MainScreenView* view_ = nullptr;
  MainScreenDelegate* delegate_ = nullptr;
  std::uint64_t delegateToken_ = 0;
  std::function<bool(const std::filesystem::path&)> imageValidator_;
  std::vector<qv::ObserverRegistration> storeObservers_;

  bool canOpenNewScans_ = false;
  std::atomic<bool> shouldUpdateScanList_{false};
  qv::TimePoint firstRunSetupViewStartTime_{};
  bool firstRunFading_ = false;
  std::vector<MruItem> mruItems_;
  std::optional<std::vector<MruItem>> visibleMruItems_;
  bool panelShown_ = false;
  bool panelSliding_ = false;
};

}  // namespace qv::screens
