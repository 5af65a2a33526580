// The manual scan screen's requests, passed to the application delegate.
#include "screens/AdvancedScanCoreDelegate.h"

#include "core/QVLAppDelegate.h"

namespace qv::screens {
namespace {

// The application is going away: a request gets the answer a vanished scanner would give.
qv::Error goneError() { return qv::Error(qv::kScanErrorDomain, QVLAppErrorManualNoScanner, "The scanner is no longer available"); }

}  // namespace

std::shared_ptr<const QVSCalibrationDetails> AdvancedScanCoreDelegate::calibrationDetails() {
  auto core = core_.lock();
  return core ? core->calibrationDetails() : nullptr;
}

bool AdvancedScanCoreDelegate::connectToScanner(qv::Error* error) {
  if (auto core = core_.lock()) return core->connectToScanner(error);
  if (error) *error = goneError();
  return false;
}

void AdvancedScanCoreDelegate::disconnectFromScanner(qv::Completion completion) {
  auto core = core_.lock();
  if (!core) {
    if (completion) completion();
    return;
  }
  core->disconnectFromScanner(completion, [completion](const qv::Error&) {
    if (completion) completion();
  });
}

void AdvancedScanCoreDelegate::cancelCapture() {
  if (auto core = core_.lock()) core->cancelScanForAdvancedScanViewController();
}

void AdvancedScanCoreDelegate::captureColourImage(int exposure, int whiteBalance, FrameCompletion completion,
                                                  qv::ErrorCallback error) {
  auto core = core_.lock();
  if (!core) return error ? error(goneError()) : void();
  // A new capture clears the stop that the cancel of the previous one left.
  core->setShouldPauseScan(false);
  core->captureCameraImageForAdvScanViewController(exposure, whiteBalance, std::move(completion), std::move(error));
}

void AdvancedScanCoreDelegate::captureImageSequence(int exposure, int whiteBalance, int laser1Exposure, int laser2Exposure,
                                                    SequenceCompletion completion, qv::ErrorCallback error) {
  auto core = core_.lock();
  if (!core) return error ? error(goneError()) : void();
  core->setShouldPauseScan(false);
  core->captureCameraImageSequenceForAdvScanViewController(exposure, whiteBalance, laser1Exposure, laser2Exposure,
                                                           std::move(completion), std::move(error));
}

void AdvancedScanCoreDelegate::captureImageSequence(int exposure, int whiteBalance, int laser1Low, int laser1High,
                                                    int laser2Low, int laser2High, LowHighCompletion completion,
                                                    qv::ErrorCallback error) {
  auto core = core_.lock();
  if (!core) return error ? error(goneError()) : void();
  core->setShouldPauseScan(false);
  core->captureCameraImageSequenceForAdvScanViewController(exposure, whiteBalance, laser1Low, laser1High, laser2Low,
                                                           laser2High, std::move(completion), std::move(error));
}

void AdvancedScanCoreDelegate::moveHeadHome(MotionCompletion completion) {
  if (auto core = core_.lock()) return core->moveHeadHomeForAdvScanViewController(std::move(completion));
  if (completion) completion(goneError());
}

void AdvancedScanCoreDelegate::moveHeadByMillimeters(float millimeters, MotionCompletion completion) {
  if (auto core = core_.lock()) return core->moveHeadByMillimetersForAdvScanViewController(millimeters, std::move(completion));
  if (completion) completion(goneError());
}

void AdvancedScanCoreDelegate::rotateBedByDegrees(float degrees, MotionCompletion completion) {
  if (auto core = core_.lock()) return core->rotateBedByDegreesForAdvScanViewController(degrees, std::move(completion));
  if (completion) completion(goneError());
}

void AdvancedScanCoreDelegate::setExposure(int exposure, QVLTuning& tuning, qv::Completion completion,
                                           qv::ErrorCallback error) {
  if (auto core = core_.lock()) return core->setExposure(exposure, tuning, std::move(completion), std::move(error));
  if (error) error(goneError());
}

void AdvancedScanCoreDelegate::captureExposureImagesForTuning(QVLTuning& tuning,
                                                              QVLTuningDelegate::ExposureImagesCompletion completion,
                                                              qv::ErrorCallback error) {
  if (auto core = core_.lock()) return core->captureExposureImagesForTuning(tuning, std::move(completion), std::move(error));
  if (error) error(goneError());
}

void AdvancedScanCoreDelegate::returnHome() {
  if (returnHome_) returnHome_();
}

void AdvancedScanCoreDelegate::showScanScreen() {
  if (showScanScreen_) showScanScreen_();
}

}  // namespace qv::screens
