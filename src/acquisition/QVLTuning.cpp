// The exposure search: one exposure per link of a callback chain, then one of three choice rules.
#include "acquisition/QVLTuning.h"

#include <filesystem>

#include "acquisition/ExposureSelection.h"
#include "platform/Format.h"
#include "platform/Log.h"
#include "platform/Settings.h"

namespace {

constexpr int kCancelledErrorCode = 1;
constexpr int kNoUsableExposureErrorCode = 10;
constexpr double kDetectionThreshold = 60.0;

}  // namespace

struct QVLTuning::Search {
  Rule rule = Rule::Single;
  bool combine = false;
  Completion completion;
  UpdateCallback update;
  qv::ErrorCallback error;
  std::size_t index = 0;
  std::vector<QVLExposureQuality> nonLaser;
  std::vector<QVLExposureQuality> laser1;
  std::vector<QVLExposureQuality> laser2;
  bool ended = false;

  void fail(const qv::Error& e) {
    if (ended) return;
    ended = true;
    if (error) error(e);
  }
};

std::shared_ptr<QVLTuning> QVLTuning::initWithDelegate(QVLTuningDelegate* delegate) {
  return std::shared_ptr<QVLTuning>(new QVLTuning(delegate));
}

QVLTuning::QVLTuning(QVLTuningDelegate* delegate) : delegate_(delegate), exposuresToEvaluate_(defaultExposures()) {}

const std::vector<int>& QVLTuning::defaultExposures() {
  static const std::vector<int> exposures{10,  15,  20,  25,  30,   40,   50,   100,  150,  200,  250,
                                          300, 400, 500, 1000, 1500, 2000, 2500, 3000, 5000, 8000, 10000};
  return exposures;
}

bool QVLTuning::shouldSaveTuningDiagnosticData() {
  return qv::Settings::standard().boolForKey("ShouldSaveTuningDiagnosticInformation");
}

void QVLTuning::findOptimalExposureForScan(bool combine, Completion completion, UpdateCallback update,
                                           qv::ErrorCallback error) {
  start(Rule::Single, combine, std::move(completion), std::move(update), std::move(error));
}

void QVLTuning::findOptimalCombinedExposureForScan(bool combine, Completion completion, UpdateCallback update,
                                                   qv::ErrorCallback error) {
  start(Rule::Complementary, combine, std::move(completion), std::move(update), std::move(error));
}

void QVLTuning::findOptimalExposureForCalibration(bool combine, Completion completion, UpdateCallback update,
                                                  qv::ErrorCallback error) {
  start(Rule::Calibration, combine, std::move(completion), std::move(update), std::move(error));
}

void QVLTuning::later(std::function<void()> task) {
  (queue_ ? queue_ : qv::globalQueue(qv::QueuePriority::Background))->async(std::move(task));
}

void QVLTuning::start(Rule rule, bool combine, Completion completion, UpdateCallback update, qv::ErrorCallback error) {
  shouldCancelTuning_.store(false);
  auto search = std::make_shared<Search>();
  search->rule = rule;
  search->combine = combine;
  search->completion = std::move(completion);
  search->update = std::move(update);
  search->error = std::move(error);
  if (!delegate_ || exposuresToEvaluate_.empty()) {
    applyRule(search);
    return;
  }
  evaluateCameraAtExposure(search);
}

void QVLTuning::evaluateCameraAtExposure(std::shared_ptr<Search> search) {
  const int exposure = exposuresToEvaluate_[search->index];
  if (search->update) {
    auto status = QVLStatus::statusWithType(QVLStatusTypeTuning);
    status->setMessage("Determining optimal exposure");
    status->setPercentageComplete(static_cast<float>(search->index + 1) /
                                  static_cast<float>(exposuresToEvaluate_.size()));
    search->update(status);
  }
  auto self = shared_from_this();
  auto failed = [self, search](const qv::Error& e) { self->later([search, e] { search->fail(e); }); };
  delegate_->setExposure(exposure, *this, [self, search, exposure, failed] {
    self->later([self, search, exposure, failed] {
      if (self->shouldCancelTuning()) return search->fail(qv::Error(qv::kScanErrorDomain, kCancelledErrorCode, "Tuning cancelled"));
      self->delegate_->captureExposureImagesForTuning(
          *self,
          [self, search, exposure](qv::SharedData reference, qv::SharedData laser1, qv::SharedData laser2,
                                   qv::SharedData verification, int whiteBalance) {
            self->later([=] {
              self->analyseFrames(search, exposure, reference, laser1, laser2, verification, whiteBalance);
            });
          },
          failed);
    });
  }, failed);
}

void QVLTuning::analyseFrames(std::shared_ptr<Search> search, int exposure, qv::SharedData reference,
                              qv::SharedData laser1, qv::SharedData laser2, qv::SharedData verification,
                              int whiteBalance) {
  if (shouldCancelTuning()) return search->fail(qv::Error(qv::kScanErrorDomain, kCancelledErrorCode, "Tuning cancelled"));
  const bool diagnostics = shouldSaveTuningDiagnosticData();
  const std::string folder = qv::format("Tuning/%04d", exposure);
  if (diagnostics) {
    if (reference) QVSImageUtil::saveImageData(*reference, folder + "/ReferenceImage");
    if (verification) QVSImageUtil::saveImageData(*verification, folder + "/VerificationImage");
    if (laser1) QVSImageUtil::saveImageData(*laser1, folder + "/Laser1Image");
    if (laser2) QVSImageUtil::saveImageData(*laser2, folder + "/Laser2Image");
  }
  auto offFrame = std::make_shared<QVSImageUtil>(reference);
  const float luminosity = offFrame->averageLuminosity();
  QVLExposureQuality off({exposure});
  off.whiteBalance = whiteBalance;
  off.overallImageLuminosity = luminosity;
  off.referenceImage = offFrame;
  search->nonLaser.push_back(off);

  std::string summary = qv::format("|              Exposure:%d", exposure);
  for (int laser = 1; laser <= 2; ++laser) {
    QVSImageUtil receiver(reference);
    if (diagnostics) {
      if (auto qrz = QVSImageUtil::outputFolder()) {
        const auto logFolder = *qrz / qv::format("Tuning/%04d/Laser%d", exposure, laser);
        std::error_code ec;
        std::filesystem::create_directories(logFolder, ec);
        receiver.setRootImageLogFolder(logFolder);
      }
    }
    const QVSImageUtil laserFrame(laser == 1 ? laser1 : laser2);
    std::vector<QVSImageLaserPoint> over, wide, noisy;
    const auto points = receiver.detectLaserPointsInImage(&laserFrame, nullptr, kDetectionThreshold, &over, &wide, &noisy);
    QVLExposureQuality quality({exposure});
    double widthSum = 0.0;
    if (points) {
      for (const auto& p : *points) {
        if (!delegate_->isPointValidWithExposure(exposure, p.x(), p.y(), laser + 1, *this)) continue;
        quality.foundPoints.push_back(p);
        widthSum += p.width();
      }
    }
    // No valid point leaves the width at 0 rather than dividing 0 by 0.
    if (!quality.foundPoints.empty())
      quality.averageLaserWidth = static_cast<unsigned>(widthSum / static_cast<double>(quality.foundPoints.size()));
    quality.overallImageLuminosity = luminosity;
    quality.overExposedPoints = std::move(over);
    quality.whiteBalance = whiteBalance;
    quality.referenceImage = offFrame;
    summary += qv::format("\n| ------------------------------------------------------\n|                 Laser:%d"
                          "\n|          Points found:%lu\n|         Average width:%f\n| Ignored (overexposed):%lu"
                          "\n|        Ignored (wide):%lu\n|       Ignored (noise):%lu",
                          laser, static_cast<unsigned long>(quality.foundPoints.size()),
                          static_cast<double>(quality.averageLaserWidth),
                          static_cast<unsigned long>(quality.overExposedPoints.size()),
                          static_cast<unsigned long>(wide.size()), static_cast<unsigned long>(noisy.size()));
    (laser == 1 ? search->laser1 : search->laser2).push_back(std::move(quality));
  }
  QVLogInfo("/====================== Tuning ========================\n%s\n\\======================================================",
            summary.c_str());

  if (++search->index >= exposuresToEvaluate_.size()) {
    applyRule(search);
    return;
  }
  evaluateCameraAtExposure(search);
}

void QVLTuning::applyRule(std::shared_ptr<Search> search) {
  if (search->ended) return;
  if (search->laser1.empty() || search->laser2.empty()) {
    return search->fail(qv::Error(qv::kScanErrorDomain, kNoUsableExposureErrorCode, "No usable exposure was found"));
  }
  std::vector<QVLExposureQuality> laser1 = search->combine ? qv::withCombinedExposures(search->laser1) : search->laser1;
  std::vector<QVLExposureQuality> laser2 = search->combine ? qv::withCombinedExposures(search->laser2) : search->laser2;
  std::optional<std::size_t> best1, best2;
  switch (search->rule) {
    case Rule::Single:
      best1 = qv::chooseSingleExposure(laser1);
      best2 = qv::chooseSingleExposure(laser2);
      break;
    case Rule::Complementary:
      best1 = best2 = qv::chooseComplementaryExposure(laser1, laser2);
      break;
    case Rule::Calibration:
      best1 = best2 = qv::chooseCalibrationExposure(laser1, laser2);
      break;
  }
  const QVLExposureQuality* b1 = best1 ? &laser1[*best1] : nullptr;
  const QVLExposureQuality* b2 = best2 ? &laser2[*best2] : nullptr;
  nonLaserExposure_ = -1;
  nonLaserWhitebalance_ = -1;
  if (const auto off = qv::chooseNonLaserExposure(search->nonLaser, b1, b2)) {
    nonLaserExposure_ = search->nonLaser[*off].exposures.front();
    nonLaserWhitebalance_ = search->nonLaser[*off].whiteBalance;
  }
  std::vector<int> exposures1 = b1 ? b1->exposures : std::vector<int>{};
  std::vector<int> exposures2 = b2 ? b2->exposures : std::vector<int>{};
  if (search->rule == Rule::Calibration) {
    QVLogInfo("Exposures:%s", b1 ? b1->description().c_str() : "(null)");
    QVLogInfo("Non-laser:%d", nonLaserExposure_);
  } else {
    QVLogInfo("Laser 1 Exposures:%s", b1 ? b1->description().c_str() : "(null)");
    QVLogInfo("Laser 2 Exposures:%s", b2 ? b2->description().c_str() : "(null)");
    QVLogInfo("       Non-laser:%d", nonLaserExposure_);
  }
  search->ended = true;
  if (search->completion)
    search->completion(nonLaserExposure_, std::move(exposures1), std::move(exposures2), nonLaserWhitebalance_);
}
