#include "screens/CalibrationWizardPresenter.h"

#include <chrono>

#include "platform/Log.h"
#include "platform/Queue.h"

namespace qv::screens {

namespace {

// Codes of the application's domain that end a pass as a cancellation: cancelled by the user,
// and the two stop requests of the application (quitting, pausing).
bool isCancelCode(int code) { return code == 1 || code == 11 || code == 12; }

std::string reasonOf(const qv::Error& error) {
  if (const Value* reason = find(error.userInfo, "Reason"))
    if (auto text = reason->toString()) return *text;
  return {};
}

}  // namespace

std::shared_ptr<CalibrationWizardPresenter> CalibrationWizardPresenter::create(CalibrationRunner& runner,
                                                                               CalibrationNotifier* notifier) {
  return std::shared_ptr<CalibrationWizardPresenter>(new CalibrationWizardPresenter(runner, notifier));
}

void CalibrationWizardPresenter::attachView(CalibrationWizardView* view) {
  view_ = view;
  resetContent();
}

bool CalibrationWizardPresenter::isCancellation(const qv::Error& error) {
  // Only the application's own codes: the device library's code 1 means "no device".
  return error.domain == qv::kScanErrorDomain && isCancelCode(error.code);
}

std::optional<std::string> CalibrationWizardPresenter::failureMessageForError(const qv::Error& error) {
  if (isCancellation(error)) return std::nullopt;
  std::string message = reasonOf(error);
  if (error.domain == qv::kScanErrorDomain) {
    switch (error.code) {
      case 9: message = kCommunicationText; break;
      case 7: message = kNoScannerText; break;
      case 6: message = kPlacementText; break;
      default: break;
    }
  } else if (error.domain == qv::kControlErrorDomain && error.code == 1 && message.empty()) {
    // The device library found no scanner: say so rather than something vaguer.
    message = kNoScannerText;
  }
  if (message.empty()) message = kGenericFailureText;
  return message;
}

CalibrationPage CalibrationWizardPresenter::pageForState(CalibrationWizardState state, bool card, bool calibrated) {
  switch (state) {
    case CalibrationWizardState::ChooseTarget:
      return calibrated ? CalibrationPage::ExistingCalibrationType : CalibrationPage::FirstTimeCalibrationType;
    case CalibrationWizardState::PlaceTarget: return card ? CalibrationPage::Step1Card : CalibrationPage::Step1Box;
    case CalibrationWizardState::BuildCard: return CalibrationPage::Step1CardConstruction;
    case CalibrationWizardState::FirstPass:
    case CalibrationWizardState::SecondPass: return CalibrationPage::Scan;
    case CalibrationWizardState::TurnTarget: return card ? CalibrationPage::Step2Card : CalibrationPage::Step2Box;
    case CalibrationWizardState::Completed: return CalibrationPage::Completed;
    case CalibrationWizardState::Failed: return CalibrationPage::Failed;
  }
  return CalibrationPage::None;
}

void CalibrationWizardPresenter::setState(CalibrationWizardState state) {
  state_ = state;
  updateUI();
}

void CalibrationWizardPresenter::updateUI() {
  if (!view_) return;
  CalibrationPage page = pageForState(state_, card_, runner_.isCalibrated());
  bool white = page != CalibrationPage::None && page != CalibrationPage::Scan &&
               state_ != CalibrationWizardState::ChooseTarget;
  view_->showPage(page, white);
  if (state_ == CalibrationWizardState::ChooseTarget) {
    view_->setCancelButton(kCancelTitle, true);
    view_->setProgress(0.0, true);
  }
}

void CalibrationWizardPresenter::resetContent() {
  ++generation_;  // a pass still waiting for its start never starts
  passRunning_ = false;
  setState(CalibrationWizardState::ChooseTarget);
}

void CalibrationWizardPresenter::selectBoxButtonPressed() {
  card_ = false;
  setState(CalibrationWizardState::PlaceTarget);
}

void CalibrationWizardPresenter::selectCardButtonPressed() {
  card_ = true;
  setState(CalibrationWizardState::BuildCard);
}

void CalibrationWizardPresenter::nextButtonPressed() {
  switch (state_) {
    case CalibrationWizardState::PlaceTarget: schedulePass(CalibrationWizardState::FirstPass); break;
    case CalibrationWizardState::BuildCard: setState(CalibrationWizardState::PlaceTarget); break;
    case CalibrationWizardState::TurnTarget: schedulePass(CalibrationWizardState::SecondPass); break;
    default: break;
  }
}

void CalibrationWizardPresenter::backButtonPressed() {
  if (state_ == CalibrationWizardState::PlaceTarget)
    setState(card_ ? CalibrationWizardState::BuildCard : CalibrationWizardState::ChooseTarget);
  else if (state_ == CalibrationWizardState::BuildCard)
    setState(CalibrationWizardState::ChooseTarget);
}

void CalibrationWizardPresenter::schedulePass(CalibrationWizardState passState) {
  unsigned generation = ++generation_;
  passRunning_ = false;
  setState(passState);
  bool second = passState == CalibrationWizardState::SecondPass;
  std::weak_ptr<CalibrationWizardPresenter> weak = weak_from_this();
  qv::after(std::chrono::duration_cast<qv::Duration>(std::chrono::duration<double>(kPassStartDelaySeconds)),
            qv::mainQueue(), [weak, second, generation] {
              if (auto self = weak.lock()) self->startPass(second, generation);
            });
}

void CalibrationWizardPresenter::startPass(bool second, unsigned generation) {
  if (generation != generation_) return;
  passRunning_ = true;
  std::weak_ptr<CalibrationWizardPresenter> weak = weak_from_this();
  auto onMain = [weak](std::function<void(CalibrationWizardPresenter&)> work) {
    qv::mainQueue()->async([weak, work = std::move(work)] {
      if (auto self = weak.lock()) work(*self);
    });
  };
  qv::Completion completion = [onMain, second, generation] {
    onMain([second, generation](CalibrationWizardPresenter& self) { self.passCompleted(second, generation); });
  };
  CalibrationRunner::Update update = [onMain, generation](std::shared_ptr<QVLStatus> status) {
    if (!status) return;
    onMain([status, generation](CalibrationWizardPresenter& self) {
      if (generation == self.generation_) self.applyStatus(*status);
    });
  };
  qv::ErrorCallback error = [onMain, generation](const qv::Error& e) {
    onMain([e, generation](CalibrationWizardPresenter& self) { self.failed(e, generation); });
  };
  int device = card_ ? kCalibrationDeviceCard : kCalibrationDeviceBox;
  if (second)
    runner_.startSecondPassCalibration(device, std::move(completion), std::move(update), std::move(error));
  else
    runner_.startFirstPassCalibration(device, std::move(completion), std::move(update), std::move(error));
}

void CalibrationWizardPresenter::applyStatus(const QVLStatus& status) {
  if (!view_) return;
  std::string title = status.title(), message = status.message();
  if (!title.empty()) view_->setTitleText(title);
  if (!message.empty()) view_->setProgressText(message);
  float fraction = status.percentageComplete();
  view_->setProgress(fraction >= 0.0f ? fraction : 0.0, fraction >= 0.0f);
}

void CalibrationWizardPresenter::passCompleted(bool second, unsigned generation) {
  if (generation != generation_) return;
  passRunning_ = false;
  if (!second) {
    setState(CalibrationWizardState::TurnTarget);
    return;
  }
  if (notifier_) notifier_->notify(kNotificationTitle, kSuccessText);
  setState(CalibrationWizardState::Completed);
}

void CalibrationWizardPresenter::cancelActiveCalibrationButtonPressed() {
  if (view_) view_->setCancelButton(kCancellingTitle, false);
  bool waitingForStart = !passRunning_ && (state_ == CalibrationWizardState::FirstPass ||
                                           state_ == CalibrationWizardState::SecondPass);
  if (waitingForStart) {
    // Nothing runs yet: telling the idle runner would not stop the start that is due, so the
    // wizard drops that start itself and ends as a cancelled pass would.
    ++generation_;
    cancelled();
    return;
  }
  runner_.cancelScannerCalibration();
}

void CalibrationWizardPresenter::doneButtonPressed() { runner_.showHudScreen(); }

void CalibrationWizardPresenter::handleCalibrationFailureWithError(const qv::Error& error) {
  std::weak_ptr<CalibrationWizardPresenter> weak = weak_from_this();
  qv::mainQueue()->async([weak, error] {
    if (auto self = weak.lock()) self->failed(error, self->generation_);
  });
}

void CalibrationWizardPresenter::failed(const qv::Error& error, unsigned generation) {
  if (generation != generation_) return;
  passRunning_ = false;
  std::optional<std::string> message = failureMessageForError(error);
  if (!message) {
    cancelled();
    return;
  }
  QVLogWarn("Calibration failed, returning to the home screen");
  QVLogWarn("Reason:(%s)", error.text().c_str());
  if (view_) view_->setFailureMessage(*message);
  setState(CalibrationWizardState::Failed);
}

void CalibrationWizardPresenter::cancelled() {
  QVLogInfo("Calibration cancelled, returning to the home screen");
  resetContent();
  runner_.showHudScreen();
}

}  // namespace qv::screens
