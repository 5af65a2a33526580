// The scripted video device: real eventfds stand for its descriptors so that poll() works on them.
#include "FakeV4L2Device.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace qv::test {

FakeV4L2Device::FakeV4L2Device() {
  current_.width = 640;
  current_.height = 480;
  current_.pixelformat = V4L2_PIX_FMT_YUYV;
  current_.bytesperline = 1280;
  current_.sizeimage = 640 * 480 * 2;
}

FakeV4L2Device::~FakeV4L2Device() {
  for (int fd : open_) ::close(fd);
}

int FakeV4L2Device::open(const std::string& path) {
  std::lock_guard lock(mutex_);
  if (unplugged_) return -ENODEV;
  if (std::none_of(nodes.begin(), nodes.end(), [&](const Node& n) { return n.path == path; })) return -ENOENT;
  const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  open_.insert(fd);
  ++opens_;
  opened_.push_back(path);
  return fd;
}

void FakeV4L2Device::close(int fd) {
  std::lock_guard lock(mutex_);
  if (open_.erase(fd)) ::close(fd);
  if (fd == streamFd_) streamFd_ = -1;
}

void FakeV4L2Device::wake(int fd) {
  const std::uint64_t one = 1;
  [[maybe_unused]] auto n = ::write(fd, &one, sizeof one);
}

void FakeV4L2Device::drain(int fd) {
  std::uint64_t value;
  [[maybe_unused]] auto n = ::read(fd, &value, sizeof value);
}

namespace {
std::size_t lineBytes(std::uint32_t format, std::uint32_t width) {
  if (format == V4L2_PIX_FMT_YUYV) return width * 2;
  if (format == V4L2_PIX_FMT_MJPEG) return 0;
  return width * 4;
}
}  // namespace

int FakeV4L2Device::ioctl(int fd, unsigned long request, void* argument) {
  std::lock_guard lock(mutex_);
  if (!open_.count(fd)) return -EBADF;
  if (unplugged_) return -ENODEV;
  switch (request) {
    case VIDIOC_QUERYCAP: {
      auto* caps = static_cast<v4l2_capability*>(argument);
      *caps = v4l2_capability{};
      caps->capabilities = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING | V4L2_CAP_DEVICE_CAPS;
      caps->device_caps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
      return 0;
    }
    case VIDIOC_ENUM_FMT: {
      auto* desc = static_cast<v4l2_fmtdesc*>(argument);
      if (desc->index >= formats.size()) return -EINVAL;
      desc->pixelformat = formats[desc->index].first;
      return 0;
    }
    case VIDIOC_ENUM_FRAMESIZES: {
      auto* size = static_cast<v4l2_frmsizeenum*>(argument);
      for (const auto& [format, sizes] : formats) {
        if (format != size->pixel_format) continue;
        if (size->index >= sizes.size()) return -EINVAL;
        size->type = V4L2_FRMSIZE_TYPE_DISCRETE;
        size->discrete.width = static_cast<std::uint32_t>(sizes[size->index].first);
        size->discrete.height = static_cast<std::uint32_t>(sizes[size->index].second);
        return 0;
      }
      return -EINVAL;
    }
    case VIDIOC_S_FMT: {
      auto* f = static_cast<v4l2_format*>(argument);
      const auto it = std::find_if(formats.begin(), formats.end(), [&](const auto& e) { return e.first == f->fmt.pix.pixelformat; });
      if (it == formats.end() || it->second.empty()) return -EINVAL;
      // A size the camera does not have becomes its first, as drivers pick the nearest they can.
      auto size = std::find(it->second.begin(), it->second.end(),
                            std::pair<int, int>(static_cast<int>(f->fmt.pix.width), static_cast<int>(f->fmt.pix.height)));
      if (size == it->second.end()) size = it->second.begin();
      current_.pixelformat = it->first;
      current_.width = static_cast<std::uint32_t>(size->first);
      current_.height = static_cast<std::uint32_t>(size->second);
      current_.bytesperline = static_cast<std::uint32_t>(lineBytes(it->first, current_.width));
      current_.sizeimage = it->first == V4L2_PIX_FMT_MJPEG ? current_.width * current_.height * 2
                                                           : current_.bytesperline * current_.height;
      f->fmt.pix = current_;
      return 0;
    }
    case VIDIOC_G_FMT:
      static_cast<v4l2_format*>(argument)->fmt.pix = current_;
      return 0;
    case VIDIOC_REQBUFS: {
      auto* r = static_cast<v4l2_requestbuffers*>(argument);
      buffers_.assign(r->count, std::vector<std::uint8_t>(current_.sizeimage));
      queued_.clear();
      done_.clear();
      return 0;
    }
    case VIDIOC_QUERYBUF: {
      auto* b = static_cast<v4l2_buffer*>(argument);
      if (b->index >= buffers_.size()) return -EINVAL;
      b->length = static_cast<std::uint32_t>(buffers_[b->index].size());
      b->m.offset = b->index * 0x100000u;
      return 0;
    }
    case VIDIOC_QBUF: {
      auto* b = static_cast<v4l2_buffer*>(argument);
      if (b->index >= buffers_.size()) return -EINVAL;
      queued_.push_back(b->index);
      return 0;
    }
    case VIDIOC_DQBUF: {
      auto* b = static_cast<v4l2_buffer*>(argument);
      if (done_.empty()) return -EAGAIN;
      b->index = done_.front().first;
      b->bytesused = done_.front().second;
      b->flags = 0;
      done_.pop_front();
      if (done_.empty()) drain(fd);
      return 0;
    }
    case VIDIOC_STREAMON:
      streaming_ = true;
      streamFd_ = fd;
      return 0;
    case VIDIOC_STREAMOFF:
      streaming_ = false;
      return 0;
    case VIDIOC_QUERYCTRL: {
      auto* q = static_cast<v4l2_queryctrl*>(argument);
      const auto it = controls.find(q->id);
      if (it == controls.end()) return -EINVAL;
      q->type = it->second.type;
      q->minimum = it->second.minimum;
      q->maximum = it->second.maximum;
      q->step = it->second.step;
      q->flags = 0;
      return 0;
    }
    case VIDIOC_G_CTRL: {
      auto* c = static_cast<v4l2_control*>(argument);
      const auto it = controls.find(c->id);
      if (it == controls.end()) return -EINVAL;
      c->value = it->second.value;
      return 0;
    }
    case VIDIOC_S_CTRL: {
      auto* c = static_cast<v4l2_control*>(argument);
      const auto it = controls.find(c->id);
      if (it == controls.end()) return -EINVAL;
      writes_.emplace_back(c->id, c->value);
      it->second.value = c->value;
      return 0;
    }
    default:
      return -ENOTTY;
  }
}

void* FakeV4L2Device::mmap(int, std::size_t, std::uint32_t offset) {
  std::lock_guard lock(mutex_);
  const std::uint32_t index = offset / 0x100000u;
  return index < buffers_.size() ? buffers_[index].data() : nullptr;
}

void FakeV4L2Device::munmap(void*, std::size_t) {}

bool FakeV4L2Device::pushFrame(const std::vector<std::uint8_t>& bytes) {
  std::lock_guard lock(mutex_);
  if (!streaming_ || queued_.empty() || streamFd_ < 0) return false;
  const std::uint32_t index = queued_.front();
  queued_.pop_front();
  auto& buffer = buffers_[index];
  const std::size_t n = std::min(bytes.size(), buffer.size());
  std::memcpy(buffer.data(), bytes.data(), n);
  done_.emplace_back(index, static_cast<std::uint32_t>(n));
  wake(streamFd_);
  return true;
}

void FakeV4L2Device::unplug() {
  std::lock_guard lock(mutex_);
  unplugged_ = true;
  if (streamFd_ >= 0) wake(streamFd_);
}

std::vector<std::pair<std::uint32_t, std::int32_t>> FakeV4L2Device::controlWrites() const {
  std::lock_guard lock(mutex_);
  return writes_;
}
std::vector<std::string> FakeV4L2Device::openedPaths() const {
  std::lock_guard lock(mutex_);
  return opened_;
}

int FakeV4L2Device::opens() const {
  std::lock_guard lock(mutex_);
  return opens_;
}
std::uint32_t FakeV4L2Device::format() const {
  std::lock_guard lock(mutex_);
  return current_.pixelformat;
}
int FakeV4L2Device::width() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(current_.width);
}
int FakeV4L2Device::height() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(current_.height);
}
bool FakeV4L2Device::streaming() const {
  std::lock_guard lock(mutex_);
  return streaming_;
}
int FakeV4L2Device::openDescriptors() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(open_.size());
}

}  // namespace qv::test
