// The camera interface the capture session runs on: cameras that deliver frames on a queue of
// the session's choosing, and the platform that lists them and makes their control object.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/camera/UVCCameraControl.h"
#include "platform/Error.h"
#include "platform/Queue.h"
#include "platform/Settings.h"
#include "platform/Value.h"

namespace qv {

// 'BGRA': 32-bit pixels, bytes blue, green, red, alpha.
inline constexpr std::uint32_t kPixelFormatBGRA = 0x42475241;

// One frame as the camera delivered it. Its bytes are made only when asked for, so that frames
// nobody wants cost nothing.
class CameraSampleBuffer {
public:
  virtual ~CameraSampleBuffer() = default;
  // The frame as rows of 32-bit pixels in the format asked for (bytes per row x height, no
  // padding); nullptr when it cannot be had (a frame that does not decode).
  virtual SharedData copyImageData() const = 0;
};

// One camera. Not thread-safe: the capture session drives it from one thread at a time.
class CaptureDevice {
public:
  using SampleHandler = std::function<void(const std::shared_ptr<const CameraSampleBuffer>&)>;
  using RuntimeErrorHandler = std::function<void(const Error&)>;

  virtual ~CaptureDevice() = default;

  // "UVC Camera VendorID_<vendor> ProductID_<product>" for a USB camera.
  virtual std::string modelID() const = 0;
  // Takes the camera for this session; false (with the reason) when it cannot be had.
  virtual bool open(Error* error) = 0;
  // The pixel formats frames can be delivered in (after open).
  virtual std::vector<std::uint32_t> availablePixelFormats() = 0;
  // Asks for frames in this format and size; a camera that cannot keeps its own.
  virtual void setVideoSettings(std::uint32_t pixelFormat, int width, int height) = 0;
  // Starts the frames: `onFrame` runs on `queue`, one frame at a time. Frames that arrive while
  // the previous one is still being handled replace each other, so only the newest waits.
  // `onError` may come from any thread, once, when the camera fails while running (unplugged).
  virtual bool startRunning(QueuePtr queue, SampleHandler onFrame, RuntimeErrorHandler onError, Error* error) = 0;
  // Stops the frames and lets the camera go. No handler starts after it returns.
  virtual void stopRunning() = 0;
};

// The platform's cameras.
class CameraBackend {
public:
  virtual ~CameraBackend() = default;
  virtual std::vector<std::shared_ptr<CaptureDevice>> captureDevices() = 0;
  // The image controls of the camera with this USB identity.
  virtual std::shared_ptr<UVCCameraControl> makeCameraControl(std::int64_t vendorID, std::int64_t productID,
                                                              Settings& settings) = 0;
};

}  // namespace qv
