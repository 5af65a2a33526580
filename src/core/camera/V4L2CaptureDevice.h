// A USB camera through V4L2: format negotiation, mmap streaming on a capture thread that keeps only
// the newest frame, and YUYV or Motion-JPEG frames converted to BGRA when they are asked for.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "core/camera/CaptureDevice.h"
#include "core/camera/V4L2Io.h"

namespace qv {

struct V4L2CaptureOptions {
  int bufferCount = 4;
  // A camera that delivers nothing for this long while streaming is taken as dead (real time: a
  // stalled USB camera never says so itself).
  Duration stallTimeout = seconds(5.0);
};

class V4L2CaptureDevice final : public CaptureDevice {
public:
  V4L2CaptureDevice(std::shared_ptr<V4L2Io> io, V4L2Io::Node node, V4L2CaptureOptions options = {});
  ~V4L2CaptureDevice() override;

  std::string modelID() const override;
  bool open(Error* error) override;
  std::vector<std::uint32_t> availablePixelFormats() override;
  void setVideoSettings(std::uint32_t pixelFormat, int width, int height) override;
  bool startRunning(QueuePtr queue, SampleHandler onFrame, RuntimeErrorHandler onError, Error* error) override;
  void stopRunning() override;

  const V4L2Io::Node& node() const { return node_; }
  // The format frames come in from the camera (a V4L2 fourcc) and their size, once running.
  std::uint32_t sourceFormat() const { return format_.pixelFormat; }
  int width() const { return format_.width; }
  int height() const { return format_.height; }

  struct Format {
    std::uint32_t pixelFormat = 0;
    int width = 0;
    int height = 0;
    std::size_t bytesPerLine = 0;
    std::size_t sizeImage = 0;
  };

private:
  struct Buffer {
    void* address = nullptr;
    std::size_t length = 0;
  };
  struct Shared;  // what the capture thread and the deliveries share

  bool offersSize(std::uint32_t pixelFormat, int width, int height);
  bool negotiate(std::uint32_t pixelFormat, int width, int height);
  void captureLoop(std::shared_ptr<Shared> shared);
  void releaseBuffers();
  void closeDevice();

  const std::shared_ptr<V4L2Io> io_;
  const V4L2Io::Node node_;
  const V4L2CaptureOptions options_;
  int fd_ = -1;
  std::vector<std::uint32_t> offered_;  // the camera's own formats
  bool settingsAsked_ = false;
  std::uint32_t askedFormat_ = 0;
  int askedWidth_ = 0, askedHeight_ = 0;
  Format format_;
  std::vector<Buffer> buffers_;
  std::shared_ptr<Shared> shared_;
  std::thread thread_;
};

// The kernel's cameras: every video node that captures and streams.
class V4L2CameraBackend final : public CameraBackend {
public:
  explicit V4L2CameraBackend(std::shared_ptr<V4L2Io> io = V4L2Io::system(), V4L2CaptureOptions options = {});
  std::vector<std::shared_ptr<CaptureDevice>> captureDevices() override;
  std::shared_ptr<UVCCameraControl> makeCameraControl(std::int64_t vendorID, std::int64_t productID,
                                                      Settings& settings) override;

private:
  std::shared_ptr<V4L2Io> io_;
  V4L2CaptureOptions options_;
};

}  // namespace qv
