// The scan driver's capture step, its bed turns, texture photographs and the end of each pass.
#include <cmath>
#include <filesystem>

#include "acquisition/LaserPointConfirmation.h"
#include "acquisition/QVLScan.h"
#include "acquisition/QVSImageUtil.h"
#include "acquisition/TexturePose.h"
#include "platform/Format.h"
#include "platform/Log.h"
#include "platform/ParallelFor.h"
#include "platform/Settings.h"
#include "platform/UUID.h"
#include "records/QVSCalibrationDetails.h"
#include "store/QVSDPoint3D.h"
#include "store/QVSDPointCloud.h"
#include "store/QVSDScanObject.h"
#include "store/QVSDScanSlice.h"
#include "store/QVSDTexture.h"

namespace {

qv::Error scanError(int code, const char* description) { return qv::Error(qv::kScanErrorDomain, code, description); }

// Photographs are due at whole multiples of 60 degrees, reached by sums of float steps: an angle
// within this of the due one counts as reaching it.
constexpr float kTextureAngleTolerance_deg = 1e-4f;

constexpr double kDetectionThreshold = 60.0;

const char* scanningMessage(float degreesToRotate) {
  if (degreesToRotate == 0.0f) return "Scanning (Adaptive)";
  if (degreesToRotate == 0.5f) return "Scanning (Slow and Complex)";
  if (degreesToRotate == 1.0f) return "Scanning (Average)";
  if (degreesToRotate == 3.0f) return "Scanning (Fast and Simple)";
  return "Scanning";
}

std::string stepFolderName(float head, float bed) {
  return qv::format("Scan/Height_%06.2f/Rotation_%06.2f", static_cast<double>(head), static_cast<double>(bed));
}

qv::SharedData firstLaserImage(const std::vector<QVLScanResultSet>& results) {
  return results.empty() ? nullptr : results.front().laserImage;
}

}  // namespace

void QVLScan::captureAndProcessCameraImages(qv::Completion completion, UpdateCallback update, StepErrorHandler error) {
  auto delegate = this->delegate();
  if (!delegate) return;
  auto self = shared_from_this();
  asyncOperationStart("captureCameraImageSequenceForScan");
  delegate->captureCameraImageSequenceForScan(
      *this, nonLaserExposure_, nonLaserWhitebalance_, laser1Exposures_, laser2Exposures_,
      [self, completion, update, error](qv::SharedData colour, std::vector<QVLScanResultSet> laser1,
                                        std::vector<QVLScanResultSet> laser2) {
        self->asyncOperationEnd("captureCameraImageSequenceForScan");
        self->processCameraImage(std::move(colour), std::move(laser1), std::move(laser2), completion, update, error);
      },
      [self, error](const qv::Error& e) {
        self->asyncOperationEnd("captureCameraImageSequenceForScan");
        if (error) error(e);
      });
}

void QVLScan::processCameraImage(qv::SharedData colourFrame, std::vector<QVLScanResultSet> laser1Results,
                                 std::vector<QVLScanResultSet> laser2Results, qv::Completion completion,
                                 UpdateCallback update, StepErrorHandler error) {
  if (shouldCancelScan()) {
    if (error) error(scanError(kCancelledErrorCode, "Scan cancelled"));
    return;
  }
  if (shouldSaveScanData() && colourFrame)
    QVSImageUtil::saveImageData(*colourFrame, stepFolderName(currentHeadHeight(), currentBedRotation()) + "/ColourImage");
  // The analysis is the trampoline of the chain: whatever queue delivered the frames, the step
  // goes on from a fresh stack.
  auto self = shared_from_this();
  (analysisQueue_ ? analysisQueue_ : qv::globalQueue(qv::QueuePriority::Background))
      ->async([self, colourFrame = std::move(colourFrame), laser1Results = std::move(laser1Results),
               laser2Results = std::move(laser2Results), completion, update, error]() mutable {
        self->analyseStep(std::move(colourFrame), std::move(laser1Results), std::move(laser2Results), completion,
                          update, error);
      });
}

void QVLScan::deleteLastStepPoints() {
  if (stepPointsKnown_) {
    for (const auto& point : stepPoints_)
      if (!point->isDeleted()) context().deleteObject(point);
  } else if (auto scan = QVSDScanObject::scanObjectWithId(scanObjectId_, false, context())) {
    for (const auto& point : scan->points()) context().deleteObject(point);
  }
  stepPoints_.clear();
  stepPointsKnown_ = false;
}

std::vector<QVLPoint3D> QVLScan::laserPointsOfStep(int laser, const std::vector<QVLScanResultSet>& results,
                                                   const QVSImageUtil* colour, const std::string& stepFolder) {
  const bool diagnostics = shouldSaveScanData();
  std::vector<QVSImageLaserPoint> accumulated2D;
  std::vector<QVLPoint3D> accumulated3D;
  const std::string name = "Laser" + std::to_string(laser);
  for (const QVLScanResultSet& set : results) {
    const std::string exposureFolder = stepFolder + "/" + std::to_string(set.exposure);
    if (diagnostics) {
      if (set.referenceImage) QVSImageUtil::saveImageData(*set.referenceImage, exposureFolder + "/" + name + "ReferenceImage");
      if (set.laserImage) QVSImageUtil::saveImageData(*set.laserImage, exposureFolder + "/" + name + "Image");
      if (set.verificationImage)
        QVSImageUtil::saveImageData(*set.verificationImage, exposureFolder + "/" + name + "VerificationImage");
    }
    QVSImageUtil reference(set.referenceImage);
    QVSImageUtil verification(set.verificationImage);
    const QVSImageUtil laserFrame(set.laserImage);
    if (diagnostics) {
      const auto root = libraryFolder() / "QRZ" / exposureFolder;
      std::error_code ec;
      std::filesystem::create_directories(root / ("Reference" + std::to_string(laser)), ec);
      std::filesystem::create_directories(root / ("Verification" + std::to_string(laser)), ec);
      reference.setRootImageLogFolder(root / ("Reference" + std::to_string(laser)));
      verification.setRootImageLogFolder(root / ("Verification" + std::to_string(laser)));
    }
    // The two detections read the same frames and nothing else: they run side by side.
    std::optional<std::vector<QVSImageLaserPoint>> listA, listB;
    qv::runConcurrently({
        [&] { listA = reference.detectLaserPointsInImage(&laserFrame, colour, kDetectionThreshold, nullptr, nullptr, nullptr); },
        [&] { listB = verification.detectLaserPointsInImage(&laserFrame, colour, kDetectionThreshold, nullptr, nullptr, nullptr); },
    });
    const auto confirmed = qv::confirmLaserPoints(listA.value_or(std::vector<QVSImageLaserPoint>{}),
                                                  listB.value_or(std::vector<QVSImageLaserPoint>{}), accumulated2D);
    QVLogDebug("L%d Missed points:%d", laser, confirmed.missed);
    auto points3D = convertTo3dPointsFrom2dPoints(confirmed.kept, laser + 1, currentBedRotation(), currentHeadHeight());
    accumulated2D.insert(accumulated2D.end(), confirmed.kept.begin(), confirmed.kept.end());
    accumulated3D.insert(accumulated3D.end(), points3D.begin(), points3D.end());
  }
  return accumulated3D;
}

void QVLScan::analyseStep(qv::SharedData colourFrame, std::vector<QVLScanResultSet> laser1Results,
                          std::vector<QVLScanResultSet> laser2Results, qv::Completion completion, UpdateCallback update,
                          StepErrorHandler error) {
  const bool colourScans = settings().boolForKey("EnableColourScans");
  std::optional<QVSImageUtil> colour;
  if (colourScans && colourFrame) colour.emplace(colourFrame);
  const std::string stepFolder = stepFolderName(currentHeadHeight(), currentBedRotation());
  // The last step's stored points go while the frames are analysed; a block on the context's
  // queue runs before the storing below all the same.
  if (context().queue()->isCurrent()) deleteLastStepPoints();
  else context().perform([self = shared_from_this()] { self->deleteLastStepPoints(); });
  // Each laser's points come from its own frames alone, so the two lasers are analysed at once.
  std::vector<QVLPoint3D> points1, points2;
  qv::runConcurrently({
      [&] { points1 = laserPointsOfStep(1, laser1Results, colour ? &*colour : nullptr, stepFolder); },
      [&] { points2 = laserPointsOfStep(2, laser2Results, colour ? &*colour : nullptr, stepFolder); },
  });

  qv::RotationStep next;
  std::optional<qv::Error> storeError;
  context().performAndWait([&] {
    const float rotation = currentBedRotation();
    qv::Error sliceError;
    auto cloud1 = QVSDPointCloud::pointCloudWithId(laser1CloudObjectId_, context());
    auto slice1 = createSliceForPointCloud(cloud1, points1, rotation, &sliceError);
    std::shared_ptr<QVSDScanSlice> slice2;
    if (!cloud1 || slice1) {
      auto cloud2 = QVSDPointCloud::pointCloudWithId(laser2CloudObjectId_, context());
      slice2 = createSliceForPointCloud(cloud2, points2, rotation, &sliceError);
      if (cloud2 && !slice2) {
        // Keep everything stored before this step: the step's first slice goes too.
        if (slice1 && slice1->isInserted()) context().deleteObject(slice1);
        storeError = sliceError;
      }
    } else {
      storeError = sliceError;
    }
    if (storeError) {
      qv::Error saveError;
      if (!context().save(&saveError)) QVLogError("Failed to save points due to an error: %s", saveError.text().c_str());
      return;
    }
    stepPointsKnown_ = true;
    // The scan holds no stored points but this step's now: older slices have none to prune.
    const qv::RotationStep r1 = slice1 ? estimateNextRotation(slice1, false) : qv::RotationStep{};
    const qv::RotationStep r2 = slice2 ? estimateNextRotation(slice2, false) : qv::RotationStep{};
    next = r1.rotation_deg <= r2.rotation_deg ? r1 : r2;
    qv::Error saveError;
    if (!context().save(&saveError)) QVLogError("Failed to save points due to an error: %s", saveError.text().c_str());
  });
  replaceSliceAtResume_ = false;
  if (storeError) {
    if (error) error(*storeError);
    return;
  }

  if (colourScans && colourFrame && std::fabs(nextTextureImageAngle_ - currentBedRotation()) < kTextureAngleTolerance_deg)
    saveTextureImage(colourFrame);

  if (shouldPauseScan()) {
    if (error) error(scanError(kPausedErrorCode, "Scan paused"));
    return;
  }
  const float r = static_cast<float>(std::fmod(static_cast<double>(currentBedRotation()), 360.0) + next.rotation_deg);
  const qv::SharedData image1 = firstLaserImage(laser1Results);
  const qv::SharedData image2 = firstLaserImage(laser2Results);
  if (r >= 360.0f) {
    endPass(next.rotation_deg, next.interval_deg, image1, image2, completion, update, error);
    return;
  }
  sendImages(update, degreesToRotate_ == 0.0f ? "Scanning (Adaptive)" : "Scanning", r / 360.0f,
             QVLStatusTypeLaserImage, image1, QVLStatusTypeMonitorImage, image2);
  const float target = currentBedRotation() + next.rotation_deg;
  if (settings().boolForKey("EnableColourScans") && target > nextTextureImageAngle_ + kTextureAngleTolerance_deg)
    rotateBedForTextureToAngle(target, next.rotation_deg, next.interval_deg, completion, update, error);
  else
    rotateBedByDegrees(next.rotation_deg, next.interval_deg, completion, update, error);
}

void QVLScan::rotateBedByDegrees(float degrees, float lastRotation, qv::Completion completion, UpdateCallback update,
                                 StepErrorHandler error) {
  auto delegate = this->delegate();
  if (!delegate) return;
  auto self = shared_from_this();
  asyncOperationStart("rotateBedByDegrees 3");
  delegate->rotateBedByDegrees(
      degrees, *this,
      [self, lastRotation, completion, update, error](float bed, float head) {
        self->asyncOperationEnd("rotateBedByDegrees 3");
        self->storePosition(bed, head);
        self->lastBedRotation_ = lastRotation;
        self->startNextCaptureAndConversion(completion, update, error);
      },
      [self, error](const qv::Error& e) {
        self->asyncOperationEnd("rotateBedByDegrees 3");
        if (error) error(e);
      });
}

void QVLScan::rotateBedForTextureToAngle(float targetAngle, float degrees, float lastRotation,
                                         qv::Completion completion, UpdateCallback update, StepErrorHandler error) {
  auto delegate = this->delegate();
  if (!delegate) return;
  const float first = degrees - (targetAngle - nextTextureImageAngle_);
  auto self = shared_from_this();
  delegate->rotateBedByDegrees(
      first, *this,
      [self, first, degrees, lastRotation, completion, update, error](float bed, float head) {
        self->storePosition(bed, head);
        auto delegate = self->delegate();
        if (!delegate) return;
        delegate->captureCameraImageForScan(
            *self, self->nonLaserExposure_, self->nonLaserWhitebalance_,
            [self, first, degrees, lastRotation, completion, update, error](qv::SharedData frame) {
              self->saveTextureImage(frame);
              self->rotateBedByDegrees(degrees - first, lastRotation, completion, update, error);
            },
            error);
      },
      error);
}

void QVLScan::startNextCaptureAndConversion(qv::Completion completion, UpdateCallback update, StepErrorHandler error) {
  if (shouldCancelScan()) {
    if (error) error(scanError(kCancelledErrorCode, "Scan cancelled"));
    return;
  }
  auto self = shared_from_this();
  asyncOperationStart("captureImagesAndConvertTo3D(3)");
  captureImagesAndConvertTo3D(
      [self, completion] {
        self->asyncOperationEnd("captureImagesAndConvertTo3D(3)");
        if (completion) completion();
      },
      update,
      [self, error](const qv::Error& e) {
        self->asyncOperationEnd("captureImagesAndConvertTo3D(3)");
        if (error) error(e);
      });
}

// ---------------------------------------------------------------------------------------------
// Texture photographs

void QVLScan::saveTextureImage(const qv::SharedData& frame) {
  const float bed = currentBedRotation();
  if (!frame || !(bed >= 0.0f && bed < 360.0f)) return;
  const auto path = context().filesFolder() / qv::textureFileName(qv::makeUUIDString(), currentHeadHeight(), bed);
  QVSImageUtil::saveInvertedPngImage(*frame, path);
  createTextureObjectWithCameraHeight(currentHeadHeight(), nextTextureImageAngle_, path.string());
  nextTextureImageAngle_ += 60.0f;
}

bool QVLScan::createTextureObjectWithCameraHeight(float headHeight_mm, float yaw_deg, const std::string& fileName) {
  if (!calibrationDetails_) {
    QVLogWarn("No calibration to place the texture photograph %s by", fileName.c_str());
    return false;
  }
  if (shouldSaveScanData()) {
    const auto folder = libraryFolder() / "QRZ" / "Scan";
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (FILE* file = std::fopen((folder / "Calibration.json").c_str(), "w")) {
      const std::string json = qv::Settings::toJSON(calibrationDetails_->jsonDictionary());
      std::fwrite(json.data(), 1, json.size(), file);
      std::fclose(file);
    }
  }
  qv::Error poseError;
  const auto pose = qv::textureCameraPose(*calibrationDetails_, headHeight_mm, yaw_deg, &poseError);
  if (!pose) {
    QVLogWarn("Could not place the texture photograph %s: %s", fileName.c_str(), poseError.text().c_str());
    return false;
  }
  const auto& c = *calibrationDetails_;
  bool stored = false;
  context().performAndWait([&] {
    auto scan = QVSDScanObject::scanObjectWithId(scanObjectId_, true, context());
    auto texture = QVSDTexture::createTextureInScanObject(scan);
    if (!texture) return;
    texture->setTextureFileName(fileName);
    texture->setCameraPosition(pose->position);
    texture->setCameraNorm(pose->normal);
    texture->setCameraUp(pose->up);
    texture->setDistortion0(c.distortion0());
    texture->setDistortion1(c.distortion1());
    texture->setDistortion2(c.distortion2());
    texture->setDistortion3(c.distortion3());
    texture->setIntrinsicFX(c.intrinsicFX());
    texture->setIntrinsicFY(c.intrinsicFY());
    texture->setIntrinsicCX(c.intrinsicCX());
    texture->setIntrinsicCY(c.intrinsicCY());
    qv::Error error;
    if (!context().save(&error)) QVLogWarn("Could not save texture");
    stored = true;
  });
  return stored;
}

// ---------------------------------------------------------------------------------------------
// The end of a pass

void QVLScan::endPass(float nextRotation, float nextInterval, qv::SharedData laser1Image, qv::SharedData laser2Image,
                      qv::Completion completion, UpdateCallback update, StepErrorHandler error) {
  std::optional<float> average;
  {
    std::lock_guard lock(topPointsMutex_);
    if (!topPoints_.empty()) {
      float sum = 0.0f;
      for (float top : topPoints_) sum += top;
      average = sum / static_cast<float>(topPoints_.size());
    }
    topPoints_.clear();
  }
  float lowest = 0.0f, highest = 0.0f;
  calculatePossibleYRangeForHeadAtHeight(currentHeadHeight(), lowest, highest);
  const qv::PassDecision decision =
      qv::decidePassEnd(average, lowest, highest, currentHeadHeight(), millimetersToMoveHead_);
  if (decision.anotherPass)
    finishPassByRotatingBed(nextRotation, decision.raise_mm, laser1Image, laser2Image, completion, update, error);
  else
    completeScan(nextRotation, nextInterval, laser1Image, laser2Image, completion, update, error);
}

void QVLScan::finishPassByRotatingBed(float degrees, float raiseHead_mm, qv::SharedData laser1Image,
                                      qv::SharedData laser2Image, qv::Completion completion, UpdateCallback update,
                                      StepErrorHandler error) {
  sendImages(update, scanningMessage(degreesToRotate_), 0.0f, QVLStatusTypePassImage, laser1Image,
             QVLStatusTypeMonitorImage, laser2Image);
  auto delegate = this->delegate();
  if (!delegate) return;
  auto self = shared_from_this();
  asyncOperationStart("rotateBedByDegrees 1");
  delegate->rotateBedByDegrees(
      degrees, *this,
      [self, degrees, raiseHead_mm, laser1Image, laser2Image, completion, update, error](float bed, float head) {
        self->asyncOperationEnd("rotateBedByDegrees 1");
        self->storePosition(bed, head);
        self->lastBedRotation_ = degrees;
        self->finishPassByRaisingHead(raiseHead_mm, laser1Image, laser2Image, completion, update, error);
      },
      [self, error](const qv::Error& e) {
        self->asyncOperationEnd("rotateBedByDegrees 1");
        if (error) error(e);
      });
}

void QVLScan::finishPassByRaisingHead(float millimeters, qv::SharedData laser1Image, qv::SharedData laser2Image,
                                      qv::Completion completion, UpdateCallback update, StepErrorHandler error) {
  if (shouldCancelScan()) {
    if (error) error(scanError(kCancelledErrorCode, "Scan cancelled"));
    return;
  }
  sendImages(update, "Moving scan head for next pass", 0.0f, QVLStatusTypePassImage, laser1Image, 9, laser2Image);
  millimeters = qv::clampHeadRaise(currentHeadHeight(), millimeters);
  auto delegate = this->delegate();
  if (!delegate) return;
  auto self = shared_from_this();
  asyncOperationStart("moveCameraByMillimeters");
  delegate->moveHeadByMillimeters(
      millimeters, *this,
      [self, completion, update, error](float bed, float head) {
        self->asyncOperationEnd("moveCameraByMillimeters");
        self->storePosition(bed, head);
        self->startNextPass(completion, update, error);
      },
      [self, error](const qv::Error& e) {
        self->asyncOperationEnd("moveCameraByMillimeters");
        if (error) error(e);
      });
}

void QVLScan::startNextPass(qv::Completion completion, UpdateCallback update, StepErrorHandler error) {
  nextTextureImageAngle_ = 0.0f;
  ++passNumber_;
  asyncOperationStart("performBlockAndWait(4)");
  context().performAndWait([&] {
    asyncOperationEnd("performBlockAndWait(4)");
    auto scan = QVSDScanObject::scanObjectWithId(scanObjectId_, false, context());
    const QVSCalibrationDetails empty;
    const QVSCalibrationDetails& calibration = calibrationDetails_ ? *calibrationDetails_ : empty;
    auto cloud1 = createPassCloud(scan, calibration, 0);
    auto cloud2 = createPassCloud(scan, calibration, 1);
    qv::Error saveError;
    if (!context().save(&saveError)) QVLogError("Could not save data objects %s", saveError.text().c_str());
    laser1CloudObjectId_ = cloud1 ? cloud1->objectID() : qv::ObjectID();
    laser2CloudObjectId_ = cloud2 ? cloud2->objectID() : qv::ObjectID();
  });
  if (shouldCancelScan()) {
    if (error) error(scanError(kCancelledErrorCode, "Scan cancelled"));
    return;
  }
  auto delegate = this->delegate();
  if (!delegate) return;
  auto self = shared_from_this();
  delegate->captureCameraImageForScan(
      *this, nonLaserExposure_, nonLaserWhitebalance_,
      [self, completion, update, error](qv::SharedData frame) {
        if (self->settings().boolForKey("EnableColourScans")) self->saveTextureImage(frame);
        self->captureImagesAndConvertTo3D(completion, update, error);
      },
      error);
}

void QVLScan::completeScan(float nextRotation, float nextInterval, qv::SharedData laser1Image,
                           qv::SharedData laser2Image, qv::Completion completion, UpdateCallback update,
                           StepErrorHandler error) {
  const bool images = laser1Image && laser2Image;
  if (images)
    sendImages(update, "Completing scan", 1.0f, QVLStatusTypeLaserImage, laser1Image, QVLStatusTypeMonitorImage, laser2Image);
  std::optional<qv::Error> failure;
  std::vector<qv::Error> skipped;
  context().performAndWait([&] {
    qv::Error e;
    if (!savePointDataUsingContext(context(), &e, &skipped)) failure = e;
  });
  if (failure) {
    // The slices stay stored; tidying up later can write the point data again.
    if (error) error(*failure);
    return;
  }
  // A cloud whose slice file could not be read is the only part lost: the scan finishes without
  // it, and the user is told which one it was.
  for (const auto& cloud : skipped) {
    QVLogWarn("%s", cloud.description.c_str());
    if (update) update(status(cloud.description, 1.0f));
  }
  if (images)
    sendImages(update, "Finished", 1.0f, QVLStatusTypeLaserImage, laser1Image, QVLStatusTypeMonitorImage, laser2Image);
  auto delegate = this->delegate();
  if (!delegate) return;
  auto self = shared_from_this();
  delegate->rotateBedByDegrees(
      nextRotation, *this,
      [self, nextInterval, completion](float bed, float head) {
        self->storePosition(bed, head);
        self->lastBedRotation_ = nextInterval;
        if (completion) completion();
      },
      error);
}
