// The kernel's video devices behind the V4L2 seam: sysfs for identities, system calls for the rest.
#include "core/camera/V4L2Io.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace qv {

namespace {

std::string readLine(const std::filesystem::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

int readHex(const std::filesystem::path& file) {
  const std::string text = readLine(file);
  int value = 0;
  std::from_chars(text.data(), text.data() + text.size(), value, 16);
  return value;
}

int readDecimal(const std::filesystem::path& file) {
  const std::string text = readLine(file);
  int value = 0;
  std::from_chars(text.data(), text.data() + text.size(), value);
  return value;
}

int nodeNumber(const std::string& name) {
  int number = 0;
  std::from_chars(name.data() + 5, name.data() + name.size(), number);  // after "video"
  return number;
}

class SystemV4L2Io final : public V4L2Io {
public:
  std::vector<Node> videoNodes() override {
    std::vector<Node> nodes;
    std::error_code ec;
    const std::filesystem::path root = "/sys/class/video4linux";
    for (const auto& entry : std::filesystem::directory_iterator(root, ec)) {
      const std::string name = entry.path().filename().string();
      if (name.rfind("video", 0) != 0) continue;
      Node node;
      node.path = "/dev/" + name;
      node.name = readLine(entry.path() / "name");
      node.index = readDecimal(entry.path() / "index");
      // The node's device is a USB interface; the USB device with its identity is its parent.
      std::filesystem::path device = std::filesystem::canonical(entry.path() / "device", ec);
      for (int up = 0; !ec && up < 3 && !device.empty(); ++up, device = device.parent_path()) {
        if (std::filesystem::exists(device / "idVendor")) {
          node.vendorID = readHex(device / "idVendor");
          node.productID = readHex(device / "idProduct");
          break;
        }
      }
      ec.clear();
      nodes.push_back(std::move(node));
    }
    std::sort(nodes.begin(), nodes.end(), [](const Node& a, const Node& b) {
      return nodeNumber(a.path.substr(5)) < nodeNumber(b.path.substr(5));
    });
    return nodes;
  }

  int open(const std::string& path) override {
    const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    return fd < 0 ? -errno : fd;
  }

  void close(int fd) override { ::close(fd); }

  int ioctl(int fd, unsigned long request, void* argument) override {
    for (;;) {
      if (::ioctl(fd, request, argument) == 0) return 0;
      if (errno != EINTR) return -errno;
    }
  }

  void* mmap(int fd, std::size_t length, std::uint32_t offset) override {
    void* address = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, offset);
    return address == MAP_FAILED ? nullptr : address;
  }

  void munmap(void* address, std::size_t length) override { ::munmap(address, length); }
};

}  // namespace

std::shared_ptr<V4L2Io> V4L2Io::system() {
  static const auto io = std::make_shared<SystemV4L2Io>();
  return io;
}

std::string uvcModelID(int vendorID, int productID) {
  return "UVC Camera VendorID_" + std::to_string(vendorID) + " ProductID_" + std::to_string(productID);
}

}  // namespace qv
