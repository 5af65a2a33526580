// V4L2 capture: negotiation, mmap streaming, the newest-frame hand-over and conversion on demand.
#include "core/camera/V4L2CaptureDevice.h"

#include <linux/videodev2.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/camera/FrameConversion.h"
#include "platform/Log.h"

namespace qv {

namespace {

// Formats already in the application's byte order (blue, green, red, then alpha or padding).
bool isBGRAOrder(std::uint32_t f) {
  return f == V4L2_PIX_FMT_ABGR32 || f == V4L2_PIX_FMT_XBGR32 || f == V4L2_PIX_FMT_BGR32;
}
bool isConvertible(std::uint32_t f) {
  return isBGRAOrder(f) || f == V4L2_PIX_FMT_YUYV || f == V4L2_PIX_FMT_MJPEG;
}

// The frame as the camera sent it, turned into BGRA only when someone wants it.
class V4L2Sample final : public CameraSampleBuffer {
public:
  V4L2Sample(std::vector<std::uint8_t> raw, V4L2CaptureDevice::Format format, bool convert)
      : raw_(std::move(raw)), format_(format), convert_(convert) {}

  SharedData copyImageData() const override {
    const auto& f = format_;
    if (!convert_) return std::make_shared<const Data>(raw_.begin(), raw_.end());
    const std::size_t rowBytes = static_cast<std::size_t>(f.width) * 4;
    if (f.pixelFormat == V4L2_PIX_FMT_MJPEG) {
      auto frame = decodeMJPEGToBGRA(raw_.data(), raw_.size(), f.width, f.height);
      return frame ? std::make_shared<const Data>(std::move(*frame)) : nullptr;
    }
    const std::size_t lineBytes = f.pixelFormat == V4L2_PIX_FMT_YUYV ? static_cast<std::size_t>(f.width) * 2 : rowBytes;
    const std::size_t stride = std::max(f.bytesPerLine, lineBytes);
    // A short frame (the camera cut it off) has no honest bytes for its last rows.
    if (f.height <= 0 || raw_.size() < stride * (f.height - 1) + lineBytes) return nullptr;
    auto frame = std::make_shared<Data>(rowBytes * f.height);
    if (f.pixelFormat == V4L2_PIX_FMT_YUYV) {
      convertYUYVToBGRA(raw_.data(), f.width, f.height, stride, frame->data());
    } else {
      for (int row = 0; row < f.height; ++row)
        std::memcpy(frame->data() + row * rowBytes, raw_.data() + row * stride, rowBytes);
      if (f.pixelFormat != V4L2_PIX_FMT_ABGR32)
        for (std::size_t i = 3; i < frame->size(); i += 4) (*frame)[i] = 255;
    }
    return frame;
  }

private:
  std::vector<std::uint8_t> raw_;
  V4L2CaptureDevice::Format format_;
  bool convert_;
};

}  // namespace

struct V4L2CaptureDevice::Shared {
  std::mutex mutex;
  std::vector<std::uint8_t> newest;
  bool hasNewest = false;
  bool deliveryPending = false;
  std::atomic<bool> stopped{false};
  bool errorReported = false;
  int wakeFd = -1;
  QueuePtr queue;
  SampleHandler onFrame;
  RuntimeErrorHandler onError;
  Format format;
  bool convert = false;

  void reportError(const Error& error) {
    {
      std::lock_guard lock(mutex);
      if (errorReported || stopped) return;
      errorReported = true;
    }
    if (onError) onError(error);
  }
};

V4L2CaptureDevice::V4L2CaptureDevice(std::shared_ptr<V4L2Io> io, V4L2Io::Node node, V4L2CaptureOptions options)
    : io_(std::move(io)), node_(std::move(node)), options_(options) {}

V4L2CaptureDevice::~V4L2CaptureDevice() { stopRunning(); }

std::string V4L2CaptureDevice::modelID() const { return uvcModelID(node_.vendorID, node_.productID); }

bool V4L2CaptureDevice::open(Error* error) {
  if (fd_ >= 0) return true;
  const int fd = io_->open(node_.path);
  if (fd < 0) {
    if (error) *error = posixError(-fd, "Cannot open the camera " + node_.path);
    return false;
  }
  fd_ = fd;
  offered_.clear();
  for (std::uint32_t index = 0;; ++index) {
    v4l2_fmtdesc desc{};
    desc.index = index;
    desc.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (io_->ioctl(fd_, VIDIOC_ENUM_FMT, &desc) != 0) break;
    offered_.push_back(desc.pixelformat);
  }
  return true;
}

std::vector<std::uint32_t> V4L2CaptureDevice::availablePixelFormats() {
  const bool any = std::any_of(offered_.begin(), offered_.end(), isConvertible);
  return any ? std::vector<std::uint32_t>{kPixelFormatBGRA} : std::vector<std::uint32_t>{};
}

void V4L2CaptureDevice::setVideoSettings(std::uint32_t pixelFormat, int width, int height) {
  settingsAsked_ = true;
  askedFormat_ = pixelFormat;
  askedWidth_ = width;
  askedHeight_ = height;
}

bool V4L2CaptureDevice::offersSize(std::uint32_t pixelFormat, int width, int height) {
  for (std::uint32_t index = 0;; ++index) {
    v4l2_frmsizeenum size{};
    size.index = index;
    size.pixel_format = pixelFormat;
    if (io_->ioctl(fd_, VIDIOC_ENUM_FRAMESIZES, &size) != 0) return false;
    if (size.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
      if (static_cast<int>(size.discrete.width) == width && static_cast<int>(size.discrete.height) == height) return true;
    } else {
      const auto& s = size.stepwise;
      const auto w = static_cast<std::uint32_t>(width), h = static_cast<std::uint32_t>(height);
      return w >= s.min_width && w <= s.max_width && h >= s.min_height && h <= s.max_height &&
             (s.step_width == 0 || (w - s.min_width) % s.step_width == 0) &&
             (s.step_height == 0 || (h - s.min_height) % s.step_height == 0);
    }
  }
}

bool V4L2CaptureDevice::negotiate(std::uint32_t pixelFormat, int width, int height) {
  v4l2_format format{};
  format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  if (pixelFormat != 0) {
    format.fmt.pix.pixelformat = pixelFormat;
    format.fmt.pix.width = static_cast<std::uint32_t>(width);
    format.fmt.pix.height = static_cast<std::uint32_t>(height);
    format.fmt.pix.field = V4L2_FIELD_NONE;
    if (io_->ioctl(fd_, VIDIOC_S_FMT, &format) != 0) return false;
  } else if (io_->ioctl(fd_, VIDIOC_G_FMT, &format) != 0) {
    return false;
  }
  // The driver answers with what it chose, which may not be what was asked for.
  format_.pixelFormat = format.fmt.pix.pixelformat;
  format_.width = static_cast<int>(format.fmt.pix.width);
  format_.height = static_cast<int>(format.fmt.pix.height);
  format_.bytesPerLine = format.fmt.pix.bytesperline;
  format_.sizeImage = format.fmt.pix.sizeimage;
  return true;
}

bool V4L2CaptureDevice::startRunning(QueuePtr queue, SampleHandler onFrame, RuntimeErrorHandler onError, Error* error) {
  auto fail = [&](int err, const std::string& what) {
    if (error) *error = posixError(err, what + " (" + node_.path + ")");
    releaseBuffers();
    return false;
  };
  if (fd_ < 0) return fail(ENODEV, "The camera is not open");
  if (shared_) return true;

  // Uncompressed frames first: compression smears the thin laser line the scans are made from.
  bool negotiated = false;
  if (settingsAsked_ && askedFormat_ == kPixelFormatBGRA) {
    std::vector<std::uint32_t> order;
    for (std::uint32_t f : {V4L2_PIX_FMT_ABGR32, V4L2_PIX_FMT_XBGR32, V4L2_PIX_FMT_BGR32, V4L2_PIX_FMT_YUYV,
                            V4L2_PIX_FMT_MJPEG})
      if (std::find(offered_.begin(), offered_.end(), f) != offered_.end()) order.push_back(f);
    auto sized = std::find_if(order.begin(), order.end(),
                              [&](std::uint32_t f) { return offersSize(f, askedWidth_, askedHeight_); });
    if (!order.empty()) negotiated = negotiate(sized != order.end() ? *sized : order.front(), askedWidth_, askedHeight_);
  }
  if (!negotiated && !negotiate(0, 0, 0)) return fail(EINVAL, "The camera reports no capture format");
  QVLogInfo("Camera %s: %dx%d frames in %.4s", node_.path.c_str(), format_.width, format_.height,
            reinterpret_cast<const char*>(&format_.pixelFormat));

  v4l2_requestbuffers request{};
  request.count = static_cast<std::uint32_t>(options_.bufferCount);
  request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  request.memory = V4L2_MEMORY_MMAP;
  if (int r = io_->ioctl(fd_, VIDIOC_REQBUFS, &request); r != 0) return fail(-r, "The camera has no buffers");
  if (request.count == 0) return fail(ENOMEM, "The camera has no buffers");
  for (std::uint32_t i = 0; i < request.count; ++i) {
    v4l2_buffer buffer{};
    buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buffer.memory = V4L2_MEMORY_MMAP;
    buffer.index = i;
    if (int r = io_->ioctl(fd_, VIDIOC_QUERYBUF, &buffer); r != 0) return fail(-r, "Cannot query a camera buffer");
    void* address = io_->mmap(fd_, buffer.length, buffer.m.offset);
    if (!address) return fail(ENOMEM, "Cannot map a camera buffer");
    buffers_.push_back({address, buffer.length});
    if (int r = io_->ioctl(fd_, VIDIOC_QBUF, &buffer); r != 0) return fail(-r, "Cannot queue a camera buffer");
  }
  int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  if (int r = io_->ioctl(fd_, VIDIOC_STREAMON, &type); r != 0) return fail(-r, "The camera does not stream");

  auto shared = std::make_shared<Shared>();
  shared->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (shared->wakeFd < 0) {
    io_->ioctl(fd_, VIDIOC_STREAMOFF, &type);
    return fail(errno, "Cannot make the capture thread's wake-up");
  }
  shared->queue = std::move(queue);
  shared->onFrame = std::move(onFrame);
  shared->onError = std::move(onError);
  shared->format = format_;
  shared->convert = settingsAsked_ && isConvertible(format_.pixelFormat);
  shared_ = shared;
  thread_ = std::thread([this, shared] { captureLoop(shared); });
  return true;
}

void V4L2CaptureDevice::captureLoop(std::shared_ptr<Shared> shared) {
  const int stallMs = static_cast<int>(std::max<std::int64_t>(
      1, std::chrono::duration_cast<std::chrono::milliseconds>(options_.stallTimeout).count()));
  while (!shared->stopped) {
    pollfd fds[2] = {{fd_, POLLIN, 0}, {shared->wakeFd, POLLIN, 0}};
    const int n = ::poll(fds, 2, stallMs);
    if (shared->stopped) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      shared->reportError(posixError(errno, "Waiting for the camera failed"));
      return;
    }
    if (n == 0) {
      shared->reportError(posixError(ETIMEDOUT, "The camera stopped delivering frames"));
      return;
    }
    if (fds[0].revents == 0) continue;
    v4l2_buffer buffer{};
    buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buffer.memory = V4L2_MEMORY_MMAP;
    const int r = io_->ioctl(fd_, VIDIOC_DQBUF, &buffer);
    if (r == -EAGAIN) continue;
    if (r != 0) {
      // ENODEV when the camera was unplugged; anything else leaves no way to go on either.
      shared->reportError(posixError(-r, "The camera failed"));
      return;
    }
    if (buffer.index < buffers_.size() && !(buffer.flags & V4L2_BUF_FLAG_ERROR)) {
      const auto* bytes = static_cast<const std::uint8_t*>(buffers_[buffer.index].address);
      const std::size_t used = std::min<std::size_t>(buffer.bytesused, buffers_[buffer.index].length);
      bool post = false;
      {
        std::lock_guard lock(shared->mutex);
        shared->newest.assign(bytes, bytes + used);  // a late frame is simply overwritten
        shared->hasNewest = true;
        post = !shared->deliveryPending;
        shared->deliveryPending = true;
      }
      if (post) {
        std::weak_ptr<Shared> weak = shared;
        shared->queue->async([weak] {
          auto s = weak.lock();
          if (!s) return;
          std::vector<std::uint8_t> raw;
          {
            std::lock_guard lock(s->mutex);
            s->deliveryPending = false;
            if (!s->hasNewest || s->stopped) return;
            raw.swap(s->newest);
            s->hasNewest = false;
          }
          if (s->onFrame) s->onFrame(std::make_shared<V4L2Sample>(std::move(raw), s->format, s->convert));
        });
      }
    }
    if (int q = io_->ioctl(fd_, VIDIOC_QBUF, &buffer); q != 0) {
      shared->reportError(posixError(-q, "The camera failed"));
      return;
    }
  }
}

void V4L2CaptureDevice::stopRunning() {
  if (shared_) {
    shared_->stopped = true;
    const std::uint64_t one = 1;
    [[maybe_unused]] auto written = ::write(shared_->wakeFd, &one, sizeof one);
    if (thread_.joinable()) {
      if (thread_.get_id() == std::this_thread::get_id()) thread_.detach();
      else thread_.join();
    }
    ::close(shared_->wakeFd);
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    io_->ioctl(fd_, VIDIOC_STREAMOFF, &type);
    shared_.reset();
  }
  releaseBuffers();
  closeDevice();
}

void V4L2CaptureDevice::releaseBuffers() {
  for (const Buffer& b : buffers_) io_->munmap(b.address, b.length);
  if (!buffers_.empty() && fd_ >= 0) {
    v4l2_requestbuffers request{};
    request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    request.memory = V4L2_MEMORY_MMAP;
    io_->ioctl(fd_, VIDIOC_REQBUFS, &request);
  }
  buffers_.clear();
}

void V4L2CaptureDevice::closeDevice() {
  if (fd_ >= 0) io_->close(fd_);
  fd_ = -1;
}

V4L2CameraBackend::V4L2CameraBackend(std::shared_ptr<V4L2Io> io, V4L2CaptureOptions options)
    : io_(std::move(io)), options_(options) {}

std::vector<std::shared_ptr<CaptureDevice>> V4L2CameraBackend::captureDevices() {
  std::vector<std::shared_ptr<CaptureDevice>> devices;
  for (const auto& node : io_->videoNodes()) {
    const int fd = io_->open(node.path);
    if (fd < 0) continue;
    v4l2_capability caps{};
    const bool ok = io_->ioctl(fd, VIDIOC_QUERYCAP, &caps) == 0;
    io_->close(fd);
    const std::uint32_t c = (caps.capabilities & V4L2_CAP_DEVICE_CAPS) ? caps.device_caps : caps.capabilities;
    if (ok && (c & V4L2_CAP_VIDEO_CAPTURE) && (c & V4L2_CAP_STREAMING))
      devices.push_back(std::make_shared<V4L2CaptureDevice>(io_, node, options_));
  }
  return devices;
}

std::shared_ptr<UVCCameraControl> V4L2CameraBackend::makeCameraControl(std::int64_t vendorID, std::int64_t productID,
                                                                       Settings& settings) {
  return std::make_shared<UVCCameraControl>(vendorID, productID, io_, settings);
}

}  // namespace qv
