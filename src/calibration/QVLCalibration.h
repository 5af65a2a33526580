// The calibration controller: the two passes over the target's two positions, and the analysis after them.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "acquisition/QVLTuning.h"
#include "calibration/QVLCalibrationDelegate.h"
#include "calibration/QVLCalibrationPoints2D.h"
#include "calibration/ScannerCalibrationAnalysis.h"
#include "platform/Error.h"
#include "platform/Queue.h"
#include "records/QVLScannerCalibration.h"
#include "records/QVLStatus.h"

// One controller per calibration: the application core makes it, runs the first pass, lets the
// user move the target, then runs the second pass on the same controller. Each pass ends in exactly
// one call of its completion or its error callback, always after the scanner was disconnected
// (except a pass started without a delegate, which never connects). Errors are in the scan domain:
// 1 cancelled, 2 no delegate ("Parameter") or unusable frames, 4 the analysis could not run
// ("Folder") or gave no defined result ("Reason"), 5 no frame, 6 the board not found within a full
// turn of searching, 9 a frame of the wrong size, 10 no usable exposure ("Reason").
class QVLCalibration : public QVLTuningDelegate, public std::enable_shared_from_this<QVLCalibration> {
public:
  using UpdateCallback = std::function<void(std::shared_ptr<QVLStatus>)>;

  static constexpr int kBoxDevice = 1;
  static constexpr int kCardDevice = 2;

  // The delegate is not owned; it must outlive the controller.
  static std::shared_ptr<QVLCalibration> initWithDelegate(QVLCalibrationDelegate* delegate);

  // The device number tells the target: 1 the box, anything else the card (read by the second pass).
  void calibrateScannerStep1UsingDevice(int device, qv::Completion completion, UpdateCallback update,
                                        qv::ErrorCallback error);
  void calibrateScannerStep2UsingDevice(int device, qv::Completion completion, UpdateCallback update,
                                        qv::ErrorCallback error);

  // The target-position procedures (two head heights each) and the capture at one head height.
  void calibrateFirstBoxPosition(qv::Completion completion, UpdateCallback update, qv::ErrorCallback error);
  void calibrateSecondBoxPosition(qv::Completion completion, UpdateCallback update, qv::ErrorCallback error);
  void captureImagesAndCalibrateCamera(qv::Completion completion, UpdateCallback update, qv::ErrorCallback error);
  void captureImagesAndCalibrateCameraWithCurrentExposureValues(qv::Completion completion, UpdateCallback update,
                                                                qv::ErrorCallback error);
  void calibrateAndRotatePlatterStartingAtAngle(double angle_deg, qv::Completion completion, UpdateCallback update,
                                                qv::ErrorCallback error);

  // The setting "ShouldSaveCalibrationDiagnosticInformation", read afresh at every use.
  static bool shouldSaveCalibrationData();

  // QVLTuningDelegate, for the tuning the controller runs: handed on to the controller's delegate.
  void setExposure(int exposure, QVLTuning& tuning, qv::Completion completion, qv::ErrorCallback error) override;
  void captureExposureImagesForTuning(QVLTuning& tuning, ExposureImagesCompletion completion,
                                      qv::ErrorCallback error) override;
  bool isPointValidWithExposure(int exposure, float x, int y, int laser, QVLTuning& tuning) override;

  // Read and written by the application core; the cancel flag is tested at every device step.
  bool shouldCancelCalibration() const { return shouldCancelCalibration_.load(); }
  void setShouldCancelCalibration(bool cancel) { shouldCancelCalibration_.store(cancel); }
  const std::string& debugFolderSuffix() const { return debugFolderSuffix_; }
  void setDebugFolderSuffix(std::string suffix) { debugFolderSuffix_ = std::move(suffix); }
  QVLCalibrationDelegate* delegate() const { return delegate_; }
  void setDelegate(QVLCalibrationDelegate* delegate) { delegate_ = delegate; }

  // Every view kept so far (both passes, capture order) and the views of the current head height.
  const std::vector<QVLCalibrationPoints2D>& calibrations() const { return calibrations_; }
  const std::vector<QVLCalibrationPoints2D>& intermediateCalibrations() const { return intermediateCalibrations_; }
  float currentBedRotation() const { return currentBedRotation_; }
  float currentHeadHeight() const { return currentHeadHeight_; }
  // The bed turned so far in the current head height's search for the board.
  double currentXRotation() const { return currentXRotation_; }
  double rotationStartAngle() const { return rotationStartAngle_; }
  double rotationEndAngle() const { return rotationEndAngle_; }
  int nonLaserExposure() const { return nonLaserExposure_; }
  void setNonLaserExposure(int exposure) { nonLaserExposure_ = exposure; }
  int nonLaserWhitebalance() const { return nonLaserWhitebalance_; }
  void setNonLaserWhitebalance(int whiteBalance) { nonLaserWhitebalance_ = whiteBalance; }
  const std::vector<int>& laser1Exposures() const { return laser1Exposures_; }
  void setLaser1Exposures(std::vector<int> exposures) { laser1Exposures_ = std::move(exposures); }
  const std::vector<int>& laser2Exposures() const { return laser2Exposures_; }
  void setLaser2Exposures(std::vector<int> exposures) { laser2Exposures_ = std::move(exposures); }

  // How the analysis after the second pass runs, and what it gave.
  void setAnalysisOptions(ScannerCalibrationAnalysisOptions options) { analysisOptions_ = options; }
  struct AnalysisOutcome {
    QVLScannerCalibration calibration;
    float reprojectionError = 0.0f;
    ScannerCalibrationAnalysisDetails details;
    double analysisSeconds = 0.0;
  };
  // The last analysis that succeeded; nothing before one has.
  std::optional<AnalysisOutcome> lastAnalysis() const;

  explicit QVLCalibration(QVLCalibrationDelegate* delegate);

private:
  qv::ErrorCallback makeFailureHandler(qv::ErrorCallback passError);
  bool cancelTest(const qv::ErrorCallback& error);
  void later(qv::Task task);
  void store(float bedRotation, float headHeight);
  void fail(const qv::ErrorCallback& error, int code, qv::Dictionary userInfo = {});
  void keepIntermediateViews(int boxPosition, int headPosition);
  // The capture at the bottom head height, the rise to the top one and the capture there, the
  // views kept with their tags; `bottomPass` and `topPass` name the two captures in the statuses.
  void captureBothHeadHeights(int boxPosition, const char* bottomPass, const char* topPass, qv::Completion completion,
                              UpdateCallback update, qv::ErrorCallback error);
  void decideSweepDirection(qv::Completion completion, UpdateCallback update, qv::ErrorCallback error);
  void finishSweepStep(double angle, qv::Completion completion, UpdateCallback update, qv::ErrorCallback error);
  void runAnalysis(int device, qv::Completion completion, UpdateCallback update, qv::ErrorCallback error,
                   qv::ErrorCallback fail);
  std::string stepFolder() const;

  std::vector<QVLCalibrationPoints2D> calibrations_;
  std::vector<QVLCalibrationPoints2D> intermediateCalibrations_;
  std::atomic<bool> shouldCancelCalibration_{false};
  float currentBedRotation_ = 0.0f;
  float currentHeadHeight_ = 0.0f;
  int nonLaserExposure_ = 0;
  int nonLaserWhitebalance_ = 0;
  std::string debugFolderSuffix_;
  QVLCalibrationDelegate* delegate_ = nullptr;
  double currentXRotation_ = 0.0;
  std::vector<int> laser1Exposures_;
  std::vector<int> laser2Exposures_;
  double rotationEndAngle_ = 0.0;
  double rotationStartAngle_ = 0.0;

  qv::QueuePtr queue_;
  std::shared_ptr<QVLTuning> tuning_;
  ScannerCalibrationAnalysisOptions analysisOptions_;
  mutable std::mutex outcomeMutex_;
  std::optional<AnalysisOutcome> lastAnalysis_;
};
