// Machine, model, OS and memory figures from uname, /sys and /proc.
#include "platform/SystemInfo.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "platform/Format.h"

namespace qv::systemInfo {

namespace {

// What the banner says when nothing about the computer can be read.
constexpr const char* kUnknown = "unknown";

std::string firstLine(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  // Device-tree strings end in a NUL byte.
  while (!line.empty() && (line.back() == ' ' || line.back() == '\n' || line.back() == '\r' || line.back() == '\0'))
    line.pop_back();
  return line;
}

// Firmware tables of boards that were never filled in carry these instead of a name.
bool isPlaceholder(const std::string& text) {
  static const char* kPlaceholders[] = {"To Be Filled By O.E.M.", "To be filled by O.E.M.", "Default string",
                                        "System Product Name", "Not Applicable", "None", "Not Specified"};
  for (const char* p : kPlaceholders)
    if (text == p) return true;
  return text.empty();
}

}  // namespace

std::string machine() {
  utsname u{};
  if (uname(&u) != 0 || u.machine[0] == '\0') return kUnknown;
  return u.machine;
}

std::string modelUnder(const std::filesystem::path& root) {
  const std::filesystem::path dmi = root / "sys/class/dmi/id";
  // The product, else the board (a virtual machine often names only one of them), else the
  // chassis, each with its vendor; then the device tree of boards without firmware tables.
  for (const auto& [vendorFile, nameFile] : {std::pair{"sys_vendor", "product_name"}, std::pair{"board_vendor", "board_name"},
                                             std::pair{"chassis_vendor", "chassis_version"}}) {
    const std::string name = firstLine(dmi / nameFile);
    if (isPlaceholder(name)) continue;
    const std::string vendor = firstLine(dmi / vendorFile);
    return isPlaceholder(vendor) ? name : vendor + " " + name;
  }
  const std::string tree = firstLine(root / "proc/device-tree/model");
  return isPlaceholder(tree) ? kUnknown : tree;
}

std::string model() { return modelUnder("/"); }

std::string osVersion() {
  std::string name;
  std::ifstream in("/etc/os-release");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("PRETTY_NAME=", 0) == 0) {
      name = line.substr(12);
      if (name.size() >= 2 && name.front() == '"' && name.back() == '"') name = name.substr(1, name.size() - 2);
    }
  }
  utsname u{};
  std::string kernel = uname(&u) == 0 ? std::string(u.sysname) + " " + u.release : std::string();
  if (name.empty()) return kernel;
  return kernel.empty() ? name : name + ", " + kernel;
}

std::string formatMemory(unsigned long long freeBytes, unsigned long long inactiveBytes,
                         unsigned long long residentBytes) {
  const double mb = 1024.0 * 1024.0;
  const double gb = mb * 1024.0;
  return format("%3.1fMB, %3.1fGB, %3.1fMB", freeBytes / mb, (freeBytes + inactiveBytes) / gb, residentBytes / mb);
}

std::optional<std::string> memory() {
  const long page = sysconf(_SC_PAGESIZE);
  if (page <= 0) return std::nullopt;
  unsigned long long freeKiB = 0, inactiveKiB = 0;
  bool haveFree = false, haveInactive = false;
  std::ifstream meminfo("/proc/meminfo");
  for (std::string line; std::getline(meminfo, line);) {
    std::istringstream fields(line);
    std::string key;
    unsigned long long value = 0;
    fields >> key >> value;
    if (key == "MemFree:") { freeKiB = value; haveFree = true; }
    if (key == "Inactive:") { inactiveKiB = value; haveInactive = true; }
  }
  if (!haveFree || !haveInactive) return std::nullopt;
  unsigned long long residentPages = 0, sizePages = 0;
  std::ifstream statm("/proc/self/statm");
  if (!(statm >> sizePages >> residentPages)) return std::nullopt;
  return formatMemory(freeKiB * 1024ULL, inactiveKiB * 1024ULL,
                      residentPages * static_cast<unsigned long long>(page));
}

}  // namespace qv::systemInfo
