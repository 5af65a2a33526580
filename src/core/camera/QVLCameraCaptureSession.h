// The scanner's camera while a scan, a calibration or the manual scan screen uses the scanner:
// connecting the serial device and the camera, one pending frame request at a time collected on
// the "Camera queue", the camera watchdog, and disconnecting.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "core/camera/CaptureDevice.h"
#include "core/camera/DisplaySleepInhibitor.h"
#include "core/camera/UVCCameraControl.h"
#include "core/QVLCameraConnection.h"
#include "platform/Clock.h"
#include "platform/Error.h"
#include "platform/Queue.h"
#include "platform/Settings.h"
#include "platform/Timer.h"
#include "platform/Value.h"
#include "scancmd/QVLIInterpreterProtocol.h"
#include "scanlink/QVLCDeviceProtocol.h"

namespace qv {
using FramesCompletion = std::function<void(const std::vector<SharedData>& frames)>;
}

class QVLCameraCaptureSession : public QVLCameraConnection,
                                public std::enable_shared_from_this<QVLCameraCaptureSession> {
public:
  static constexpr std::int64_t kCameraVendorID = 1133;   // 0x046D
  static constexpr std::int64_t kCameraProductID = 2085;  // 0x0825
  static constexpr const char* kCameraModelID = "UVC Camera VendorID_1133 ProductID_2085";
  static constexpr int kFrameWidth = 1280;
  static constexpr int kFrameHeight = 960;
  static constexpr std::size_t kFrameLength = 4915200;
  static constexpr double kWatchdogInterval_s = 1.0;
  static constexpr double kRequestAgeLimit_s = 10.0;
  static constexpr const char* kAssertionReason = "Scanning 3D model";

  // What the session is given by its owner, the application delegate.
  struct Links {
    qv::QueuePtr lockQueue;                        // the "Camera queue"
    std::shared_ptr<qv::CameraBackend> backend;
    qv::Settings* settings = nullptr;              // nullptr: the user's settings
    std::shared_ptr<qv::DisplaySleepInhibitor> inhibitor;  // nullptr: the screensaver's
    // The connected scanner's serial device and its interpreter; either may be absent.
    std::function<std::shared_ptr<QVLCDeviceProtocol>()> device;
    std::function<std::shared_ptr<QVLIInterpreterProtocol>()> deviceInterpreter;
    // The pause and cancel flags of the running scan driver (pause, cancel) and calibration
    // controller (cancel), which the watchdog reads and clears beside the application's own.
    std::function<bool()> ownersPauseOrCancelPending;
    std::function<void()> clearOwnersPauseAndCancel;
  };

  static std::shared_ptr<QVLCameraCaptureSession> create(Links links);
  ~QVLCameraCaptureSession() override;

  // Opens the serial device and the camera. True when the camera is up (or already was); on
  // failure (code 7: no device or no camera; 8: the device or the camera failed) everything this
  // call set up is undone.
  bool connectToScanner(qv::Error* error);
  // Tears the camera down, fails a pending request with 8, stops the scanner and closes its port.
  void disconnectFromScanner(qv::Completion completion, qv::ErrorCallback error);
  // The camera's half of the two above, for an owner that opens and closes the port itself: the
  // display-sleep assertion, the camera, its control and the watchdog. A failure undoes what this
  // call set up (the port stays the owner's).
  bool connectCamera(qv::Error* error) override;
  void disconnectCamera() override;
  // Asks for `count` frames (at least 1). Exactly one callback runs later, or neither while the
  // request stays pending: frames and most failures on the main queue; a replaced request (-1)
  // and a request without a camera (8) on the Camera queue.
  void captureCameraImages(std::uint64_t count, qv::FramesCompletion completion, qv::ErrorCallback error);

  // One frame from the camera, on its delivery queue.
  void captureOutput(const std::shared_ptr<const qv::CameraSampleBuffer>& sampleBuffer);
  qv::SharedData imageDataFromSampleBuffer(const qv::CameraSampleBuffer& sampleBuffer) const;
  // The camera failed while running (unplugged): disconnect and fail a pending request with 8.
  void cameraErrorHandler(const qv::Error& error);
  // The camera watchdog's tick (a repeating 1.0 s timer on the main queue while connected).
  void cameraWatchdogTick();

  // ---- state, for the owner and its pause report ----
  bool isConnected() const;  // a capture session exists
  std::shared_ptr<UVCCameraControl> cameraControl() const;
  std::uint32_t assertionID() const;
  bool shouldPauseScan() const { return shouldPauseScan_; }
  void setShouldPauseScan(bool pause) { shouldPauseScan_ = pause; }
  std::uint64_t numberOfImagesToCapture() const { return count_; }
  std::size_t numberOfImagesCaptured() const;
  std::optional<qv::TimePoint> cameraRequestDate() const;
  bool hasCompletionHandler() const;
  bool hasErrorHandler() const;
  const qv::QueuePtr& lockQueue() const { return links_.lockQueue; }
  qv::Settings& settings() const { return *links_.settings; }

private:
  explicit QVLCameraCaptureSession(Links links);

  struct Request {
    qv::FramesCompletion completion;
    qv::ErrorCallback error;
    std::vector<qv::SharedData> frames;
    std::optional<qv::TimePoint> date;
  };

  // Each runs on the Camera queue.
  // `serial` is the request that was pending when the frame was copied.
  void collect(qv::SharedData frame, std::uint64_t serial);
  // Ends the pending request (if any) with `code`, its error handler called on the main queue.
  void failPendingRequest(int code);
  bool anyFlagSet() const;

  // Stops the camera and the watchdog and lets go of the camera, its control, its queue and the
  // display-sleep assertion; under the camera lock.
  void releaseCameraLocked();
  void tearDownCamera();
  bool failConnect(qv::Error* error, int code, const char* description = nullptr);

  Links links_;
  std::atomic<bool> shouldPauseScan_{false};
  std::atomic<std::uint64_t> count_{0};
  // Counts requests installed: a frame copied under an earlier one (say, before the laser it should
  // show was switched on) is not the newer request's frame.
  std::atomic<std::uint64_t> requestSerial_{0};

  mutable std::mutex requestMutex_;  // the request's parts; changed only on the Camera queue
  Request request_;

  mutable std::mutex cameraMutex_;   // the camera's parts; connecting and disconnecting
  std::shared_ptr<qv::CaptureDevice> captureSession_;
  std::shared_ptr<UVCCameraControl> cameraControl_;
  std::shared_ptr<qv::Timer> cameraWatchdogTimer_;
  qv::QueuePtr deliveryQueue_;
  std::uint32_t assertionID_ = 0;
};
