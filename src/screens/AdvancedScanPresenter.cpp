// The manual scan screen: set-up, the request machine, the buttons, head and bed moves, and the
// two ways out.
#include "screens/AdvancedScanPresenter.h"

#include <algorithm>

#include "platform/Log.h"
#include "platform/Queue.h"

namespace qv::screens {

// The tuning keeps a plain pointer to its delegate; this small object outlives every search
// (the search's callbacks hold it) and reaches the screen only while the screen exists.
class AdvancedScanPresenter::TuningForwarder final : public QVLTuningDelegate {
public:
  TuningForwarder(std::weak_ptr<AdvancedScanPresenter> screen, std::shared_ptr<AdvancedScanDelegate> delegate)
      : screen_(std::move(screen)), delegate_(std::move(delegate)) {}
  void setExposure(int exposure, QVLTuning& tuning, qv::Completion completion, qv::ErrorCallback error) override {
    delegate_->setExposure(exposure, tuning, std::move(completion), std::move(error));
  }
  void captureExposureImagesForTuning(QVLTuning& tuning, ExposureImagesCompletion completion,
                                      qv::ErrorCallback error) override {
    delegate_->captureExposureImagesForTuning(tuning, std::move(completion), std::move(error));
  }
  bool isPointValidWithExposure(int exposure, float x, int y, int laser, QVLTuning&) override {
    auto screen = screen_.lock();
    return screen && screen->isPointValidWithExposure(exposure, x, y, laser);
  }

private:
  std::weak_ptr<AdvancedScanPresenter> screen_;
  std::shared_ptr<AdvancedScanDelegate> delegate_;
};

std::shared_ptr<AdvancedScanPresenter> AdvancedScanPresenter::create(std::shared_ptr<AdvancedScanDelegate> delegate,
                                                                     qv::Settings& settings) {
  auto presenter = std::shared_ptr<AdvancedScanPresenter>(new AdvancedScanPresenter(std::move(delegate), settings));
  presenter->forwarder_ = std::make_shared<TuningForwarder>(presenter, presenter->delegate_);
  return presenter;
}

AdvancedScanPresenter::AdvancedScanPresenter(std::shared_ptr<AdvancedScanDelegate> delegate, qv::Settings& settings)
    : delegate_(std::move(delegate)), settings_(settings) {}

AdvancedScanPresenter::~AdvancedScanPresenter() {
  stopTimer();
  if (auto tuning = this->tuning()) tuning->setShouldCancelTuning(true);
}

void AdvancedScanPresenter::onMain(std::function<void(AdvancedScanPresenter&)> task) {
  qv::mainQueue()->async([weak = weakSelf(), task = std::move(task)] {
    if (auto self = weak.lock()) task(*self);
  });
}

void AdvancedScanPresenter::enable(AdvancedScanButton button, bool enabled) {
  if (view_) view_->setButtonEnabled(button, enabled);
}

void AdvancedScanPresenter::setMotionButtonsEnabled(bool enabled) {
  for (auto button : {AdvancedScanButton::Up, AdvancedScanButton::Down, AdvancedScanButton::Left,
                      AdvancedScanButton::LeftLeft, AdvancedScanButton::Right, AdvancedScanButton::RightRight})
    enable(button, enabled);
}

// After a head move "up" is offered below the top; after a bed turn only when one more whole step
// stays below it.
void AdvancedScanPresenter::enableMotionButtonsForHeight(bool afterBedTurn) {
  const float height = currentHeadHeight();
  setMotionButtonsEnabled(true);
  enable(AdvancedScanButton::Up, afterBedTurn ? height + kHeadStep_mm < kMaximumHeadHeight_mm
                                              : height < kMaximumHeadHeight_mm);
  enable(AdvancedScanButton::Down, height > 0.0f);
}

void AdvancedScanPresenter::showConnectionFailure(const qv::Error& error) {
  // Without the scanner nothing can be served: the only way on is back to the main screen.
  unreachable_ = true;
  QVLogError("The manual scan screen could not reach the scanner: %s", error.text().c_str());
  setMotionButtonsEnabled(false);
  enable(AdvancedScanButton::Start, false);
  enable(AdvancedScanButton::AutoTuning, false);
  enable(AdvancedScanButton::Home, true);
  if (view_) view_->showMessage(kConnectFailedText + (error.description.empty() ? error.text() : error.description));
}

void AdvancedScanPresenter::connectAndMonitorScanner() {
  enable(AdvancedScanButton::AutoTuning, true);
  enable(AdvancedScanButton::Start, true);
  focus(enableColourScans_ ? AdvancedScanField::ColourCapture : AdvancedScanField::Laser1Exposure);
  setMotionButtonsEnabled(false);
  qv::Error error;
  if (!delegate_->connectToScanner(&error)) {
    showConnectionFailure(error);
    return;
  }
  delegate_->moveHeadHome([weak = weakSelf()](const std::optional<qv::Error>& error) {
    qv::mainQueue()->async([weak, error] {
      auto self = weak.lock();
      if (!self || self->leaving_) return;
      if (error) {
        self->showConnectionFailure(*error);
        return;
      }
      self->currentHeadHeight_ = 0.0f;
      self->setMotionButtonsEnabled(true);
      self->enable(AdvancedScanButton::Down, false);
      self->startScannerTimer();
    });
  });
}

void AdvancedScanPresenter::startScannerTimer() {
  stopTimer();
  timer_ = qv::Timer::scheduledTimer(
      kTimerInterval_s,
      [weak = weakSelf()] {
        auto self = weak.lock();
        if (!self) return;
        if (self->currentState() < kStateAcquiring && self->pendingState() < kStateAcquiring)
          self->pendingState_ = kStateAcquiring;
        self->resolveCurrentState();
      },
      true);
}

void AdvancedScanPresenter::stopTimer() {
  if (timer_) timer_->invalidate();
  timer_.reset();
}

void AdvancedScanPresenter::resolveCurrentState() {
  if (currentState() >= kStateAcquiring || leaving_) return;
  // Taken before it is served, so that a request made while it runs is kept for the next turn.
  const int code = pendingState_.exchange(0);
  switch (code) {
    case kStateAcquiring: acquireDisplayImages(imageToDisplay_); break;
    case kStateTuning: autoTune(); break;
    case kRequestStartScan: startScan(); break;
    case kRequestReturnHome: returnHome(); break;
    case kStateHeadUp: moveHeadMillimeters(kHeadStep_mm); break;
    case kStateHeadDown: moveHeadMillimeters(-kHeadStep_mm); break;
    case kStateBedLeft: rotateBedDegrees(5.0f); break;
    case kStateBedLeftLeft: rotateBedDegrees(15.0f); break;
    case kStateBedRight: rotateBedDegrees(-5.0f); break;
    case kStateBedRightRight: rotateBedDegrees(-15.0f); break;
    default: return;
  }
  if (code >= kStateHeadUp) currentState_ = code;
}

// A later request replaces one not yet served, except that nothing but another way out replaces
// a pending start or return (their buttons are already disabled, so a lost one could never be
// asked for again). A replaced request gives its buttons back.
void AdvancedScanPresenter::request(int code) {
  const int pending = pendingState();
  const auto leavingCode = [](int c) { return c == kRequestStartScan || c == kRequestReturnHome; };
  if (leavingCode(pending) && !leavingCode(code)) return;
  if (pending == kStateTuning && code != kStateTuning) {
    enable(AdvancedScanButton::AutoTuning, true);
    enable(AdvancedScanButton::Start, true);
  } else if (pending >= kStateHeadUp && code < kStateHeadUp) {
    enableMotionButtonsForHeight(false);
  }
  pendingState_ = code;
}

void AdvancedScanPresenter::autoTuningButtonPressed() {
  enable(AdvancedScanButton::AutoTuning, false);
  enable(AdvancedScanButton::Start, false);
  request(kStateTuning);
}

void AdvancedScanPresenter::cancelAutoTuneButtonPressed() {
  if (auto tuning = this->tuning()) tuning->setShouldCancelTuning(true);
}

void AdvancedScanPresenter::homeButtonPressed() {
  validateAndFixFields();
  enable(AdvancedScanButton::Home, false);
  if (!isMonitoring()) {
    // Connecting or homing failed (or has not ended): no tick would ever serve the request.
    returnHome();
    return;
  }
  request(kRequestReturnHome);
  delegate_->cancelCapture();
}

void AdvancedScanPresenter::startScanButtonPressed() {
  if (unreachable_) return;
  validateAndFixFields();
  request(kRequestStartScan);
  enable(AdvancedScanButton::AutoTuning, false);
  enable(AdvancedScanButton::Start, false);
  delegate_->cancelCapture();
}

void AdvancedScanPresenter::moveHeadButtonPressed(const std::string& identifier) {
  if (identifier == "Up")
    request(kStateHeadUp);
  else if (identifier == "Down")
    request(kStateHeadDown);
  else
    return;
  setMotionButtonsEnabled(false);
}

void AdvancedScanPresenter::rotateBedButtonPressed(const std::string& identifier) {
  static const std::map<std::string, int> codes = {
      {"Left", kStateBedLeft}, {"LeftLeft", kStateBedLeftLeft}, {"Right", kStateBedRight}, {"RightRight", kStateBedRightRight}};
  const auto it = codes.find(identifier);
  if (it == codes.end()) return;
  request(it->second);
  setMotionButtonsEnabled(false);
}

void AdvancedScanPresenter::dropPictures() {
  colourCaptureImageData_.reset();
  laser1_.reset(), laser2_.reset(), laser1Alternate_.reset(), laser2Alternate_.reset();
}

void AdvancedScanPresenter::moveHeadMillimeters(float millimeters) {
  const float height = currentHeadHeight();
  setMotionButtonsEnabled(false);
  delegate_->cancelCapture();
  const float step = std::min(height + millimeters, kMaximumHeadHeight_mm) - height;
  qv::after(qv::seconds(kMoveDelay_s), qv::mainQueue(), [weak = weakSelf(), step] {
    auto self = weak.lock();
    if (!self) return;
    // The height changes only when the move is made, so a failed move can never carry the
    // guard against the top of the column astray.
    auto finish = [weak](std::function<void(AdvancedScanPresenter&)> onSuccess) {
      return [weak, onSuccess = std::move(onSuccess)](const std::optional<qv::Error>& error) {
        qv::mainQueue()->async([weak, onSuccess, error] {
          auto self = weak.lock();
          if (!self) return;
          if (error)
            QVLogError("The head did not move: %s", error->text().c_str());
          else
            onSuccess(*self);
          self->enableMotionButtonsForHeight(false);
          self->currentState_ = kStateIdle;
        });
      };
    };
    if (self->currentHeadHeight() + step <= 0.0f) {
      self->delegate_->moveHeadHome(finish([](AdvancedScanPresenter& s) { s.currentHeadHeight_ = 0.0f; }));
    } else {
      self->delegate_->moveHeadByMillimeters(
          step, finish([step](AdvancedScanPresenter& s) { s.currentHeadHeight_ = s.currentHeadHeight() + step; }));
    }
    self->dropPictures();
    self->displayScanImages();
  });
}

void AdvancedScanPresenter::rotateBedDegrees(float degrees) {
  setMotionButtonsEnabled(false);
  delegate_->cancelCapture();
  qv::after(qv::seconds(kMoveDelay_s), qv::mainQueue(), [weak = weakSelf(), degrees] {
    auto self = weak.lock();
    if (!self) return;
    self->dropPictures();
    self->displayScanImages();
    self->delegate_->rotateBedByDegrees(degrees, [weak](const std::optional<qv::Error>& error) {
      qv::mainQueue()->async([weak, error] {
        auto self = weak.lock();
        if (!self) return;
        if (error) QVLogError("The bed did not turn: %s", error->text().c_str());
        self->enableMotionButtonsForHeight(true);
        self->currentState_ = kStateIdle;
      });
    });
  });
}

void AdvancedScanPresenter::startScan() {
  if (leaving_) return;
  leaving_ = true;
  stopTimer();
  delegate_->moveHeadHome([weak = weakSelf()](const std::optional<qv::Error>&) {
    qv::mainQueue()->async([weak] {
      auto self = weak.lock();
      if (!self) return;
      self->delegate_->disconnectFromScanner([weak] {
        qv::mainQueue()->async([weak] {
          auto self = weak.lock();
          if (!self) return;
          self->saveScanSettings();
          // The scan takes the exposures chosen here instead of tuning again.
          self->settings_.setValue("OverrideAutoTuning", qv::Value(true));
          self->delegate_->showScanScreen();
        });
      });
    });
  });
}

void AdvancedScanPresenter::returnHome() {
  if (leaving_) return;  // already on the way out
  leaving_ = true;
  stopTimer();
  onMain([](AdvancedScanPresenter& self) {
    self.delegate_->disconnectFromScanner([weak = self.weakSelf()] {
      qv::mainQueue()->async([weak] {
        auto self = weak.lock();
        if (!self) return;
        self->saveScanSettings();
        self->delegate_->returnHome();
      });
    });
  });
}

// ---- exposure tuning ----

std::shared_ptr<QVLTuning> AdvancedScanPresenter::tuning() const {
  std::lock_guard lock(tuningMutex_);
  return tuning_;
}

void AdvancedScanPresenter::autoTune() {
  onMain([](AdvancedScanPresenter& self) {
    if (!self.view_) return;
    self.view_->setTuningPanelShown(true);
    self.view_->clearFocus();
  });
  const bool unlocked = laserExposuresAreUnlocked_, highContrast = enableHighContrastScanning_;
  auto forwarder = forwarder_;
  auto delegate = delegate_;
  currentState_ = kStateTuning;
  qv::globalQueue(qv::QueuePriority::Background)->async([weak = weakSelf(), forwarder, delegate, unlocked, highContrast] {
    qv::Error error;
    if (!delegate->connectToScanner(&error)) {
      // The tuning never starts: the screen must not stay in the tuning state for good.
      qv::mainQueue()->async([weak, error] {
        if (auto self = weak.lock()) {
          self->tuningEnded();
          if (self->view_) self->view_->showMessage(kConnectFailedText + error.description);
        }
      });
      return;
    }
    auto self = weak.lock();
    if (!self) return;
    auto tuning = QVLTuning::initWithDelegate(forwarder.get());
    {
      std::lock_guard lock(self->tuningMutex_);
      self->tuning_ = tuning;
    }
    self.reset();
    auto completion = [weak, forwarder](int nonLaser, std::vector<int> laser1, std::vector<int> laser2, int whiteBalance) {
      qv::mainQueue()->async([weak, nonLaser, laser1, laser2, whiteBalance] {
        if (auto self = weak.lock()) self->applyTuning(nonLaser, laser1, laser2, whiteBalance);
      });
    };
    auto update = [weak](std::shared_ptr<QVLStatus> status) {
      if (!status || status->percentageComplete() < 0.0f) return;
      const double percent = status->percentageComplete();
      qv::mainQueue()->async([weak, percent] {
        auto self = weak.lock();
        if (self && self->view_) self->view_->setTuningProgress(percent);
      });
    };
    auto failed = [weak, forwarder](const qv::Error& error) {
      QVLogInfo("Exposure tuning ended: %s", error.text().c_str());
      qv::mainQueue()->async([weak] {
        auto self = weak.lock();
        if (!self || !self->view_) return;
        self->view_->setTuningPanelShown(false);
        self->enable(AdvancedScanButton::AutoTuning, true);
        self->enable(AdvancedScanButton::Start, true);
      });
      if (auto self = weak.lock()) {
        std::lock_guard lock(self->tuningMutex_);
        self->tuning_.reset();
        self->currentState_ = kStateIdle;
      }
    };
    if (unlocked)
      tuning->findOptimalExposureForScan(highContrast, completion, update, failed);
    else
      tuning->findOptimalCombinedExposureForScan(highContrast, completion, update, failed);
  });
}

void AdvancedScanPresenter::tuningEnded() {
  if (view_) view_->setTuningPanelShown(false);
  enable(AdvancedScanButton::AutoTuning, true);
  enable(AdvancedScanButton::Start, true);
  {
    std::lock_guard lock(tuningMutex_);
    tuning_.reset();
  }
  currentState_ = kStateIdle;
}

void AdvancedScanPresenter::applyTuning(int nonLaserExposure, const std::vector<int>& laser1,
                                        const std::vector<int>& laser2, int nonLaserWhitebalance) {
  restoreDefaults();
  if (view_) view_->setTuningPanelShown(false);
  enable(AdvancedScanButton::AutoTuning, true);
  enable(AdvancedScanButton::Start, true);
  const auto apply = [this](const std::vector<int>& chosen, AdvancedScanField normal, AdvancedScanField alternate) {
    if (!chosen.empty()) setText(normal, std::to_string(chosen[0]));
    if (chosen.size() >= 2) setText(alternate, std::to_string(chosen[1]));
  };
  apply(laser1, AdvancedScanField::Laser1Exposure, AdvancedScanField::Laser1AlternateExposure);
  apply(laser2, AdvancedScanField::Laser2Exposure, AdvancedScanField::Laser2AlternateExposure);
  setText(AdvancedScanField::ColourCapture, std::to_string(nonLaserExposure));
  setIndex(AdvancedScanField::WhiteBalance, closestWhiteBalanceIndexForWhiteBalance(nonLaserWhitebalance));
  currentState_ = kStateIdle;
}

bool AdvancedScanPresenter::isPointOnObject(double x_mm, double y_mm, double z_mm) {
  const float x = static_cast<float>(x_mm), z = static_cast<float>(z_mm);
  return x * x + z * z < 8100.0f && y_mm >= 5.0;
}

}  // namespace qv::screens
