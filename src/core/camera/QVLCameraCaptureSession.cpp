// The capture session: connecting, the one pending frame request, the watchdog, disconnecting.
#include "core/camera/QVLCameraCaptureSession.h"

#include <algorithm>

#include "platform/Log.h"

namespace {

// What each of the session's codes tells a user who sees it in an alert.
qv::Error cameraError(int code, const char* description = nullptr) {
  if (!description) {
    switch (code) {
      case -1: description = "The frame request was replaced by a newer one"; break;
      case 7: description = "The scanner's camera is not connected"; break;
      case 9: description = "The scanner's camera sent a frame of the wrong size"; break;
      case 12: description = "The scan was paused"; break;
      default: description = "The scanner's camera did not deliver a frame"; break;
    }
  }
  return qv::Error(qv::kScanErrorDomain, code, description);
}

}  // namespace

std::shared_ptr<QVLCameraCaptureSession> QVLCameraCaptureSession::create(Links links) {
  return std::shared_ptr<QVLCameraCaptureSession>(new QVLCameraCaptureSession(std::move(links)));
}

QVLCameraCaptureSession::QVLCameraCaptureSession(Links links) : links_(std::move(links)) {
  if (!links_.lockQueue) links_.lockQueue = qv::makeSerialQueue("Camera queue");
  if (!links_.settings) links_.settings = &qv::Settings::standard();
  if (!links_.inhibitor) links_.inhibitor = qv::ScreenSaverInhibitor::shared();
}

QVLCameraCaptureSession::~QVLCameraCaptureSession() {
  std::lock_guard lock(cameraMutex_);
  if (cameraWatchdogTimer_) cameraWatchdogTimer_->invalidate();
  if (captureSession_) captureSession_->stopRunning();
  if (assertionID_ != 0) links_.inhibitor->release(assertionID_);
}

// ---- connecting ----

void QVLCameraCaptureSession::releaseCameraLocked() {
  if (cameraWatchdogTimer_) cameraWatchdogTimer_->invalidate();
  cameraWatchdogTimer_.reset();
  cameraControl_.reset();
  if (captureSession_) captureSession_->stopRunning();
  captureSession_.reset();
  deliveryQueue_.reset();
  links_.inhibitor->release(assertionID_);
  assertionID_ = 0;
}

bool QVLCameraCaptureSession::failConnect(qv::Error* error, int code, const char* description) {
  // Nothing of a failed connection stays behind, so the next attempt starts afresh.
  releaseCameraLocked();
  if (error) *error = cameraError(code, description);
  return false;
}

bool QVLCameraCaptureSession::connectToScanner(qv::Error* error) {
  const auto device = links_.device ? links_.device() : nullptr;
  if (!device) {
    if (error) *error = cameraError(7, "No scanner is connected");
    return false;
  }
  if (!device->connect()) {
    if (error) *error = cameraError(8, "The scanner's port could not be opened");
    return false;
  }
  if (connectCamera(error)) return true;
  // The port was opened for the camera; a failed connection gives it back.
  device->disconnect();
  return false;
}

bool QVLCameraCaptureSession::connectCamera(qv::Error* error) {
  std::lock_guard lock(cameraMutex_);
  if (captureSession_) return true;

  assertionID_ = links_.inhibitor->inhibit(kAssertionReason);

  std::vector<std::shared_ptr<qv::CaptureDevice>> candidates;
  if (links_.backend) candidates = links_.backend->captureDevices();
  std::shared_ptr<qv::CaptureDevice> camera;
  for (const auto& candidate : candidates) {
    if (candidate->modelID() == kCameraModelID) {
      camera = candidate;
      break;
    }
  }
  if (!camera) return failConnect(error, 7);
  qv::Error cause;
  if (!camera->open(&cause)) {
    QVLogError("The camera cannot be opened: %s", cause.text().c_str());
    return failConnect(error, 8, "The scanner's camera could not be opened");
  }
  QVLogInfo("Connecting to camera");
  const auto formats = camera->availablePixelFormats();
  if (std::find(formats.begin(), formats.end(), qv::kPixelFormatBGRA) != formats.end())
    camera->setVideoSettings(qv::kPixelFormatBGRA, kFrameWidth, kFrameHeight);

  deliveryQueue_ = qv::makeSerialQueue("Quorvel.cameraQueue");
  const std::weak_ptr<QVLCameraCaptureSession> weak = weak_from_this();
  const bool running = camera->startRunning(
      deliveryQueue_,
      [weak](const std::shared_ptr<const qv::CameraSampleBuffer>& sample) {
        if (auto self = weak.lock()) self->captureOutput(sample);
      },
      [weak](const qv::Error& e) {
        if (auto self = weak.lock()) self->cameraErrorHandler(e);
      },
      &cause);
  captureSession_ = camera;
  if (!running) {
    QVLogError("The camera does not start: %s", cause.text().c_str());
    return failConnect(error, 8, "The scanner's camera does not start");
  }

  cameraControl_ = links_.backend->makeCameraControl(kCameraVendorID, kCameraProductID, *links_.settings);
  if (!cameraControl_ || !cameraControl_->setAutoExposure(false))
    return failConnect(error, 8, "The scanner's camera does not take its exposure settings");

  UVCCameraControl& control = *cameraControl_;
  std::int32_t a = 0, b = 0, c = 0;
  if (control.getExposureInterval(&a)) QVLogInfo("Exposure Interval:%d", a);
  a = 0;
  if (control.getMinExposure(&a)) QVLogInfo("Minimum Exposure:%d", a);
  a = 0;
  if (control.getMaxExposure(&a)) QVLogInfo("Maximum Exposure:%d", a);
  a = 0;
  if (control.getMinGain(&a)) QVLogInfo("Minimum Gain:%d", a);
  a = 0;
  if (control.getMaxGain(&a)) QVLogInfo("Maximum Gain:%d", a);
  a = 0;
  if (control.getGain(&a)) QVLogInfo("Current Gain:%d", a);
  using Read = bool (UVCCameraControl::*)(std::int32_t*);
  const struct {
    const char* format;
    Read current, minimum, maximum;
  } ranges[] = {
      {"Brightness %d <= %d <= %d", &UVCCameraControl::getBrightness, &UVCCameraControl::getMinBrightness,
       &UVCCameraControl::getMaxBrightness},
      {"Contrast %d <= %d <= %d", &UVCCameraControl::getContrast, &UVCCameraControl::getMinContrast,
       &UVCCameraControl::getMaxContrast},
      {"Saturation %d <= %d <= %d", &UVCCameraControl::getSaturation, &UVCCameraControl::getMinSaturation,
       &UVCCameraControl::getMaxSaturation},
      {"Sharpness %d <= %d <= %d", &UVCCameraControl::getSharpness, &UVCCameraControl::getMinSharpness,
       &UVCCameraControl::getMaxSharpness},
  };
  for (const auto& range : ranges) {
    a = b = c = 0;
    if ((control.*range.current)(&b) && (control.*range.minimum)(&a) && (control.*range.maximum)(&c))
      QVLOG_AT(qv::log::Level::Info, range.format, a, b, c);
  }
  control.setGain(0);

  cameraWatchdogTimer_ = qv::Timer::scheduledTimer(
      kWatchdogInterval_s,
      [weak] {
        if (auto self = weak.lock()) self->cameraWatchdogTick();
      },
      true);
  return true;
}

// ---- disconnecting ----

void QVLCameraCaptureSession::tearDownCamera() {
  std::lock_guard lock(cameraMutex_);
  releaseCameraLocked();
}

void QVLCameraCaptureSession::disconnectCamera() {
  tearDownCamera();
  // A request still waiting would otherwise never end: no frame can come for it any more.
  if (links_.lockQueue->isCurrent()) {
    failPendingRequest(8);
  } else {
    links_.lockQueue->async([self = shared_from_this()] { self->failPendingRequest(8); });
  }
}

void QVLCameraCaptureSession::disconnectFromScanner(qv::Completion completion, qv::ErrorCallback error) {
  QVLogInfo("Disconnecting from camera");
  disconnectCamera();

  const auto device = links_.device ? links_.device() : nullptr;
  const auto interpreter = links_.deviceInterpreter ? links_.deviceInterpreter() : nullptr;
  if (interpreter) {
    interpreter->kill(
        [device, completion] {
          if (device) device->disconnect();
          if (completion) completion();
        },
        [device, error](const qv::Error& e) {
          if (device) device->disconnect();
          if (error) error(e);
        });
  } else {
    if (device) device->disconnect();
    if (completion) completion();
  }
}

void QVLCameraCaptureSession::cameraErrorHandler(const qv::Error& error) {
  QVLogError("The camera failed while running: %s", error.text().c_str());
  links_.lockQueue->async([self = shared_from_this()] {
    self->disconnectFromScanner({}, {});
    self->failPendingRequest(8);
  });
}

// ---- requests ----

void QVLCameraCaptureSession::captureCameraImages(std::uint64_t count, qv::FramesCompletion completion,
                                                  qv::ErrorCallback error) {
  links_.lockQueue->async([self = shared_from_this(), count, completion = std::move(completion),
                           error = std::move(error)]() mutable {
    if (!self->isConnected()) {
      if (error) error(cameraError(8, "The scanner's camera is not connected"));
      return;
    }
    qv::ErrorCallback replaced;
    {
      std::lock_guard lock(self->requestMutex_);
      if (self->request_.completion) replaced = std::move(self->request_.error);
      self->request_ = Request{std::move(completion), std::move(error), {}, qv::now()};
      ++self->requestSerial_;
      // A request for no frame would wait for ever; it asks for one.
      self->count_ = std::max<std::uint64_t>(count, 1);
    }
    if (replaced) replaced(cameraError(-1));
  });
}

void QVLCameraCaptureSession::captureOutput(const std::shared_ptr<const qv::CameraSampleBuffer>& sampleBuffer) {
  if (count_ == 0 || !sampleBuffer) return;  // nobody waits: not worth a copy
  const std::uint64_t serial = requestSerial_;
  qv::SharedData copy = imageDataFromSampleBuffer(*sampleBuffer);
  links_.lockQueue->async([self = shared_from_this(), copy = std::move(copy), serial] { self->collect(copy, serial); });
}

qv::SharedData QVLCameraCaptureSession::imageDataFromSampleBuffer(const qv::CameraSampleBuffer& sampleBuffer) const {
  return sampleBuffer.copyImageData();
}

void QVLCameraCaptureSession::collect(qv::SharedData frame, std::uint64_t serial) {
  if (count_ == 0) return;  // the request ended meanwhile
  if (serial != requestSerial_) return;  // copied before this request was made
  if (shouldPauseScan_ && hasCompletionHandler()) return failPendingRequest(12);
  if (!frame) return failPendingRequest(8);
  if (frame->size() != kFrameLength) return failPendingRequest(9);
  qv::FramesCompletion completion;
  std::vector<qv::SharedData> frames;
  {
    std::lock_guard lock(requestMutex_);
    request_.frames.push_back(std::move(frame));
    if (--count_ > 0 || !request_.completion) return;
    completion = std::move(request_.completion);
    frames = std::move(request_.frames);
    request_ = Request{};
  }
  qv::mainQueue()->async([completion = std::move(completion), frames = std::move(frames)] { completion(frames); });
}

void QVLCameraCaptureSession::failPendingRequest(int code) {
  qv::ErrorCallback handler;
  {
    std::lock_guard lock(requestMutex_);
    if (!request_.completion && !request_.error) return;
    handler = std::move(request_.error);
    request_ = Request{};
    count_ = 0;
  }
  if (handler) qv::mainQueue()->async([handler = std::move(handler), code] { handler(cameraError(code)); });
}

// ---- the watchdog ----

bool QVLCameraCaptureSession::anyFlagSet() const {
  return shouldPauseScan_ || (links_.ownersPauseOrCancelPending && links_.ownersPauseOrCancelPending());
}

void QVLCameraCaptureSession::cameraWatchdogTick() {
  const auto date = cameraRequestDate();
  if (!date || qv::now() - *date <= qv::seconds(kRequestAgeLimit_s)) return;
  // A request with neither pause nor cancel pending waits without limit.
  if (!anyFlagSet()) return;
  links_.lockQueue->async([self = shared_from_this()] {
    if (!self->anyFlagSet()) return;
    self->shouldPauseScan_ = false;
    if (self->links_.clearOwnersPauseAndCancel) self->links_.clearOwnersPauseAndCancel();
    // A request installed since the tick looked is younger and keeps waiting.
    const auto date = self->cameraRequestDate();
    if (!date || qv::now() - *date <= qv::seconds(kRequestAgeLimit_s)) return;
    self->failPendingRequest(8);
  });
}

// ---- state ----

bool QVLCameraCaptureSession::isConnected() const {
  std::lock_guard lock(cameraMutex_);
  return captureSession_ != nullptr && cameraControl_ != nullptr;
}

std::shared_ptr<UVCCameraControl> QVLCameraCaptureSession::cameraControl() const {
  std::lock_guard lock(cameraMutex_);
  return cameraControl_;
}

std::uint32_t QVLCameraCaptureSession::assertionID() const {
  std::lock_guard lock(cameraMutex_);
  return assertionID_;
}

std::size_t QVLCameraCaptureSession::numberOfImagesCaptured() const {
  std::lock_guard lock(requestMutex_);
  return request_.frames.size();
}

std::optional<qv::TimePoint> QVLCameraCaptureSession::cameraRequestDate() const {
  std::lock_guard lock(requestMutex_);
  return request_.date;
}

bool QVLCameraCaptureSession::hasCompletionHandler() const {
  std::lock_guard lock(requestMutex_);
  return static_cast<bool>(request_.completion);
}

bool QVLCameraCaptureSession::hasErrorHandler() const {
  std::lock_guard lock(requestMutex_);
  return static_cast<bool>(request_.error);
}
