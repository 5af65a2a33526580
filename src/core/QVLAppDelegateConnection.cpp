// The scanner connection: connecting, the firmware check and update, the calibration read,
// arrivals and removals, and the reset asked for from the preferences.
#include <cstdio>
#include <utility>

#include "core/QVLAppDelegate.h"
#include "platform/Log.h"
#include "scancmd/QVLIErrors.h"
#include "scancmd/QVLIFirmware.h"
#include "scancmd/QVLIInterpreter.h"
#include "scanlink/FirmwareProgrammer.h"

namespace {

// The state names go to the plain console log, not the application's log.
void consoleLog(const char* text) { std::fprintf(stderr, "%s\n", text); }

qv::Error scanError(int code, std::string description, qv::Dictionary userInfo = {}) {
  return qv::Error(qv::kScanErrorDomain, code, std::move(description), std::move(userInfo));
}

bool isResetting(int state) {
  return state == QVLConnectionStateResetting || state == QVLConnectionStateResettingForFirmware;
}

}  // namespace

// ---- state ----

void QVLAppDelegate::setCurrentConnectionState(int state) { currentConnectionState_.store(state); }

std::shared_ptr<QVLCDevice> QVLAppDelegate::device() const {
  std::lock_guard lock(mutex_);
  return device_;
}

void QVLAppDelegate::setDevice(std::shared_ptr<QVLCDevice> device, std::shared_ptr<QVLIInterpreterProtocol> interpreter) {
  {
    std::lock_guard lock(mutex_);
    device_ = std::move(device);
  }
  deviceInterpreter_.set(std::move(interpreter));
}

std::shared_ptr<const QVSCalibrationDetails> QVLAppDelegate::calibrationDetails() const {
  std::lock_guard lock(mutex_);
  return calibrationDetails_;
}

void QVLAppDelegate::setCalibrationDetails(std::shared_ptr<const QVSCalibrationDetails> details) {
  const bool usable = isCalibrationUsable(details.get());
  {
    std::lock_guard lock(mutex_);
    calibrationDetails_ = std::move(details);
  }
  // Observers of isCalibrated re-read it after every change of the calibration.
  isCalibrated_.set(usable);
}

std::optional<qv::Error> QVLAppDelegate::firmwareInstallFailure() const {
  std::lock_guard lock(mutex_);
  return firmwareInstallFailure_;
}

// ---- connecting ----

void QVLAppDelegate::connectToDevice(std::shared_ptr<QVLCDevice> device, ConnectionCompletion completion) {
  int expected = QVLConnectionStateNone;
  if (!device || !currentConnectionState_.compare_exchange_strong(expected, QVLConnectionStateConnecting)) {
    if (completion) {
      completion(false, device ? scanError(QVLAppErrorBusyConnecting, "A connection to the scanner is already under way")
                               : scanError(QVLAppErrorNoScanner, "No scanner to connect to"));
    }
    return;
  }
  qv::globalQueue(qv::QueuePriority::Default)->async(
      [self = shared_from_this(), device = std::move(device), completion = std::move(completion)] {
        self->runConnection(device, completion);
      });
}

void QVLAppDelegate::runConnection(const std::shared_ptr<QVLCDevice>& device, const ConnectionCompletion& completion) {
  // A port that failed to open shows up as an error of the greeting.
  device->connect();
  setCurrentConnectionState(QVLConnectionStateCheckingFirmware);
  std::shared_ptr<QVLIInterpreterProtocol> interpreter = QVLIInterpreter::createWithDevice(device);
  std::weak_ptr<QVLAppDelegate> weak = weak_from_this();
  // The callbacks keep the interpreter alive until it has answered; it answers exactly once.
  interpreter->initializeDevice(
      [weak, device, interpreter, completion] {
        if (auto self = weak.lock()) self->firmwareChecked(device, interpreter, completion);
      },
      [weak, device, completion](const qv::Error& error) {
        if (auto self = weak.lock()) self->setCurrentConnectionState(QVLConnectionStateNone);
        device->disconnect();
        if (completion) completion(false, error);
      });
}

void QVLAppDelegate::firmwareChecked(const std::shared_ptr<QVLCDevice>& device,
                                     const std::shared_ptr<QVLIInterpreterProtocol>& interpreter,
                                     const ConnectionCompletion& completion) {
  const bool shouldUpdate = interpreter->shouldUpdateFirmware();
  QVLogInfo("Connected to device, shouldUpdateFirmware = %d", shouldUpdate ? 1 : 0);
  // Without a firmware image an update could never run: the scanner is used as it is.
  if (shouldUpdate && QVLIFirmware::firmwareFilePath()) {
    if (auto failure = firmwareInstallFailure()) {
      // The last install failed: resetting again would only loop. Wait for the user.
      QVLogInfo("The firmware must be updated, but the last update failed: %s", failure->text().c_str());
      setCurrentConnectionState(QVLConnectionStateNone);
      device->disconnect();
      qv::Dictionary info{{qv::Error::kUnderlyingErrorKey, qv::Value(failure->text())}};
      if (completion) {
        completion(false, scanError(QVLAppErrorFirmwareUpdateNeeded,
                                    "The scanner's firmware must be updated; the last update failed: " +
                                        failure->description,
                                    std::move(info)));
      }
      return;
    }
    QVLogInfo(" ----- Reseting hardware for firmware update ----- ");
    setCurrentConnectionState(QVLConnectionStateResettingForFirmware);
    device->resetHardware(nullptr);
    if (completion) {
      completion(false, scanError(QVLAppErrorFirmwareUpdateNeeded,
                                  "The scanner's firmware must be updated; it is being reset into its boot loader"));
    }
    return;
  }

  setCurrentConnectionState(QVLConnectionStateReadingCalibration);
  std::weak_ptr<QVLAppDelegate> weak = weak_from_this();
  interpreter->readCalibrationValues(
      [weak, device, interpreter, completion](const QVLICalibrationDetails& record) {
        auto self = weak.lock();
        if (self) {
          self->setCurrentConnectionState(QVLConnectionStateNone);
          self->setDevice(device, interpreter);
        }
        // Known is not open: the port closes until a job opens it again.
        device->disconnect();
        if (self) self->setCalibrationDetails(QVSCalibrationDetails::calibrationDetailsFromDeviceCalibration(&record));
        QVLogInfo("Scanner connected at %s: calibration read, port closed", device->port().c_str());
        if (completion) completion(true, std::nullopt);
      },
      [weak, device, completion](const qv::Error& error) {
        auto self = weak.lock();
        if (self) self->setCurrentConnectionState(QVLConnectionStateNone);
        device->disconnect();
        if (self) self->setCalibrationDetails(nullptr);
        if (completion) completion(false, error);
      });
}

QVLAppDelegate::ConnectionCompletion QVLAppDelegate::standardCompletion(const std::shared_ptr<QVLCDevice>& device) {
  std::weak_ptr<QVLAppDelegate> weak = weak_from_this();
  return [weak, device](bool success, const std::optional<qv::Error>& error) {
    if (auto self = weak.lock()) self->connectionCompleted(success, error, device);
  };
}

void QVLAppDelegate::connectionCompleted(bool success, const std::optional<qv::Error>& error,
                                         const std::shared_ptr<QVLCDevice>& device) {
  if (success) {
    setIsConnecting(false);
    setCurrentConnectionState(QVLConnectionStateNone);
    return;
  }
  if (error) QVLogInfo("Connection to the scanner failed: %s", error->text().c_str());
  // A refused attempt leaves the running one alone: its own end clears the state.
  if (error && error->is(qv::kScanErrorDomain, QVLAppErrorBusyConnecting)) return;
  const int state = currentConnectionState();
  if (isResetting(state)) return;  // the work goes on through the reset
  if (error && error->is(qv::kInterpreterErrorDomain, QVLIErrorAborted) && device && isPresent(*device)) {
    // The scanner stayed silent: reset it and wait for it to come back. (One that was unplugged
    // meanwhile cannot be reset, and nothing would ever come back.)
    setCurrentConnectionState(QVLConnectionStateResetting);
    qv::Error ignored;
    if (device) device->resetHardware(&ignored);
    return;
  }
  setIsConnecting(false);
  setCurrentConnectionState(QVLConnectionStateNone);
}

void QVLAppDelegate::logSeveralScanners(const std::vector<std::shared_ptr<QVLCDevice>>& present) {
  std::string ports;
  for (const auto& device : present) ports += (ports.empty() ? "" : ", ") + device->port();
  QVLogInfo("Not connecting: %zu scanners are present (%s); leave only one plugged in", present.size(), ports.c_str());
}

bool QVLAppDelegate::isPresent(const QVLCDevice& device) const {
  for (const auto& present : serialPortController_->devices()) {
    if (*present == device) return true;
  }
  return false;
}

// ---- arrivals and removals ----

void QVLAppDelegate::deviceAdded(const std::shared_ptr<QVLCDevice>& device) {
  QVLogInfo("deviceAdded");
  const int state = currentConnectionState();
  switch (state) {
    case QVLConnectionStateConnecting:
    case QVLConnectionStateCheckingFirmware:
    case QVLConnectionStateReadingCalibration:
      consoleLog(QVLConnectionStateName(state));
      return;
    case QVLConnectionStateInstallingFirmware: {
      consoleLog(QVLConnectionStateName(state));
      // The flashed scanner may restart before the programmer has been seen to end: its arrival
      // is taken up when the install completes.
      std::lock_guard lock(mutex_);
      arrivedDuringInstall_ = device;
      return;
    }
    case QVLConnectionStateResetting: {
      consoleLog(QVLConnectionStateName(state));
      // This arrival is the reset scanner's boot loader; the scanner's own arrival follows.
      {
        std::lock_guard lock(mutex_);
        bootLoaderPort_ = device->port();
      }
      setCurrentConnectionState(QVLConnectionStateNone);
      return;
    }
    case QVLConnectionStateResettingForFirmware: {
      {
        std::lock_guard lock(mutex_);
        bootLoaderPort_ = device->port();
      }
      std::weak_ptr<QVLAppDelegate> weak = weak_from_this();
      qv::after(qv::seconds(2.0), qv::mainQueue(), [weak, device] {
        if (auto self = weak.lock()) self->installFirmware(device);
      });
      return;
    }
    case QVLConnectionStateNone:
      consoleLog(QVLConnectionStateName(state));
      break;
    default:
      break;
  }
  setIsConnecting(true);
  std::weak_ptr<QVLAppDelegate> weak = weak_from_this();
  qv::after(qv::seconds(2.0), qv::mainQueue(), [weak, device] {
    if (auto self = weak.lock()) self->arrivalFollowUp(device);
  });
}

void QVLAppDelegate::arrivalFollowUp(const std::shared_ptr<QVLCDevice>& device) {
  if (this->device()) setDevice(nullptr, nullptr);  // the calibration stays
  bool isBootLoader = false;
  {
    std::lock_guard lock(mutex_);
    isBootLoader = bootLoaderPort_ && *bootLoaderPort_ == device->port();
  }
  const auto present = serialPortController_->devices();
  if (!isBootLoader && present.size() == 1) {
    connectToDevice(device, standardCompletion(device));
    return;
  }
  if (isBootLoader) {
    QVLogInfo("Not connecting to %s: it is the boot loader of a reset scanner", device->port().c_str());
  } else if (present.size() > 1) {
    logSeveralScanners(present);
  }
  if (!isResetting(currentConnectionState())) {
    setIsConnecting(false);
    setCurrentConnectionState(QVLConnectionStateNone);
  }
}

void QVLAppDelegate::installFirmware(const std::shared_ptr<QVLCDevice>& device) {
  setCurrentConnectionState(QVLConnectionStateInstallingFirmware);
  device->setFirmwareProgrammer(qv::FirmwareProgrammer::fromSettings(settings_));
  const bool useArduinoAvrDude = settings_.boolForKey("EnableArduinoAvrDude");
  std::weak_ptr<QVLAppDelegate> weak = weak_from_this();
  // The programmer runs for a while and blocks its thread: not the main queue.
  qv::globalQueue(qv::QueuePriority::Default)->async([weak, device, useArduinoAvrDude] {
    // Not kept beyond the install; the programmer opens the port itself.
    auto installer = QVLIInterpreter::createWithDevice(device);
    installer->updateFirmwareUsingArduinoAvrdude(
        useArduinoAvrDude, [weak](bool success, const std::optional<qv::Error>& error) {
          qv::mainQueue()->async([weak, success, error] {
            auto self = weak.lock();
            if (!self) return;
            if (success) {
              QVLogInfo("Firmware updated");
              std::lock_guard lock(self->mutex_);
              self->firmwareInstallFailure_.reset();
            } else {
              const qv::Error reason = error.value_or(qv::Error(qv::kControlErrorDomain, -1, "The firmware programmer failed"));
              QVLogInfo("The firmware update failed: %s", reason.text().c_str());
              {
                std::lock_guard lock(self->mutex_);
                self->firmwareInstallFailure_ = reason;
              }
              // Nothing more happens by itself: the user is told and may reset the scanner to retry.
              self->setIsConnecting(false);
              if (auto host = self->screenHost()) {
                host->presentError(scanError(QVLAppErrorFirmwareUpdateNeeded,
                                             "The scanner's firmware could not be updated: " + reason.description,
                                             {{qv::Error::kUnderlyingErrorKey, qv::Value(reason.text())}}));
              }
            }
            self->setCurrentConnectionState(QVLConnectionStateNone);
            std::shared_ptr<QVLCDevice> arrived;
            {
              std::lock_guard lock(self->mutex_);
              arrived = std::exchange(self->arrivedDuringInstall_, nullptr);
            }
            if (arrived && self->isPresent(*arrived)) self->deviceAdded(arrived);
          });
        });
  });
}

void QVLAppDelegate::deviceRemoved(const std::shared_ptr<QVLCDevice>& device) {
  bool known = false;
  {
    std::lock_guard lock(mutex_);
    if (bootLoaderPort_ && *bootLoaderPort_ == device->port()) bootLoaderPort_.reset();
    known = device_ && *device_ == *device;
  }
  if (!known) return;
  setDevice(nullptr, nullptr);
  // A reset scanner always leaves: its reset goes on, so that its boot loader is not taken for a
  // scanner.
  const int state = currentConnectionState();
  if (!isResetting(state) && state != QVLConnectionStateInstallingFirmware) {
    setCurrentConnectionState(QVLConnectionStateNone);
  }
}

// ---- the reset from the preferences ----

void QVLAppDelegate::resetScannerForPreferences() {
  {
    std::lock_guard lock(mutex_);
    firmwareInstallFailure_.reset();  // the user asks again
  }
  const auto known = device();
  if (known && deviceInterpreter()) {
    // The reset scanner leaves and its boot loader arrives: that arrival must only end the reset.
    setCurrentConnectionState(QVLConnectionStateResetting);
    auto reset = [known] {
      qv::Error ignored;
      known->resetHardware(&ignored);
      QVLogInfo("Reset device complete");
    };
    disconnectFromScanner(reset, [reset](const qv::Error&) { reset(); });
    return;
  }
  const auto present = serialPortController_->devices();
  if (present.size() == 1) {
    qv::Error ignored;
    present.front()->resetHardware(&ignored);
    setCurrentConnectionState(QVLConnectionStateResetting);
    QVLogInfo("Reset disconnected device complete, waiting to connect...");
  }
}

// ---- connections of a job ----

bool QVLAppDelegate::connectToScanner(qv::Error* error) {
  const auto known = device();
  if (!known) {
    if (error) *error = scanError(7, "No scanner is connected");
    return false;
  }
  if (!known->connect() && !known->serialPort()) {
    if (error) *error = scanError(8, "The scanner's port could not be opened");
    return false;
  }
  std::shared_ptr<QVLCameraConnection> camera;
  {
    std::lock_guard lock(mutex_);
    camera = camera_;
  }
  return camera ? camera->connectCamera(error) : true;
}

void QVLAppDelegate::disconnectFromScanner(qv::Completion completion, qv::ErrorCallback error) {
  QVLogInfo("Disconnecting from camera");
  std::shared_ptr<QVLCameraConnection> camera;
  {
    std::lock_guard lock(mutex_);
    camera = camera_;
  }
  if (camera) camera->disconnectCamera();
  const auto known = device();
  const auto interpreter = deviceInterpreter();
  if (!interpreter) {
    if (known) known->disconnect();
    if (completion) completion();
    return;
  }
  interpreter->kill(
      [known, completion] {
        if (known) known->disconnect();
        if (completion) completion();
      },
      [known, error](const qv::Error& e) {
        if (known) known->disconnect();
        if (error) error(e);
      });
}
