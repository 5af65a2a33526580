// Exposure control and the laser image sequences on top of the capture session's one-frame
// requests: the settle delay, the one-laser and both-laser sequences, the run over a list of
// exposures, and the two camera requests of automatic exposure tuning.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

#include "core/camera/QVLCameraCaptureSession.h"
#include "records/QVLScanResultSet.h"

class QVLImageSequences : public std::enable_shared_from_this<QVLImageSequences> {
public:
  using LaserSequenceCompletion =
      std::function<void(qv::SharedData reference, qv::SharedData laser, qv::SharedData verification)>;
  using LasersSequenceCompletion = std::function<void(qv::SharedData reference, qv::SharedData laser1,
                                                      qv::SharedData laser2, qv::SharedData verification)>;
  using ExposureRunCompletion = std::function<void(qv::SharedData colourImage, std::vector<QVLScanResultSet> laser1Results,
                                                   std::vector<QVLScanResultSet> laser2Results)>;
  using TuningCaptureCompletion =
      std::function<void(qv::SharedData reference, qv::SharedData laser1, qv::SharedData laser2,
                         qv::SharedData verification, int whiteBalance)>;

  // The exposure the settle delay treats as the longest in use when it knows of no other.
  static constexpr int kLongestExposure = 10000;

  static std::shared_ptr<QVLImageSequences> create(
      std::shared_ptr<QVLCameraCaptureSession> session,
      std::function<std::shared_ptr<QVLIInterpreterProtocol>()> deviceInterpreter);

  // The camera control's exposure set; no wait.
  bool setCameraExposure(int exposure);
  // The white-balance convention of the relays: 0 switches automatic white balance on; any other
  // value switches it off and sets that temperature. The results are not examined.
  void setCameraWhiteBalance(int whiteBalance);
  // Runs the completion on the high-priority global queue once frames at `exposure` can be
  // trusted: the wait of the longer of this exposure and the one before it.
  void delayForCameraExposure(int exposure, qv::Completion completion);
  // The wait an exposure needs to settle: 0.2 s at 10 rising linearly to 1.0 s at 10000 (unclamped).
  static qv::Duration settleTimeForExposure(int exposure);
  int lastExposure() const { return lastExposure_; }

  // Laser index 0 selects laser 1, any other laser 2. Every failure after the sequence has begun
  // switches the lasers off before it is reported, unless a newer camera request replaced this one (-1).
  void captureCameraImageSequenceForLaser(int laser, int exposure, LaserSequenceCompletion completion,
                                          qv::ErrorCallback error);
  void captureCameraImageSequenceForLasersWithExposure(int exposure, LasersSequenceCompletion completion,
                                                       qv::ErrorCallback error);
  // Runs the exposures from `index` on, one after another: both lasers at one in both lists, one
  // laser at one in one list, code 5 for one in neither.
  void captureLaserImagesForExposures(std::vector<double> exposures, std::size_t indexOfExposureToEvaluate,
                                      std::vector<double> laser1Exposures, std::vector<double> laser2Exposures,
                                      std::vector<QVLScanResultSet> laser1Results,
                                      std::vector<QVLScanResultSet> laser2Results, qv::SharedData colourImage,
                                      ExposureRunCompletion completion, qv::ErrorCallback error);

  // Exposure tuning's two requests.
  void setExposureForTuning(int exposure, qv::Completion completion, qv::ErrorCallback error);
  void captureExposureImagesForTuning(TuningCaptureCompletion completion, qv::ErrorCallback error);
  bool isPointValidWithExposure(int exposure, float x, int y, int laser) const;

private:
  QVLImageSequences(std::shared_ptr<QVLCameraCaptureSession> session,
                    std::function<std::shared_ptr<QVLIInterpreterProtocol>()> deviceInterpreter);

  std::shared_ptr<QVLIInterpreterProtocol> interpreter() const;
  void captureOne(std::function<void(qv::SharedData)> frame, qv::ErrorCallback error);
  // Hands a failure on once the lasers are off.
  qv::ErrorCallback failing(qv::ErrorCallback error);

  enum class Lasers { Laser1, Laser2, Off };
  // A switch of the lasers between two frames of a sequence; `settleFirst` waits out the exposure
  // once more before switching.
  struct LaserSwitch {
    Lasers to;
    bool settleFirst = false;
  };
  using FramesCompletion = std::function<void(std::vector<qv::SharedData> frames)>;
  // The steps every laser sequence is made of: waits for `exposure` to settle and captures a frame,
  // then makes the first switch and goes on with the rest; `done` gets `frames` with every frame
  // captured added. A switch finding no scanner fails with code 1.
  void captureAfterSwitches(int exposure, std::vector<LaserSwitch> switches, std::vector<qv::SharedData> frames,
                            FramesCompletion done, qv::ErrorCallback fail);

  const std::shared_ptr<QVLCameraCaptureSession> session_;
  const std::function<std::shared_ptr<QVLIInterpreterProtocol>()> deviceInterpreter_;
  std::atomic<int> lastExposure_{0};
  std::atomic<int> lastSetExposure_{0};
};
