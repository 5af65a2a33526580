// The calibration wizard (`QVLCalibrationViewController`): choose the target, place it, run the
// first pass, turn the target, run the second pass, then success or the reason of a failure.
// Plain C++: the widget shows the page and the texts it is told; every pass goes through the
// runner, which the application core implements.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/Error.h"
#include "records/QVLStatus.h"

namespace qv::screens {

// The wizard's states (`QVLCalibrationWizardState`).
enum class CalibrationWizardState : int {
  ChooseTarget = 0,
  PlaceTarget = 1,
  BuildCard = 2,
  FirstPass = 3,
  TurnTarget = 4,
  SecondPass = 5,
  Completed = 6,
  Failed = 7,
};

// The calibration device a pass is told about.
inline constexpr int kCalibrationDeviceBox = 1;
inline constexpr int kCalibrationDeviceCard = 2;

// What the wizard needs of the application (`QVLCalibrationViewControllerProtocol`). A pass ends
// with exactly one call of `completion` or `error`; `update` may come any number of times before.
// All three may come on any thread. The second pass's completion means the new calibration has
// been stored on the scanner and in the settings.
class CalibrationRunner {
public:
  using Update = std::function<void(std::shared_ptr<QVLStatus>)>;
  virtual ~CalibrationRunner() = default;
  virtual bool isCalibrated() const = 0;
  virtual void startFirstPassCalibration(int device, qv::Completion completion, Update update,
                                         qv::ErrorCallback error) = 0;
  virtual void startSecondPassCalibration(int device, qv::Completion completion, Update update,
                                          qv::ErrorCallback error) = 0;
  // Asks the running pass to stop; it then ends through its error callback with a cancel code.
  virtual void cancelScannerCalibration() = 0;
  // Returns to the main screen.
  virtual void showHudScreen() = 0;
};

// Tells the user that the calibration succeeded (a desktop notification where there is one).
class CalibrationNotifier {
public:
  virtual ~CalibrationNotifier() = default;
  virtual void notify(const std::string& title, const std::string& text) = 0;
};

// The content pages of the wizard (the views of the state table).
enum class CalibrationPage {
  None,
  ExistingCalibrationType,
  FirstTimeCalibrationType,
  Step1Box,
  Step1CardConstruction,
  Step1Card,
  Step2Box,
  Step2Card,
  Scan,
  Completed,
  Failed,
};

// What the presenter asks of its widget; every call is on the main thread.
class CalibrationWizardView {
public:
  virtual ~CalibrationWizardView() = default;
  virtual void showPage(CalibrationPage page, bool whiteBackground) = 0;
  virtual void setCancelButton(const std::string& title, bool enabled) = 0;
  virtual void setTitleText(const std::string& text) = 0;
  virtual void setProgressText(const std::string& text) = 0;
  // The progress indicator: a fraction 0..1 when shown.
  virtual void setProgress(double fraction, bool visible) = 0;
  virtual void setFailureMessage(const std::string& text) = 0;
};

class CalibrationWizardPresenter : public std::enable_shared_from_this<CalibrationWizardPresenter> {
public:
  static constexpr double kPassStartDelaySeconds = 1.0;
  static constexpr const char* kCancelTitle = "Cancel";
  static constexpr const char* kCancellingTitle = "Cancelling...";
  static constexpr const char* kNotificationTitle = "Quorvel";
  static constexpr const char* kSuccessText = "The scanner calibration has completed successfully";
  static constexpr const char* kCommunicationText =
      "There is a problem communicating with the scanner. Please ensure that the scanner is connected directly to "
      "your computer and not communicating through a USB hub.";
  static constexpr const char* kNoScannerText =
      "Could not locate the connected scanner. Please ensure the device connected and powered on.";
  static constexpr const char* kPlacementText =
      "Please ensure the calibration box is properly placed on the scanner bed and has good lighting.";
  static constexpr const char* kGenericFailureText =
      "There was a problem encountered during calibration. Please check your connection, that the calibration "
      "box is placed properly and that there is sufficient lighting.";

  static std::shared_ptr<CalibrationWizardPresenter> create(CalibrationRunner& runner,
                                                            CalibrationNotifier* notifier = nullptr);

  void attachView(CalibrationWizardView* view);
  void detachView() { view_ = nullptr; }

  // State 0; the application calls it each time it shows the wizard.
  void resetContent();
  void selectBoxButtonPressed();
  void selectCardButtonPressed();
  void nextButtonPressed();
  void backButtonPressed();
  void cancelActiveCalibrationButtonPressed();
  void doneButtonPressed();
  // May be called on any thread.
  void handleCalibrationFailureWithError(const qv::Error& error);

  CalibrationWizardState currentState() const { return state_; }
  bool isCardCalibration() const { return card_; }
  // The failure text shown for an error; nothing when the error is a cancellation.
  static std::optional<std::string> failureMessageForError(const qv::Error& error);
  static bool isCancellation(const qv::Error& error);
  // The pages of a state (None for a value outside the table).
  static CalibrationPage pageForState(CalibrationWizardState state, bool card, bool calibrated);

private:
  CalibrationWizardPresenter(CalibrationRunner& runner, CalibrationNotifier* notifier)
      : runner_(runner), notifier_(notifier) {}
  void setState(CalibrationWizardState state);
  void updateUI();
  void schedulePass(CalibrationWizardState passState);
  void startPass(bool second, unsigned generation);
  void applyStatus(const QVLStatus& status);
  void passCompleted(bool second, unsigned generation);
  void failed(const qv::Error& error, unsigned generation);
  void cancelled();

  CalibrationRunner& runner_;
  CalibrationNotifier* notifier_;
  CalibrationWizardView* view_ = nullptr;
  CalibrationWizardState state_ = CalibrationWizardState::ChooseTarget;
  bool card_ = false;
  // Each entry into a pass state, and each reset, makes a new generation: a pending start or a
  // late report of an older one is dropped.
  unsigned generation_ = 0;
  bool passRunning_ = false;
};

}  // namespace qv::screens
