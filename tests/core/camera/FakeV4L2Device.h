// A scripted video device behind the V4L2 seam: the formats and sizes it offers, its controls,
// frames pushed by the test, and unplugging.
#pragma once

#include <linux/videodev2.h>

#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include "core/camera/V4L2Io.h"

namespace qv::test {

class FakeV4L2Device final : public V4L2Io {
public:
  struct Control {
    std::int32_t minimum = 0, maximum = 255, step = 1, value = 0;
    std::uint32_t type = V4L2_CTRL_TYPE_INTEGER;
  };

  FakeV4L2Device();
  ~FakeV4L2Device() override;

  std::vector<Node> nodes;
  // Each offered format with the frame sizes it comes in.
  std::vector<std::pair<std::uint32_t, std::vector<std::pair<int, int>>>> formats;
  std::map<std::uint32_t, Control> controls;

  std::vector<Node> videoNodes() override { return nodes; }
  int open(const std::string& path) override;
  void close(int fd) override;
  int ioctl(int fd, unsigned long request, void* argument) override;
  void* mmap(int fd, std::size_t length, std::uint32_t offset) override;
  void munmap(void* address, std::size_t length) override;

  // Fills the next free buffer with these bytes and marks it done; false when none is free (the
  // frame is lost, as a camera overrunning its buffers loses it).
  bool pushFrame(const std::vector<std::uint8_t>& bytes);
  // The camera goes away: waiting readers wake to ENODEV.
  void unplug();

  // What the device was asked.
  std::vector<std::pair<std::uint32_t, std::int32_t>> controlWrites() const;
  int opens() const;
  std::vector<std::string> openedPaths() const;  // in the order opened
  std::uint32_t format() const;
  int width() const;
  int height() const;
  bool streaming() const;
  int openDescriptors() const;

private:
  void wake(int fd);
  void drain(int fd);

  mutable std::mutex mutex_;
  std::set<int> open_;
  int opens_ = 0;
  std::vector<std::string> opened_;
  bool unplugged_ = false;
  bool streaming_ = false;
  int streamFd_ = -1;
  v4l2_pix_format current_{};
  std::vector<std::vector<std::uint8_t>> buffers_;
  std::deque<std::uint32_t> queued_;
  std::deque<std::pair<std::uint32_t, std::uint32_t>> done_;  // index, bytes used
  std::vector<std::pair<std::uint32_t, std::int32_t>> writes_;
};

}  // namespace qv::test
