// The scan driver: one scan from the first head move to the saved point data, through its delegate.
#pragma once

#include <Eigen/Core>
#include <atomic>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "acquisition/AdaptiveRotation.h"
#include "acquisition/QVLScanDelegate.h"
#include "acquisition/QVLTuningDelegate.h"
#include "acquisition/QVSImageLaserPoint.h"
#include "platform/Error.h"
#include "platform/Observable.h"
#include "platform/Queue.h"
#include "records/QVLAsyncMonitor.h"
#include "records/QVLPoint3D.h"
#include "records/QVLStatus.h"
#include "store/ObjectContext.h"
#include "store/ObjectID.h"

class QVSCalibrationDetails;
class QVSDPointCloud;
class QVSDScanObject;
class QVSImageUtil;
class QVSDScanSlice;
class QVLTuning;
namespace qv {
class Settings;
}

// The driver never touches the device, the camera or the serial line: every hardware action is a
// request to its delegate, and every stored record is written in the store's private-queue
// context, one block per capture step. A step's image analysis runs on a background queue; every
// other link of the chain runs in the completion of the delegate request before it. Since every
// step passes through that queue once, a delegate that completes at once never deepens the stack.
//
// Only one step is in flight at a time, so the chain's own state needs no lock; what the screens
// and the camera watchdog read or set from other threads (flags, position) is atomic.
class QVLScan : public QVLTuningDelegate, public std::enable_shared_from_this<QVLScan> {
public:
  using UpdateCallback = std::function<void(std::shared_ptr<QVLStatus>)>;
  // The error, then where the bed (degrees) and the head (mm) were last reported.
  using ErrorCallback = std::function<void(const qv::Error& error, float bedRotation_deg, float headHeight_mm)>;
  // A step's own error handler: the position is added where the scan ends.
  using StepErrorHandler = qv::ErrorCallback;

  static constexpr int kTuningUnusableErrorCode = 5;
  static constexpr int kConnectFailedErrorCode = 7;
  static constexpr int kCancelledErrorCode = 11;
  static constexpr int kPausedErrorCode = 12;
  // A slice block could not be stored in its point cloud's vertex file (the path is in the details).
  static constexpr int kVertexFileErrorCode = 105;
  // The point data of the scan could not be written or saved at its end.
  static constexpr int kPointDataErrorCode = 106;

  static std::shared_ptr<QVLScan> init();
  // The delegate is held weakly; the application core owns both.
  static std::shared_ptr<QVLScan> initWithDelegate(std::shared_ptr<QVLScanDelegate> delegate);
  ~QVLScan() override;

  // Starts a scan of the stored scan object: a fixed bed step in degrees (0: adaptive), the head
  // raise between passes, and the exposures (a laser-off exposure of 0 or less, or no laser 1
  // exposure, tunes them first). Ends in exactly one call of the completion or the error callback,
  // on the main queue, after the scanner was disconnected.
  void buildScanWithId(const qv::ObjectID& scanObjectId, float degreesToRotateBed, float heightMMIntervalOf,
                       int nonLaserExposure, int nonLaserWhitebalance, std::vector<int> laser1Exposures,
                       std::vector<int> laser2Exposures, qv::Completion onComplete, UpdateCallback onUpdate,
                       ErrorCallback onError);
  // The same with adaptive bed steps.
  void buildScanWithId(const qv::ObjectID& scanObjectId, float heightMMIntervalOf, int nonLaserExposure,
                       int nonLaserWhitebalance, std::vector<int> laser1Exposures, std::vector<int> laser2Exposures,
                       qv::Completion onComplete, UpdateCallback onUpdate, ErrorCallback onError);
  // Goes on where a paused (or failed) scan stopped: connects again, no homing, same clouds. The
  // step at the bed angle where it stopped replaces that angle's slice rather than adding a second.
  void resumeCurrentScan(qv::Completion onComplete, UpdateCallback onUpdate, ErrorCallback onError);
  // Writes the point data of what was scanned (the core calls it when a scan is abandoned).
  void tidyUpCurrentScan();

  // --- The steps of the chain (each ends in its completion, a later step, or its error handler) ---
  void captureImagesAndConvertTo3D(qv::Completion completion, UpdateCallback update, StepErrorHandler error);
  void captureAndProcessCameraImages(qv::Completion completion, UpdateCallback update, StepErrorHandler error);
  void processCameraImage(qv::SharedData colourFrame, std::vector<QVLScanResultSet> laser1Results,
                          std::vector<QVLScanResultSet> laser2Results, qv::Completion completion,
                          UpdateCallback update, StepErrorHandler error);
  void rotateBedByDegrees(float degrees, float lastRotation, qv::Completion completion, UpdateCallback update,
                          StepErrorHandler error);
  void rotateBedForTextureToAngle(float targetAngle, float degrees, float lastRotation, qv::Completion completion,
                                  UpdateCallback update, StepErrorHandler error);
  void startNextCaptureAndConversion(qv::Completion completion, UpdateCallback update, StepErrorHandler error);
  void finishPassByRotatingBed(float degrees, float raiseHead_mm, qv::SharedData laser1Image,
                               qv::SharedData laser2Image, qv::Completion completion, UpdateCallback update,
                               StepErrorHandler error);
  void finishPassByRaisingHead(float millimeters, qv::SharedData laser1Image, qv::SharedData laser2Image,
                               qv::Completion completion, UpdateCallback update, StepErrorHandler error);
  void startNextPass(qv::Completion completion, UpdateCallback update, StepErrorHandler error);

  // --- Triangulation and the scanning area ---
  // The laser points of one frame (laser number 2 or 3) as bed-frame points at the current head
  // height and bed rotation; nothing without a calibration.
  std::vector<QVLPoint3D> convertTo3dPointsFrom2dPoints(const std::vector<QVSImageLaserPoint>& points, int laser,
                                                        float angle_deg, float height_mm) const;
  static bool isPointIsInsideScanningArea(const Eigen::Vector3d& point);
  // The lowest and highest heights (mm) a laser point of the middle image column can have and
  // still lie in the scanning area, at the current head height.
  void calculatePossibleYRangeForHeadAtHeight(float headHeight_mm, float& lowestPoint, float& highestPoint) const;

  // --- Texture photographs ---
  // Stores the frame as the photograph due now, while the bed is within its first turn.
  void saveTextureImage(const qv::SharedData& frame);
  // Stores a texture record for a photograph; false (and logged) without a usable calibration.
  bool createTextureObjectWithCameraHeight(float headHeight_mm, float yaw_deg, const std::string& fileName);

  // --- The slice store (run inside the private context's block) ---
  std::shared_ptr<QVSDScanSlice> createSliceForPointCloud(const std::shared_ptr<QVSDPointCloud>& cloud,
                                                          const std::vector<QVLPoint3D>& points, float rotation_deg,
                                                          qv::Error* error);
  qv::RotationStep estimateNextRotation(const std::shared_ptr<QVSDScanSlice>& slice);
  // Writes the scan object's vertex data with fresh normals; false with the reason.
  // A cloud whose slice file cannot be read is left out and, when `skipped` is given, listed there
  // (the others are still written and the result stays true), so one damaged file does not cost
  // the whole scan.
  bool savePointDataUsingContext(qv::ObjectContext& context, qv::Error* error, std::vector<qv::Error>* skipped = nullptr);

  // --- The tuning delegate: requests go on to this driver's delegate; points are judged here ---
  void setExposure(int exposure, QVLTuning& tuning, qv::Completion completion, qv::ErrorCallback error) override;
  void captureExposureImagesForTuning(QVLTuning& tuning, ExposureImagesCompletion completion,
                                      qv::ErrorCallback error) override;
  // Valid inside 90 mm of the bed axis and at least 5 mm above the bed.
  bool isPointValidWithExposure(int exposure, float x, int y, int laser, QVLTuning& tuning) override;

  // --- The outstanding-request monitor ---
  void asyncOperationStart(const std::string& name);
  void asyncOperationEnd(const std::string& name);
  // Name to count of the requests outstanding now.
  std::map<std::string, std::int64_t> outstandingRequests() const;

  // --- Properties ---
  std::shared_ptr<QVSCalibrationDetails const> calibrationDetails() const { return calibrationDetails_; }
  bool shouldCancelScan() const { return shouldCancelScan_.load(); }
  void setShouldCancelScan(bool cancel) { shouldCancelScan_.store(cancel); }
  bool shouldPauseScan() const { return shouldPauseScan_.load(); }
  // Tells the listeners of shouldPauseScanChanges; setting it logs what is outstanding.
  void setShouldPauseScan(bool pause);
  qv::Observable<bool>& shouldPauseScanChanges() { return pauseChanges_; }
  float adaptiveDefaultDegreesToRotate() const { return limits_.default_deg; }
  void setAdaptiveDefaultDegreesToRotate(float d) { limits_.default_deg = d; }
  float adaptiveMaximumDegreesRotation() const { return limits_.maximum_deg; }
  void setAdaptiveMaximumDegreesRotation(float d) { limits_.maximum_deg = d; }
  float adaptiveMinimumDegreesRotation() const { return limits_.minimum_deg; }
  void setAdaptiveMinimumDegreesRotation(float d) { limits_.minimum_deg = d; }
  float adaptiveAverageDistanceMax() const;
  float adaptiveAverageDistanceMin() const;
  float currentHeadHeight() const { return currentHeadHeight_.load(); }
  void setCurrentHeadHeight(float h) { currentHeadHeight_.store(h); }
  float currentBedRotation() const { return currentBedRotation_.load(); }
  void setCurrentBedRotation(float r) { currentBedRotation_.store(r); }
  float degreesToRotate() const { return degreesToRotate_; }
  void setDegreesToRotate(float d) { degreesToRotate_ = d; }
  float lastBedRotation() const { return lastBedRotation_; }
  void setLastBedRotation(float d) { lastBedRotation_ = d; }
  float millimetersToMoveHead() const { return millimetersToMoveHead_; }
  void setMillimetersToMoveHead(float mm) { millimetersToMoveHead_ = mm; }
  float nextTextureImageAngle() const { return nextTextureImageAngle_; }
  void setNextTextureImageAngle(float a) { nextTextureImageAngle_ = a; }
  int nonLaserExposure() const { return nonLaserExposure_; }
  int nonLaserWhitebalance() const { return nonLaserWhitebalance_; }
  const std::vector<int>& laser1Exposures() const { return laser1Exposures_; }
  const std::vector<int>& laser2Exposures() const { return laser2Exposures_; }
  const qv::ObjectID& scanObjectId() const { return scanObjectId_; }
  const qv::ObjectID& laser1CloudObjectId() const { return laser1CloudObjectId_; }
  const qv::ObjectID& laser2CloudObjectId() const { return laser2CloudObjectId_; }
  std::string scanTitle() const;
  // The top heights the slices of the current pass reached.
  std::vector<float> topPoints() const;
  // The setting "ShouldSaveScanDiagnosticInformation".
  bool shouldSaveScanData() const;

  // --- Where the driver works (the application's store, settings and queues unless set) ---
  void setPrivateQueueContext(qv::ObjectContextPtr context) { context_ = std::move(context); }
  void setSettings(qv::Settings* settings) { settings_ = settings; }
  void setAnalysisQueue(qv::QueuePtr queue) { analysisQueue_ = std::move(queue); }
  void setTuningQueue(qv::QueuePtr queue) { tuningQueue_ = std::move(queue); }

private:
  QVLScan();
  std::shared_ptr<QVLScanDelegate> delegate() const { return delegate_.lock(); }
  qv::ObjectContext& context();
  qv::Settings& settings() const;
  std::filesystem::path libraryFolder();
  void setScanTitle(std::string title);
  std::shared_ptr<QVLStatus> status(const std::string& message, float fraction = -1.0f) const;
  void sendImages(const UpdateCallback& update, const std::string& message, float fraction, int type1,
                  qv::SharedData image1, int type2, qv::SharedData image2) const;
  void storePosition(float bed, float head) {
    setCurrentBedRotation(bed);
    setCurrentHeadHeight(head);
  }
  qv::Completion completionWrapper(const char* delayName, const char* disconnectName, qv::Completion onComplete,
                                   ErrorCallback onError);
  StepErrorHandler errorWrapper(const char* delayName, const char* disconnectName, ErrorCallback onError);
  void tuneExposures(qv::Completion completion, UpdateCallback update, StepErrorHandler error);
  void applyTuningResult(int nonLaser, std::vector<int> laser1, std::vector<int> laser2, int whiteBalance,
                         qv::Completion completion, UpdateCallback update, StepErrorHandler error);
  void analyseStep(qv::SharedData colourFrame, std::vector<QVLScanResultSet> laser1Results,
                   std::vector<QVLScanResultSet> laser2Results, qv::Completion completion, UpdateCallback update,
                   StepErrorHandler error);
  // Deletes the stored points of the scan, which are those of the last step (on the context's queue).
  void deleteLastStepPoints();
  // The estimate without the pruning of older slices' points when the caller knows they have none.
  qv::RotationStep estimateNextRotation(const std::shared_ptr<QVSDScanSlice>& slice, bool pruneOlderPoints);
  std::vector<QVLPoint3D> laserPointsOfStep(int laser, const std::vector<QVLScanResultSet>& results,
                                            const QVSImageUtil* colour, const std::string& stepFolder);
  void endPass(float nextRotation, float nextInterval, qv::SharedData laser1Image, qv::SharedData laser2Image,
               qv::Completion completion, UpdateCallback update, StepErrorHandler error);
  void completeScan(float nextRotation, float nextInterval, qv::SharedData laser1Image, qv::SharedData laser2Image,
                    qv::Completion completion, UpdateCallback update, StepErrorHandler error);
  std::shared_ptr<QVSDPointCloud> createPassCloud(const std::shared_ptr<QVSDScanObject>& scan,
                                                  const QVSCalibrationDetails& calibration, int laser);

  std::weak_ptr<QVLScanDelegate> delegate_;
  std::atomic<bool> shouldCancelScan_{false};
  std::atomic<bool> shouldPauseScan_{false};
  qv::Observable<bool> pauseChanges_{false};
  qv::AdaptiveLimits limits_;
  std::atomic<float> currentHeadHeight_{0.0f};
  std::atomic<float> currentBedRotation_{0.0f};
  float degreesToRotate_ = 0.0f;
  float lastBedRotation_ = 0.0f;
  float millimetersToMoveHead_ = 0.0f;
  float nextTextureImageAngle_ = 0.0f;
  int nonLaserExposure_ = 0;
  int nonLaserWhitebalance_ = 0;
  std::vector<int> laser1Exposures_;
  std::vector<int> laser2Exposures_;
  std::shared_ptr<const QVSCalibrationDetails> calibrationDetails_;
  qv::ObjectID scanObjectId_;
  qv::ObjectID laser1CloudObjectId_;
  qv::ObjectID laser2CloudObjectId_;
  // Set by a resume: the first step afterwards stores over the slice at its bed angle.
  bool replaceSliceAtResume_ = false;
  // The stored points of the last step. Every step deletes the scan's stored points before storing
  // its own, so once a step has stored, the next deletes these without reading the points back.
  std::vector<std::shared_ptr<qv::ManagedObject>> stepPoints_;
  bool stepPointsKnown_ = false;
  int passNumber_ = 1;
  std::shared_ptr<QVLTuning> tuning_;
  // Each cloud's point count and coordinate sums, so that its centre follows each new slice
  // without visiting every slice again.
  struct CloudSums {
    double x = 0.0, y = 0.0, z = 0.0;
    std::int64_t count = 0;
  };
  std::map<std::int64_t, CloudSums> cloudSums_;

  mutable std::mutex titleMutex_;
  std::string scanTitle_;
  mutable std::mutex topPointsMutex_;
  std::vector<float> topPoints_;
  mutable std::mutex monitorMutex_;
  std::map<std::string, QVLAsyncMonitor> asyncRequestMonitor_;

  qv::ObjectContextPtr context_;
  qv::Settings* settings_ = nullptr;
  qv::QueuePtr analysisQueue_;
  qv::QueuePtr tuningQueue_;
};
