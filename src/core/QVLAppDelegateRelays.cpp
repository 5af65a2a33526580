// The relays between the scan driver (and the scan and manual scan screens) and the hardware:
// motions through the known scanner's interpreter with the position read back afterwards, and
// frames through the capture session and its image sequences. The relays neither queue nor retry;
// each request ends in exactly one of its callbacks, whatever path it takes.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>

#include "core/QVLAppDelegate.h"
#include "core/QVLAppDelegateRelaySupport.h"
#include "core/camera/QVLCameraCaptureSession.h"
#include "core/camera/QVLImageSequences.h"
#include "platform/Log.h"
#include "platform/Clock.h"
#include "platform/Format.h"

namespace {

using qv::relays::positionReport;
using qv::relays::refuseWithoutScanner;
using qv::relays::relayError;

// Appends `value` to `list` unless it is there already, keeping the first order.
void addDistinct(std::vector<double>& list, int value) {
  if (std::find(list.begin(), list.end(), static_cast<double>(value)) == list.end()) list.push_back(value);
}

std::string joined(const std::vector<int>& values) {
  std::string text;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i) text += ", ";
    text += std::to_string(values[i]);
  }
  return text;
}

// The parts of a comma-separated list of exposures that read as integers.
std::vector<int> exposureList(const std::string& text) {
  std::vector<int> values;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t end = std::min(text.find(',', start), text.size());
    const std::string part = text.substr(start, end - start);
    char* stop = nullptr;
    const long value = std::strtol(part.c_str(), &stop, 10);
    if (stop != part.c_str()) values.push_back(static_cast<int>(value));
    start = end + 1;
  }
  return values;
}

}  // namespace

// ---- the camera ----

void QVLAppDelegate::makeCaptureSession(std::shared_ptr<qv::CameraBackend> backend,
                                        std::shared_ptr<qv::DisplaySleepInhibitor> inhibitor) {
  std::weak_ptr<QVLAppDelegate> weak = weak_from_this();
  QVLCameraCaptureSession::Links links;
  links.lockQueue = lockQueue_;
  links.backend = std::move(backend);
  links.settings = &settings_;
  links.inhibitor = std::move(inhibitor);
  links.device = [weak]() -> std::shared_ptr<QVLCDeviceProtocol> {
    const auto self = weak.lock();
    return self ? self->device() : nullptr;
  };
  links.deviceInterpreter = [weak]() -> std::shared_ptr<QVLIInterpreterProtocol> {
    const auto self = weak.lock();
    return self ? self->deviceInterpreter() : nullptr;
  };
  links.ownersPauseOrCancelPending = [weak] {
    const auto self = weak.lock();
    const auto scan = self ? self->scanController() : nullptr;
    const auto calibration = self ? self->calibrationControl() : nullptr;
    return (scan && (scan->shouldPauseScan() || scan->shouldCancelScan())) ||
           (calibration && calibration->shouldCancelCalibration());
  };
  links.clearOwnersPauseAndCancel = [weak] {
    const auto self = weak.lock();
    if (const auto scan = self ? self->scanController() : nullptr) {
      scan->setShouldPauseScan(false);
      scan->setShouldCancelScan(false);
    }
    if (const auto calibration = self ? self->calibrationControl() : nullptr)
      calibration->setShouldCancelCalibration(false);
  };
  auto session = QVLCameraCaptureSession::create(links);
  auto sequences = QVLImageSequences::create(session, links.deviceInterpreter);
  {
    std::lock_guard lock(mutex_);
    captureSession_ = session;
    imageSequences_ = std::move(sequences);
  }
  setCameraConnection(std::move(session));
}

std::shared_ptr<QVLCameraCaptureSession> QVLAppDelegate::captureSession() const {
  std::lock_guard lock(mutex_);
  return captureSession_;
}

std::shared_ptr<QVLImageSequences> QVLAppDelegate::imageSequences() const {
  std::lock_guard lock(mutex_);
  return imageSequences_;
}

std::shared_ptr<QVLScan> QVLAppDelegate::scanController() const {
  std::lock_guard lock(mutex_);
  return scanController_;
}

bool QVLAppDelegate::shouldPauseScan() const {
  if (const auto session = captureSession()) return session->shouldPauseScan();
  return shouldPauseScan_.load();
}

void QVLAppDelegate::setShouldPauseScan(bool pause) {
  shouldPauseScan_.store(pause);
  if (const auto session = captureSession()) session->setShouldPauseScan(pause);
}

// One colour frame at exposure and white balance; the manual scan screen's variant is refused
// (12) when a cancel of that screen came during the settle delay.
static void colourFrame(const std::shared_ptr<QVLAppDelegate>& self, int exposure, int whiteBalance, bool manual,
                        QVLScanDelegate::FrameCompletion completion, qv::ErrorCallback error) {
  const auto sequences = self->imageSequences();
  const auto session = self->captureSession();
  if (manual) self->setShouldPauseScan(false);
  if (!sequences || !session || !sequences->setCameraExposure(exposure)) {
    if (error) error(relayError(QVLAppErrorExposureNotSet, "The camera exposure could not be set"));
    return;
  }
  sequences->setCameraWhiteBalance(whiteBalance);
  std::weak_ptr<QVLAppDelegate> weak = self;
  sequences->delayForCameraExposure(exposure, [weak, session, manual, completion = std::move(completion),
                                               error = std::move(error)] {
    const auto delegate = weak.lock();
    if (manual && (!delegate || delegate->shouldPauseScan())) {
      if (error) error(relayError(QVLAppErrorPaused, "The scan was paused"));
      return;
    }
    session->captureCameraImages(
        1,
        [completion, error](const std::vector<qv::SharedData>& frames) {
          if (frames.empty()) {
            if (error) error(relayError(QVLAppErrorExposureNotSet, "The camera returned no frame"));
          } else if (completion) {
            completion(frames.front());
          }
        },
        error);
  });
}

// A colour frame, then the laser frames at every exposure of `all`, each laser at those of its own
// list: the sequence of the scan driver and of the manual scan screen.
static void colourThenLaserFrames(const std::shared_ptr<QVLAppDelegate>& self, int nonLaserExposure,
                                  int nonLaserWhitebalance, bool manual, std::vector<double> all,
                                  std::vector<double> laser1, std::vector<double> laser2,
                                  QVLImageSequences::ExposureRunCompletion done, qv::ErrorCallback error) {
  const auto sequences = self->imageSequences();
  colourFrame(self, nonLaserExposure, nonLaserWhitebalance, manual,
              [sequences, all = std::move(all), laser1 = std::move(laser1), laser2 = std::move(laser2),
               done = std::move(done), error](qv::SharedData colour) {
                sequences->captureLaserImagesForExposures(all, 0, laser1, laser2, {}, {}, std::move(colour), done,
                                                          error);
              },
              error);
}

using LaserResults = std::vector<QVLScanResultSet>;

// The manual screen needs frames of both lasers: a run that has none of one fails with code 8.
static QVLImageSequences::ExposureRunCompletion withBothLasers(
    std::function<void(qv::SharedData, const LaserResults&, const LaserResults&)> completion,
    qv::ErrorCallback error) {
  return [completion = std::move(completion), error = std::move(error)](qv::SharedData c, LaserResults r1,
                                                                         LaserResults r2) {
    if (r1.empty() || r2.empty()) {
      if (error) error(relayError(QVLAppErrorExposureNotSet, "A laser's frames are missing"));
    } else {
      completion(std::move(c), r1, r2);
    }
  };
}

// ---- the scan driver's motions ----

bool QVLAppDelegate::connectToScannerForScan(QVLScan&, qv::Error* error) { return connectToScanner(error); }

std::shared_ptr<const QVSCalibrationDetails> QVLAppDelegate::calibrationDetailsForScan(QVLScan&) {
  return calibrationDetails();
}

void QVLAppDelegate::disconnectFromScannerForScan(QVLScan&, qv::Completion completion, qv::ErrorCallback error) {
  disconnectFromScanner(std::move(completion), std::move(error));
}

void QVLAppDelegate::homeScannerForScan(QVLScan& scan, MotionCompletion completion, qv::ErrorCallback error) {
  homeScannerForScan(scan, 0.0f, std::move(completion), std::move(error));
}

void QVLAppDelegate::homeScannerForScan(QVLScan&, float moveHead_mm, MotionCompletion completion,
                                        qv::ErrorCallback error) {
  const auto interpreter = deviceInterpreter();
  if (!interpreter) return refuseWithoutScanner(error);
  auto report = positionReport(interpreter, std::move(completion));
  interpreter->home(
      [interpreter, moveHead_mm, report, error] {
        if (moveHead_mm > 0.0f)
          interpreter->moveCameraByMillimeters(moveHead_mm, report, error);
        else
          report();
      },
      error);
}

void QVLAppDelegate::moveHeadByMillimeters(float millimeters, QVLScan&, MotionCompletion completion,
                                           qv::ErrorCallback error) {
  const auto interpreter = deviceInterpreter();
  if (!interpreter) return refuseWithoutScanner(error);
  interpreter->moveCameraByMillimeters(millimeters, positionReport(interpreter, std::move(completion)),
                                       std::move(error));
}

void QVLAppDelegate::rotateBedByDegrees(float degrees, QVLScan&, MotionCompletion completion, qv::ErrorCallback error) {
  const auto interpreter = deviceInterpreter();
  if (!interpreter) return refuseWithoutScanner(error);
  interpreter->rotatePlatterByDegrees(degrees, positionReport(interpreter, std::move(completion)), std::move(error));
}

// ---- the scan driver's frames ----

void QVLAppDelegate::captureCameraImageForScan(QVLScan&, int exposure, int whiteBalance, FrameCompletion completion,
                                               qv::ErrorCallback error) {
  colourFrame(shared_from_this(), exposure, whiteBalance, false, std::move(completion), std::move(error));
}

void QVLAppDelegate::captureCameraImageSequenceForScan(QVLScan&, int nonLaserExposure, int nonLaserWhitebalance,
                                                       const std::vector<int>& laser1Exposures,
                                                       const std::vector<int>& laser2Exposures,
                                                       SequenceCompletion completion, qv::ErrorCallback error) {
  // Every exposure is run once: those of laser 1 first, then those only laser 2 has; one in both
  // lists is taken with both lasers in the same frames.
  std::vector<double> all, laser1, laser2;
  for (int exposure : laser1Exposures) addDistinct(all, exposure), addDistinct(laser1, exposure);
  for (int exposure : laser2Exposures) addDistinct(all, exposure), addDistinct(laser2, exposure);
  colourThenLaserFrames(shared_from_this(), nonLaserExposure, nonLaserWhitebalance, false, std::move(all),
                        std::move(laser1), std::move(laser2), std::move(completion), std::move(error));
}

// ---- exposure tuning ----

void QVLAppDelegate::setExposure(int exposure, QVLTuning&, qv::Completion completion, qv::ErrorCallback error) {
  const auto sequences = imageSequences();
  if (!sequences) {
    if (error) error(relayError(QVLAppErrorExposureNotSet, "The camera exposure could not be set"));
    return;
  }
  sequences->setExposureForTuning(exposure, std::move(completion), std::move(error));
}

void QVLAppDelegate::captureExposureImagesForTuning(QVLTuning&, ExposureImagesCompletion completion,
                                                    qv::ErrorCallback error) {
  const auto sequences = imageSequences();
  if (!sequences) {
    if (error) error(relayError(QVLAppErrorExposureNotSet, "The camera is not connected"));
    return;
  }
  sequences->captureExposureImagesForTuning(std::move(completion), std::move(error));
}

bool QVLAppDelegate::isPointValidWithExposure(int exposure, float x, int y, int laser, QVLTuning&) {
  const auto sequences = imageSequences();
  return sequences && sequences->isPointValidWithExposure(exposure, x, y, laser);
}

// ---- the scan screen ----

void QVLAppDelegate::buildScanForScanViewController(const qv::ObjectID& scanID, float rotationDegreeInterval,
                                                    float heightMMInterval, qv::Completion onComplete,
                                                    QVLScan::UpdateCallback onUpdate, qv::ErrorCallback onError) {
  setShouldPauseScan(false);
  setCurrentAppState(QVLAppStateScanning);
  auto scan = QVLScan::initWithDelegate(shared_from_this());
  scan->setSettings(&settings_);
  scan->setAdaptiveMinimumDegreesRotation(settings_.floatForKey("AdaptiveScanMinRotation"));
  scan->setAdaptiveMaximumDegreesRotation(settings_.floatForKey("AdaptiveScanMaxRotation"));

  int exposure = 0, whiteBalance = 0;
  std::vector<int> laser1, laser2;
  if (settings_.boolForKey("OverrideAutoTuning")) {
    exposure = static_cast<int>(settings_.integerForKey("CameraNonLaserExposureSetting"));
    whiteBalance = static_cast<int>(settings_.integerForKey("CameraNonLaserWhitebalanceSetting"));
    laser1 = exposureList(settings_.stringForKey("CameraLaser1ExposureSetting").value_or(""));
    laser2 = exposureList(settings_.stringForKey("CameraLaser2ExposureSetting").value_or(""));
    QVLogInfo("******************* Scanning Using Overrides *************");
    QVLogInfo(" Non-laser exposure:%d", exposure);
    QVLogInfo("      White balance:%d", whiteBalance);
    QVLogInfo("Laser 1 exposure(s):%s", joined(laser1).c_str());
    QVLogInfo("Laser 2 exposure(s):%s", joined(laser2).c_str());
    QVLogInfo("**********************************************************");
  }
  {
    std::lock_guard lock(mutex_);
    scanController_ = scan;
  }
  std::weak_ptr<QVLAppDelegate> weak = weak_from_this();
  qv::Completion completed = [weak, onComplete = std::move(onComplete)] {
    if (const auto self = weak.lock()) self->setCurrentAppState(QVLAppStateIdle);
    if (onComplete) onComplete();
  };
  QVLScan::ErrorCallback failed = [weak, onError = std::move(onError)](const qv::Error& error, float bed, float head) {
    if (const auto self = weak.lock()) {
      self->setLastKnownPositionX(bed);
      self->setLastKnownPositionY(head);
      self->setCurrentAppState(QVLAppStateIdle);
    }
    if (onError) onError(error);
  };
  if (settings_.boolForKey("EnableAdaptiveScanning"))
    scan->buildScanWithId(scanID, heightMMInterval, exposure, whiteBalance, std::move(laser1), std::move(laser2),
                          std::move(completed), std::move(onUpdate), std::move(failed));
  else
    scan->buildScanWithId(scanID, rotationDegreeInterval, heightMMInterval, exposure, whiteBalance, std::move(laser1),
                          std::move(laser2), std::move(completed), std::move(onUpdate), std::move(failed));
}

std::vector<std::string> QVLAppDelegate::pauseReportLines() const {
  std::vector<std::string> lines;
  lines.emplace_back("*************************** Pausing scan ****************************");
  const auto session = captureSession();
  const std::uint64_t toReturn = session ? session->numberOfImagesToCapture() : 0;
  const std::size_t captured = session ? session->numberOfImagesCaptured() : 0;
  lines.push_back(qv::format("          Number of images to return:%llu", static_cast<unsigned long long>(toReturn)));
  lines.push_back(qv::format("           Number of images captured:%zu", captured));
  const auto date = session ? session->cameraRequestDate() : std::nullopt;
  if (date) {
    const double ago = qv::toSeconds(qv::now() - *date);
    lines.push_back(qv::format("                   Last request time:%.3f (%f sec ago)", qv::toSeconds(date->time_since_epoch()), ago));
  } else {
    lines.emplace_back("                   Last request time:none");
  }
  const bool completion = session && session->hasCompletionHandler();
  const bool error = session && session->hasErrorHandler();
  lines.push_back(qv::format("Image capture completion handler set:%s", completion ? "Yes" : "No"));
  lines.push_back(qv::format("     Image capture error handler set:%s", error ? "Yes" : "No"));
  if (const auto interpreter = deviceInterpreter()) {
    const auto communications = interpreter->lastCommunications();
    for (std::size_t i = 0; i < communications.size(); ++i)
      lines.push_back(qv::format(i == 0 ? " Last communication with the scanner:%s" : "                                     %s",
                                 communications[i].c_str()));
  }
  return lines;
}

void QVLAppDelegate::pauseScanForScanViewController() {
  const auto scan = scanController();
  if (!scan) return;
  setShouldPauseScan(true);
  for (const auto& line : pauseReportLines()) QVLogInfo("%s", line.c_str());
  // The driver's setter adds the block of its outstanding requests to the report.
  scan->setShouldPauseScan(true);
}

void QVLAppDelegate::resumeCurrentScanForScanViewController(qv::Completion onComplete, QVLScan::UpdateCallback onUpdate,
                                                            qv::ErrorCallback onError) {
  setShouldPauseScan(false);
  const auto scan = scanController();
  if (!scan) {
    // Nothing to resume; the screen must not wait for an answer that never comes.
    if (onError) onError(relayError(QVLAppErrorNoScanner, "There is no scan to resume"));
    return;
  }
  scan->setShouldPauseScan(false);
  if (const auto interpreter = deviceInterpreter()) {
    interpreter->setCurrentPositionX(lastKnownPositionX());
    interpreter->setCurrentPositionY(lastKnownPositionY());
  }
  setCurrentAppState(QVLAppStateScanning);
  std::weak_ptr<QVLAppDelegate> weak = weak_from_this();
  scan->resumeCurrentScan(
      [weak, onComplete = std::move(onComplete)] {
        if (const auto self = weak.lock()) self->setCurrentAppState(QVLAppStateIdle);
        if (onComplete) onComplete();
      },
      std::move(onUpdate),
      [weak, onError = std::move(onError)](const qv::Error& error, float bed, float head) {
        if (const auto self = weak.lock()) {
          self->setLastKnownPositionX(bed);
          self->setLastKnownPositionY(head);
          self->setCurrentAppState(QVLAppStateIdle);
        }
        if (onError) onError(error);
      });
}

void QVLAppDelegate::cancelScanForScanViewController() {
  const auto scan = scanController();
  if (captureSession() && scan && !scan->shouldPauseScan()) {
    setShouldPauseScan(true);
    scan->setShouldCancelScan(true);
    return;
  }
  showHudScreen();
}

void QVLAppDelegate::tidyScanForScanViewController() {
  std::shared_ptr<QVLScan> scan;
  {
    std::lock_guard lock(mutex_);
    scan = std::move(scanController_);
  }
  if (scan) scan->tidyUpCurrentScan();
}

// ---- the manual scan screen ----

void QVLAppDelegate::cancelScanForAdvancedScanViewController() { setShouldPauseScan(true); }

void QVLAppDelegate::captureCameraImageForAdvScanViewController(int nonLaserExposure, int nonLaserWhitebalance,
                                                                FrameCompletion completion, qv::ErrorCallback error) {
  colourFrame(shared_from_this(), nonLaserExposure, nonLaserWhitebalance, true, std::move(completion),
              std::move(error));
}

void QVLAppDelegate::captureCameraImageSequenceForAdvScanViewController(int nonLaserExposure, int nonLaserWhitebalance,
                                                                        int laser1Exposure, int laser2Exposure,
                                                                        ManualSequenceCompletion completion,
                                                                        qv::ErrorCallback error) {
  std::vector<double> all;
  addDistinct(all, laser1Exposure);
  addDistinct(all, laser2Exposure);
  auto done = [completion = std::move(completion)](qv::SharedData c, const LaserResults& r1, const LaserResults& r2) {
    if (completion) completion(std::move(c), r1.front(), r2.front());
  };
  colourThenLaserFrames(shared_from_this(), nonLaserExposure, nonLaserWhitebalance, true, std::move(all),
                        {static_cast<double>(laser1Exposure)}, {static_cast<double>(laser2Exposure)},
                        withBothLasers(std::move(done), error), error);
}

void QVLAppDelegate::captureCameraImageSequenceForAdvScanViewController(int nonLaserExposure, int nonLaserWhitebalance,
                                                                        int laser1Low, int laser1High, int laser2Low,
                                                                        int laser2High, ManualLowHighCompletion completion,
                                                                        qv::ErrorCallback error) {
  std::vector<double> all;
  for (int exposure : {laser1Low, laser2Low, laser1High, laser2High}) addDistinct(all, exposure);
  auto done = [completion = std::move(completion)](qv::SharedData c, const LaserResults& r1, const LaserResults& r2) {
    if (completion) completion(std::move(c), r1.front(), r1.back(), r2.front(), r2.back());
  };
  colourThenLaserFrames(shared_from_this(), nonLaserExposure, nonLaserWhitebalance, true, std::move(all),
                        {static_cast<double>(laser1Low), static_cast<double>(laser1High)},
                        {static_cast<double>(laser2Low), static_cast<double>(laser2High)},
                        withBothLasers(std::move(done), error), error);
}

// The manual screen's motions: one answer, carrying the error when there is one.
static void manualMotion(const std::shared_ptr<QVLIInterpreterProtocol>& interpreter,
                         const std::function<void(qv::Completion, qv::ErrorCallback)>& run,
                         QVLAppDelegate::ManualCompletion completion) {
  if (!interpreter) {
    if (completion) completion(relayError(QVLAppErrorManualNoScanner, "No scanner is connected"));
    return;
  }
  run([completion] { if (completion) completion(std::nullopt); },
      [completion](const qv::Error& error) { if (completion) completion(error); });
}

void QVLAppDelegate::moveHeadHomeForAdvScanViewController(ManualCompletion completion) {
  const auto interpreter = deviceInterpreter();
  manualMotion(interpreter, [&](qv::Completion c, qv::ErrorCallback e) { interpreter->home(std::move(c), std::move(e)); },
               std::move(completion));
}

void QVLAppDelegate::moveHeadByMillimetersForAdvScanViewController(float millimeters, ManualCompletion completion) {
  const auto interpreter = deviceInterpreter();
  manualMotion(interpreter,
               [&](qv::Completion c, qv::ErrorCallback e) {
                 interpreter->moveCameraByMillimeters(millimeters, std::move(c), std::move(e));
               },
               std::move(completion));
}

void QVLAppDelegate::rotateBedByDegreesForAdvScanViewController(float degrees, ManualCompletion completion) {
  const auto interpreter = deviceInterpreter();
  manualMotion(interpreter,
               [&](qv::Completion c, qv::ErrorCallback e) {
                 interpreter->rotatePlatterByDegrees(degrees, std::move(c), std::move(e));
               },
               std::move(completion));
}

// ---- quitting ----

void QVLAppDelegate::stopScannerForQuit(qv::Completion completion) {
  if (const auto scan = scanController()) scan->setShouldCancelScan(true);
  if (const auto calibration = calibrationControl()) calibration->setShouldCancelCalibration(true);
  setShouldPauseScan(true);
  auto finished = std::make_shared<std::atomic<bool>>(false);
  auto done = [finished, completion] {
    if (!finished->exchange(true) && completion) completion();
  };
  const auto known = device();
  if (!known || !known->serialPort()) {
    // Nothing is running on a scanner whose port is closed (it is opened only for a job), and a
    // stop sent to it could only fail: the camera is let go and nothing is sent.
    std::shared_ptr<QVLCameraConnection> camera;
    {
      std::lock_guard lock(mutex_);
      camera = camera_;
    }
    if (camera) camera->disconnectCamera();
    qv::mainQueue()->async(done);
    return;
  }
  // The stop the disconnection sends halts the bed, the head and the lasers. The program waits
  // for its answer, so that the lines are written before the process ends, but a scanner that
  // no longer answers must not hold the quit for longer than the limit.
  qv::after(qv::seconds(kQuitStopLimit_s), qv::mainQueue(), [finished, done] {
    if (!*finished) QVLogWarn("The scanner did not answer the stop within %.0f s", kQuitStopLimit_s);
    done();
  });
  disconnectFromScanner([done] { qv::mainQueue()->async(done); }, [done](const qv::Error& error) {
    QVLogError("The scanner could not be stopped: %s", error.text().c_str());
    qv::mainQueue()->async(done);
  });
}
