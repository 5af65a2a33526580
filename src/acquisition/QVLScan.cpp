// The scan driver: building and resuming a scan, its end wrappers, tuning, and the request monitor.
#include "acquisition/QVLScan.h"

#include "acquisition/LaserPointConversion.h"
#include "acquisition/QVLTuning.h"
#include "acquisition/ScannerGeometry.h"
#include "platform/Format.h"
#include "platform/Log.h"
#include "platform/Settings.h"
#include "records/QVSCalibrationDetails.h"
#include "store/QVSDPointCloud.h"
#include "store/QVSDScanObject.h"
#include "store/TBCoreDataStoreS1.h"

namespace {

qv::Error scanError(int code, const char* description) { return qv::Error(qv::kScanErrorDomain, code, description); }

std::string joined(const std::vector<int>& values) {
  std::string text;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i) text += ", ";
    text += std::to_string(values[i]);
  }
  return text;
}

}  // namespace

std::shared_ptr<QVLScan> QVLScan::init() { return std::shared_ptr<QVLScan>(new QVLScan()); }

std::shared_ptr<QVLScan> QVLScan::initWithDelegate(std::shared_ptr<QVLScanDelegate> delegate) {
  auto scan = init();
  scan->delegate_ = delegate;
  return scan;
}

QVLScan::QVLScan() = default;
QVLScan::~QVLScan() = default;

qv::ObjectContext& QVLScan::context() {
  if (!context_) context_ = TBCoreDataStoreS1::privateQueueContext();
  return *context_;
}

qv::Settings& QVLScan::settings() const { return settings_ ? *settings_ : qv::Settings::standard(); }

std::filesystem::path QVLScan::libraryFolder() { return context().libraryFolder(); }

bool QVLScan::shouldSaveScanData() const { return settings().boolForKey("ShouldSaveScanDiagnosticInformation"); }

float QVLScan::adaptiveAverageDistanceMax() const {
  return qv::adaptiveAverageDistanceMax(limits_.minimum_deg, limits_.maximum_deg);
}

float QVLScan::adaptiveAverageDistanceMin() const {
  return qv::adaptiveAverageDistanceMin(limits_.minimum_deg, limits_.maximum_deg);
}

std::string QVLScan::scanTitle() const {
  std::lock_guard lock(titleMutex_);
  return scanTitle_;
}

void QVLScan::setScanTitle(std::string title) {
  std::lock_guard lock(titleMutex_);
  scanTitle_ = std::move(title);
}

std::vector<float> QVLScan::topPoints() const {
  std::lock_guard lock(topPointsMutex_);
  return topPoints_;
}

void QVLScan::setShouldPauseScan(bool pause) {
  shouldPauseScan_.store(pause);
  if (pause) {
    std::lock_guard lock(monitorMutex_);
    QVLogInfo("/=================== Scan Pausing ===================\\");
    for (const auto& [name, monitor] : asyncRequestMonitor_) QVLogInfo("%s", monitor.description().c_str());
    QVLogInfo("\\===================================================/");
  }
  pauseChanges_.set(pause);
}

std::shared_ptr<QVLStatus> QVLScan::status(const std::string& message, float fraction) const {
  auto s = QVLStatus::statusWithType(QVLStatusTypeScan);
  s->setTitle(scanTitle());
  s->setMessage(message);
  if (fraction >= 0.0f) s->setPercentageComplete(fraction);
  return s;
}

void QVLScan::sendImages(const UpdateCallback& update, const std::string& message, float fraction, int type1,
                         qv::SharedData image1, int type2, qv::SharedData image2) const {
  if (!update) return;
  auto s = status(message, fraction);
  s->setChildren({QVLStatus::statusWithType(type1, std::move(image1)), QVLStatus::statusWithType(type2, std::move(image2))});
  update(s);
}

// ---------------------------------------------------------------------------------------------
// The request monitor

void QVLScan::asyncOperationStart(const std::string& name) {
  std::lock_guard lock(monitorMutex_);
  auto it = asyncRequestMonitor_.find(name);
  if (it == asyncRequestMonitor_.end()) it = asyncRequestMonitor_.emplace(name, QVLAsyncMonitor(name)).first;
  else it->second.operationStarted();
  if (!qv::log::enabled(qv::log::Level::Verbose)) return;
  QVLogVerbose("/=================== Scan Start ===================\\");
  for (const auto& [key, monitor] : asyncRequestMonitor_)
    if (monitor.activeCount() != 0 || key == name)
      QVLogVerbose("%s%s", key == name ? "*" : " ", monitor.description().c_str());
  QVLogVerbose("\\==================================================/");
}

void QVLScan::asyncOperationEnd(const std::string& name) {
  std::lock_guard lock(monitorMutex_);
  auto it = asyncRequestMonitor_.find(name);
  if (it == asyncRequestMonitor_.end()) return;
  it->second.operationEnded();
  if (!qv::log::enabled(qv::log::Level::Verbose)) return;
  QVLogVerbose("/=================== Scan End ===================\\");
  for (const auto& [key, monitor] : asyncRequestMonitor_)
    if (monitor.activeCount() != 0 || key == name)
      QVLogVerbose("%s%s", key == name ? "*" : " ", monitor.description().c_str());
  QVLogVerbose("\\================================================/");
}

std::map<std::string, std::int64_t> QVLScan::outstandingRequests() const {
  std::lock_guard lock(monitorMutex_);
  std::map<std::string, std::int64_t> out;
  for (const auto& [name, monitor] : asyncRequestMonitor_)
    if (monitor.activeCount() != 0) out[name] = monitor.activeCount();
  return out;
}

// ---------------------------------------------------------------------------------------------
// The end of a scan: 0.1 s later on the main queue, disconnect, then tell the caller

qv::Completion QVLScan::completionWrapper(const char* delayName, const char* disconnectName, qv::Completion onComplete,
                                          ErrorCallback onError) {
  std::weak_ptr<QVLScan> weak = weak_from_this();
  return [weak, delayName = std::string(delayName), disconnectName = std::string(disconnectName), onComplete,
          onError] {
    auto self = weak.lock();
    if (!self) return;
    self->asyncOperationStart(delayName);
    qv::after(qv::seconds(0.1), qv::mainQueue(), [self, delayName, disconnectName, onComplete, onError] {
      self->asyncOperationEnd(delayName);
      auto delegate = self->delegate();
      if (!delegate) {
        if (onComplete) onComplete();
        return;
      }
      self->asyncOperationStart(disconnectName);
      delegate->disconnectFromScannerForScan(
          *self,
          [self, disconnectName, onComplete] {
            self->asyncOperationEnd(disconnectName);
            if (onComplete) onComplete();
          },
          [self, disconnectName, onError](const qv::Error& e) {
            self->asyncOperationEnd(disconnectName);
            if (onError) onError(e, self->currentBedRotation(), self->currentHeadHeight());
          });
    });
  };
}

QVLScan::StepErrorHandler QVLScan::errorWrapper(const char* delayName, const char* disconnectName,
                                                ErrorCallback onError) {
  std::weak_ptr<QVLScan> weak = weak_from_this();
  return [weak, delayName = std::string(delayName), disconnectName = std::string(disconnectName),
          onError](const qv::Error& error) {
    auto self = weak.lock();
    if (!self) return;
    self->asyncOperationStart(delayName);
    qv::after(qv::seconds(0.1), qv::mainQueue(), [self, delayName, disconnectName, onError, error] {
      self->asyncOperationEnd(delayName);
      auto report = [self, onError, error] {
        if (onError) onError(error, self->currentBedRotation(), self->currentHeadHeight());
      };
      auto delegate = self->delegate();
      if (!delegate) return report();
      self->asyncOperationStart(disconnectName);
      delegate->disconnectFromScannerForScan(
          *self,
          [self, disconnectName, report] {
            self->asyncOperationEnd(disconnectName);
            report();
          },
          [self, disconnectName, report](const qv::Error&) {
            self->asyncOperationEnd(disconnectName);
            report();
          });
    });
  };
}

// ---------------------------------------------------------------------------------------------
// Building and resuming

void QVLScan::buildScanWithId(const qv::ObjectID& scanObjectId, float heightMMIntervalOf, int nonLaserExposure,
                              int nonLaserWhitebalance, std::vector<int> laser1Exposures,
                              std::vector<int> laser2Exposures, qv::Completion onComplete, UpdateCallback onUpdate,
                              ErrorCallback onError) {
  buildScanWithId(scanObjectId, 0.0f, heightMMIntervalOf, nonLaserExposure, nonLaserWhitebalance,
                  std::move(laser1Exposures), std::move(laser2Exposures), std::move(onComplete), std::move(onUpdate),
                  std::move(onError));
}

std::shared_ptr<QVSDPointCloud> QVLScan::createPassCloud(const std::shared_ptr<QVSDScanObject>& scan,
                                                         const QVSCalibrationDetails& calibration, int laser) {
  auto cloud = QVSDPointCloud::createPointCloudForScanObject(scan, calibration, currentHeadHeight(), laser);
  // A scan file names each cloud by its identifier and stamps the cloud's vertices with it, and a
  // reopened scan numbers its clouds by their count: one number for both keeps them linked.
  if (cloud) cloud->setReferenceId(cloud->lookupId().value_or(0));
  return cloud;
}

void QVLScan::buildScanWithId(const qv::ObjectID& scanObjectId, float degreesToRotateBed, float heightMMIntervalOf,
                              int nonLaserExposure, int nonLaserWhitebalance, std::vector<int> laser1Exposures,
                              std::vector<int> laser2Exposures, qv::Completion onComplete, UpdateCallback onUpdate,
                              ErrorCallback onError) {
  setScanTitle("Scan");
  auto complete = completionWrapper("dispatch_after 1", "disconnectFromScannerForScan 1", onComplete, onError);
  auto fail = errorWrapper("dispatch_after 2", "disconnectFromScannerForScan 2", onError);
  scanObjectId_ = scanObjectId;
  nonLaserExposure_ = nonLaserExposure;
  nonLaserWhitebalance_ = nonLaserWhitebalance;
  laser1Exposures_ = std::move(laser1Exposures);
  laser2Exposures_ = std::move(laser2Exposures);
  shouldCancelScan_.store(false);
  shouldPauseScan_.store(false);
  replaceSliceAtResume_ = false;
  stepPointsKnown_ = false;
  passNumber_ = 1;
  nextTextureImageAngle_ = 0.0f;

  auto delegate = this->delegate();
  qv::Error connectError;
  if (!delegate || !delegate->connectToScannerForScan(*this, &connectError)) {
    fail(scanError(kConnectFailedErrorCode, "Could not connect to the scanner"));
    return;
  }
  calibrationDetails_ = delegate->calibrationDetailsForScan(*this);
  if (onUpdate) onUpdate(status("Moving the scan head into position"));
  const float raise = nonLaserExposure_ > 0 && !laser1Exposures_.empty() ? 1.0f : 0.0f;
  auto self = shared_from_this();
  asyncOperationStart("home");
  delegate->homeScannerForScan(
      *this, raise,
      [self, degreesToRotateBed, heightMMIntervalOf, complete, onUpdate, fail](float bed, float head) {
        self->asyncOperationEnd("home");
        self->storePosition(bed, head);
        self->asyncOperationStart("performBlockAndWait 2");
        self->context().performAndWait([&] {
          self->asyncOperationEnd("performBlockAndWait 2");
          auto scan = QVSDScanObject::scanObjectWithId(self->scanObjectId_, false, self->context());
          std::shared_ptr<const QVSCalibrationDetails> aligned;
          if (self->calibrationDetails_) aligned = self->calibrationDetails_->calibrationAdjustedToBedOrientation();
          const QVSCalibrationDetails empty;
          const QVSCalibrationDetails& calibration = aligned ? *aligned : (self->calibrationDetails_ ? *self->calibrationDetails_ : empty);
          auto cloud1 = self->createPassCloud(scan, calibration, 0);
          auto cloud2 = self->createPassCloud(scan, calibration, 1);
          qv::Error error;
          if (!self->context().save(&error)) QVLogError("Could not save data objects %s", error.text().c_str());
          self->laser1CloudObjectId_ = cloud1 ? cloud1->objectID() : qv::ObjectID();
          self->laser2CloudObjectId_ = cloud2 ? cloud2->objectID() : qv::ObjectID();
        });
        self->degreesToRotate_ = degreesToRotateBed;
        self->millimetersToMoveHead_ = heightMMIntervalOf;
        if (self->shouldCancelScan()) return fail(scanError(kCancelledErrorCode, "Scan cancelled"));
        self->asyncOperationStart("captureImagesAndConvertTo3D 1");
        self->captureImagesAndConvertTo3D(
            [self, complete] {
              self->asyncOperationEnd("captureImagesAndConvertTo3D 1");
              complete();
            },
            onUpdate,
            [self, fail](const qv::Error& e) {
              self->asyncOperationEnd("captureImagesAndConvertTo3D 1");
              fail(e);
            });
      },
      [self, onError](const qv::Error& e) {
        // The first homing failed: the caller hears of it at once and the scanner stays connected.
        self->asyncOperationEnd("home");
        if (onError) onError(e, self->currentBedRotation(), self->currentHeadHeight());
      });
}

void QVLScan::resumeCurrentScan(qv::Completion onComplete, UpdateCallback onUpdate, ErrorCallback onError) {
  auto complete = completionWrapper("dispatch_after 3", "disconnectFromScannerForScan 3", onComplete, onError);
  auto fail = errorWrapper("dispatch_after(4)", "disconnectFromScannerForScan(4)", onError);
  shouldCancelScan_.store(false);
  shouldPauseScan_.store(false);
  auto delegate = this->delegate();
  qv::Error connectError(qv::kScanErrorDomain, kConnectFailedErrorCode, "Could not connect to the scanner");
  if (!delegate || !delegate->connectToScannerForScan(*this, &connectError)) {
    fail(connectError);
    return;
  }
  calibrationDetails_ = delegate->calibrationDetailsForScan(*this);
  replaceSliceAtResume_ = true;
  stepPointsKnown_ = false;
  auto self = shared_from_this();
  asyncOperationStart("captureImagesAndConvertTo3D(2)");
  captureImagesAndConvertTo3D(
      [self, complete] {
        self->asyncOperationEnd("captureImagesAndConvertTo3D(2)");
        complete();
      },
      onUpdate,
      [self, fail](const qv::Error& e) {
        self->asyncOperationEnd("captureImagesAndConvertTo3D(2)");
        fail(e);
      });
}

void QVLScan::tidyUpCurrentScan() {
  QVLogInfo("Completing scan");
  context().performAndWait([&] {
    qv::Error error;
    if (!savePointDataUsingContext(context(), &error)) QVLogWarn("Could not save point data:%s", error.text().c_str());
  });
}

// ---------------------------------------------------------------------------------------------
// The capture loop and exposure tuning

void QVLScan::captureImagesAndConvertTo3D(qv::Completion completion, UpdateCallback update, StepErrorHandler error) {
  if (shouldCancelScan()) {
    if (error) error(scanError(kCancelledErrorCode, "Scan cancelled"));
    return;
  }
  setScanTitle("Pass " + std::to_string(passNumber_));
  if (nonLaserExposure_ > 0 && !laser1Exposures_.empty()) {
    captureAndProcessCameraImages(std::move(completion), std::move(update), std::move(error));
    return;
  }
  tuneExposures(std::move(completion), std::move(update), std::move(error));
}

void QVLScan::tuneExposures(qv::Completion completion, UpdateCallback update, StepErrorHandler error) {
  auto delegate = this->delegate();
  if (!delegate) return;
  auto self = shared_from_this();
  delegate->moveHeadByMillimeters(
      30.0f, *this,
      [self, completion, update, error](float bed, float head) {
        self->storePosition(bed, head);
        self->tuning_ = QVLTuning::initWithDelegate(self.get());
        if (self->tuningQueue_) self->tuning_->setQueue(self->tuningQueue_);
        const bool separate = self->settings().boolForKey("DisableCombinedLaserExposures");
        const bool highContrast = self->settings().boolForKey("EnableHighContrastScanning");
        const std::string request = separate ? "findOptimalExposureForScan" : "findOptimalCombinedExposureForScan";
        self->asyncOperationStart(request);
        auto onTuned = [self, request, completion, update, error](int nonLaser, std::vector<int> l1, std::vector<int> l2,
                                                                 int whiteBalance) {
          self->asyncOperationEnd(request);
          self->applyTuningResult(nonLaser, std::move(l1), std::move(l2), whiteBalance, completion, update, error);
        };
        auto onTuningUpdate = [self, update](std::shared_ptr<QVLStatus> tuningStatus) {
          if (update) update(self->status("Determining optimal exposure", tuningStatus->percentageComplete()));
        };
        auto onTuningError = [self, request, error](const qv::Error& tuningError) {
          self->asyncOperationEnd(request);
          auto delegate = self->delegate();
          if (!delegate) return;
          delegate->homeScannerForScan(
              *self,
              [self, error, tuningError](float bed, float head) {
                self->storePosition(bed, head);
                if (error) error(tuningError);
              },
              error);
        };
        if (separate) self->tuning_->findOptimalExposureForScan(highContrast, onTuned, onTuningUpdate, onTuningError);
        else self->tuning_->findOptimalCombinedExposureForScan(highContrast, onTuned, onTuningUpdate, onTuningError);
      },
      error);
}

void QVLScan::applyTuningResult(int nonLaser, std::vector<int> laser1, std::vector<int> laser2, int whiteBalance,
                                qv::Completion completion, UpdateCallback update, StepErrorHandler error) {
  if (nonLaser < 1 || laser1.empty() || laser2.empty()) {
    if (error) error(scanError(kTuningUnusableErrorCode, "Exposure tuning found no usable exposures"));
    return;
  }
  nonLaserExposure_ = nonLaser;
  nonLaserWhitebalance_ = whiteBalance;
  if (settings().boolForKey("EnableHighContrastScanning")) {
    laser1Exposures_ = laser1;
    laser2Exposures_ = laser2;
  } else {
    laser1Exposures_ = {laser1.front()};
    laser2Exposures_ = {laser2.front()};
  }
  QVLogInfo("************** Starting Scan Using Tuning Results *************");
  QVLogInfo(" Non-laser exposure:%d", nonLaserExposure_);
  QVLogInfo("      White balance:%d", nonLaserWhitebalance_);
  QVLogInfo("Laser 1 exposure(s):%s", joined(laser1Exposures_).c_str());
  QVLogInfo("Laser 2 exposure(s):%s", joined(laser2Exposures_).c_str());
  QVLogInfo("***************************************************************");
  settings().setValue("CameraNonLaserExposureSetting", nonLaserExposure_);
  settings().setValue("CameraNonLaserWhitebalanceSetting", nonLaserWhitebalance_);
  settings().setValue("CameraLaser2ExposureSetting", joined(laser2));
  settings().setValue("CameraLaser1ExposureSetting", joined(laser1));
  auto delegate = this->delegate();
  if (!delegate) return;
  auto self = shared_from_this();
  delegate->homeScannerForScan(
      *this, 1.0f,
      [self, completion, update, error](float bed, float head) {
        self->storePosition(bed, head);
        self->captureAndProcessCameraImages(completion, update, error);
      },
      error);
}

// ---------------------------------------------------------------------------------------------
// Triangulation for the scan and for tuning

std::vector<QVLPoint3D> QVLScan::convertTo3dPointsFrom2dPoints(const std::vector<QVSImageLaserPoint>& points, int laser,
                                                               float angle_deg, float /*height_mm*/) const {
  if (!calibrationDetails_) return {};
  const QVLScannerCalibration calibration = calibrationDetails_->scannerCalibration();
  return qv::convertTo3dPoints(&calibration, points, laser, angle_deg, currentBedRotation(), currentHeadHeight());
}

bool QVLScan::isPointIsInsideScanningArea(const Eigen::Vector3d& point) { return qv::isPointInsideScanningArea(point); }

void QVLScan::calculatePossibleYRangeForHeadAtHeight(float /*headHeight_mm*/, float& lowestPoint,
                                                     float& highestPoint) const {
  const QVLScannerCalibration calibration =
      calibrationDetails_ ? calibrationDetails_->scannerCalibration() : QVLScannerCalibration{};
  const ScannerGeometry geometry = ScannerGeometryFromCalibration(calibration, currentHeadHeight());
  const float angle = static_cast<float>(currentBedRotation() / 180.0 * 3.1415927);
  auto inside = [&](double row, int laser, float& y) {
    Eigen::Vector3d point, normal;
    if (!TriangulateLaserPixel(geometry, 640.0, row, laser, angle, point, normal)) return false;
    if (!qv::isPointInsideScanningArea(point)) return false;
    y = static_cast<float>(point.y());
    return true;
  };
  float highest = 0.0f, lowest = 0.0f, y = 0.0f;
  if (inside(0.0, 2, y)) highest = y;
  if (inside(0.0, 3, y)) highest = std::max(highest, y);
  if (inside(959.0, 2, y)) lowest = y;
  if (inside(959.0, 3, y)) lowest = std::min(lowest, y);
  lowestPoint = lowest;
  highestPoint = highest;
}

void QVLScan::setExposure(int exposure, QVLTuning& tuning, qv::Completion completion, qv::ErrorCallback error) {
  if (auto delegate = this->delegate()) delegate->setExposure(exposure, tuning, std::move(completion), std::move(error));
}

void QVLScan::captureExposureImagesForTuning(QVLTuning& tuning, ExposureImagesCompletion completion,
                                             qv::ErrorCallback error) {
  if (auto delegate = this->delegate())
    delegate->captureExposureImagesForTuning(tuning, std::move(completion), std::move(error));
}

bool QVLScan::isPointValidWithExposure(int /*exposure*/, float x, int y, int laser, QVLTuning& /*tuning*/) {
  const QVLScannerCalibration calibration =
      calibrationDetails_ ? calibrationDetails_->scannerCalibration() : QVLScannerCalibration{};
  const ScannerGeometry geometry = ScannerGeometryFromCalibration(calibration, currentHeadHeight());
  const float angle = static_cast<float>(currentBedRotation() / 180.0 * M_PI);
  Eigen::Vector3d point, normal;
  if (!TriangulateLaserPixel(geometry, x, y, laser, angle, point, normal)) return false;
  const float px = static_cast<float>(point.x());
  const float pz = static_cast<float>(point.z());
  return px * px + pz * pz < 8100.0f && static_cast<float>(point.y()) >= 5.0f;
}
