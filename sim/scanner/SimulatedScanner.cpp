// The simulated scanner's requests: mechanics, frames, injected failures and a camera that stops.
#include "sim/scanner/SimulatedScanner.h"

#include <cmath>
#include <set>

#include "records/QVSCalibrationDetails.h"

namespace qv::sim {

namespace {

constexpr int kHeadBeyondLimitErrorCode = 8;  // of the protocol library's domain
constexpr float kHeadLimit_mm = 185.0f;

std::shared_ptr<QVSCalibrationDetails> recordOf(const QVLScannerCalibration& c) {
  auto r = std::make_shared<QVSCalibrationDetails>();
  auto f = [](double v) { return static_cast<float>(v); };
  r->setLaser1NormalX(f(c.laser1.normal.x())); r->setLaser1NormalY(f(c.laser1.normal.y())); r->setLaser1NormalZ(f(c.laser1.normal.z()));
  r->setLaser1OriginX(f(c.laser1.origin.x())); r->setLaser1OriginY(f(c.laser1.origin.y())); r->setLaser1OriginZ(f(c.laser1.origin.z()));
  r->setLaser2NormalX(f(c.laser2.normal.x())); r->setLaser2NormalY(f(c.laser2.normal.y())); r->setLaser2NormalZ(f(c.laser2.normal.z()));
  r->setLaser2OriginX(f(c.laser2.origin.x())); r->setLaser2OriginY(f(c.laser2.origin.y())); r->setLaser2OriginZ(f(c.laser2.origin.z()));
  r->setBedNormalX(f(c.bedNormal.x())); r->setBedNormalY(f(c.bedNormal.y())); r->setBedNormalZ(f(c.bedNormal.z()));
  r->setBedOriginX(f(c.bedOrigin.x())); r->setBedOriginY(f(c.bedOrigin.y())); r->setBedOriginZ(f(c.bedOrigin.z()));
  r->setLeadScrewNormalX(f(c.leadScrewNormal.x())); r->setLeadScrewNormalY(f(c.leadScrewNormal.y()));
  r->setLeadScrewNormalZ(f(c.leadScrewNormal.z()));
  r->setCameraOriginX(f(c.cameraOrigin.x())); r->setCameraOriginY(f(c.cameraOrigin.y())); r->setCameraOriginZ(f(c.cameraOrigin.z()));
  r->setIntrinsicFX(f(c.intrinsics[0])); r->setIntrinsicFY(f(c.intrinsics[1]));
  r->setIntrinsicCX(f(c.intrinsics[2])); r->setIntrinsicCY(f(c.intrinsics[3]));
  r->setDistortion0(f(c.distortion[0])); r->setDistortion1(f(c.distortion[1]));
  r->setDistortion2(f(c.distortion[2])); r->setDistortion3(f(c.distortion[3]));
  r->setUniqueId("5C4E1D2A-7B3F-4A96-9E1D-3F2B8C6A0D41");
  return r;
}

}  // namespace

SimulatedScanner::SimulatedScanner(ScannerModel model, Scene scene, Options options)
    : model_(std::move(model)), scene_(std::move(scene)), options_(std::move(options)),
      calibration_(recordOf(model_.groundTruthCalibration())) {}

SimulatedScanner::~SimulatedScanner() = default;

void SimulatedScanner::setCalibration(std::shared_ptr<const QVSCalibrationDetails> calibration) {
  std::lock_guard lock(mutex_);
  calibration_ = std::move(calibration);
}

float SimulatedScanner::bedRotation_deg() const {
  std::lock_guard lock(mutex_);
  return bed_;
}

float SimulatedScanner::headHeight_mm() const {
  std::lock_guard lock(mutex_);
  return head_;
}

int SimulatedScanner::exposure() const {
  std::lock_guard lock(mutex_);
  return exposure_;
}

int SimulatedScanner::requestCount(Request request) const {
  std::lock_guard lock(mutex_);
  const auto it = counts_.find(request);
  return it == counts_.end() ? 0 : it->second;
}

void SimulatedScanner::failRequest(Request request, int occurrence, qv::Error error) {
  std::lock_guard lock(mutex_);
  failures_[request][counts_[request] + occurrence] = std::move(error);
}

void SimulatedScanner::stopCameraAfterFrames(int frames) {
  std::lock_guard lock(mutex_);
  framesLeft_ = frames;
}

void SimulatedScanner::failStalledCaptures(const qv::Error& error) {
  std::vector<qv::ErrorCallback> stalled;
  {
    std::lock_guard lock(mutex_);
    stalled.swap(stalled_);
  }
  for (auto& callback : stalled)
    complete([callback, error] {
      if (callback) callback(error);
    });
}

std::size_t SimulatedScanner::stalledCaptures() const {
  std::lock_guard lock(mutex_);
  return stalled_.size();
}

void SimulatedScanner::complete(std::function<void()> task) {
  if (options_.completionQueue) options_.completionQueue->async(std::move(task));
  else task();
}

std::optional<qv::Error> SimulatedScanner::takeFailure(Request request) {
  std::lock_guard lock(mutex_);
  const int n = ++counts_[request];
  auto& planned = failures_[request];
  const auto it = planned.find(n);
  if (it == planned.end()) return std::nullopt;
  qv::Error error = it->second;
  planned.erase(it);
  return error;
}

bool SimulatedScanner::takeFrames(int frames, qv::ErrorCallback error) {
  std::lock_guard lock(mutex_);
  if (!framesLeft_) return true;
  if (*framesLeft_ >= frames) {
    *framesLeft_ -= frames;
    return true;
  }
  *framesLeft_ = 0;
  stalled_.push_back(std::move(error));
  return false;
}

std::shared_ptr<const SheetLight> SimulatedScanner::lightAt(double bedAngle_deg, double headHeight_mm) const {
  {
    std::lock_guard lock(mutex_);
    if (light_ && light_->bedAngle_deg() == bedAngle_deg && light_->headHeight_mm() == headHeight_mm) return light_;
  }
  auto light = std::make_shared<const SheetLight>(model_, scene_, bedAngle_deg, headHeight_mm, options_.frames);
  std::lock_guard lock(mutex_);
  light_ = light;
  return light;
}

qv::SharedData SimulatedScanner::frameAt(int exposure, std::array<bool, 2> lasers) {
  float bed, head;
  std::uint64_t seed;
  {
    std::lock_guard lock(mutex_);
    bed = bed_;
    head = head_;
    seed = frameSeed_++;
  }
  const auto light = lightAt(bed, head);
  return std::make_shared<const qv::Data>(
      light->frame(exposure / options_.referenceExposure, lasers, options_.noiseSigma, seed));
}

QVLScanDelegate::MotionCompletion SimulatedScanner::reportPosition(MotionCompletion completion) {
  return completion;
}

bool SimulatedScanner::connectToScannerForScan(QVLScan&, qv::Error* error) {
  if (auto failure = takeFailure(Request::Connect)) {
    if (error) *error = *failure;
    return false;
  }
  return true;
}

std::shared_ptr<const QVSCalibrationDetails> SimulatedScanner::calibrationDetailsForScan(QVLScan&) {
  std::lock_guard lock(mutex_);
  return calibration_;
}

void SimulatedScanner::disconnectFromScannerForScan(QVLScan&, qv::Completion completion, qv::ErrorCallback error) {
  if (auto failure = takeFailure(Request::Disconnect)) return complete([error, e = *failure] { if (error) error(e); });
  complete([completion] { if (completion) completion(); });
}

void SimulatedScanner::homeScannerForScan(QVLScan& scan, MotionCompletion completion, qv::ErrorCallback error) {
  homeScannerForScan(scan, 0.0f, std::move(completion), std::move(error));
}

void SimulatedScanner::homeScannerForScan(QVLScan&, float moveHeadByMillimeters, MotionCompletion completion,
                                          qv::ErrorCallback error) {
  if (auto failure = takeFailure(Request::Home)) return complete([error, e = *failure] { if (error) error(e); });
  float bed, head;
  {
    std::lock_guard lock(mutex_);
    bed_ = 0.0f;
    head_ = moveHeadByMillimeters > 0.0f ? std::min(moveHeadByMillimeters, kHeadLimit_mm) : 0.0f;
    bed = bed_;
    head = head_;
  }
  complete([completion, bed, head] { if (completion) completion(bed, head); });
}

void SimulatedScanner::moveHeadByMillimeters(float millimeters, QVLScan&, MotionCompletion completion,
                                             qv::ErrorCallback error) {
  if (auto failure = takeFailure(Request::MoveHead)) return complete([error, e = *failure] { if (error) error(e); });
  float bed, head;
  {
    std::lock_guard lock(mutex_);
    if (head_ + millimeters > kHeadLimit_mm + 1e-4f) {
      const qv::Error e(qv::kInterpreterErrorDomain, kHeadBeyondLimitErrorCode, "Head move beyond 185 mm");
      return complete([error, e] { if (error) error(e); });
    }
    head_ = std::max(0.0f, std::min(kHeadLimit_mm, head_ + millimeters));
    bed = bed_;
    head = head_;
  }
  complete([completion, bed, head] { if (completion) completion(bed, head); });
}

void SimulatedScanner::rotateBedByDegrees(float degrees, QVLScan&, MotionCompletion completion,
                                          qv::ErrorCallback error) {
  if (auto failure = takeFailure(Request::RotateBed)) return complete([error, e = *failure] { if (error) error(e); });
  float bed, head;
  {
    std::lock_guard lock(mutex_);
    // As the firmware's tracked angle: the remainder by 360.
    bed_ = static_cast<float>(std::fmod(static_cast<double>(bed_) + degrees, 360.0));
    bed = bed_;
    head = head_;
  }
  complete([completion, bed, head] { if (completion) completion(bed, head); });
}

void SimulatedScanner::captureCameraImageForScan(QVLScan&, int exposure, int, FrameCompletion completion,
                                                 qv::ErrorCallback error) {
  if (auto failure = takeFailure(Request::CaptureFrame)) return complete([error, e = *failure] { if (error) error(e); });
  if (!takeFrames(1, error)) return;
  auto frame = frameAt(exposure, {false, false});
  complete([completion, frame] { if (completion) completion(frame); });
}

void SimulatedScanner::captureCameraImageSequenceForScan(QVLScan&, int nonLaserExposure, int,
                                                         const std::vector<int>& laser1Exposures,
                                                         const std::vector<int>& laser2Exposures,
                                                         SequenceCompletion completion, qv::ErrorCallback error) {
  if (auto failure = takeFailure(Request::CaptureSequence)) return complete([error, e = *failure] { if (error) error(e); });
  auto distinct = [](const std::vector<int>& exposures) {
    std::vector<int> out;
    std::set<int> seen;
    for (int e : exposures)
      if (seen.insert(e).second) out.push_back(e);
    return out;
  };
  const auto e1 = distinct(laser1Exposures);
  const auto e2 = distinct(laser2Exposures);
  if (!takeFrames(1 + 3 * static_cast<int>(e1.size() + e2.size()), error)) return;
  auto colour = frameAt(nonLaserExposure, {false, false});
  auto sets = [&](const std::vector<int>& exposures, int laser) {
    std::vector<QVLScanResultSet> out;
    for (int e : exposures) {
      std::array<bool, 2> on{laser == 0, laser == 1};
      auto reference = frameAt(e, {false, false});
      auto lit = frameAt(e, on);
      auto verification = frameAt(e, {false, false});
      out.emplace_back(e, reference, lit, verification);
    }
    return out;
  };
  auto s1 = sets(e1, 0);
  auto s2 = sets(e2, 1);
  complete([completion, colour, s1 = std::move(s1), s2 = std::move(s2)]() mutable {
    if (completion) completion(colour, std::move(s1), std::move(s2));
  });
}

void SimulatedScanner::setExposure(int exposure, QVLTuning&, qv::Completion completion, qv::ErrorCallback error) {
  if (auto failure = takeFailure(Request::SetExposure)) return complete([error, e = *failure] { if (error) error(e); });
  {
    std::lock_guard lock(mutex_);
    exposure_ = exposure;
  }
  complete([completion] { if (completion) completion(); });
}

void SimulatedScanner::captureExposureImagesForTuning(QVLTuning&, ExposureImagesCompletion completion,
                                                      qv::ErrorCallback error) {
  if (auto failure = takeFailure(Request::CaptureTuning)) return complete([error, e = *failure] { if (error) error(e); });
  if (!takeFrames(4, error)) return;
  const int e = exposure();
  auto reference = frameAt(e, {false, false});
  auto laser1 = frameAt(e, {true, false});
  auto laser2 = frameAt(e, {false, true});
  auto verification = frameAt(e, {false, false});
  complete([=] { if (completion) completion(reference, laser1, laser2, verification, kWhiteBalance); });
}

bool SimulatedScanner::isPointValidWithExposure(int, float, int, int, QVLTuning&) { return true; }

}  // namespace qv::sim
