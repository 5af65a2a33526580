// The relays between the calibration controller (and the calibration screen) and the hardware:
// motions through the known scanner's interpreter with the position read back afterwards, the
// calibration frames through the capture session, and the two passes with their cancel. Each
// request ends in exactly one of its callbacks, whatever path it takes.
#include <algorithm>
#include <memory>

#include "core/QVLAppDelegate.h"
#include "core/QVLAppDelegateRelaySupport.h"
#include "core/camera/QVLCameraCaptureSession.h"
#include "core/camera/QVLImageSequences.h"
#include "core/camera/UVCCameraControl.h"
#include "platform/Log.h"

using qv::relays::positionReport;
using qv::relays::refuseWithoutScanner;
using qv::relays::relayError;

namespace {

constexpr int kCalibrationCancelled = 1;
enum LaserImage { kReference = 0, kLaserOn = 1, kVerification = 2 };

}  // namespace

std::shared_ptr<QVLCalibration> QVLAppDelegate::calibrationControl() const {
  std::lock_guard lock(mutex_);
  return calibrationControl_;
}

// ---- connection and motions ----

bool QVLAppDelegate::connectToScannerForCalibration(QVLCalibration&, qv::Error* error) {
  return connectToScanner(error);
}

void QVLAppDelegate::disconnectFromScannerForCalibration(QVLCalibration&, qv::Completion completion,
                                                         qv::ErrorCallback error) {
  disconnectFromScanner(std::move(completion), std::move(error));
}

void QVLAppDelegate::homeScannerForCalibration(QVLCalibration&, float restoringAngle_deg, MotionCompletion completion,
                                               qv::ErrorCallback error) {
  const auto interpreter = deviceInterpreter();
  if (!interpreter) return refuseWithoutScanner(error);
  auto report = positionReport(interpreter, std::move(completion));
  interpreter->home(
      [interpreter, restoringAngle_deg, report] {
        interpreter->setCurrentPositionX(restoringAngle_deg);
        report();
      },
      std::move(error));
}

void QVLAppDelegate::moveHeadByMillimeters(float millimeters, QVLCalibration&, MotionCompletion completion,
                                           qv::ErrorCallback error) {
  const auto interpreter = deviceInterpreter();
  if (!interpreter) return refuseWithoutScanner(error);
  interpreter->moveCameraByMillimeters(millimeters, positionReport(interpreter, std::move(completion)),
                                       std::move(error));
}

void QVLAppDelegate::rotateBedByDegrees(float degrees, QVLCalibration&, MotionCompletion completion,
                                        qv::ErrorCallback error) {
  const auto interpreter = deviceInterpreter();
  if (!interpreter) return refuseWithoutScanner(error);
  interpreter->rotatePlatterByDegrees(degrees, positionReport(interpreter, std::move(completion)), std::move(error));
}

void QVLAppDelegate::saveCalibration(std::shared_ptr<QVSCalibrationDetails> details, QVLCalibration&,
                                     qv::Completion completion, qv::ErrorCallback error) {
  saveCalibration(std::shared_ptr<const QVSCalibrationDetails>(std::move(details)), std::move(completion),
                  std::move(error));
}

// ---- frames ----

void QVLAppDelegate::captureSingleImageForCalibration(QVLCalibration&, int exposure, qv::Completion completion,
                                                      qv::ErrorCallback error) {
  const auto session = captureSession();
  const auto sequences = imageSequences();
  const auto control = session ? session->cameraControl() : nullptr;
  std::int32_t previous = 0;
  if (!control || !sequences || !control->getExposure(&previous)) {
    if (error) error(relayError(QVLAppErrorExposureNotSet, "The camera exposure could not be read"));
    return;
  }
  if (!sequences->setCameraExposure(exposure)) {
    if (error) error(relayError(QVLAppErrorExposureNotSet, "The camera exposure could not be set"));
    return;
  }
  // Frames keep a longer old exposure for a while: the longer of the two must settle.
  auto self = shared_from_this();
  sequences->delayForCameraExposure(std::max<int>(previous, exposure), [self, session, completion, error] {
    session->captureCameraImages(
        1,
        [self, completion](const std::vector<qv::SharedData>& frames) {
          {
            std::lock_guard lock(self->mutex_);
            self->calibrationImages_ = frames;
          }
          if (completion) completion();
        },
        error);
  });
}

void QVLAppDelegate::captureCameraImageSequenceForCalibration(QVLCalibration&, int cameraExposure, int laser1Exposure,
                                                              int laser2Exposure, qv::Completion completion,
                                                              qv::ErrorCallback error) {
  const auto session = captureSession();
  const auto sequences = imageSequences();
  if (!session || !sequences || !sequences->setCameraExposure(cameraExposure)) {
    if (error) error(relayError(QVLAppErrorExposureNotSet, "The camera exposure could not be set"));
    return;
  }
  auto self = shared_from_this();
  auto keep = [self](int laser, qv::SharedData reference, qv::SharedData on, qv::SharedData verification) {
    std::lock_guard lock(self->mutex_);
    self->laserCalibrationImages_[laser][kReference] = std::move(reference);
    self->laserCalibrationImages_[laser][kLaserOn] = std::move(on);
    self->laserCalibrationImages_[laser][kVerification] = std::move(verification);
  };
  // Frames already kept stay when a later step fails.
  auto lasers = [sequences, keep, laser1Exposure, laser2Exposure, completion, error] {
    if (laser2Exposure != laser1Exposure && laser2Exposure != 0) {
      sequences->captureCameraImageSequenceForLaser(
          0, laser1Exposure,
          [sequences, keep, laser2Exposure, completion, error](qv::SharedData r, qv::SharedData on, qv::SharedData v) {
            keep(0, std::move(r), std::move(on), std::move(v));
            sequences->captureCameraImageSequenceForLaser(
                1, laser2Exposure,
                [keep, completion](qv::SharedData r2, qv::SharedData on2, qv::SharedData v2) {
                  keep(1, std::move(r2), std::move(on2), std::move(v2));
                  if (completion) completion();
                },
                error);
          },
          error);
      return;
    }
    // One exposure for both: the lasers share the frames before and after.
    sequences->captureCameraImageSequenceForLasersWithExposure(
        laser1Exposure,
        [keep, completion](qv::SharedData r, qv::SharedData l1, qv::SharedData l2, qv::SharedData v) {
          keep(0, r, std::move(l1), v);
          keep(1, r, std::move(l2), v);
          if (completion) completion();
        },
        error);
  };
  sequences->delayForCameraExposure(cameraExposure, [self, session, lasers, error] {
    session->captureCameraImages(
        2,
        [self, lasers](const std::vector<qv::SharedData>& frames) {
          {
            std::lock_guard lock(self->mutex_);
            self->calibrationImages_ = frames;
          }
          lasers();
        },
        error);
  });
}

std::vector<qv::SharedData> QVLAppDelegate::calibrationImages() const {
  std::lock_guard lock(mutex_);
  return calibrationImages_;
}

qv::SharedData QVLAppDelegate::laserCalibrationImage(int laser, int which) const {
  std::lock_guard lock(mutex_);
  return laserCalibrationImages_[laser][which];
}

qv::SharedData QVLAppDelegate::laser1CalibrationReferenceImage() const { return laserCalibrationImage(0, kReference); }
qv::SharedData QVLAppDelegate::laser1CalibrationImage() const { return laserCalibrationImage(0, kLaserOn); }
qv::SharedData QVLAppDelegate::laser1CalibrationVerificationImage() const {
  return laserCalibrationImage(0, kVerification);
}
qv::SharedData QVLAppDelegate::laser2CalibrationReferenceImage() const { return laserCalibrationImage(1, kReference); }
qv::SharedData QVLAppDelegate::laser2CalibrationImage() const { return laserCalibrationImage(1, kLaserOn); }
qv::SharedData QVLAppDelegate::laser2CalibrationVerificationImage() const {
  return laserCalibrationImage(1, kVerification);
}

// ---- the calibration screen ----

namespace {

// A cancel raises the application's pause flag too, so the capture in flight may end the pass
// (12) before the controller's next step sees its own flag (1): either way the screen is told
// of a cancel by the one code it knows for it.
qv::Error passError(const qv::Error& error, bool cancelRequested) {
  if (cancelRequested && error.is(qv::kScanErrorDomain, QVLAppErrorPaused))
    return qv::Error(qv::kScanErrorDomain, kCalibrationCancelled, "Calibration cancelled");
  return error;
}

}  // namespace

void QVLAppDelegate::startFirstPassCalibrationForViewController(int calibrationDevice, qv::Completion onCompletion,
                                                                QVLCalibration::UpdateCallback onUpdate,
                                                                qv::ErrorCallback onError) {
  calibrationPass_ = 1;
  calibrationDevice_ = calibrationDevice;
  setCurrentAppState(QVLAppStateCalibrating);
  setShouldPauseScan(false);
  calibrationCancelRequested_ = false;
  auto calibration = QVLCalibration::initWithDelegate(this);
  calibration->setDebugFolderSuffix("_pass1");
  {
    std::lock_guard lock(mutex_);
    calibrationControl_ = calibration;
  }
  std::weak_ptr<QVLAppDelegate> weak = weak_from_this();
  std::weak_ptr<QVLCalibration> weakCalibration = calibration;
  calibration->calibrateScannerStep1UsingDevice(
      calibrationDevice,
      [weak, onCompletion = std::move(onCompletion)] {
        // The controller stays for the second pass.
        if (const auto self = weak.lock()) self->setCurrentAppState(QVLAppStateIdle);
        if (onCompletion) onCompletion();
      },
      std::move(onUpdate),
      [weak, weakCalibration, onError = std::move(onError)](const qv::Error& error) {
        const auto self = weak.lock();
        bool cancelled = false;
        if (self) {
          self->setCurrentAppState(QVLAppStateIdle);
          cancelled = self->calibrationCancelRequested_.load();
          std::lock_guard lock(self->mutex_);
          // A newer calibration's controller is not this pass's to drop.
          if (self->calibrationControl_ == weakCalibration.lock()) self->calibrationControl_.reset();
        }
        if (onError) onError(passError(error, cancelled));
      });
}

void QVLAppDelegate::startSecondPassCalibrationForViewController(int calibrationDevice, qv::Completion onCompletion,
                                                                 QVLCalibration::UpdateCallback onUpdate,
                                                                 qv::ErrorCallback onError) {
  const auto calibration = calibrationControl();
  if (!calibration) {
    // Nothing to continue: the screen must not wait for an answer that never comes.
    if (onError)
      onError(relayError(QVLAppErrorNoFirstPass, "The second calibration pass needs a completed first pass"));
    return;
  }
  calibrationPass_ = 2;
  calibrationDevice_ = calibrationDevice;
  setCurrentAppState(QVLAppStateCalibrating);
  setShouldPauseScan(false);
  calibrationCancelRequested_ = false;
  calibration->setDebugFolderSuffix("_pass2");
  std::weak_ptr<QVLAppDelegate> weak = weak_from_this();
  std::weak_ptr<QVLCalibration> weakCalibration = calibration;
  // Either end of the second pass ends the calibration.
  auto finish = [weak, weakCalibration]() -> bool {
    const auto self = weak.lock();
    if (!self) return false;
    self->setCurrentAppState(QVLAppStateIdle);
    std::lock_guard lock(self->mutex_);
    if (self->calibrationControl_ == weakCalibration.lock()) self->calibrationControl_.reset();
    return self->calibrationCancelRequested_.load();
  };
  calibration->calibrateScannerStep2UsingDevice(
      calibrationDevice,
      [finish, onCompletion = std::move(onCompletion)] {
        finish();
        if (onCompletion) onCompletion();
      },
      std::move(onUpdate),
      [finish, onError = std::move(onError)](const qv::Error& error) {
        const bool cancelled = finish();
        if (onError) onError(passError(error, cancelled));
      });
}

void QVLAppDelegate::cancelScannerCalibrationForViewController() {
  switch (currentAppState()) {
    case 0:
    case QVLAppStateIdle:
      showHudScreen();
      break;
    case QVLAppStateCalibrating:
      setShouldPauseScan(true);
      calibrationCancelRequested_ = true;
      if (const auto calibration = calibrationControl()) calibration->setShouldCancelCalibration(true);
      break;
    case QVLAppStateScanning:
      setShouldPauseScan(true);
      if (const auto scan = scanController()) scan->setShouldCancelScan(true);
      break;
    default:
      break;
  }
}
