// The calibration controller: both passes, the capture at each head height, and the analysis.
#include "calibration/QVLCalibration.h"

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "acquisition/QVSImageUtil.h"
#include "calibration/QVLCalibrationUtil.h"
#include "platform/Format.h"
#include "platform/Log.h"
#include "platform/Paths.h"
#include "platform/Settings.h"
#include "records/QVSCalibrationDetails.h"

namespace fs = std::filesystem;

namespace {

constexpr int kCancelled = 1;
constexpr int kUnusableImages = 2;
constexpr int kAnalysisFailed = 4;
constexpr int kNoImage = 5;
constexpr int kBoardNotFound = 6;
constexpr int kWrongFrameSize = 9;
constexpr int kNoUsableExposure = 10;

constexpr double kSearchTurn_deg = 30.0;
constexpr double kSearchLimit_deg = 360.0;
constexpr double kSweepStep_deg = 10.0;
constexpr float kTopHeadRise_mm = 76.0f;
constexpr float kBottomHeadRise_mm = 25.0f;
constexpr double kDegreesPerRadian = 57.29577951308232;

std::shared_ptr<QVLStatus> calibrationStatus(const char* title, const char* message = nullptr,
                                             std::optional<float> percentage = std::nullopt) {
  auto status = QVLStatus::statusWithType(QVLStatusTypeCalibration);
  status->setTitle(title);
  if (message) status->setMessage(message);
  if (percentage) status->setPercentageComplete(*percentage);
  return status;
}

// An update callback that gives every status without a message this one before handing it on;
// nothing when there is no callback to hand on to.
QVLCalibration::UpdateCallback withMessage(QVLCalibration::UpdateCallback update, std::string message) {
  if (!update) return nullptr;
  return [update, message](std::shared_ptr<QVLStatus> status) {
    if (status && status->message().empty()) status->setMessage(message);
    update(std::move(status));
  };
}

void send(const QVLCalibration::UpdateCallback& update, std::shared_ptr<QVLStatus> status) {
  if (update) update(std::move(status));
}

bool fullFrame(const qv::SharedData& frame) { return frame && frame->size() == QVSImageUtil::kFrameBytes; }

const char* errorText(int code) {
  switch (code) {
    case kCancelled: return "Calibration cancelled";
    case kUnusableImages: return "The calibration frames are not usable";
    case kAnalysisFailed: return "The calibration could not be analysed";
    case kNoImage: return "The camera gave no frame";
    case kBoardNotFound: return "The calibration target was not found";
    case kWrongFrameSize: return "A camera frame has the wrong size";
    case kNoUsableExposure: return "No usable exposure";
    default: return "Calibration failed";
  }
}

// The dictionary form of a view as JSON, keys in the order of the form.
nlohmann::ordered_json viewJson(const QVLCalibrationPoints2D& view) {
  const qv::Dictionary d = dictionaryWithCalibrationPoints2D(view);
  auto points = [&](const char* key) {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const auto& p : *d.at(key).array()) {
      const qv::Dictionary& point = *p.dictionary();
      nlohmann::ordered_json q;
      for (const char* axis : {"x", "y", "z"})
        if (point.count(axis)) q[axis] = point.at(axis).toDouble();
      list.push_back(q);
    }
    return list;
  };
  nlohmann::ordered_json v;
  v["boxPosition"] = *d.at("boxPosition").string();
  v["checkerboardCoordinates2D"] = points("checkerboardCoordinates2D");
  v["checkerboardCoordinates3D"] = points("checkerboardCoordinates3D");
  v["headHeight"] = view.headHeight;
  v["laser1Points2D"] = points("laser1Points2D");
  v["laser2Points2D"] = points("laser2Points2D");
  v["headPosition"] = *d.at("headPosition").string();
  return v;
}

}  // namespace

std::shared_ptr<QVLCalibration> QVLCalibration::initWithDelegate(QVLCalibrationDelegate* delegate) {
  return std::make_shared<QVLCalibration>(delegate);
}

QVLCalibration::QVLCalibration(QVLCalibrationDelegate* delegate)
    : delegate_(delegate), queue_(qv::makeSerialQueue("com.quorvel.CalibrationQueue")) {}

bool QVLCalibration::shouldSaveCalibrationData() {
  return qv::Settings::standard().boolForKey("ShouldSaveCalibrationDiagnosticInformation");
}

std::optional<QVLCalibration::AnalysisOutcome> QVLCalibration::lastAnalysis() const {
  std::lock_guard lock(outcomeMutex_);
  return lastAnalysis_;
}

void QVLCalibration::later(qv::Task task) { queue_->async(std::move(task)); }

void QVLCalibration::store(float bedRotation, float headHeight) {
  currentBedRotation_ = bedRotation;
  currentHeadHeight_ = headHeight;
}

void QVLCalibration::fail(const qv::ErrorCallback& error, int code, qv::Dictionary userInfo) {
  if (error) error(qv::Error(qv::kScanErrorDomain, code, errorText(code), std::move(userInfo)));
}

qv::ErrorCallback QVLCalibration::makeFailureHandler(qv::ErrorCallback passError) {
  auto self = shared_from_this();
  return [self, passError](const qv::Error& error) {
    QVLogWarn("Calibration failed");
    QVLogWarn("%s", error.text().c_str());
    qv::mainQueue()->async([self, passError, error] {
      QVLCalibrationDelegate* delegate = self->delegate_;
      if (!delegate) {
        if (passError) passError(error);
        return;
      }
      delegate->disconnectFromScannerForCalibration(
          *self, [passError, error] { if (passError) passError(error); }, passError);
    });
  };
}

bool QVLCalibration::cancelTest(const qv::ErrorCallback& error) {
  if (!shouldCancelCalibration()) return false;
  fail(error, kCancelled);
  return true;
}

// ---- first pass ----

void QVLCalibration::calibrateScannerStep1UsingDevice(int /*device*/, qv::Completion completion, UpdateCallback update,
                                                      qv::ErrorCallback error) {
  if (!delegate_) {
    if (error) error(qv::Error(qv::kScanErrorDomain, kUnusableImages, "No calibration delegate",
                               qv::Dictionary{{"Parameter", "delegate"}}));
    return;
  }
  if (shouldSaveCalibrationData()) {
    std::error_code ec;
    const fs::path folder = qv::paths::applicationLibraryPath() / "QRZ" / "Calibration";
    if (fs::exists(folder, ec)) fs::remove_all(folder, ec);
  }
  auto fail = makeFailureHandler(error);
  qv::Error connectError;
  if (!delegate_->connectToScannerForCalibration(*this, &connectError)) {
    fail(connectError);
    return;
  }
  setShouldCancelCalibration(false);
  send(update, calibrationStatus("Calibration", "Moving the scan head into position"));

  auto self = shared_from_this();
  delegate_->homeScannerForCalibration(*this, 0.0f, [self, completion, update, fail](float angle, float height) {
    self->later([self, completion, update, fail, angle, height] {
      self->store(angle, height);
      if (self->cancelTest(fail)) return;
      self->delegate_->moveHeadByMillimeters(kBottomHeadRise_mm, *self, [self, completion, update, fail](float a, float h) {
        self->later([self, completion, update, fail, a, h] {
          self->store(a, h);
          // Every end of a pass, a cancel included, leaves the scanner disconnected.
          if (self->cancelTest(fail)) return;
          auto positionDone = [self, completion, update, fail] {
            QVLogInfo("Calibrate done at angle %f(%f) between %f and %f", self->currentBedRotation_,
                      self->currentXRotation_, self->rotationStartAngle_, self->rotationEndAngle_);
            send(update, calibrationStatus("Calibration", "Moving the scan bed into position"));
            const float turn = self->rotationEndAngle_ == 35.0 ? -50.0f : 60.0f;
            self->delegate_->rotateBedByDegrees(turn, *self, [self, completion, update, fail](float angle, float) {
              self->later([self, completion, update, fail, angle] {
                send(update, calibrationStatus("Calibration", "Moving the scan bed into position"));
                self->delegate_->homeScannerForCalibration(*self, angle, [self, completion, fail](float a2, float h2) {
                  self->later([self, completion, fail, a2, h2] {
                    self->store(a2, h2);
                    self->delegate_->disconnectFromScannerForCalibration(
                        *self, [completion] { if (completion) completion(); }, fail);
                  });
                }, fail);
              });
            }, fail);
          };
          self->calibrateFirstBoxPosition(positionDone, withMessage(update, "Calibration - Pass 1/4"), fail);
        });
      }, fail);
    });
  }, fail);
}

// ---- target positions ----

void QVLCalibration::keepIntermediateViews(int boxPosition, int headPosition) {
  for (auto view : intermediateCalibrations_) {
    view.boxPosition = boxPosition;
    view.headPosition = headPosition;
    calibrations_.push_back(std::move(view));
  }
}

void QVLCalibration::calibrateFirstBoxPosition(qv::Completion completion, UpdateCallback update,
                                               qv::ErrorCallback error) {
  send(update, calibrationStatus("Calibration", nullptr, 0.0f));
  captureBothHeadHeights(1, "Pass 1/4", "Pass 2/4", std::move(completion), std::move(update), std::move(error));
}

void QVLCalibration::calibrateSecondBoxPosition(qv::Completion completion, UpdateCallback update,
                                                qv::ErrorCallback error) {
  send(update, calibrationStatus("Calibration", nullptr, 0.0f));
  send(update, calibrationStatus("Calibration", "Moving the scan head into position"));
  auto self = shared_from_this();
  delegate_->moveHeadByMillimeters(kBottomHeadRise_mm, *this, [self, completion, update, error](float a, float h) {
    self->later([self, completion, update, error, a, h] {
      self->store(a, h);
      self->captureBothHeadHeights(2, "Pass 3/4", "Pass 4/4", completion, update, error);
    });
  }, error);
}

void QVLCalibration::captureBothHeadHeights(int boxPosition, const char* bottomPass, const char* topPass,
                                            qv::Completion completion, UpdateCallback update,
                                            qv::ErrorCallback error) {
  intermediateCalibrations_.clear();
  // Each head height's search gets a full turn of its own (see captureImagesAndCalibrateCamera).
  currentXRotation_ = 0.0;
  auto self = shared_from_this();
  captureImagesAndCalibrateCamera([self, boxPosition, topPass, completion, update, error] {
    self->keepIntermediateViews(boxPosition, 1);
    send(update, calibrationStatus("Calibration", "Moving the scan head into position"));
    self->delegate_->moveHeadByMillimeters(kTopHeadRise_mm, *self, [self, boxPosition, topPass, completion, update,
                                                                    error](float a, float h) {
      self->later([self, boxPosition, topPass, completion, update, error, a, h] {
        self->store(a, h);
        send(update, calibrationStatus("Calibration", topPass, 0.0f));
        self->intermediateCalibrations_.clear();
        self->currentXRotation_ = 0.0;
        self->captureImagesAndCalibrateCameraWithCurrentExposureValues([self, boxPosition, completion] {
          self->keepIntermediateViews(boxPosition, 2);
          if (completion) completion();
        }, withMessage(update, topPass), error);
      });
    }, error);
  }, withMessage(update, bottomPass), error);
}

// ---- capture at one head height ----

void QVLCalibration::captureImagesAndCalibrateCamera(qv::Completion completion, UpdateCallback update,
                                                     qv::ErrorCallback error) {
  if (cancelTest(error)) return;
  const bool stored = !laser1Exposures_.empty() && laser1Exposures_.front() > 0 && !laser2Exposures_.empty() &&
                      laser2Exposures_.front() > 0 && nonLaserExposure_ > 0;
  if (stored) {
    captureImagesAndCalibrateCameraWithCurrentExposureValues(std::move(completion), std::move(update),
                                                             std::move(error));
    return;
  }
  send(update, calibrationStatus("Calibration", nullptr, 0.0f));
  auto self = shared_from_this();
  tuning_ = QVLTuning::initWithDelegate(this);
  tuning_->findOptimalExposureForCalibration(
      false,
      [self, completion, update, error](int nonLaser, std::vector<int> laser1, std::vector<int> laser2,
                                        int whiteBalance) {
        self->later([self, completion, update, error, nonLaser, laser1, laser2, whiteBalance] {
          self->tuning_.reset();
          // A result that still leaves an exposure unset would send the capture back to tuning
          // for ever; it is no usable exposure.
          const bool usable = !laser1.empty() && !laser2.empty() && laser1.front() > 0 && laser2.front() > 0 &&
                              nonLaser > 0;
          if (!usable) {
            const char* reason =
                nonLaser == 2
                    ? "Please ensure the calibration box is properly placed on the scanner bed and is not too brightly lit"
                    : "Please ensure the calibration box is properly placed on the scanner bed and has good lighting";
            self->fail(error, kNoUsableExposure, qv::Dictionary{{"Reason", reason}});
            return;
          }
          self->nonLaserWhitebalance_ = whiteBalance;
          self->nonLaserExposure_ = nonLaser;
          self->laser1Exposures_ = laser1;
          self->laser2Exposures_ = laser2;
          self->captureImagesAndCalibrateCameraWithCurrentExposureValues(completion, update, error);
        });
      },
      update,
      [self, error](const qv::Error& e) {
        self->later([self, error, e] {
          self->tuning_.reset();
          if (error) error(e);
        });
      });
}

std::string QVLCalibration::stepFolder() const {
  return qv::format("Calibration/Height_%06.2f/Rotation_%s%05.1f", currentHeadHeight_,
                    currentBedRotation_ < 0.0f ? "-" : "+", std::fabs(currentBedRotation_));
}

void QVLCalibration::captureImagesAndCalibrateCameraWithCurrentExposureValues(qv::Completion completion,
                                                                              UpdateCallback update,
                                                                              qv::ErrorCallback error) {
  auto self = shared_from_this();
  delegate_->captureSingleImageForCalibration(*this, nonLaserExposure_, [self, completion, update, error] {
    self->later([self, completion, update, error] {
      const auto images = self->delegate_->calibrationImages();
      if (images.empty() || !images.front()) return self->fail(error, kNoImage);
      const qv::SharedData frame = images.front();
      if (!fullFrame(frame)) return self->fail(error, kWrongFrameSize);
      if (shouldSaveCalibrationData()) QVSImageUtil::saveImageData(*frame, self->stepFolder() + "/FindCornersImage");
      if (!FindCheckerboardCorners(*frame, nullptr, BoardSearch::QuickRejectFirst)) {
        if (self->currentXRotation_ >= kSearchLimit_deg) return self->fail(error, kBoardNotFound);
        self->currentXRotation_ += kSearchTurn_deg;
        self->delegate_->rotateBedByDegrees(static_cast<float>(kSearchTurn_deg), *self,
                                            [self, completion, update, error](float a, float h) {
          self->later([self, completion, update, error, a, h] {
            self->store(a, h);
            if (self->cancelTest(error)) return;
            self->captureImagesAndCalibrateCamera(completion, update, error);
          });
        }, error);
        return;
      }
      if (update) {
        auto status = calibrationStatus("Calibration", nullptr, 0.0f);
        status->setChildren({QVLStatus::statusWithType(QVLStatusTypeCalibrationImage, frame)});
        update(status);
      }
      const int laser1 = self->laser1Exposures_.empty() ? 0 : self->laser1Exposures_.front();
      const int laser2 = self->laser2Exposures_.empty() ? 0 : self->laser2Exposures_.front();
      self->delegate_->captureCameraImageSequenceForCalibration(*self, self->nonLaserExposure_, laser1, laser2,
                                                                [self, completion, update, error] {
        self->later([self, completion, update, error] { self->decideSweepDirection(completion, update, error); });
      }, error);
    });
  }, error);
}

void QVLCalibration::decideSweepDirection(qv::Completion completion, UpdateCallback update, qv::ErrorCallback error) {
  if (cancelTest(error)) return;
  const auto images = delegate_->calibrationImages();
  if (images.size() != 2) return fail(error, kUnusableImages);
  for (const auto& frame : images)
    if (!fullFrame(frame)) return fail(error, kWrongFrameSize);
  if (shouldSaveCalibrationData()) {
    for (std::size_t i = 0; i < images.size(); ++i)
      QVSImageUtil::saveImageData(*images[i], stepFolder() + qv::format("/Checkerboard_%lu", static_cast<unsigned long>(i)));
  }
  QVLCalibrationPoints2D scratch;
  AnalyzeCalibrationImages(scratch, images, currentHeadHeight_);
  double faceAngle = std::acos(-scratch.faceNormal.x()) * kDegreesPerRadian;
  if (faceAngle < 90.0) {
    rotationStartAngle_ = 35.0;
    rotationEndAngle_ = 145.0;
  } else {
    rotationStartAngle_ = 145.0;
    rotationEndAngle_ = 35.0;
  }
  const double turn = faceAngle - rotationStartAngle_;
  QVLogDebug("Found checkerboard at angle: %0.02f degrees", faceAngle);
  QVLogDebug("          Rotating to start: %0.02f degrees", turn);
  QVLogDebug("       Starting rotation at: %0.0f degrees", rotationStartAngle_);
  QVLogDebug("         Ending rotation at: %0.0f degrees", rotationEndAngle_);
  auto self = shared_from_this();
  delegate_->rotateBedByDegrees(static_cast<float>(turn), *this, [self, completion, update, error](float a, float h) {
    self->later([self, completion, update, error, a, h] {
      self->store(a, h);
      self->calibrateAndRotatePlatterStartingAtAngle(self->rotationStartAngle_, completion, update, error);
    });
  }, error);
}

void QVLCalibration::calibrateAndRotatePlatterStartingAtAngle(double angle, qv::Completion completion,
                                                              UpdateCallback update, qv::ErrorCallback error) {
  if (cancelTest(error)) return;
  float progress = static_cast<float>((angle - rotationStartAngle_) / (rotationEndAngle_ - rotationStartAngle_));
  if (progress > 1.0f) progress = 1.0f;
  send(update, calibrationStatus("Calibration", nullptr, progress));
  const int laser1 = laser1Exposures_.empty() ? 0 : laser1Exposures_.front();
  const int laser2 = laser2Exposures_.empty() ? 0 : laser2Exposures_.front();
  auto self = shared_from_this();
  delegate_->captureCameraImageSequenceForCalibration(*this, nonLaserExposure_, laser1, laser2,
                                                      [self, angle, completion, update, error] {
    self->later([self, angle, completion, update, error] { self->finishSweepStep(angle, completion, update, error); });
  }, error);
}

void QVLCalibration::finishSweepStep(double angle, qv::Completion completion, UpdateCallback update,
                                     qv::ErrorCallback error) {
  QVLCalibrationDelegate& d = *delegate_;
  const auto images = d.calibrationImages();
  const qv::SharedData laserFrames[2][2] = {{d.laser1CalibrationReferenceImage(), d.laser1CalibrationImage()},
                                            {d.laser2CalibrationReferenceImage(), d.laser2CalibrationImage()}};
  if (shouldSaveCalibrationData()) {
    const std::string folder = stepFolder() + debugFolderSuffix_;
    for (std::size_t i = 0; i < images.size(); ++i)
      if (images[i]) QVSImageUtil::saveImageData(*images[i], folder + qv::format("/Checkerboard_%lu", static_cast<unsigned long>(i)));
    const std::pair<const char*, qv::SharedData> named[] = {
        {"Laser1ReferenceImage", d.laser1CalibrationReferenceImage()},
        {"Laser1Image", d.laser1CalibrationImage()},
        {"Laser1VerificationImage", d.laser1CalibrationVerificationImage()},
        {"Laser2ReferenceImage", d.laser2CalibrationReferenceImage()},
        {"Laser2Image", d.laser2CalibrationImage()},
        {"Laser2VerificationImage", d.laser2CalibrationVerificationImage()}};
    for (const auto& [name, frame] : named)
      if (frame) QVSImageUtil::saveImageData(*frame, folder + "/" + name);
    if (!std::isnan(currentBedRotation_) && !std::isnan(currentHeadHeight_)) {
      std::error_code ec;
      const fs::path target = qv::paths::applicationLibraryPath() / "QRZ" / folder;
      fs::create_directories(target, ec);
      std::ofstream file(target / "Parameters.json", std::ios::binary | std::ios::trunc);
      const nlohmann::ordered_json parameters = {{"Rotation", currentBedRotation_}, {"HeadHeight", currentHeadHeight_}};
      file << parameters.dump(2);
    }
  }
  if (images.empty()) return fail(error, kUnusableImages);
  for (const auto& frame : images)
    if (!fullFrame(frame)) return fail(error, kWrongFrameSize);

  QVLCalibrationPoints2D view;
  AnalyzeCalibrationImages(view, images, currentHeadHeight_);
  if (view.found == 0.0f) AnalyzeCalibrationImages(view, images, currentHeadHeight_);
  if (view.found == 0.0f) {
    QVLogWarn("-----------------");
    QVLogWarn("Checkerboard not found at (%0.2f,%0.2f)", angle, currentHeadHeight_);
  } else {
    QVLogInfo("-----------------");
    QVLogInfo("Calibration: (%0.2f,%0.2f)", angle, currentHeadHeight_);
    QVLogInfo("Face normal: (%0.4f,%0.4f,%0.4f)", view.faceNormal.x(), view.faceNormal.y(), view.faceNormal.z());
    std::vector<Eigen::Vector2d>* lists[2] = {&view.laser1Points2D, &view.laser2Points2D};
    for (int laser = 0; laser < 2; ++laser) {
      const qv::SharedData& reference = laserFrames[laser][0];
      const qv::SharedData& lit = laserFrames[laser][1];
      if (!fullFrame(reference) || !fullFrame(lit)) return fail(error, kWrongFrameSize);
      const QVSImageUtil off(reference);
      const QVSImageUtil on(lit);
      const auto points = off.detectLaserPointsInImage(&on, nullptr, 60.0, nullptr, nullptr, nullptr);
      *lists[laser] = points ? FilterPointsOnBoard(*points, view.checkerboardCoordinates2D)
                             : std::vector<Eigen::Vector2d>{};
    }
    intermediateCalibrations_.push_back(std::move(view));
  }

  const double next = rotationEndAngle_ > rotationStartAngle_ ? angle + kSweepStep_deg : angle - kSweepStep_deg;
  const double high = std::max(rotationStartAngle_, rotationEndAngle_);
  const double low = std::min(rotationStartAngle_, rotationEndAngle_);
  if (next > high || next < low) {
    if (completion) completion();
    return;
  }
  auto self = shared_from_this();
  delegate_->rotateBedByDegrees(static_cast<float>(angle - next), *this,
                                [self, next, completion, update, error](float a, float h) {
    self->later([self, next, completion, update, error, a, h] {
      self->store(a, h);
      self->calibrateAndRotatePlatterStartingAtAngle(next, completion, update, error);
    });
  }, error);
}

// ---- second pass and the result ----

void QVLCalibration::calibrateScannerStep2UsingDevice(int device, qv::Completion completion, UpdateCallback update,
                                                      qv::ErrorCallback error) {
  if (!delegate_) {
    if (error) error(qv::Error(qv::kScanErrorDomain, kUnusableImages, "No calibration delegate",
                               qv::Dictionary{{"Parameter", "delegate"}}));
    return;
  }
  auto fail = makeFailureHandler(error);
  qv::Error connectError;
  if (!delegate_->connectToScannerForCalibration(*this, &connectError)) {
    fail(connectError);
    return;
  }
  setShouldCancelCalibration(false);
  auto self = shared_from_this();
  calibrateSecondBoxPosition([self, device, completion, update, error, fail] {
    // The analysis can take long: it runs off the delegate's queues.
    qv::globalQueue(qv::QueuePriority::Background)->async([self, device, completion, update, error, fail] {
      self->runAnalysis(device, completion, update, error, fail);
    });
  }, update, fail);
}

void QVLCalibration::runAnalysis(int device, qv::Completion completion, UpdateCallback update,
                                 qv::ErrorCallback /*error*/, qv::ErrorCallback fail) {
  const fs::path library = qv::paths::applicationLibraryPath();
  if (shouldSaveCalibrationData()) {
    nlohmann::ordered_json views = nlohmann::ordered_json::array();
    for (const auto& view : calibrations_) views.push_back(viewJson(view));
    std::error_code ec;
    const fs::path folder = library / "QRZ" / "Calibration";
    fs::create_directories(folder, ec);
    std::ofstream file(folder / "CheckerboardResults.json", std::ios::binary | std::ios::trunc);
    file << views.dump(2);
  }
  send(update, calibrationStatus("Analyzing Calibration Results",
                                 "Depending on your system, this may take up to 15-20 minutes. Please be patient!", 1.0f));
  std::error_code ec;
  if (!fs::is_directory(library, ec)) {
    fail(qv::Error(qv::kScanErrorDomain, kAnalysisFailed, errorText(kAnalysisFailed),
                   qv::Dictionary{{"Folder", library.string()}}));
    return;
  }
  const fs::path input = library / "calData.xml";
  const fs::path output = library / "calData_Results.xml";
  fs::remove(input, ec);
  fs::remove(output, ec);

  AnalysisOutcome outcome;
  std::string reason;
  const auto started = std::chrono::steady_clock::now();
  const bool ok = CalibrateScannerFromCheckerboards(calibrations_, input.string(), output.string(), device == kBoxDevice,
                                                    outcome.calibration, outcome.reprojectionError, &reason,
                                                    analysisOptions_, &outcome.details);
  outcome.analysisSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  if (!ok) {
    // An undefined geometry must never reach the scanner: nothing is saved.
    QVLogWarn("Calibration analysis failed: %s", reason.c_str());
    fail(qv::Error(qv::kScanErrorDomain, kAnalysisFailed, errorText(kAnalysisFailed),
                   qv::Dictionary{{"Reason", reason}}));
    return;
  }
  QVLogInfo("Calibration completed with error %f", outcome.reprojectionError);
  {
    std::lock_guard lock(outcomeMutex_);
    lastAnalysis_ = outcome;
  }

  const QVLScannerCalibration& r = outcome.calibration;
  auto details = std::make_shared<QVSCalibrationDetails>();
  auto f = [](double v) { return static_cast<float>(v); };
  details->setCameraOriginX(f(r.cameraOrigin.x()));
  details->setCameraOriginY(f(r.cameraOrigin.y()));
  details->setCameraOriginZ(f(r.cameraOrigin.z()));
  details->setBedNormalX(f(r.bedNormal.x()));
  details->setBedNormalY(f(r.bedNormal.y()));
  details->setBedNormalZ(f(r.bedNormal.z()));
  details->setBedOriginX(f(r.bedOrigin.x()));
  details->setBedOriginY(f(r.bedOrigin.y()));
  details->setBedOriginZ(f(r.bedOrigin.z()));
  details->setDistortion0(f(r.distortion[0]));
  details->setDistortion1(f(r.distortion[1]));
  details->setDistortion2(f(r.distortion[2]));
  details->setDistortion3(f(r.distortion[3]));
  details->setIntrinsicFX(f(r.intrinsics[0]));
  details->setIntrinsicFY(f(r.intrinsics[1]));
  details->setIntrinsicCX(f(r.intrinsics[2]));
  details->setIntrinsicCY(f(r.intrinsics[3]));
  details->setLaser1NormalX(f(r.laser1.normal.x()));
  details->setLaser1NormalY(f(r.laser1.normal.y()));
  details->setLaser1NormalZ(f(r.laser1.normal.z()));
  details->setLaser1OriginX(f(r.laser1.origin.x()));
  details->setLaser1OriginY(f(r.laser1.origin.y()));
  details->setLaser1OriginZ(f(r.laser1.origin.z()));
  details->setLaser2NormalX(f(r.laser2.normal.x()));
  details->setLaser2NormalY(f(r.laser2.normal.y()));
  details->setLaser2NormalZ(f(r.laser2.normal.z()));
  details->setLaser2OriginX(f(r.laser2.origin.x()));
  details->setLaser2OriginY(f(r.laser2.origin.y()));
  details->setLaser2OriginZ(f(r.laser2.origin.z()));
  details->setLeadScrewNormalX(f(r.leadScrewNormal.x()));
  details->setLeadScrewNormalY(f(r.leadScrewNormal.y()));
  details->setLeadScrewNormalZ(f(r.leadScrewNormal.z()));

  auto self = shared_from_this();
  delegate_->saveCalibration(details, *this, [self, completion, update, fail] {
    self->later([self, completion, update, fail] {
      send(update, calibrationStatus("Calibration", "Finishing calibration"));
      self->delegate_->homeScannerForCalibration(*self, 0.0f, [self, completion, fail](float, float) {
        self->later([self, completion, fail] {
          self->delegate_->disconnectFromScannerForCalibration(*self, [completion] { if (completion) completion(); },
                                                               fail);
        });
      }, fail);
    });
  }, fail);
}

// ---- as the tuning's delegate ----

void QVLCalibration::setExposure(int exposure, QVLTuning& tuning, qv::Completion completion, qv::ErrorCallback error) {
  delegate_->setExposure(exposure, tuning, std::move(completion), std::move(error));
}

void QVLCalibration::captureExposureImagesForTuning(QVLTuning& tuning, ExposureImagesCompletion completion,
                                                    qv::ErrorCallback error) {
  delegate_->captureExposureImagesForTuning(tuning, std::move(completion), std::move(error));
}

bool QVLCalibration::isPointValidWithExposure(int, float, int, int, QVLTuning&) { return true; }
