// The manual scan screen (`QVLAdvancedScanViewController`): live pictures at chosen exposures,
// head and bed moves, exposure tuning, the laser analysis, and the start of a scan with the
// settings chosen. Plain C++: every device operation goes through the delegate behind a request
// machine polled by a 0.1 s timer; the widget shows what the view interface is told.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <opencv2/core.hpp>
#include <optional>
#include <string>
#include <vector>

#include "acquisition/QVLTuning.h"
#include "platform/Settings.h"
#include "platform/Timer.h"
#include "screens/AdvancedScanDelegate.h"
#include "screens/AdvancedScanResult.h"

namespace qv::screens {

enum class AdvancedScanButton { Start, AutoTuning, RestoreDefaults, Home, Up, Down, Left, LeftLeft, Right, RightRight };

// The setting fields; the first six are integer settings on a value table, BedRotation is on the
// angle table, the two adaptive steps have no table.
enum class AdvancedScanField {
  ColourCapture,
  WhiteBalance,
  Laser1Exposure,
  Laser2Exposure,
  Laser1AlternateExposure,
  Laser2AlternateExposure,
  BedRotation,
  MinAverageRotation,
  MaxAverageRotation,
};
inline constexpr int kAdvancedScanFieldCount = 9;
// The field's identifier ("ColourCapture", "WhiteBalance", ...); its slider's is the same plus "Slider".
const char* fieldIdentifier(AdvancedScanField field);
std::optional<AdvancedScanField> fieldForIdentifier(const std::string& identifier);

enum class AdvancedScanOption { Adaptive, Colour, HighContrast };

// A picture made from a camera frame (blue, green, red, alpha); null is the placeholder of a slot
// waiting for new data.
using DisplayImage = std::shared_ptr<const cv::Mat>;

// What the presenter asks of its widget, always on the main thread.
class AdvancedScanView {
public:
  virtual ~AdvancedScanView() = default;
  virtual void setButtonEnabled(AdvancedScanButton button, bool enabled) = 0;
  virtual void focusField(AdvancedScanField field) = 0;
  virtual bool isFieldFocused(AdvancedScanField field) const = 0;
  virtual void clearFocus() = 0;
  // Values, indices, texts, the lock or the toggles changed: the controls read them again.
  virtual void settingsChanged() = 0;
  // Shows or hides an option's panel (and its thumbnails); `done` runs when the change has ended,
  // at once when it is not animated.
  virtual void setOptionShown(AdvancedScanOption option, bool shown, bool animated, std::function<void()> done) = 0;
  // A thumbnail (slot 0 to 5): a new picture when `image` is set, else it keeps the one it shows.
  virtual void updateThumbnail(int slot, const DisplayImage& image, bool busy, double alpha) = 0;
  virtual void showLargeImage(const DisplayImage& image, double alpha) = 0;
  // The framed thumbnail, or none.
  virtual void setHighlightedSlot(std::optional<int> slot) = 0;
  // The summary page; relative references resolve against `base` when it is given.
  virtual void showSummaryPage(const std::string& html, const std::optional<std::filesystem::path>& base) = 0;
  virtual void setTuningPanelShown(bool shown) = 0;
  virtual void setTuningProgress(double percent) = 0;
  // A failure the user must know of (the scanner could not be reached); empty clears it.
  virtual void showMessage(const std::string& text) = 0;
};

class AdvancedScanPresenter : public std::enable_shared_from_this<AdvancedScanPresenter> {
public:
  // The request machine's codes.
  enum State : int {
    kStateInitial = 0,
    kStateIdle = 1,
    kStateAcquiring = 2,
    kStateTuning = 3,
    kRequestStartScan = 4,
    kRequestReturnHome = 5,
    kStateHeadUp = 6,
    kStateHeadDown = 7,
    kStateBedLeft = 8,
    kStateBedLeftLeft = 9,
    kStateBedRight = 10,
    kStateBedRightRight = 11,
  };
  static constexpr float kHeadStep_mm = 37.0f;
  static constexpr float kMaximumHeadHeight_mm = 185.0f;
  static constexpr double kTimerInterval_s = 0.1;
  static constexpr double kMoveDelay_s = 0.1;
  static constexpr int kSlotCount = 7;  // slots 0 to 5 are shown; the seventh is never used
  static constexpr const char* kConnectFailedText = "The scanner could not be reached: ";

  static const std::vector<std::int64_t>& exposures();
  static const std::vector<std::int64_t>& whiteBalanceValues();
  static const std::vector<double>& rotationAngles();
  static std::int64_t closestExposureIndexForExposure(std::int64_t exposure);
  static std::int64_t closestWhiteBalanceIndexForWhiteBalance(std::int64_t whiteBalance);
  static std::int64_t closestAngleIndexForAngle(float angle);
  // Whether a triangulated laser point (bed frame, mm) lies on the object: within 90 mm of the
  // bed's axis and at least 5 mm above the bed.
  static bool isPointOnObject(double x_mm, double y_mm, double z_mm);

  static std::shared_ptr<AdvancedScanPresenter> create(std::shared_ptr<AdvancedScanDelegate> delegate,
                                                       qv::Settings& settings);
  ~AdvancedScanPresenter();

  void attachView(AdvancedScanView* view) { view_ = view; }
  void detachView() { view_ = nullptr; }

  // ---- set-up and the request machine ----
  // Loads the fields from the settings and sets the toggles without animation.
  void loadView();
  void connectAndMonitorScanner();
  void startScannerTimer();
  void resolveCurrentState();
  bool isMonitoring() const { return timer_ != nullptr; }

  // ---- actions ----
  void autoTuningButtonPressed();
  void cancelAutoTuneButtonPressed();
  void homeButtonPressed();
  void startScanButtonPressed();
  // "Up" or "Down"; "Left", "LeftLeft", "Right" or "RightRight".
  void moveHeadButtonPressed(const std::string& identifier);
  void rotateBedButtonPressed(const std::string& identifier);
  void restoreDefaultsButtonPressed() { restoreDefaults(); }
  void laser2LockButtonPressed();
  void laser2AlternateLockButtonPressed();
  // Thumbnails carry the tags 1 to 6.
  void displayImageButtonPressed(int tag);
  void mouseClickedForSlider(const std::string& identifier);
  void textFieldDidBecomeFirstResponder(std::optional<AdvancedScanField> field);

  // ---- settings ----
  std::int64_t value(AdvancedScanField field) const;  // the integer settings
  float floatValue(AdvancedScanField field) const;    // bed rotation and the adaptive steps
  std::int64_t index(AdvancedScanField field) const;  // the settings on a table
  const std::string& text(AdvancedScanField field) const { return texts_[static_cast<int>(field)]; }
  void setIndex(AdvancedScanField field, std::int64_t index);
  void setText(AdvancedScanField field, const std::string& text);
  bool laserExposuresAreUnlocked() const { return laserExposuresAreUnlocked_; }
  bool alternateLaserExposuresAreUnlocked() const { return alternateLaserExposuresAreUnlocked_; }
  void setLaserExposuresAreUnlocked(bool unlocked);
  bool enableAdaptiveScan() const { return enableAdaptiveScan_; }
  bool enableColourScans() const { return enableColourScans_; }
  bool enableHighContrastScanning() const { return enableHighContrastScanning_; }
  void setEnableAdaptiveScan(bool on) { setEnableAdaptiveScan(on, shouldAnimate_, shouldSetFirstResponder_); }
  void setEnableColourScans(bool on) { setEnableColourScans(on, shouldAnimate_, shouldSetFirstResponder_); }
  void setEnableHighContrastScanning(bool on) { setEnableHighContrastScanning(on, shouldAnimate_, shouldSetFirstResponder_); }
  void setEnableAdaptiveScan(bool on, bool animate, bool changeFirstResponder);
  void setEnableColourScans(bool on, bool animate, bool changeFirstResponder);
  void setEnableHighContrastScanning(bool on, bool animate, bool changeFirstResponder);
  void validateAndFixFields();
  void restoreDefaults();
  void saveScanSettings();

  // ---- pictures and analysis ----
  void acquireDisplayImages(int choice);
  void autoTune();
  void buildFilteredImage();
  void displayCachedAnalysis();
  void displayScanImages();
  bool isPointValidWithExposure(int exposure, float x, int y, int laser);

  // ---- state ----
  int currentState() const { return currentState_.load(); }
  int pendingState() const { return pendingState_.load(); }
  float currentHeadHeight() const { return currentHeadHeight_.load(); }
  void setCurrentHeadHeight(float height_mm) { currentHeadHeight_ = height_mm; }
  int imageToDisplay() const { return imageToDisplay_; }
  unsigned selectedImageIndex() const { return selectedImageIndex_; }
  const DisplayImage& displayImage(int slot) const { return displayImages_.at(static_cast<std::size_t>(slot)); }
  const qv::SharedData& colourCaptureImageData() const { return colourCaptureImageData_; }
  const qv::SharedData& filteredImageData() const { return filteredImageData_; }
  const std::optional<QVLScanResultSet>& laser1ScanResultSet() const { return laser1_; }
  const std::optional<QVLScanResultSet>& laser2ScanResultSet() const { return laser2_; }
  const std::optional<QVLScanResultSet>& laser1AlternateScanResultSet() const { return laser1Alternate_; }
  const std::optional<QVLScanResultSet>& laser2AlternateScanResultSet() const { return laser2Alternate_; }
  const std::map<std::string, QVLAdvancedScanResult>& analysisSummaries() const { return analysisSummaries_; }
  std::shared_ptr<QVLTuning> tuning() const;
  // The raised values sent to the camera: at least the first table entry, at most the last.
  static int raisedExposure(std::int64_t exposure);
  static int raisedWhiteBalance(std::int64_t whiteBalance);

private:
  class TuningForwarder;
  AdvancedScanPresenter(std::shared_ptr<AdvancedScanDelegate> delegate, qv::Settings& settings);

  std::weak_ptr<AdvancedScanPresenter> weakSelf() { return weak_from_this(); }
  // Runs `task` on the main queue while the presenter lives.
  void onMain(std::function<void(AdvancedScanPresenter&)> task);
  void enable(AdvancedScanButton button, bool enabled);
  void setMotionButtonsEnabled(bool enabled);
  void enableMotionButtonsForHeight(bool afterBedTurn);
  void request(int code);
  void moveHeadMillimeters(float millimeters);
  void rotateBedDegrees(float degrees);
  void startScan();
  void returnHome();
  void stopTimer();
  void dropPictures();
  void focus(AdvancedScanField field);
  void updateImageAtIndex(int slot, const qv::SharedData& data);
  void captureEnded();
  void tuningEnded();
  void applyTuning(int nonLaserExposure, const std::vector<int>& laser1, const std::vector<int>& laser2,
                   int nonLaserWhitebalance);
  void showConnectionFailure(const qv::Error& error);
  void loadFields(const std::function<std::optional<qv::Value>(const std::string&)>& read, bool restoring);
  void settingsChanged();
  void beginLaserEdit() { ++shouldIgnoreUIUpdates_; }
  void endLaserEdit();
  void dropForLaserEdit(AdvancedScanField field);

  std::shared_ptr<AdvancedScanDelegate> delegate_;
  qv::Settings& settings_;
  AdvancedScanView* view_ = nullptr;

  std::atomic<int> currentState_{kStateInitial};
  std::atomic<int> pendingState_{0};
  std::atomic<float> currentHeadHeight_{0.0f};
  std::shared_ptr<qv::Timer> timer_;
  // Set once the screen is on its way out (or the scanner could not be reached): nothing more is
  // started.
  bool leaving_ = false;
  bool unreachable_ = false;

  mutable std::mutex tuningMutex_;
  std::shared_ptr<QVLTuning> tuning_;
  std::shared_ptr<TuningForwarder> forwarder_;

  // Settings: integer values of the first six fields, float values of the last three.
  std::array<std::int64_t, 6> values_{};
  std::array<std::int64_t, 7> indices_{};
  float bedRotationInDegrees_ = 0.0f, adaptiveScanMinRotation_ = 0.0f, adaptiveScanMaxRotation_ = 0.0f;
  std::array<std::string, kAdvancedScanFieldCount> texts_{};
  bool laserExposuresAreUnlocked_ = false;
  bool alternateLaserExposuresAreUnlocked_ = false;
  bool enableAdaptiveScan_ = false, enableColourScans_ = false, enableHighContrastScanning_ = false;
  bool shouldAnimate_ = true, shouldSetFirstResponder_ = true, shouldIgnoreFirstResponder_ = false;
  int shouldIgnoreUIUpdates_ = 0;

  int imageToDisplay_ = 0;
  unsigned selectedImageIndex_ = 0;
  qv::SharedData colourCaptureImageData_, filteredImageData_;
  std::optional<QVLScanResultSet> laser1_, laser2_, laser1Alternate_, laser2Alternate_;
  std::vector<DisplayImage> displayImages_ = std::vector<DisplayImage>(kSlotCount);
  std::vector<DisplayImage> visibleDisplayImages_ = std::vector<DisplayImage>(kSlotCount);
  double largeImageAlpha_ = 1.0;
  std::map<std::string, QVLAdvancedScanResult> analysisSummaries_;
};

}  // namespace qv::screens
