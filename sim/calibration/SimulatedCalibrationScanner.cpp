// The simulated calibration scanner: mechanics, scripted faults and frames rendered from the true model.
#include "sim/calibration/SimulatedCalibrationScanner.h"

#include <algorithm>
#include <cmath>
#include <future>

#include "calibration/QVLCalibration.h"
#include "records/QVSCalibrationDetails.h"
#include "sim/calibration/TargetFrameRenderer.h"
#include "sim/scanner/SensorNoise.h"

namespace qv::sim {

namespace {

constexpr double kHeadLimit_mm = 185.0;
constexpr int kHeadBeyondLimitCode = 8;  // the protocol library's "head move beyond 185 mm"
constexpr int kWhiteBalance = 5000;

FrameState stateAt(double bedAngle, double headHeight, int exposure, bool laser1, bool laser2, double power = 1.0) {
  FrameState state;
  state.laserPeak *= power;
  state.bedAngle_deg = bedAngle;
  state.headHeight_mm = headHeight;
  state.laserOn = {laser1, laser2};
  state.exposure = exposure / 100.0;
  return state;
}

// A laser frame: the area-averaged colour frame plus the light the laser adds, which is the
// difference of the optics' frames with and without it.
qv::Data withLaser(const qv::Data& colour, const qv::Data& on, const qv::Data& off) {
  qv::Data frame(colour.size());
  for (std::size_t i = 0; i < colour.size(); ++i) {
    const int value = colour[i] + on[i] - off[i];
    frame[i] = static_cast<std::uint8_t>(std::clamp(value, 0, 255));
  }
  return frame;
}

}  // namespace

ScannerDesign calibrationScannerDesign() {
  ScannerDesign d = ScannerDesign::standard();
  const Eigen::Vector3d down(0.0, -75.0, 0.0);
  // The camera looks down at the bed a little more steeply than the lasers, so that the boards are
  // seen tilted about both image axes over a calibration, as the camera model needs; not so
  // steeply that a head position sees both of the target's boards: the bottom head position sees
  // the bed and the lower board, the top one (76 mm higher) only the upper board.
  d.camera_chassis += Eigen::Vector3d(0.0, -10.0, 0.0);
  d.cameraTarget_chassis = Eigen::Vector3d(0.0, 40.0, 0.0);
  d.laser1_chassis += down;
  d.laser2_chassis += down;
  d.laserTarget_chassis += down;
  return d;
}

SimulatedCalibrationScanner::SimulatedCalibrationScanner(const ScannerDesign& design)
    : model_(design), scene_(design.bedRadius_mm, design.bedThickness_mm),
      queue_(qv::makeSerialQueue("com.quorvel.sim.CalibrationScanner")) {}

SimulatedCalibrationScanner::~SimulatedCalibrationScanner() {
  std::unique_lock lock(mutex_);
  idle_.wait(lock, [this] { return pending_ == 0; });
}

void SimulatedCalibrationScanner::placeTarget(ChessboardTarget::Kind kind, Eigen::Vector2d faceCentre,
                                              double facing_deg, bool withUpperBoard) {
  std::lock_guard lock(mutex_);
  target_ = std::make_shared<ChessboardTarget>(kind, faceCentre, facing_deg, withUpperBoard);
  scene_ = Scene(model_.design().bedRadius_mm, model_.design().bedThickness_mm);
  scene_.add(target_);
}

std::optional<ChessboardTarget::Board> SimulatedCalibrationScanner::boardInView() const {
  std::lock_guard lock(mutex_);
  if (!target_) return std::nullopt;
  const Eigen::Matrix3d world_from_turntable = ScannerModel::world_from_turntable(bedAngle_);
  const Eigen::Vector3d towardCamera = world_from_turntable.transpose() * (model_.cameraCentre_world(headHeight_) -
                                                                           world_from_turntable * target_->corner_turntable(9));
  if (!(target_->faceNormal_turntable().dot(towardCamera) > 0.0)) return std::nullopt;
  for (const auto board : {ChessboardTarget::Board::Lower, ChessboardTarget::Board::Upper}) {
    if (board == ChessboardTarget::Board::Upper && !target_->hasUpperBoard()) break;
    bool inside = true;
    for (const auto& corner : target_->corners_turntable(board)) {
      const auto pixel = model_.project(world_from_turntable * corner, headHeight_);
      inside = inside && pixel && pixel->x() >= 0.0 && pixel->y() >= 0.0 && pixel->x() < FrameRenderer::kWidth &&
               pixel->y() < FrameRenderer::kHeight;
    }
    if (inside) return board;
  }
  return std::nullopt;
}

void SimulatedCalibrationScanner::removeTarget() {
  std::lock_guard lock(mutex_);
  target_.reset();
  scene_ = Scene(model_.design().bedRadius_mm, model_.design().bedThickness_mm);
}

void SimulatedCalibrationScanner::failRequest(const std::string& name, qv::Error error, int occurrence) {
  std::lock_guard lock(mutex_);
  faults_[name].emplace_back(requests_[name] + occurrence, std::move(error));
}

int SimulatedCalibrationScanner::requestCount(const std::string& name) const {
  std::lock_guard lock(mutex_);
  const auto it = requests_.find(name);
  return it == requests_.end() ? 0 : it->second;
}

double SimulatedCalibrationScanner::bedAngle_deg() const {
  std::lock_guard lock(mutex_);
  return bedAngle_;
}

double SimulatedCalibrationScanner::headHeight_mm() const {
  std::lock_guard lock(mutex_);
  return headHeight_;
}

std::shared_ptr<QVSCalibrationDetails> SimulatedCalibrationScanner::savedCalibration() const {
  std::lock_guard lock(mutex_);
  return saved_;
}

std::optional<qv::Error> SimulatedCalibrationScanner::arrive(const std::string& name) {
  std::function<void(const std::string&)> hook;
  std::optional<qv::Error> fault;
  {
    std::lock_guard lock(mutex_);
    const int count = ++requests_[name];
    auto& due = faults_[name];
    for (auto it = due.begin(); it != due.end(); ++it) {
      if (it->first == count) {
        fault = it->second;
        due.erase(it);
        break;
      }
    }
    hook = hook_;
  }
  if (hook) hook(name);
  return fault;
}

void SimulatedCalibrationScanner::later(std::function<void()> task) {
  {
    std::lock_guard lock(mutex_);
    ++pending_;
  }
  queue_->async([this, task = std::move(task)] {
    task();
    std::lock_guard lock(mutex_);
    --pending_;
    idle_.notify_all();
  });
}

void SimulatedCalibrationScanner::serve(const std::string& name, qv::ErrorCallback error, std::function<void()> task) {
  auto fault = arrive(name);
  later([fault = std::move(fault), error = std::move(error), task = std::move(task)] {
    if (fault) {
      if (error) error(*fault);
      return;
    }
    task();
  });
}

qv::SharedData SimulatedCalibrationScanner::cut(qv::Data frame) const {
  if (frameLength_ && *frameLength_ < frame.size()) frame.resize(*frameLength_);
  return std::make_shared<const qv::Data>(std::move(frame));
}

SimulatedCalibrationScanner::Base SimulatedCalibrationScanner::renderBase(int exposure) {
  double bed;
  double head;
  double power;
  Scene scene(1.0, 1.0);
  {
    std::lock_guard lock(mutex_);
    bed = bedAngle_;
    head = headHeight_;
    power = laserPower_;
    scene = scene_;
  }
  const FrameRenderer optics(model_, scene);
  const TargetFrameRenderer colour(model_, scene);
  auto off = std::async(std::launch::async, [&] { return optics.render(stateAt(bed, head, exposure, false, false)); });
  auto on1 = std::async(std::launch::async, [&] { return optics.render(stateAt(bed, head, exposure, true, false, power)); });
  auto on2 = std::async(std::launch::async, [&] { return optics.render(stateAt(bed, head, exposure, false, true, power)); });
  Base base;
  base.off = colour.render(stateAt(bed, head, exposure, false, false));
  const qv::Data offFrame = off.get();
  base.laser1 = withLaser(base.off, on1.get(), offFrame);
  base.laser2 = withLaser(base.off, on2.get(), offFrame);
  return base;
}

qv::SharedData SimulatedCalibrationScanner::frame(const qv::Data& base) {
  double sigma;
  std::uint64_t seed;
  {
    std::lock_guard lock(mutex_);
    sigma = noiseSigma_;
    seed = ++frameCounter_;
  }
  qv::Data copy = base;
  addSensorNoise(copy, sigma, seed);
  return cut(std::move(copy));
}

SimulatedCalibrationScanner::Frames SimulatedCalibrationScanner::renderFrames(int exposure) {
  const Base base = renderBase(exposure);
  return Frames{frame(base.off), frame(base.laser1), frame(base.laser2)};
}

// ---- connection and motions ----

bool SimulatedCalibrationScanner::connectToScannerForCalibration(QVLCalibration&, qv::Error* error) {
  if (auto fault = arrive("connect")) {
    if (error) *error = *fault;
    return false;
  }
  connected_ = true;
  ++connectCount_;
  return true;
}

void SimulatedCalibrationScanner::disconnectFromScannerForCalibration(QVLCalibration&, qv::Completion completion,
                                                                      qv::ErrorCallback error) {
  serve("disconnect", error, [this, completion] {
    connected_ = false;
    ++disconnectCount_;
    if (completion) completion();
  });
}

void SimulatedCalibrationScanner::homeScannerForCalibration(QVLCalibration&, float restoringAngle,
                                                            MotionCompletion completion, qv::ErrorCallback error) {
  serve("home", error, [this, restoringAngle, completion] {
    float angle;
    float head;
    {
      std::lock_guard lock(mutex_);
      headHeight_ = 0.0;
      bedAngle_ = restoringAngle;
      angle = static_cast<float>(bedAngle_);
      head = static_cast<float>(headHeight_);
    }
    if (completion) completion(angle, head);
  });
}

void SimulatedCalibrationScanner::moveHeadByMillimeters(float millimeters, QVLCalibration&, MotionCompletion completion,
                                                        qv::ErrorCallback error) {
  serve("move", error, [this, millimeters, completion, error] {
    float angle;
    float head;
    bool beyond;
    {
      std::lock_guard lock(mutex_);
      const double target = headHeight_ + millimeters;
      beyond = target > kHeadLimit_mm || target < 0.0;
      if (!beyond) headHeight_ = target;
      angle = static_cast<float>(bedAngle_);
      head = static_cast<float>(headHeight_);
    }
    if (beyond) {
      if (error) error(qv::Error(qv::kInterpreterErrorDomain, kHeadBeyondLimitCode, "Head move beyond 185 mm"));
    } else if (completion) {
      completion(angle, head);
    }
  });
}

void SimulatedCalibrationScanner::rotateBedByDegrees(float degrees, QVLCalibration&, MotionCompletion completion,
                                                     qv::ErrorCallback error) {
  serve("rotate", error, [this, degrees, completion] {
    float angle;
    float head;
    {
      std::lock_guard lock(mutex_);
      bedAngle_ += degrees;
      angle = static_cast<float>(bedAngle_);
      head = static_cast<float>(headHeight_);
    }
    if (completion) completion(angle, head);
  });
}

void SimulatedCalibrationScanner::saveCalibration(std::shared_ptr<QVSCalibrationDetails> details, QVLCalibration&,
                                                  qv::Completion completion, qv::ErrorCallback error) {
  serve("save", error, [this, details, completion] {
    {
      std::lock_guard lock(mutex_);
      saved_ = details;
    }
    if (completion) completion();
  });
}

// ---- frames ----

void SimulatedCalibrationScanner::captureSingleImageForCalibration(QVLCalibration&, int exposure,
                                                                   qv::Completion completion, qv::ErrorCallback error) {
  serve("single", error, [this, exposure, completion] {
    {
      std::lock_guard lock(mutex_);
      exposure_ = exposure;
    }
    const Base base = renderBase(exposure);
    const qv::SharedData colour = frame(base.off);
    {
      std::lock_guard lock(mutex_);
      calibrationImages_ = {colour};
    }
    if (completion) completion();
  });
}

void SimulatedCalibrationScanner::captureCameraImageSequenceForCalibration(QVLCalibration&, int cameraExposure,
                                                                           int laser1Exposure, int laser2Exposure,
                                                                           qv::Completion completion,
                                                                           qv::ErrorCallback error) {
  serve("sequence", error, [this, cameraExposure, laser1Exposure, laser2Exposure, completion] {
    // The frames of one pose differ only by their noise: each exposure is rendered once.
    std::map<int, Base> bases;
    auto at = [&](int exposure) -> const Base& {
      auto it = bases.find(exposure);
      if (it == bases.end()) it = bases.emplace(exposure, renderBase(exposure)).first;
      return it->second;
    };
    const std::vector<qv::SharedData> colour = {frame(at(cameraExposure).off), frame(at(cameraExposure).off)};
    qv::SharedData images[2][3];
    if (laser2Exposure == 0 || laser2Exposure == laser1Exposure) {
      const Base& base = at(laser1Exposure);
      images[0][0] = images[1][0] = frame(base.off);
      images[0][1] = frame(base.laser1);
      images[1][1] = frame(base.laser2);
      images[0][2] = images[1][2] = frame(base.off);
    } else {
      const int exposures[2] = {laser1Exposure, laser2Exposure};
      for (int laser = 0; laser < 2; ++laser) {
        const Base& base = at(exposures[laser]);
        images[laser][0] = frame(base.off);
        images[laser][1] = frame(laser == 0 ? base.laser1 : base.laser2);
        images[laser][2] = frame(base.off);
      }
    }
    {
      std::lock_guard lock(mutex_);
      exposure_ = cameraExposure;
      calibrationImages_ = colour;
      for (int laser = 0; laser < 2; ++laser)
        for (int k = 0; k < 3; ++k) laserImages_[laser][k] = images[laser][k];
    }
    if (completion) completion();
  });
}

std::vector<qv::SharedData> SimulatedCalibrationScanner::calibrationImages() const {
  std::lock_guard lock(mutex_);
  return calibrationImages_;
}

#define QV_LASER_IMAGE(name, laser, k)                         \
  qv::SharedData SimulatedCalibrationScanner::name() const { \
    std::lock_guard lock(mutex_);                            \
    return laserImages_[laser][k];                           \
  }
QV_LASER_IMAGE(laser1CalibrationReferenceImage, 0, 0)
QV_LASER_IMAGE(laser1CalibrationImage, 0, 1)
QV_LASER_IMAGE(laser1CalibrationVerificationImage, 0, 2)
QV_LASER_IMAGE(laser2CalibrationReferenceImage, 1, 0)
QV_LASER_IMAGE(laser2CalibrationImage, 1, 1)
QV_LASER_IMAGE(laser2CalibrationVerificationImage, 1, 2)
#undef QV_LASER_IMAGE

// ---- tuning ----

void SimulatedCalibrationScanner::setExposure(int exposure, QVLTuning&, qv::Completion completion,
                                              qv::ErrorCallback error) {
  serve("exposure", error, [this, exposure, completion] {
    {
      std::lock_guard lock(mutex_);
      exposure_ = exposure;
    }
    if (completion) completion();
  });
}

void SimulatedCalibrationScanner::captureExposureImagesForTuning(QVLTuning&, ExposureImagesCompletion completion,
                                                                 qv::ErrorCallback error) {
  serve("tuningImages", error, [this, completion] {
    int exposure;
    {
      std::lock_guard lock(mutex_);
      exposure = exposure_;
    }
    const Base base = renderBase(exposure);
    if (completion) completion(frame(base.off), frame(base.laser1), frame(base.laser2), frame(base.off), kWhiteBalance);
  });
}

bool SimulatedCalibrationScanner::isPointValidWithExposure(int, float, int, int, QVLTuning&) { return true; }

}  // namespace qv::sim
