// The in-process simulated scanner: a bed, a head, two lasers and a camera, serving the scan driver
// and exposure tuning from the ground-truth optics.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "acquisition/QVLScanDelegate.h"
#include "platform/Queue.h"
#include "sim/optics/Scene.h"
#include "sim/optics/ScannerModel.h"
#include "sim/scanner/LaserSheetFrames.h"

namespace qv::sim {

// The mechanics are those the firmware tracks: the bed angle modulo 360, the head height between
// home and 185 mm (a move beyond is refused with code 8 of the protocol domain), the lasers, and
// the camera's exposure. Every request completes on the completion queue (synchronously, in the
// request itself, when there is none), so callers see the same ordering as with real hardware.
class SimulatedScanner : public QVLScanDelegate {
public:
  enum class Request {
    Connect, Home, MoveHead, RotateBed, CaptureFrame, CaptureSequence, SetExposure, CaptureTuning, Disconnect
  };
  struct Options {
    SheetFrameOptions frames;
    double noiseSigma = 0.0;              // sensor noise, grey levels
    double referenceExposure = 100.0;     // the camera exposure that gives the optics' exposure 1
    qv::QueuePtr completionQueue;         // nothing: complete synchronously
  };

  SimulatedScanner(ScannerModel model, Scene scene, Options options);
  ~SimulatedScanner() override;

  const ScannerModel& model() const { return model_; }
  const Scene& scene() const { return scene_; }
  // The calibration a perfect calibration gives (the scanner's record of it).
  std::shared_ptr<const QVSCalibrationDetails> calibration() const { return calibration_; }
  void setCalibration(std::shared_ptr<const QVSCalibrationDetails> calibration);

  // Where the mechanics are now.
  float bedRotation_deg() const;
  float headHeight_mm() const;
  int exposure() const;
  // How many requests of a kind were made.
  int requestCount(Request request) const;

  // The `occurrence`-th request of the kind (counting from 1, from now on) fails with the error.
  void failRequest(Request request, int occurrence, qv::Error error);
  // After this many more frames the camera delivers nothing: capture requests stay unanswered
  // until failStalledCaptures (what the application's camera watchdog does).
  void stopCameraAfterFrames(int frames);
  void failStalledCaptures(const qv::Error& error);
  std::size_t stalledCaptures() const;

  // The light at a bed angle and head height (cached for the last state asked for).
  std::shared_ptr<const SheetLight> lightAt(double bedAngle_deg, double headHeight_mm) const;

  // QVLScanDelegate
  bool connectToScannerForScan(QVLScan& scan, qv::Error* error) override;
  std::shared_ptr<const QVSCalibrationDetails> calibrationDetailsForScan(QVLScan& scan) override;
  void disconnectFromScannerForScan(QVLScan& scan, qv::Completion completion, qv::ErrorCallback error) override;
  void homeScannerForScan(QVLScan& scan, MotionCompletion completion, qv::ErrorCallback error) override;
  void homeScannerForScan(QVLScan& scan, float moveHeadByMillimeters, MotionCompletion completion,
                          qv::ErrorCallback error) override;
  void moveHeadByMillimeters(float millimeters, QVLScan& scan, MotionCompletion completion,
                             qv::ErrorCallback error) override;
  void rotateBedByDegrees(float degrees, QVLScan& scan, MotionCompletion completion, qv::ErrorCallback error) override;
  void captureCameraImageForScan(QVLScan& scan, int exposure, int whiteBalance, FrameCompletion completion,
                                 qv::ErrorCallback error) override;
  void captureCameraImageSequenceForScan(QVLScan& scan, int nonLaserExposure, int nonLaserWhitebalance,
                                         const std::vector<int>& laser1Exposures,
                                         const std::vector<int>& laser2Exposures, SequenceCompletion completion,
                                         qv::ErrorCallback error) override;
  // QVLTuningDelegate
  void setExposure(int exposure, QVLTuning& tuning, qv::Completion completion, qv::ErrorCallback error) override;
  void captureExposureImagesForTuning(QVLTuning& tuning, ExposureImagesCompletion completion,
                                      qv::ErrorCallback error) override;
  bool isPointValidWithExposure(int exposure, float x, int y, int laser, QVLTuning& tuning) override;

  static constexpr int kWhiteBalance = 5000;

private:
  void complete(std::function<void()> task);
  std::optional<qv::Error> takeFailure(Request request);
  // False when the camera has stopped: the task is kept for failStalledCaptures.
  bool takeFrames(int frames, qv::ErrorCallback error);
  qv::SharedData frameAt(int exposure, std::array<bool, 2> lasers);
  MotionCompletion reportPosition(MotionCompletion completion);

  ScannerModel model_;
  Scene scene_;
  Options options_;
  std::shared_ptr<const QVSCalibrationDetails> calibration_;

  mutable std::mutex mutex_;
  float bed_ = 0.0f;
  float head_ = 0.0f;
  int exposure_ = 100;
  std::uint64_t frameSeed_ = 1;
  std::map<Request, int> counts_;
  std::map<Request, std::map<int, qv::Error>> failures_;
  std::optional<int> framesLeft_;
  std::vector<qv::ErrorCallback> stalled_;
  mutable std::shared_ptr<const SheetLight> light_;
};

}  // namespace qv::sim
