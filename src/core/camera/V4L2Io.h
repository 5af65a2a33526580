// The thin seam between the camera code and the kernel's video devices: sysfs look-ups and the
// handful of calls V4L2 needs, so that tests can stand a scripted device in for a real one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qv {

class V4L2Io {
public:
  // One video node as sysfs describes it.
  struct Node {
    std::string path;    // "/dev/video0"
    std::string name;    // the driver's name for it, "UVC Camera (046d:0825)"
    int vendorID = 0;    // USB idVendor of the device the node belongs to, 0 when not USB
    int productID = 0;   // USB idProduct
    int index = 0;       // the node's index among its device's nodes (0: the capture node of a UVC camera)
  };

  virtual ~V4L2Io() = default;

  // Every video node, in the order of their numbers.
  virtual std::vector<Node> videoNodes() = 0;
  // Opens a node read-write and non-blocking: a descriptor that poll() can wait on, or -errno.
  virtual int open(const std::string& path) = 0;
  virtual void close(int fd) = 0;
  // 0, or -errno; interrupted calls are retried.
  virtual int ioctl(int fd, unsigned long request, void* argument) = 0;
  // Maps a driver buffer; nullptr on failure.
  virtual void* mmap(int fd, std::size_t length, std::uint32_t offset) = 0;
  virtual void munmap(void* address, std::size_t length) = 0;

  // The kernel's devices.
  static std::shared_ptr<V4L2Io> system();
};

// "UVC Camera VendorID_1133 ProductID_2085": the model identifier of a USB camera, as the capture
// code matches cameras by.
std::string uvcModelID(int vendorID, int productID);

}  // namespace qv
