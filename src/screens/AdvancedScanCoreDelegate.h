// The manual scan screen's delegate served by the application delegate's manual-scan relays; the
// two ways out are the screen switching's.
#pragma once

#include <functional>
#include <memory>

#include "screens/AdvancedScanDelegate.h"

class QVLAppDelegate;

namespace qv::screens {

class AdvancedScanCoreDelegate final : public AdvancedScanDelegate {
public:
  AdvancedScanCoreDelegate(std::weak_ptr<QVLAppDelegate> core, std::function<void()> returnHome,
                           std::function<void()> showScanScreen)
      : core_(std::move(core)), returnHome_(std::move(returnHome)), showScanScreen_(std::move(showScanScreen)) {}

  std::shared_ptr<const QVSCalibrationDetails> calibrationDetails() override;
  bool connectToScanner(qv::Error* error) override;
  void disconnectFromScanner(qv::Completion completion) override;
  void cancelCapture() override;
  void captureColourImage(int exposure, int whiteBalance, FrameCompletion completion, qv::ErrorCallback error) override;
  void captureImageSequence(int exposure, int whiteBalance, int laser1Exposure, int laser2Exposure,
                            SequenceCompletion completion, qv::ErrorCallback error) override;
  void captureImageSequence(int exposure, int whiteBalance, int laser1Low, int laser1High, int laser2Low, int laser2High,
                            LowHighCompletion completion, qv::ErrorCallback error) override;
  void moveHeadHome(MotionCompletion completion) override;
  void moveHeadByMillimeters(float millimeters, MotionCompletion completion) override;
  void rotateBedByDegrees(float degrees, MotionCompletion completion) override;
  void setExposure(int exposure, QVLTuning& tuning, qv::Completion completion, qv::ErrorCallback error) override;
  void captureExposureImagesForTuning(QVLTuning& tuning, QVLTuningDelegate::ExposureImagesCompletion completion,
                                      qv::ErrorCallback error) override;
  void returnHome() override;
  void showScanScreen() override;

private:
  std::weak_ptr<QVLAppDelegate> core_;
  std::function<void()> returnHome_, showScanScreen_;
};

}  // namespace qv::screens
