// An in-process simulated scanner serving the calibration controller: a turntable with a target, a head and two lasers.
#pragma once

#include <Eigen/Core>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "calibration/QVLCalibrationDelegate.h"
#include "platform/Queue.h"
#include "sim/calibration/ChessboardTarget.h"
#include "sim/optics/FrameRenderer.h"
#include "sim/optics/Scene.h"
#include "sim/optics/ScannerModel.h"

namespace qv::sim {

// A build whose camera sees the target's lower board from the bottom calibration head height
// (25 mm above home) and its upper board from the top one (101 mm): the standard build's flaws,
// with the head's home lower and the camera pitched down a little more.
ScannerDesign calibrationScannerDesign();

// Every request completes later on the scanner's own serial queue, never inside the call, so a
// whole calibration runs as a chain of callbacks without growing the stack. The mechanical model
// keeps the bed angle (degrees, as turned), the head height (0 at home, at most 185 mm) and the
// camera exposure; frames are rendered from the true scanner model and the scene: the colour
// frames area-averaged (TargetFrameRenderer), the laser frames adding the optics' laser sheets.
// Exposure e gives the optics an exposure factor of e / 100.
class SimulatedCalibrationScanner : public QVLCalibrationDelegate {
public:
  explicit SimulatedCalibrationScanner(const ScannerDesign& design = calibrationScannerDesign());
  ~SimulatedCalibrationScanner() override;

  const ScannerModel& model() const { return model_; }
  // Places (or replaces) the target on the bed, as the user does before each pass.
  void placeTarget(ChessboardTarget::Kind kind, Eigen::Vector2d faceCentre_turntable, double facing_deg,
                   bool withUpperBoard = true);
  void removeTarget();
  const ChessboardTarget* target() const { return target_.get(); }
  // The target's board whose every inner corner the camera sees at the present pose, if any.
  std::optional<ChessboardTarget::Board> boardInView() const;

  // Sensor noise (grey levels, per channel) of every frame.
  void setNoiseSigma(double sigma) { noiseSigma_ = sigma; }
  // The lasers' brightness as a fraction of the optics' standard line (0: the lasers stay dark).
  void setLaserPower(double power) { laserPower_ = power; }

  // Scripted faults. A request named in `failRequest` ("connect", "disconnect", "home", "move",
  // "rotate", "single", "sequence", "save", "exposure", "tuningImages") fails with the error on
  // its nth call from now (1: the next). `setFrameLength` cuts every frame to that many bytes.
  void failRequest(const std::string& name, qv::Error error, int occurrence = 1);
  void setFrameLength(std::optional<std::size_t> length) { frameLength_ = length; }
  // Called with each request's name as it arrives (before it completes), e.g. to cancel there.
  void setRequestHook(std::function<void(const std::string&)> hook) { hook_ = std::move(hook); }

  // What the scanner saw.
  bool connected() const { return connected_.load(); }
  int connectCount() const { return connectCount_.load(); }
  int disconnectCount() const { return disconnectCount_.load(); }
  int requestCount(const std::string& name) const;
  double bedAngle_deg() const;
  double headHeight_mm() const;
  std::shared_ptr<QVSCalibrationDetails> savedCalibration() const;

  // QVLCalibrationDelegate
  void captureCameraImageSequenceForCalibration(QVLCalibration& calibration, int cameraExposure, int laser1Exposure,
                                                int laser2Exposure, qv::Completion completion,
                                                qv::ErrorCallback error) override;
  void captureSingleImageForCalibration(QVLCalibration& calibration, int exposure, qv::Completion completion,
                                        qv::ErrorCallback error) override;
  bool connectToScannerForCalibration(QVLCalibration& calibration, qv::Error* error) override;
  void disconnectFromScannerForCalibration(QVLCalibration& calibration, qv::Completion completion,
                                           qv::ErrorCallback error) override;
  void homeScannerForCalibration(QVLCalibration& calibration, float restoringAngle_deg, MotionCompletion completion,
                                 qv::ErrorCallback error) override;
  void moveHeadByMillimeters(float millimeters, QVLCalibration& calibration, MotionCompletion completion,
                             qv::ErrorCallback error) override;
  void rotateBedByDegrees(float degrees, QVLCalibration& calibration, MotionCompletion completion,
                          qv::ErrorCallback error) override;
  void saveCalibration(std::shared_ptr<QVSCalibrationDetails> details, QVLCalibration& calibration,
                       qv::Completion completion, qv::ErrorCallback error) override;
  std::vector<qv::SharedData> calibrationImages() const override;
  qv::SharedData laser1CalibrationReferenceImage() const override;
  qv::SharedData laser1CalibrationImage() const override;
  qv::SharedData laser1CalibrationVerificationImage() const override;
  qv::SharedData laser2CalibrationReferenceImage() const override;
  qv::SharedData laser2CalibrationImage() const override;
  qv::SharedData laser2CalibrationVerificationImage() const override;

  // QVLTuningDelegate
  void setExposure(int exposure, QVLTuning& tuning, qv::Completion completion, qv::ErrorCallback error) override;
  void captureExposureImagesForTuning(QVLTuning& tuning, ExposureImagesCompletion completion,
                                      qv::ErrorCallback error) override;
  bool isPointValidWithExposure(int exposure, float x, int y, int laser, QVLTuning& tuning) override;

  // The frames at the scanner's present pose and an exposure: lasers off, laser 1 on, laser 2 on,
  // each with fresh noise.
  struct Frames {
    qv::SharedData off;
    qv::SharedData laser1;
    qv::SharedData laser2;
  };
  Frames renderFrames(int exposure);

private:
  struct Base {
    qv::Data off;
    qv::Data laser1;
    qv::Data laser2;
  };
  // The noise-free frames at the present pose.
  Base renderBase(int exposure);
  // A copy with fresh noise, cut to the scripted length.
  qv::SharedData frame(const qv::Data& base);
  // Logs the request, runs the hook, and answers the scripted fault due for it, if any.
  std::optional<qv::Error> arrive(const std::string& name);
  void later(std::function<void()> task);
  // A request that completes later: the scripted fault due for it goes to `error`, else `task` runs.
  void serve(const std::string& name, qv::ErrorCallback error, std::function<void()> task);
  qv::SharedData cut(qv::Data frame) const;

  ScannerModel model_;
  Scene scene_;
  std::shared_ptr<ChessboardTarget> target_;
  std::shared_ptr<qv::Queue> queue_;
  int pending_ = 0;
  std::condition_variable idle_;

  mutable std::mutex mutex_;
  double bedAngle_ = 0.0;
  double headHeight_ = 0.0;
  int exposure_ = 100;
  double noiseSigma_ = 0.0;
  double laserPower_ = 1.0;
  std::uint64_t frameCounter_ = 0;
  std::optional<std::size_t> frameLength_;
  std::function<void(const std::string&)> hook_;
  std::map<std::string, std::vector<std::pair<int, qv::Error>>> faults_;
  std::map<std::string, int> requests_;
  std::atomic<bool> connected_{false};
  std::atomic<int> connectCount_{0};
  std::atomic<int> disconnectCount_{0};
  std::shared_ptr<QVSCalibrationDetails> saved_;
  std::vector<qv::SharedData> calibrationImages_;
  qv::SharedData laserImages_[2][3];  // per laser: reference, on, verification
};

}  // namespace qv::sim
