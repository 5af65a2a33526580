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

// The progress n of a "PX" or "PY" line as the fraction of the move done (10000 is all of it).
float progressFraction(const std::string& line) {
  return static_cast<float>(leadingNumber(std::string_view(line).substr(2))) / 10000.0f;
}

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

// The completion line of the laser and stop states (exact compares).
const char* exactCompletionLine(QVLIOperationState state) {
  switch (state) {
    case QVLIOperationStateDisablingLasers: return "COMMAND COMPLETE L0";
    case QVLIOperationStateEnablingLaser1: return "COMMAND COMPLETE L1";
    case QVLIOperationStateEnablingLaser2: return "COMMAND COMPLETE L2";
    case QVLIOperationStateKilling: return "COMMAND COMPLETE L0";
    default: return nullptr;
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
  qv::ErrorCallback ended;
  {
    std::lock_guard lock(mutex_);
    cancelWatchdogLocked();
  }
  observer_.reset();
  {
    std::lock_guard lock(mutex_);
    ended = abortLocked();
  }
  if (ended) ended(qv::interpreterError(QVLIErrorAborted));
}

// ---- the request bookkeeping ----

qv::ErrorCallback QVLIInterpreter::abortLocked() {
  cancelWatchdogLocked();
  qv::ErrorCallback error = std::move(callbacks_.error);
  callbacks_ = {};
  if (!QVLIOperationStateIsWaiting(operationState_)) error = nullptr;
  // Idle before the error callback runs, so that a request started from inside it is not undone.
  operationState_ = QVLIOperationStateIdle;
  ++requestSerial_;
  return error;
}

qv::ErrorCallback QVLIInterpreter::replaceRequestLocked(QVLIOperationState state, Callbacks callbacks) {
  qv::ErrorCallback ended = abortLocked();
  callbacks_ = std::move(callbacks);
  operationState_ = state;
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
                                       std::uint64_t serial, bool withCompletion) {
  {
    // A request ended before its line went out (from inside the callback of the request it
    // replaced) must not send it.
    std::lock_guard lock(mutex_);
    if (serial != requestSerial_) return;
  }
  auto self = shared_from_this();
  qv::Completion written;
  if (withCompletion) written = [self, serial] { self->requestLineWritten(serial); };
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
    if (serial != requestSerial_ || !QVLIOperationStateIsWaiting(operationState_)) return;
    error = std::move(callbacks_.error);
    callbacks_ = {};
    calibrationCommandQueue_.clear();
    cancelWatchdogLocked();
    operationState_ = QVLIOperationStateIdle;
    ++requestSerial_;
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
  bool resendHome = false;
  bool lostDevice = false;
  QVLIOperationState state;
  // Silence from a scanner whose line is gone is no sign of firmware that omits its completion
  // lines: the request failed, and saying it succeeded would lose the user's scan quietly.
  const auto currentDevice = device();
  const bool deviceGone = currentDevice && !currentDevice->isConnected();
  {
    std::lock_guard lock(mutex_);
    if (arm != watchdogArm_.get()) return;  // cancelled or replaced while its firing was queued
    watchdogArm_.reset();
    watchdogTimer_.reset();
    state = operationState_;
    // Requests the watchdog would end as done (homing included); the others fail anyway.
    const bool takenAsDone = state == QVLIOperationStateHoming || state == QVLIOperationStateMovingCamera ||
                             state == QVLIOperationStateRotatingPlatter ||
                             state == QVLIOperationStateDisablingLasers ||
                             state == QVLIOperationStateEnablingLaser1 ||
                             state == QVLIOperationStateEnablingLaser2 || state == QVLIOperationStateKilling;
    if (deviceGone && takenAsDone) {
      lostDevice = true;
      error = std::move(callbacks_.error);
      callbacks_ = {};
      operationState_ = QVLIOperationStateIdle;
    } else switch (state) {
      case QVLIOperationStateNone:
      case QVLIOperationStateIdle:
        return;
      case QVLIOperationStateAwaitingBanner:
      case QVLIOperationStateReadingCalibration:
      case QVLIOperationStateWritingCalibration:
        error = abortLocked();
        break;
      case QVLIOperationStateHoming:
        completion = std::move(callbacks_.completion);
        error = std::move(callbacks_.error);
        callbacks_ = {};
        if (retryCounter_ < 1) {
          currentPositionX_ = 0.0f;
          currentPositionY_ = 0.0f;
          operationState_ = QVLIOperationStateIdle;
        } else {
          --retryCounter_;
          resendHome = true;
        }
        break;
      case QVLIOperationStateMovingCamera:
        completion = std::move(callbacks_.completion);
        callbacks_ = {};
        currentPositionY_ = previousPositionY_ + deltaPositionY_;
        operationState_ = QVLIOperationStateIdle;
        break;
      case QVLIOperationStateDisablingLasers:
      case QVLIOperationStateEnablingLaser1:
      case QVLIOperationStateEnablingLaser2:
      case QVLIOperationStateKilling:
        completion = std::move(callbacks_.completion);
        callbacks_ = {};
        break;
      case QVLIOperationStateRotatingPlatter:
        completion = std::move(callbacks_.completion);
        callbacks_ = {};
        currentPositionX_ = wrapDegrees(previousPositionX_ + deltaPositionX_);
        operationState_ = QVLIOperationStateIdle;
        break;
    }
  }

  if (lostDevice) {
    QVLogWarn("The scanner's line is gone: the waiting request fails");
    if (error) error(qv::interpreterError(QVLIErrorNoDevice));
    return;
  }
  switch (state) {
    case QVLIOperationStateAwaitingBanner:
    case QVLIOperationStateReadingCalibration:
    case QVLIOperationStateWritingCalibration:
      QVLogInfo("The scanner stayed silent for %.1f s: the request is aborted", kWatchdogInterval_s);
      if (error) error(qv::interpreterError(QVLIErrorAborted));
      return;
    case QVLIOperationStateHoming:
      if (resendHome) {
        QVLogWarn("The scanner stayed silent for %.1f s while homing: homing again", kWatchdogInterval_s);
        sendHome(std::move(completion), std::move(error), false);
      } else {
        QVLogWarn("The scanner stayed silent for %.1f s while homing again: the head is taken as home",
                  kWatchdogInterval_s);
        if (completion) completion();
      }
      return;
    default:
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

void QVLIInterpreter::simpleRequest(const char* line, QVLIOperationState state, qv::Completion completion,
                                    qv::ErrorCallback error) {
  const auto keepAlive = weak_from_this().lock();
  std::unique_lock lock(mutex_);
  const auto device = device_;
  if (!device) {
    lock.unlock();
    if (error) error(qv::interpreterError(QVLIErrorNoDevice));
    return;
  }
  const qv::ErrorCallback ended = replaceRequestLocked(state, {std::move(completion), std::move(error), {}});
  const std::uint64_t serial = requestSerial_;
  lock.unlock();
  if (ended) ended(qv::interpreterError(QVLIErrorAborted));
  writeRequestLine(device, line, serial);
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

void QVLIInterpreter::home(qv::Completion completion, qv::ErrorCallback error) {
  sendHome(std::move(completion), std::move(error), true);
}

void QVLIInterpreter::sendHome(qv::Completion completion, qv::ErrorCallback error, bool fromCaller) {
  const auto keepAlive = weak_from_this().lock();
  std::unique_lock lock(mutex_);
  const auto device = device_;
  if (!device) {
    lock.unlock();
    if (error) error(qv::interpreterError(QVLIErrorNoDevice));
    return;
  }
  const qv::ErrorCallback ended =
      replaceRequestLocked(QVLIOperationStateHoming, {std::move(completion), std::move(error), {}});
  if (fromCaller) retryCounter_ = 1;
  const std::uint64_t serial = requestSerial_;
  lock.unlock();
  if (ended) ended(qv::interpreterError(QVLIErrorAborted));
  writeRequestLine(device, kHomeLine, serial);
}

void QVLIInterpreter::kill(qv::Completion completion, qv::ErrorCallback error) {
  const auto keepAlive = weak_from_this().lock();
  std::unique_lock lock(mutex_);
  const auto device = device_;
  if (!device) {
    lock.unlock();
    if (error) error(qv::interpreterError(QVLIErrorNoDevice));
    return;
  }
  const qv::ErrorCallback ended =
      replaceRequestLocked(QVLIOperationStateKilling, {std::move(completion), std::move(error), {}});
  const std::uint64_t serial = requestSerial_;
  lock.unlock();
  if (ended) ended(qv::interpreterError(QVLIErrorAborted));
  {
    std::lock_guard check(mutex_);
    if (serial != requestSerial_) return;
  }
  // The replies to the first two are only ignored lines of the stop's waiting state.
  device->writeLine(kStopBedLine, {}, {});
  device->writeLine(kStopHeadLine, {}, {});
  writeRequestLine(device, kStopLasersLine, serial);
}

void QVLIInterpreter::moveCameraByMillimeters(float distance_mm, qv::Completion completion, qv::ErrorCallback error) {
  QVLogInfo("DeviceInterpretter:moveCameraByMillimeters(%f)", static_cast<double>(distance_mm));
  const auto keepAlive = weak_from_this().lock();
  std::unique_lock lock(mutex_);
  const auto device = device_;
  if (!device) {
    lock.unlock();
    if (error) error(qv::interpreterError(QVLIErrorNoDevice));
    return;
  }
  QVLIErrorCode refusal{};
  if (!std::isfinite(distance_mm)) {
    refusal = QVLIErrorInvalidValue;  // "Ynan" would reach the firmware as garbage
  } else if (currentPositionY_ + distance_mm > kHeadLimit_mm) {
    refusal = QVLIErrorHeadBeyondLimit;
  }
  if (refusal) {
    const qv::ErrorCallback ended = abortLocked();
    lock.unlock();
    if (ended) ended(qv::interpreterError(QVLIErrorAborted));
    if (error) error(qv::interpreterError(refusal));
    return;
  }
  const qv::ErrorCallback ended =
      replaceRequestLocked(QVLIOperationStateMovingCamera, {std::move(completion), std::move(error), {}});
  previousPositionY_ = currentPositionY_;
  deltaPositionY_ = distance_mm;
  const std::uint64_t serial = requestSerial_;
  lock.unlock();
  if (ended) ended(qv::interpreterError(QVLIErrorAborted));
  writeRequestLine(device, moveLine(distance_mm), serial);
}

void QVLIInterpreter::rotatePlatterByDegrees(float angle_deg, qv::Completion completion, qv::ErrorCallback error) {
  QVLogInfo("DeviceInterpretter:rotatePlatterByDegrees(%f)", static_cast<double>(angle_deg));
  const auto keepAlive = weak_from_this().lock();
  std::unique_lock lock(mutex_);
  const auto device = device_;
  if (!device) {
    lock.unlock();
    if (error) error(qv::interpreterError(QVLIErrorNoDevice));
    return;
  }
  QVLIErrorCode refusal{};
  if (firmwareVersion_ == QVLIFirmwareVersion150) {
    refusal = QVLIErrorFirmwareUnsupported;
  } else if (firmwareVersion_ == QVLIFirmwareVersionUnknown) {
    refusal = QVLIErrorFirmwareUnknown;
  } else if (!std::isfinite(angle_deg)) {
    refusal = QVLIErrorInvalidValue;
  }
  if (refusal || std::fabs(angle_deg) < FLT_EPSILON) {
    const qv::ErrorCallback ended = abortLocked();
    lock.unlock();
    if (ended) ended(qv::interpreterError(QVLIErrorAborted));
    if (refusal) {
      if (error) error(qv::interpreterError(refusal));
    } else if (completion) {
      completion();  // nothing to turn
    }
    return;
  }
  const float written_deg = rotationWithBacklash(angle_deg, deltaPositionX_);
  const qv::ErrorCallback ended =
      replaceRequestLocked(QVLIOperationStateRotatingPlatter, {std::move(completion), std::move(error), {}});
  previousPositionX_ = currentPositionX_;
  deltaPositionX_ = angle_deg;
  const std::uint64_t serial = requestSerial_;
  lock.unlock();
  if (ended) ended(qv::interpreterError(QVLIErrorAborted));
  writeRequestLine(device, rotationLine(written_deg), serial);
}

void QVLIInterpreter::readCalibrationValues(qv::CalibrationCompletion completion, qv::ErrorCallback error) {
  const auto keepAlive = weak_from_this().lock();
  std::unique_lock lock(mutex_);
  const auto device = device_;
  if (!device) {
    lock.unlock();
    if (error) error(qv::interpreterError(QVLIErrorNoDevice));
    return;
  }
  // Not a full abort: a waiting request loses its callbacks (its error callback gets code 5), but
  // its state and watchdog stand until the read replaces them, so a refused read leaves the
  // scanner's motion tracked.
  const qv::ErrorCallback ended = std::move(callbacks_.error);
  callbacks_ = {};
  QVLIErrorCode refusal{};
  if (firmwareVersion_ == QVLIFirmwareVersionUnknown) {
    refusal = QVLIErrorFirmwareUnknown;
  } else if (firmwareVersion_ == QVLIFirmwareVersion150) {
    refusal = QVLIErrorFirmwareUnsupported;
  }
  if (refusal) {
    lock.unlock();
    if (ended) ended(qv::interpreterError(QVLIErrorAborted));
    if (error) error(qv::interpreterError(refusal));
    return;
  }
  cancelWatchdogLocked();
  callbacks_ = {{}, std::move(error), std::move(completion)};
  operationState_ = QVLIOperationStateReadingCalibration;
  readCalibrationResults_.clear();
  ++requestSerial_;
  armWatchdogLocked();
  const std::uint64_t serial = requestSerial_;
  lock.unlock();
  if (ended) ended(qv::interpreterError(QVLIErrorAborted));
  writeRequestLine(device, kReadCalibrationLine, serial);
}

void QVLIInterpreter::writeCalibration(const QVLICalibrationDetails& details, qv::Completion completion,
                                       qv::ErrorCallback error) {
  const auto keepAlive = weak_from_this().lock();
  std::unique_lock lock(mutex_);
  const auto device = device_;
  if (!device) {
    lock.unlock();
    if (error) error(qv::interpreterError(QVLIErrorNoDevice));
    return;
  }
  logLines(calibrationLogLines(details, true));
  std::vector<std::string> lines = calibrationWriteLines(details);
  const std::string first = lines.front();
  // Kept with the next line to send last: BEDY first, CDM3 last.
  std::vector<std::string> queue(lines.rbegin(), lines.rend() - 1);
  const qv::ErrorCallback ended =
      replaceRequestLocked(QVLIOperationStateWritingCalibration, {std::move(completion), std::move(error), {}});
  calibrationCommandQueue_ = std::move(queue);
  const std::uint64_t serial = requestSerial_;
  lock.unlock();
  if (ended) ended(qv::interpreterError(QVLIErrorAborted));
  writeRequestLine(device, first, serial);
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

    auto finish = [&](QVLIOperationState next) {
      cancelWatchdogLocked();
      if (auto completion = std::move(callbacks_.completion)) later.push_back(std::move(completion));
      callbacks_ = {};
      operationState_ = next;
    };

    switch (operationState_) {
      case QVLIOperationStateNone:
      case QVLIOperationStateIdle:
        break;

      case QVLIOperationStateAwaitingBanner: {
        if (!isBanner(line)) break;
        shouldUpdateFirmware_ = QVLIFirmware::shouldUpdateFirmwareBasedOnDeviceResponse(line);
        const auto path = QVLIFirmware::firmwareFilePath();
        QVLogInfo("Found firmware file: %s", path ? path->c_str() : "(null)");
        firmwareVersion_ = firmwareVersionFromBanner(line);
        if (firmwareVersion_ == QVLIFirmwareVersion150) {
          cancelWatchdogLocked();
          if (auto error = std::move(callbacks_.error)) {
            later.push_back([error] { error(qv::interpreterError(QVLIErrorFirmwareUnsupported)); });
          }
          callbacks_ = {};
          operationState_ = QVLIOperationStateIdle;
        } else {
          finish(QVLIOperationStateIdle);
        }
        break;
      }

      case QVLIOperationStateReadingCalibration: {
        if (line == "COMMAND RECEIVED <<<" || line == "COMMAND COMPLETE L0" ||
            line.starts_with("SETTING HALLEFFECT TO ")) {
          break;
        }
        const auto keyValue = splitKeyLine(line);
        if (!keyValue) break;
        const auto& keys = expectedKeys(firmwareVersion_);
        const auto& [key, text] = *keyValue;
        if (!key.empty() && std::find(keys.begin(), keys.end(), key) != keys.end()) {
          readCalibrationResults_.emplace(key, text);  // a repeated key keeps its first value
        }
        if (readCalibrationResults_.size() != keys.size()) break;
        QVLICalibrationDetails record = calibrationFromValues(readCalibrationResults_, keys);
        logLines(calibrationLogLines(record, false));
        cancelWatchdogLocked();
        if (auto calibration = std::move(callbacks_.calibration)) {
          later.push_back([calibration, record] { calibration(record); });
        }
        callbacks_ = {};
        // Idle before the callback: the application starts a calibration write from inside it.
        operationState_ = QVLIOperationStateIdle;
        break;
      }

      case QVLIOperationStateHoming:
        if (line == "COMMAND COMPLETE H") {
          currentPositionX_ = 0.0f;
          currentPositionY_ = 0.0f;
          finish(QVLIOperationStateIdle);
        }
        break;

      case QVLIOperationStateMovingCamera:
        if (line.starts_with("COMMAND RECEIVED Y")) break;
        if (line.starts_with("PY")) {
          currentPositionY_ = previousPositionY_ + deltaPositionY_ * progressFraction(line);
        } else if (line.starts_with("COMMAND COMPLETE Y")) {
          currentPositionY_ = previousPositionY_ + deltaPositionY_;
          finish(QVLIOperationStateIdle);
        }
        break;

      case QVLIOperationStateDisablingLasers:
      case QVLIOperationStateEnablingLaser1:
      case QVLIOperationStateEnablingLaser2:
      case QVLIOperationStateKilling:
        // The state stays: with its callbacks gone, further lines have no effect.
        if (line == exactCompletionLine(operationState_)) finish(operationState_);
        break;

      case QVLIOperationStateWritingCalibration:
        if (!line.starts_with("CALIBRATION SET")) break;
        if (!calibrationCommandQueue_.empty()) {
          std::string next = std::move(calibrationCommandQueue_.back());
          calibrationCommandQueue_.pop_back();
          later.push_back([this, device = device_, next = std::move(next), serial = requestSerial_] {
            if (device) writeRequestLine(device, next, serial, false);
          });
        } else {
          finish(operationState_);
        }
        break;

      case QVLIOperationStateRotatingPlatter:
        if (line.starts_with("COMMAND RECEIVED X")) break;
        if (line.starts_with("PX")) {
          currentPositionX_ = wrapDegrees(previousPositionX_ + deltaPositionX_ * progressFraction(line));
        } else if (line.starts_with("COMMAND COMPLETE X")) {
          currentPositionX_ = wrapDegrees(previousPositionX_ + deltaPositionX_);
          finish(QVLIOperationStateIdle);
        }
        break;
    }
  }
  for (auto& call : later) call();
}

// ---- plain accessors ----

void QVLIInterpreter::setCurrentPositionX(float angle_deg) {
  std::lock_guard lock(mutex_);
  currentPositionX_ = angle_deg;
}

void QVLIInterpreter::setCurrentPositionY(float height_mm) {
  std::lock_guard lock(mutex_);
  currentPositionY_ = height_mm;
}

float QVLIInterpreter::currentPositionX() const {
  std::lock_guard lock(mutex_);
  return currentPositionX_;
}

float QVLIInterpreter::currentPositionY() const {
  std::lock_guard lock(mutex_);
  return currentPositionY_;
}

std::vector<std::string> QVLIInterpreter::lastCommunications() const {
  std::lock_guard lock(mutex_);
  return {lastCommunications_.begin(), lastCommunications_.end()};
}

bool QVLIInterpreter::shouldUpdateFirmware() const {
  std::lock_guard lock(mutex_);
  return shouldUpdateFirmware_;
}

std::shared_ptr<QVLIDeviceProtocol> QVLIInterpreter::device() const {
  std::lock_guard lock(mutex_);
  return device_;
}

void QVLIInterpreter::setDevice(std::shared_ptr<QVLIDeviceProtocol> device) {
  std::lock_guard lock(mutex_);
  device_ = std::move(device);
}

QVLIOperationState QVLIInterpreter::operationState() const {
  std::lock_guard lock(mutex_);
  return operationState_;
}

QVLIFirmwareVersion QVLIInterpreter::firmwareVersion() const {
  std::lock_guard lock(mutex_);
  return firmwareVersion_;
}

float QVLIInterpreter::previousPositionX() const {
  std::lock_guard lock(mutex_);
  return previousPositionX_;
}

float QVLIInterpreter::previousPositionY() const {
  std::lock_guard lock(mutex_);
  return previousPositionY_;
}

float QVLIInterpreter::deltaPositionX() const {
  std::lock_guard lock(mutex_);
  return deltaPositionX_;
}

float QVLIInterpreter::deltaPositionY() const {
  std::lock_guard lock(mutex_);
  return deltaPositionY_;
}

int QVLIInterpreter::retryCounter() const {
  std::lock_guard lock(mutex_);
  return retryCounter_;
}

std::vector<std::string> QVLIInterpreter::calibrationCommandQueue() const {
  std::lock_guard lock(mutex_);
  return calibrationCommandQueue_;
}

std::map<std::string, std::string> QVLIInterpreter::readCalibrationResults() const {
  std::lock_guard lock(mutex_);
  return readCalibrationResults_;
}
