// What the manual scan screen asks of the application: every device action and the two ways out.
#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "acquisition/QVLTuningDelegate.h"
#include "platform/Error.h"
#include "platform/Value.h"
#include "records/QVLScanResultSet.h"
#include "records/QVSCalibrationDetails.h"

namespace qv::screens {

// Served by the application core. Motion completions are called exactly once, with the error when
// the motion failed; capture completions and errors may come on any thread.
class AdvancedScanDelegate {
public:
  using MotionCompletion = std::function<void(const std::optional<qv::Error>& error)>;
  using FrameCompletion = std::function<void(qv::SharedData colour)>;
  using SequenceCompletion = std::function<void(qv::SharedData colour, QVLScanResultSet laser1, QVLScanResultSet laser2)>;
  using LowHighCompletion = std::function<void(qv::SharedData colour, QVLScanResultSet laser1Low,
                                               QVLScanResultSet laser1High, QVLScanResultSet laser2Low,
                                               QVLScanResultSet laser2High)>;

  virtual ~AdvancedScanDelegate() = default;

  virtual std::shared_ptr<const QVSCalibrationDetails> calibrationDetails() = 0;
  // Opens the scanner link and the camera; false (and the error) when that fails. May be called on
  // any thread.
  virtual bool connectToScanner(qv::Error* error) = 0;
  // Releases the scanner and the camera; the completion runs after a failed release too.
  virtual void disconnectFromScanner(qv::Completion completion) = 0;
  // Ends a capture in flight early, through its error callback.
  virtual void cancelCapture() = 0;

  virtual void captureColourImage(int exposure, int whiteBalance, FrameCompletion completion,
                                  qv::ErrorCallback error) = 0;
  virtual void captureImageSequence(int exposure, int whiteBalance, int laser1Exposure, int laser2Exposure,
                                    SequenceCompletion completion, qv::ErrorCallback error) = 0;
  virtual void captureImageSequence(int exposure, int whiteBalance, int laser1Low, int laser1High, int laser2Low,
                                    int laser2High, LowHighCompletion completion, qv::ErrorCallback error) = 0;

  virtual void moveHeadHome(MotionCompletion completion) = 0;
  virtual void moveHeadByMillimeters(float millimeters, MotionCompletion completion) = 0;
  virtual void rotateBedByDegrees(float degrees, MotionCompletion completion) = 0;

  // The exposure tuning's camera requests, passed on unchanged.
  virtual void setExposure(int exposure, QVLTuning& tuning, qv::Completion completion, qv::ErrorCallback error) = 0;
  virtual void captureExposureImagesForTuning(QVLTuning& tuning, QVLTuningDelegate::ExposureImagesCompletion completion,
                                              qv::ErrorCallback error) = 0;

  // Leaves the screen for the main screen.
  virtual void returnHome() = 0;
  // Leaves the screen for the scan screen, which scans with the settings just saved.
  virtual void showScanScreen() = 0;
};

}  // namespace qv::screens
