// The settle delay, the laser sequences, the run over exposures and tuning's captures. Each step
// starts the next from its own completion, so a sequence keeps no state of its own.
#include "core/camera/QVLImageSequences.h"

#include <algorithm>

#include "platform/Log.h"

namespace {

qv::Error scanError(int code) { return qv::Error(qv::kScanErrorDomain, code); }

bool contains(const std::vector<double>& list, double value) {
  return std::find(list.begin(), list.end(), value) != list.end();
}

// Whether a failure means someone else now drives the camera or the scanner: a newer camera
// request replaced ours (-1), or a newer scanner command ended ours (5). Switching the lasers off
// then would spoil that newer work.
bool supersededBy(const qv::Error& e) {
  return e.is(qv::kScanErrorDomain, -1) || e.is(qv::kInterpreterErrorDomain, 5);
}

}  // namespace

std::shared_ptr<QVLImageSequences> QVLImageSequences::create(
    std::shared_ptr<QVLCameraCaptureSession> session,
    std::function<std::shared_ptr<QVLIInterpreterProtocol>()> deviceInterpreter) {
  return std::shared_ptr<QVLImageSequences>(new QVLImageSequences(std::move(session), std::move(deviceInterpreter)));
}

QVLImageSequences::QVLImageSequences(std::shared_ptr<QVLCameraCaptureSession> session,
                                     std::function<std::shared_ptr<QVLIInterpreterProtocol>()> deviceInterpreter)
    : session_(std::move(session)), deviceInterpreter_(std::move(deviceInterpreter)) {}

std::shared_ptr<QVLIInterpreterProtocol> QVLImageSequences::interpreter() const {
  return deviceInterpreter_ ? deviceInterpreter_() : nullptr;
}

// ---- exposure ----

bool QVLImageSequences::setCameraExposure(int exposure) {
  const auto control = session_->cameraControl();
  if (!control || !control->setExposure(exposure)) return false;
  lastSetExposure_ = exposure;
  return true;
}

void QVLImageSequences::setCameraWhiteBalance(int whiteBalance) {
  const auto control = session_->cameraControl();
  if (!control) return;
  if (whiteBalance == 0) {
    control->setAutoWhiteBalance(true);
    return;
  }
  // Off first: a camera refuses a temperature while its automatic mode rules.
  control->setAutoWhiteBalance(false);
  control->setWhiteBalance(whiteBalance);
}

qv::Duration QVLImageSequences::settleTimeForExposure(int exposure) {
  // Worked in single precision and truncated to whole nanoseconds, as the camera's timing was measured.
  const float wait_s = (static_cast<float>(exposure) - 10.0f) / 9990.0f * 0.8f + 0.2f;
  return qv::Duration(static_cast<qv::Duration::rep>(wait_s * 1e9f));
}

void QVLImageSequences::delayForCameraExposure(int exposure, qv::Completion completion) {
  const int previous = lastExposure_.exchange(exposure);
  // Frames keep the old exposure for a while and take on a longer new one only slowly; the
  // longer of the two decides. With no exposure before it, the new one's own wait applies.
  const qv::Duration wait = settleTimeForExposure(std::max(previous, exposure));
  qv::after(std::max(wait, qv::Duration::zero()), qv::globalQueue(qv::QueuePriority::High),
            [completion = std::move(completion)] {
              if (completion) completion();
            });
}

// ---- helpers ----

void QVLImageSequences::captureOne(std::function<void(qv::SharedData)> frame, qv::ErrorCallback error) {
  session_->captureCameraImages(
      1,
      [frame = std::move(frame)](const std::vector<qv::SharedData>& frames) {
        frame(frames.empty() ? nullptr : frames.front());
      },
      std::move(error));
}

qv::ErrorCallback QVLImageSequences::failing(qv::ErrorCallback error) {
  return [self = shared_from_this(), error = std::move(error)](const qv::Error& e) {
    auto report = [error, e] {
      if (error) error(e);
    };
    const auto interpreter = self->interpreter();
    if (supersededBy(e) || !interpreter) return report();
    QVLogInfo("Switching the lasers off after a failed image sequence: %s", e.text().c_str());
    interpreter->disableLasers(report, [report](const qv::Error&) { report(); });
  };
}

namespace {

qv::Error noScanner() { return qv::Error(qv::kInterpreterErrorDomain, 1, "No scanner to switch the lasers"); }

}  // namespace

// ---- sequences ----

void QVLImageSequences::captureAfterSwitches(int exposure, std::vector<LaserSwitch> switches,
                                             std::vector<qv::SharedData> frames, FramesCompletion done,
                                             qv::ErrorCallback fail) {
  auto self = shared_from_this();
  delayForCameraExposure(exposure, [=]() mutable {
    self->captureOne([=](qv::SharedData frame) mutable {
      frames.push_back(std::move(frame));
      if (switches.empty()) {
        if (done) done(std::move(frames));
        return;
      }
      const LaserSwitch next = switches.front();
      switches.erase(switches.begin());
      auto switchLasers = [=] {
        const auto interpreter = self->interpreter();
        if (!interpreter) return fail(noScanner());
        auto captureNext = [=] { self->captureAfterSwitches(exposure, switches, frames, done, fail); };
        switch (next.to) {
          case Lasers::Laser1: return interpreter->enableLaser1(captureNext, fail);
          case Lasers::Laser2: return interpreter->enableLaser2(captureNext, fail);
          case Lasers::Off: return interpreter->disableLasers(captureNext, fail);
        }
      };
      if (next.settleFirst) {
        self->delayForCameraExposure(exposure, switchLasers);
      } else {
        switchLasers();
      }
    }, fail);
  });
}

void QVLImageSequences::captureCameraImageSequenceForLaser(int laser, int exposure, LaserSequenceCompletion completion,
                                                           qv::ErrorCallback error) {
  if (!setCameraExposure(exposure)) {
    if (error) error(scanError(8));
    return;
  }
  // The laser image settles once more before the lasers go off.
  captureAfterSwitches(exposure, {{laser == 0 ? Lasers::Laser1 : Lasers::Laser2}, {Lasers::Off, true}}, {},
                       [completion](const std::vector<qv::SharedData>& frames) {
                         if (completion) completion(frames[0], frames[1], frames[2]);
                       },
                       failing(std::move(error)));
}

void QVLImageSequences::captureCameraImageSequenceForLasersWithExposure(int exposure, LasersSequenceCompletion completion,
                                                                        qv::ErrorCallback error) {
  if (!setCameraExposure(exposure)) {
    if (error) error(scanError(8));
    return;
  }
  // Switching laser 2 on switches laser 1 off: no lasers-off command between them.
  captureAfterSwitches(exposure, {{Lasers::Laser1}, {Lasers::Laser2}, {Lasers::Off}}, {},
                       [completion](const std::vector<qv::SharedData>& frames) {
                         if (completion) completion(frames[0], frames[1], frames[2], frames[3]);
                       },
                       failing(std::move(error)));
}

void QVLImageSequences::captureLaserImagesForExposures(std::vector<double> exposures, std::size_t index,
                                                       std::vector<double> laser1Exposures,
                                                       std::vector<double> laser2Exposures,
                                                       std::vector<QVLScanResultSet> laser1Results,
                                                       std::vector<QVLScanResultSet> laser2Results,
                                                       qv::SharedData colourImage, ExposureRunCompletion completion,
                                                       qv::ErrorCallback error) {
  if (index >= exposures.size()) {
    if (completion) completion(std::move(colourImage), std::move(laser1Results), std::move(laser2Results));
    return;
  }
  const double e = exposures[index];
  const int exposure = static_cast<int>(e);
  const bool inFirst = contains(laser1Exposures, e);
  const bool inSecond = contains(laser2Exposures, e);
  if (!inFirst && !inSecond) {
    if (error) error(scanError(5));
    return;
  }
  auto self = shared_from_this();
  // The state the next exposure starts from; shared so that each step's copy stays small.
  struct Run {
    std::vector<double> exposures, laser1Exposures, laser2Exposures;
    std::vector<QVLScanResultSet> laser1Results, laser2Results;
    qv::SharedData colourImage;
    ExposureRunCompletion completion;
    qv::ErrorCallback error;
  };
  auto run = std::make_shared<Run>(Run{std::move(exposures), std::move(laser1Exposures), std::move(laser2Exposures),
                                       std::move(laser1Results), std::move(laser2Results), std::move(colourImage),
                                       std::move(completion), error});
  auto next = [self, run, index] {
    self->captureLaserImagesForExposures(std::move(run->exposures), index + 1, std::move(run->laser1Exposures),
                                         std::move(run->laser2Exposures), std::move(run->laser1Results),
                                         std::move(run->laser2Results), std::move(run->colourImage),
                                         std::move(run->completion), std::move(run->error));
  };
  if (inFirst && inSecond) {
    captureCameraImageSequenceForLasersWithExposure(
        exposure,
        [run, next, exposure](qv::SharedData reference, qv::SharedData laser1, qv::SharedData laser2,
                              qv::SharedData verification) {
          run->laser1Results.emplace_back(exposure, reference, laser1, verification);
          run->laser2Results.emplace_back(exposure, reference, laser2, verification);
          next();
        },
        std::move(error));
  } else {
    captureCameraImageSequenceForLaser(
        inFirst ? 0 : 1, exposure,
        [run, next, exposure, inFirst](qv::SharedData reference, qv::SharedData laser, qv::SharedData verification) {
          (inFirst ? run->laser1Results : run->laser2Results).emplace_back(exposure, reference, laser, verification);
          next();
        },
        std::move(error));
  }
}

// ---- tuning ----

void QVLImageSequences::setExposureForTuning(int exposure, qv::Completion completion, qv::ErrorCallback error) {
  const auto control = session_->cameraControl();
  std::int32_t current = 0;
  if (!control || !control->getExposure(&current) || !setCameraExposure(exposure)) {
    if (error) error(scanError(8));
    return;
  }
  delayForCameraExposure(std::max<int>(current, exposure), std::move(completion));
}

void QVLImageSequences::captureExposureImagesForTuning(TuningCaptureCompletion completion, qv::ErrorCallback error) {
  auto self = shared_from_this();
  const auto fail = failing(std::move(error));
  if (const auto control = session_->cameraControl()) control->setAutoWhiteBalance(true);
  captureOne([=](qv::SharedData reference) {
    std::int32_t whiteBalance = 0;
    const auto control = self->session_->cameraControl();
    if (!control || !control->getWhiteBalance(&whiteBalance)) whiteBalance = 0;
    const auto interpreter = self->interpreter();
    if (!interpreter) return fail(noScanner());
    interpreter->enableLaser1([=] {
      std::int32_t current = 0;
      const auto control = self->session_->cameraControl();
      // When the camera cannot say, the exposure last set stands in: it is what the camera was
      // told, and tuning sets it just before this capture. Failing that, the longest in use.
      int exposure = 0;
      if (control && control->getExposure(&current)) exposure = current;
      else if (self->lastSetExposure_ != 0) exposure = self->lastSetExposure_;
      else exposure = kLongestExposure;
      self->captureAfterSwitches(exposure, {{Lasers::Laser2}, {Lasers::Off}}, {reference},
                                 [completion, whiteBalance](const std::vector<qv::SharedData>& frames) {
                                   if (completion) completion(frames[0], frames[1], frames[2], frames[3], whiteBalance);
                                 },
                                 fail);
    }, fail);
  }, fail);
}

bool QVLImageSequences::isPointValidWithExposure(int, float, int, int) const { return true; }
