// Exposure tuning: tries a fixed list of camera exposures and picks those that show the laser best.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

#include "acquisition/QVLExposureQuality.h"
#include "acquisition/QVLTuningDelegate.h"
#include "platform/Error.h"
#include "platform/Queue.h"
#include "records/QVLStatus.h"

// One search at a time. The search is a chain of delegate callbacks, one exposure after the other;
// every link goes through a queue, so a delegate that answers at once never deepens the stack.
class QVLTuning : public std::enable_shared_from_this<QVLTuning> {
public:
  // The laser-off exposure, each laser's chosen exposures (empty where none qualified) and the
  // laser-off white balance (-1 and -1 when there was no laser-off result).
  using Completion = std::function<void(int nonLaserExposure, std::vector<int> laser1Exposures,
                                        std::vector<int> laser2Exposures, int nonLaserWhitebalance)>;
  using UpdateCallback = std::function<void(std::shared_ptr<QVLStatus>)>;

  // The delegate must outlive the search.
  static std::shared_ptr<QVLTuning> initWithDelegate(QVLTuningDelegate* delegate);

  static const std::vector<int>& defaultExposures();

  // Each clears the cancel flag and tries every exposure; `combine` also weighs pairs of exposures.
  void findOptimalExposureForScan(bool combine, Completion completion, UpdateCallback update, qv::ErrorCallback error);
  void findOptimalCombinedExposureForScan(bool combine, Completion completion, UpdateCallback update,
                                          qv::ErrorCallback error);
  void findOptimalExposureForCalibration(bool combine, Completion completion, UpdateCallback update,
                                         qv::ErrorCallback error);

  QVLTuningDelegate* delegate() const { return delegate_; }
  const std::vector<int>& exposuresToEvaluate() const { return exposuresToEvaluate_; }
  void setExposuresToEvaluate(std::vector<int> exposures) { exposuresToEvaluate_ = std::move(exposures); }
  const std::vector<int>& cameraExposuresToEvaluate() const { return cameraExposuresToEvaluate_; }
  void setCameraExposuresToEvaluate(std::vector<int> exposures) { cameraExposuresToEvaluate_ = std::move(exposures); }
  int nonLaserExposure() const { return nonLaserExposure_; }
  int nonLaserWhitebalance() const { return nonLaserWhitebalance_; }
  // Read at the next exposure change or frame delivery.
  bool shouldCancelTuning() const { return shouldCancelTuning_.load(); }
  void setShouldCancelTuning(bool cancel) { shouldCancelTuning_.store(cancel); }
  // The setting "ShouldSaveTuningDiagnosticInformation".
  static bool shouldSaveTuningDiagnosticData();

  // Where the links of the chain run (a background queue unless set).
  void setQueue(qv::QueuePtr queue) { queue_ = std::move(queue); }

private:
  enum class Rule { Single, Complementary, Calibration };
  struct Search;

  explicit QVLTuning(QVLTuningDelegate* delegate);
  void start(Rule rule, bool combine, Completion completion, UpdateCallback update, qv::ErrorCallback error);
  void evaluateCameraAtExposure(std::shared_ptr<Search> search);
  void analyseFrames(std::shared_ptr<Search> search, int exposure, qv::SharedData reference, qv::SharedData laser1,
                     qv::SharedData laser2, qv::SharedData verification, int whiteBalance);
  void applyRule(std::shared_ptr<Search> search);
  void later(std::function<void()> task);

  QVLTuningDelegate* delegate_;
  std::vector<int> exposuresToEvaluate_;
  std::vector<int> cameraExposuresToEvaluate_;
  int nonLaserExposure_ = -1;
  int nonLaserWhitebalance_ = -1;
  std::atomic<bool> shouldCancelTuning_{false};
  qv::QueuePtr queue_;
};
