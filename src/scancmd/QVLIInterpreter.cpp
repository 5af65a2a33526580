// The command interpreter: requests, their waiting states, reply handling, position tracking and
// the command watchdog.
#include "scancmd/QVLIInterpreter.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

#include "platform/Log.h"
#include "platform/Paths.h"
#include "scancmd/CommandProtocol.h"
#include "scancmd/QVLIErrors.h"
#include "scancmd/QVLIFirmware.h"

using namespace qv::protocol;

namespace {

const char* requestName(QVLIOperationState state) {
  switch (state) {
    case QVLIOperationStateMovingCamera: return "head move";
    case QVLIOperationStateDisablingLasers: return "lasers off";
    case QVLIOperationStateEnablingLaser1: return "laser 1 on";
    case QVLIOperationStateEnablingLaser2: return "laser 2 on";
    case QVLIOperationStateKilling: return "stop";
    case QVLIOperationStateRotatingPlatter: return "bed rotation";
    default: return "request";
  }
}

void logLines(const std::vector<std::string>& lines) {
  for (const auto& line : lines) QVLogInfo("%s", line.c_str());
}

}  // namespace

// ---- life ----

std::shared_ptr<QVLIInterpreter> QVLIInterpreter::createWithDevice(std::shared_ptr<QVLIDeviceProtocol> device) {
  auto interpreter = std::make_shared<QVLIInterpreter>(Private{}, device);
  if (device) {
    auto& center = qv::NotificationCenter::defaultCenter();
    // Held weakly: the device's notifications must not keep the interpreter alive, and one that
    // arrives while the interpreter is being destroyed finds nothing.
    std::weak_ptr<QVLIInterpreter> weak = interpreter;
    interpreter->observer_ = qv::ObserverRegistration(
        center, center.addObserver(qv::kDeviceLineNotification, device->notificationSender(),
                                   [weak](const qv::Notification& notification) {
                                     if (auto self = weak.lock()) self->deviceDataReceived(notification);
                                   }));
  }
  return interpreter;
}

QVLIInterpreter::QVLIInterpreter(Private, std::shared_ptr<QVLIDeviceProtocol> device) : device_(std::move(device)) {}

QVLIInterpreter::~QVLIInterpreter() {
  {
    std::lock_guard lock(mutex_);
    cancelWatchdogLocked();
  }
  observer_.reset();
  abortAnyActiveRequest();
}

// ---- the request bookkeeping ----

qv::ErrorCallback QVLIInterpreter::abortLocked() {
  cancelWatchdogLocked();
  qv::ErrorCallback error = std::move(callbacks_.error);
  callbacks_ = {};
  if (!QVLIOperationStateIsWaiting(state_.operationState)) error = nullptr;
  // Idle before the error callback runs, so that a request started from inside it is not undone.
  state_.operationState = QVLIOperationStateIdle;
  ++requestSerial_;
  return error;
}

qv::ErrorCallback QVLIInterpreter::replaceRequestLocked(QVLIOperationState state, Callbacks callbacks) {
  qv::ErrorCallback ended = abortLocked();
  callbacks_ = std::move(callbacks);
  state_.operationState = state;
  ++requestSerial_;
  armWatchdogLocked();
  return ended;
}

void QVLIInterpreter::abortAnyActiveRequest() {
  const auto keepAlive = weak_from_this().lock();
  qv::ErrorCallback ended;
  {
    std::lock_guard lock(mutex_);
    ended = abortLocked();
  }
  if (ended) ended(qv::interpreterError(QVLIErrorAborted));
}

void QVLIInterpreter::writeRequestLine(const std::shared_ptr<QVLIDeviceProtocol>& device, const std::string& line,
                                       std::uint64_t serial, bool withCompletion,
                                       std::initializer_list<const char*> unanswered) {
  {
    // A request ended before its line went out (from inside the callback of the request it
    // replaced) must not send it.
    std::lock_guard lock(mutex_);
    if (serial != requestSerial_) return;
  }
  auto self = shared_from_this();
  qv::Completion written;
  if (withCompletion) written = [self, serial] { self->requestLineWritten(serial); };
  for (const char* before : unanswered) device->writeLine(before, {}, {});
  device->writeLine(line, std::move(written),
                    [self, serial](const qv::Error& error) { self->requestLineFailed(serial, error); });
}

void QVLIInterpreter::requestLineWritten(std::uint64_t serial) {
  std::lock_guard lock(mutex_);
  // The watchdog counts the silence from the moment the line went out.
  if (serial == requestSerial_ && watchdogTimer_) watchdogTimer_->pushBack();
}

void QVLIInterpreter::requestLineFailed(std::uint64_t serial, const qv::Error& failure) {
  qv::ErrorCallback error;
  {
    std::lock_guard lock(mutex_);
    // A request that has already ended (by a reply, the watchdog, or the next request) has had
    // its one callback: the failure is not reported twice.
    if (serial != requestSerial_ || !QVLIOperationStateIsWaiting(state_.operationState)) return;
    state_.calibrationCommandQueue.clear();
    error = abortLocked();
  }
  QVLogInfo("A line to the scanner could not be written: %s", failure.text().c_str());
  if (error) error(failure);
}

// ---- the watchdog ----

void QVLIInterpreter::armWatchdogLocked() {
  cancelWatchdogLocked();
  auto arm = std::make_shared<WatchdogArm>();
  arm->owner = shared_from_this();
  watchdogArm_ = arm;
  watchdogTimer_ = qv::Timer::scheduledTimer(
      kWatchdogInterval_s,
      [arm] {
        std::shared_ptr<QVLIInterpreter> self;
        {
          std::lock_guard lock(arm->mutex);
          self = std::move(arm->owner);
        }
        if (self) self->watchdogFired(arm.get());
      },
      false);
}

void QVLIInterpreter::cancelWatchdogLocked() {
  if (watchdogTimer_) {
    watchdogTimer_->invalidate();
    watchdogTimer_.reset();
  }
  if (watchdogArm_) {
    // Every caller holds a reference of its own, so this is never the last one.
    std::shared_ptr<QVLIInterpreter> owner;
    {
      std::lock_guard lock(watchdogArm_->mutex);
      owner = std::move(watchdogArm_->owner);
    }
    watchdogArm_.reset();
  }
}

void QVLIInterpreter::watchdogFired(const WatchdogArm* arm) {
  qv::Completion completion;
  qv::ErrorCallback error;
  QVLIOperationState state;
  WatchdogEffect effect;
  const auto currentDevice = device();
  const bool deviceGone = currentDevice && !currentDevice->isConnected();
  {
    std::lock_guard lock(mutex_);
    if (arm != watchdogArm_.get()) return;  // cancelled or replaced while its firing was queued
    watchdogArm_.reset();
    watchdogTimer_.reset();
    state = state_.operationState;
    effect = applyWatchdog(state_, deviceGone);
    switch (effect) {
      case WatchdogEffect::Nothing:
        return;
      case WatchdogEffect::Aborted:
        error = abortLocked();
        break;
      case WatchdogEffect::DeviceLost:
        error = std::move(callbacks_.error);
        callbacks_ = {};
        break;
      case WatchdogEffect::HomeAgain:
      case WatchdogEffect::TakenAsHome:
        completion = std::move(callbacks_.completion);
        error = std::move(callbacks_.error);
        callbacks_ = {};
        break;
      case WatchdogEffect::TakenAsCompleted:
        completion = std::move(callbacks_.completion);
        callbacks_ = {};
        break;
    }
  }

  switch (effect) {
    case WatchdogEffect::Nothing:
      return;
    case WatchdogEffect::DeviceLost:
      QVLogWarn("The scanner's line is gone: the waiting request fails");
      if (error) error(qv::interpreterError(QVLIErrorNoDevice));
      return;
    case WatchdogEffect::Aborted:
      QVLogInfo("The scanner stayed silent for %.1f s: the request is aborted", kWatchdogInterval_s);
      if (error) error(qv::interpreterError(QVLIErrorAborted));
      return;
    case WatchdogEffect::HomeAgain:
      QVLogWarn("The scanner stayed silent for %.1f s while homing: homing again", kWatchdogInterval_s);
      sendHome(std::move(completion), std::move(error), false);
      return;
    case WatchdogEffect::TakenAsHome:
      QVLogWarn("The scanner stayed silent for %.1f s while homing again: the head is taken as home",
                kWatchdogInterval_s);
      if (completion) completion();
      return;
    case WatchdogEffect::TakenAsCompleted:
      // Kept on purpose: firmware that omits completion lines relies on it. A silent scanner is
      // worth a warning all the same.
      QVLogWarn("The scanner stayed silent for %.1f s: the %s is taken as completed", kWatchdogInterval_s,
                requestName(state));
      if (completion) completion();
      return;
  }
}

bool QVLIInterpreter::isWatchdogArmed() const {
  std::lock_guard lock(mutex_);
  return watchdogTimer_ != nullptr;
}

// ---- requests ----

QVLIInterpreter::RequestScope QVLIInterpreter::openRequest(const qv::ErrorCallback& error) {
  // Members are initialised in order: the device is read under the lock.
  RequestScope request{weak_from_this().lock(), std::unique_lock(mutex_), device_};
  if (!request.device) {
    request.lock.unlock();
    if (error) error(qv::interpreterError(QVLIErrorNoDevice));
  }
  return request;
}

void QVLIInterpreter::endUnsent(RequestScope& request, qv::ErrorCallback ended, QVLIErrorCode refusal,
                                const qv::Completion& completion, const qv::ErrorCallback& error) {
  request.lock.unlock();
  if (ended) ended(qv::interpreterError(QVLIErrorAborted));
  if (refusal) {
    if (error) error(qv::interpreterError(refusal));
  } else if (completion) {
    completion();
  }
}

void QVLIInterpreter::send(RequestScope& request, qv::ErrorCallback ended, const std::string& line,
                           std::initializer_list<const char*> unanswered) {
  const std::uint64_t serial = requestSerial_;
  request.lock.unlock();
  if (ended) ended(qv::interpreterError(QVLIErrorAborted));
  writeRequestLine(request.device, line, serial, true, unanswered);
}

void QVLIInterpreter::simpleRequest(const char* line, QVLIOperationState state, qv::Completion completion,
                                    qv::ErrorCallback error, std::initializer_list<const char*> unanswered) {
  auto request = openRequest(error);
  if (!request.device) return;
  send(request, replaceRequestLocked(state, {std::move(completion), std::move(error), {}}), line, unanswered);
}

void QVLIInterpreter::initializeDevice(qv::Completion completion, qv::ErrorCallback error) {
  simpleRequest(kInitializeLine, QVLIOperationStateAwaitingBanner, std::move(completion), std::move(error));
}

void QVLIInterpreter::disableLasers(qv::Completion completion, qv::ErrorCallback error) {
  simpleRequest(kLasersOffLine, QVLIOperationStateDisablingLasers, std::move(completion), std::move(error));
}

void QVLIInterpreter::enableLaser1(qv::Completion completion, qv::ErrorCallback error) {
  simpleRequest(kLaser1Line, QVLIOperationStateEnablingLaser1, std::move(completion), std::move(error));
}

void QVLIInterpreter::enableLaser2(qv::Completion completion, qv::ErrorCallback error) {
  simpleRequest(kLaser2Line, QVLIOperationStateEnablingLaser2, std::move(completion), std::move(error));
}

void QVLIInterpreter::kill(qv::Completion completion, qv::ErrorCallback error) {
  // The replies to the bed and head stops are only ignored lines of the stop's waiting state.
  simpleRequest(kStopLasersLine, QVLIOperationStateKilling, std::move(completion), std::move(error),
                {kStopBedLine, kStopHeadLine});
}

void QVLIInterpreter::home(qv::Completion completion, qv::ErrorCallback error) {
  sendHome(std::move(completion), std::move(error), true);
}

void QVLIInterpreter::sendHome(qv::Completion completion, qv::ErrorCallback error, bool fromCaller) {
  auto request = openRequest(error);
  if (!request.device) return;
  if (fromCaller) state_.retryCounter = 1;
  send(request, replaceRequestLocked(QVLIOperationStateHoming, {std::move(completion), std::move(error), {}}),
       kHomeLine);
}

void QVLIInterpreter::moveCameraByMillimeters(float distance_mm, qv::Completion completion, qv::ErrorCallback error) {
  QVLogInfo("DeviceInterpretter:moveCameraByMillimeters(%f)", static_cast<double>(distance_mm));
  auto request = openRequest(error);
  if (!request.device) return;
  QVLIErrorCode refusal{};
  if (!std::isfinite(distance_mm)) {
    refusal = QVLIErrorInvalidValue;  // "Ynan" would reach the firmware as garbage
  } else if (state_.currentPositionY + distance_mm > kHeadLimit_mm) {
    refusal = QVLIErrorHeadBeyondLimit;
  }
  if (refusal) return endUnsent(request, abortLocked(), refusal, {}, error);
  state_.previousPositionY = state_.currentPositionY;
  state_.deltaPositionY = distance_mm;
  send(request,
       replaceRequestLocked(QVLIOperationStateMovingCamera, {std::move(completion), std::move(error), {}}),
       moveLine(distance_mm));
}

void QVLIInterpreter::rotatePlatterByDegrees(float angle_deg, qv::Completion completion, qv::ErrorCallback error) {
  QVLogInfo("DeviceInterpretter:rotatePlatterByDegrees(%f)", static_cast<double>(angle_deg));
  auto request = openRequest(error);
  if (!request.device) return;
  QVLIErrorCode refusal{};
  if (state_.firmwareVersion == QVLIFirmwareVersion150) {
    refusal = QVLIErrorFirmwareUnsupported;
  } else if (state_.firmwareVersion == QVLIFirmwareVersionUnknown) {
    refusal = QVLIErrorFirmwareUnknown;
  } else if (!std::isfinite(angle_deg)) {
    refusal = QVLIErrorInvalidValue;
  }
  // With no refusal and nothing to turn, the rotation is complete at once.
  if (refusal || std::fabs(angle_deg) < FLT_EPSILON) {
    return endUnsent(request, abortLocked(), refusal, completion, error);
  }
  const float written_deg = rotationWithBacklash(angle_deg, state_.deltaPositionX);
  state_.previousPositionX = state_.currentPositionX;
  state_.deltaPositionX = angle_deg;
  send(request,
       replaceRequestLocked(QVLIOperationStateRotatingPlatter, {std::move(completion), std::move(error), {}}),
       rotationLine(written_deg));
}

void QVLIInterpreter::readCalibrationValues(qv::CalibrationCompletion completion, qv::ErrorCallback error) {
  auto request = openRequest(error);
  if (!request.device) return;
  // Not a full abort: a waiting request loses its callbacks (its error callback gets code 5), but
  // its state and watchdog stand until the read replaces them, so a refused read leaves the
  // scanner's motion tracked.
  qv::ErrorCallback ended = std::move(callbacks_.error);
  callbacks_ = {};
  QVLIErrorCode refusal{};
  if (state_.firmwareVersion == QVLIFirmwareVersionUnknown) {
    refusal = QVLIErrorFirmwareUnknown;
  } else if (state_.firmwareVersion == QVLIFirmwareVersion150) {
    refusal = QVLIErrorFirmwareUnsupported;
  }
  if (refusal) return endUnsent(request, std::move(ended), refusal, {}, error);
  state_.readCalibrationResults.clear();
  // Answers no one: the waiting request's callbacks were taken above.
  replaceRequestLocked(QVLIOperationStateReadingCalibration, {{}, std::move(error), std::move(completion)});
  send(request, std::move(ended), kReadCalibrationLine);
}

void QVLIInterpreter::writeCalibration(const QVLICalibrationDetails& details, qv::Completion completion,
                                       qv::ErrorCallback error) {
  auto request = openRequest(error);
  if (!request.device) return;
  logLines(calibrationLogLines(details, true));
  const std::vector<std::string> lines = calibrationWriteLines(details);
  // Kept with the next line to send last: BEDY first, CDM3 last.
  state_.calibrationCommandQueue.assign(lines.rbegin(), lines.rend() - 1);
  send(request,
       replaceRequestLocked(QVLIOperationStateWritingCalibration, {std::move(completion), std::move(error), {}}),
       lines.front());
}

void QVLIInterpreter::updateFirmwareUsingArduinoAvrdude(bool useArduinoAvrDude, qv::FirmwareCompletion completion) {
  const auto path = QVLIFirmware::firmwareFilePath();
  if (!path) {
    // Reported, so that a caller waiting for the install's end is not left waiting.
    QVLogWarn("No firmware image is installed in %s: the firmware cannot be updated",
              qv::paths::resourceFolder().c_str());
    if (completion) completion(false, qv::interpreterError(QVLIErrorNoFirmwareImage));
    return;
  }
  const auto device = this->device();
  if (!device) {
    if (completion) completion(false, qv::interpreterError(QVLIErrorNoDevice));
    return;
  }
  device->updateFirmwareFromContentOfFile(*path, useArduinoAvrDude, std::move(completion));
}

// ---- replies ----

void QVLIInterpreter::deviceDataReceived(const qv::Notification& notification) {
  const qv::Value* value = qv::find(notification.userInfo, qv::kReceivedDataKey);
  if (!value || !value->string()) return;  // a line the device sent
  const std::string& line = *value->string();
  if (line.empty() || line == "Motor Timeout X") return;

  std::vector<std::function<void()>> later;  // callbacks and writes, run with the lock released
  {
    std::lock_guard lock(mutex_);
    lastCommunications_.push_back(line);
    while (lastCommunications_.size() > kLastCommunicationsLimit) lastCommunications_.pop_front();
    if (watchdogTimer_) watchdogTimer_->pushBack();

    const ReplyEffect effect = applyReply(state_, line);
    if (effect.bannerSeen) {
      const auto path = QVLIFirmware::firmwareFilePath();
      QVLogInfo("Found firmware file: %s", path ? path->c_str() : "(null)");
    }
    if (effect.request != ReplyEffect::Request::Waiting) cancelWatchdogLocked();
    switch (effect.request) {
      case ReplyEffect::Request::Waiting:
        break;
      case ReplyEffect::Request::Completed:
        if (auto completion = std::move(callbacks_.completion)) later.push_back(std::move(completion));
        break;
      case ReplyEffect::Request::Failed:
        if (auto error = std::move(callbacks_.error)) {
          later.push_back([error, code = effect.error] { error(qv::interpreterError(code)); });
        }
        break;
      case ReplyEffect::Request::CalibrationRead:
        logLines(calibrationLogLines(effect.calibration, false));
        if (auto calibration = std::move(callbacks_.calibration)) {
          later.push_back([calibration, record = effect.calibration] { calibration(record); });
        }
        break;
    }
    if (effect.request != ReplyEffect::Request::Waiting) callbacks_ = {};
    if (effect.nextLine) {
      later.push_back([this, device = device_, next = *effect.nextLine, serial = requestSerial_] {
        if (device) writeRequestLine(device, next, serial, false);
      });
    }
  }
  for (auto& call : later) call();
}

// ---- plain accessors ----

template <typename Field>
Field QVLIInterpreter::lockedState(Field InterpreterState::*field) const {
  std::lock_guard lock(mutex_);
  return state_.*field;
}

void QVLIInterpreter::setCurrentPositionX(float angle_deg) {
  std::lock_guard lock(mutex_);
  state_.currentPositionX = angle_deg;
}

void QVLIInterpreter::setCurrentPositionY(float height_mm) {
  std::lock_guard lock(mutex_);
  state_.currentPositionY = height_mm;
}

float QVLIInterpreter::currentPositionX() const { return lockedState(&InterpreterState::currentPositionX); }
float QVLIInterpreter::currentPositionY() const { return lockedState(&InterpreterState::currentPositionY); }

std::vector<std::string> QVLIInterpreter::lastCommunications() const {
  std::lock_guard lock(mutex_);
  return {lastCommunications_.begin(), lastCommunications_.end()};
}

bool QVLIInterpreter::shouldUpdateFirmware() const { return lockedState(&InterpreterState::shouldUpdateFirmware); }

std::shared_ptr<QVLIDeviceProtocol> QVLIInterpreter::device() const {
  std::lock_guard lock(mutex_);
  return device_;
}

void QVLIInterpreter::setDevice(std::shared_ptr<QVLIDeviceProtocol> device) {
  std::lock_guard lock(mutex_);
  device_ = std::move(device);
}

QVLIOperationState QVLIInterpreter::operationState() const { return lockedState(&InterpreterState::operationState); }
QVLIFirmwareVersion QVLIInterpreter::firmwareVersion() const {
  return lockedState(&InterpreterState::firmwareVersion);
}
float QVLIInterpreter::previousPositionX() const { return lockedState(&InterpreterState::previousPositionX); }
float QVLIInterpreter::previousPositionY() const { return lockedState(&InterpreterState::previousPositionY); }
float QVLIInterpreter::deltaPositionX() const { return lockedState(&InterpreterState::deltaPositionX); }
float QVLIInterpreter::deltaPositionY() const { return lockedState(&InterpreterState::deltaPositionY); }
int QVLIInterpreter::retryCounter() const { return lockedState(&InterpreterState::retryCounter); }
std::vector<std::string> QVLIInterpreter::calibrationCommandQueue() const {
  return lockedState(&InterpreterState::calibrationCommandQueue);
}
std::map<std::string, std::string> QVLIInterpreter::readCalibrationResults() const {
  return lockedState(&InterpreterState::readCalibrationResults);
}
