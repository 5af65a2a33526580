// The process's cores from sched_getaffinity, its cgroup's quota from cgroupfs, and the
// per-processor counters of /proc/stat.
#include "platform/Cores.h"

#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

namespace qv {

namespace {

std::string readSmallFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string_view trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

std::optional<long long> integer(std::string_view text) {
  text = trimmed(text);
  long long value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<double> ratio(std::optional<long long> quota, std::optional<long long> period) {
  if (!quota || !period || *quota <= 0 || *period <= 0) return std::nullopt;
  return static_cast<double>(*quota) / static_cast<double>(*period);
}

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  for (std::size_t from = 0;;) {
    const auto at = text.find(separator, from);
    parts.push_back(text.substr(from, at == std::string_view::npos ? std::string_view::npos : at - from));
    if (at == std::string_view::npos) return parts;
    from = at + 1;
  }
}

// The words of a line, however many blanks stand between them.
std::vector<std::string_view> words(std::string_view text) {
  std::vector<std::string_view> parts;
  for (const std::string_view part : split(text, ' '))
    if (!trimmed(part).empty()) parts.push_back(trimmed(part));
  return parts;
}

void tighten(std::optional<double>& tightest, std::optional<double> quota) {
  if (quota && (!tightest || *quota < *tightest)) tightest = quota;
}

// Where a cgroup hierarchy is mounted: the mount point and the cgroup its top stands for.
struct Mount {
  std::string point, root;
};

// The mount of the cgroup2 hierarchy (`cpuController` false) or of the v1 hierarchy carrying the
// cpu controller, from a mountinfo text: "id parent dev root point options... - type source super".
std::optional<Mount> findMount(const std::string& mountinfo, bool cpuController) {
  std::istringstream lines(mountinfo);
  for (std::string line; std::getline(lines, line);) {
    const auto dash = line.find(" - ");
    if (dash == std::string::npos) continue;
    const auto before = words(std::string_view(line).substr(0, dash));
    const auto after = words(std::string_view(line).substr(dash + 3));
    if (before.size() < 5 || after.size() < 3) continue;
    if (!cpuController && after[0] == "cgroup2") return Mount{std::string(before[4]), std::string(before[3])};
    if (cpuController && after[0] == "cgroup") {
      const auto options = split(after[2], ',');
      if (std::find(options.begin(), options.end(), "cpu") != options.end())
        return Mount{std::string(before[4]), std::string(before[3])};
    }
  }
  return std::nullopt;
}

// The quotas from the process's cgroup up to the top of the mounted hierarchy, the tightest kept.
std::optional<double> quotaUpFrom(const std::filesystem::path& root, const Mount& mount, std::string_view cgroup,
                                  bool v2) {
  // Inside a cgroup namespace the mount's top may stand for a cgroup below the hierarchy's root.
  std::string_view below = cgroup;
  if (mount.root != "/") {
    if (below.substr(0, mount.root.size()) != mount.root ||
        (below.size() > mount.root.size() && below[mount.root.size()] != '/'))
      below = {};  // outside what is mounted: only the top can be read
    else
      below.remove_prefix(mount.root.size());
  }
  if (below.find("..") != std::string_view::npos) below = {};
  std::filesystem::path top = (root / std::filesystem::path(mount.point).relative_path()).lexically_normal();
  if (!top.has_filename() && top.has_relative_path()) top = top.parent_path();
  std::filesystem::path folder = top;
  for (const auto& name : std::filesystem::path(below).relative_path())
    if (!name.empty()) folder /= name;
  std::optional<double> tightest;
  for (int depth = 0; depth < 256; ++depth) {
    if (v2)
      tighten(tightest, quotaFromCpuMax(readSmallFile(folder / "cpu.max")));
    else
      tighten(tightest, quotaFromCfs(readSmallFile(folder / "cpu.cfs_quota_us"),
                                     readSmallFile(folder / "cpu.cfs_period_us")));
    if (folder == top || !folder.has_relative_path()) break;
    folder = folder.parent_path();
  }
  return tightest;
}

}  // namespace

std::vector<int> allowedProcessors() {
  // Machines with more processors than a cpu_set_t holds need a larger set.
  for (int size = CPU_SETSIZE; size <= (1 << 16); size *= 2) {
    const std::unique_ptr<cpu_set_t, void (*)(cpu_set_t*)> set(CPU_ALLOC(size), [](cpu_set_t* s) { CPU_FREE(s); });
    if (!set) return {};
    const std::size_t bytes = CPU_ALLOC_SIZE(size);
    CPU_ZERO_S(bytes, set.get());
    if (sched_getaffinity(0, bytes, set.get()) == 0) {
      std::vector<int> processors;
      for (int cpu = 0; cpu < size; ++cpu)
        if (CPU_ISSET_S(cpu, bytes, set.get())) processors.push_back(cpu);
      return processors;
    }
    if (errno != EINVAL) return {};
  }
  return {};
}

std::optional<double> quotaFromCpuMax(std::string_view text) {
  const auto fields = words(text);
  if (fields.size() != 2 || fields[0] == "max") return std::nullopt;
  return ratio(integer(fields[0]), integer(fields[1]));
}

std::optional<double> quotaFromCfs(std::string_view quota, std::string_view period) {
  return ratio(integer(quota), integer(period));
}

std::optional<double> cgroupQuota(const std::filesystem::path& root) {
  const std::string mountinfo = readSmallFile(root / "proc/self/mountinfo");
  std::istringstream lines(readSmallFile(root / "proc/self/cgroup"));
  std::optional<double> tightest;
  // "hierarchy:controllers:path": "0::path" is the v2 hierarchy, a list holding "cpu" the v1 one.
  for (std::string line; std::getline(lines, line);) {
    const auto first = line.find(':'), second = line.find(':', first + 1);
    if (first == std::string::npos || second == std::string::npos) continue;
    const std::string_view controllers = std::string_view(line).substr(first + 1, second - first - 1);
    const std::string_view path = trimmed(std::string_view(line).substr(second + 1));
    const bool v2 = line.substr(0, first) == "0" && controllers.empty();
    const auto names = split(controllers, ',');
    if (!v2 && std::find(names.begin(), names.end(), "cpu") == names.end()) continue;
    if (const auto mount = findMount(mountinfo, !v2)) tighten(tightest, quotaUpFrom(root, *mount, path, v2));
  }
  return tightest;
}

int coresWithin(std::size_t processors, std::optional<double> quota) {
  int cores = static_cast<int>(std::clamp<std::size_t>(processors, 1, 1 << 16));
  // A thread the quota can feed only part of the time still adds that part.
  if (quota) cores = std::min(cores, std::max(1, static_cast<int>(std::ceil(*quota))));
  return cores;
}

int usableCores() {
  const auto processors = allowedProcessors();
  const std::size_t count = processors.empty() ? std::thread::hardware_concurrency() : processors.size();
  return coresWithin(count, cgroupQuota());
}

std::optional<ProcessorTicks> processorTicks(std::string_view procStat, std::span<const int> processors) {
  if (processors.empty()) return std::nullopt;
  ProcessorTicks sum;
  std::size_t found = 0;
  for (const std::string_view line : split(procStat, '\n')) {
    if (line.size() < 4 || line.substr(0, 3) != "cpu" || line[3] < '0' || line[3] > '9') continue;
    const auto fields = words(line);
    const auto cpu = integer(fields[0].substr(3));
    if (!cpu || std::find(processors.begin(), processors.end(), *cpu) == processors.end()) continue;
    // user nice system idle iowait irq softirq steal: idle and iowait leave the processor free.
    ProcessorTicks own;
    for (std::size_t field = 1; field < fields.size() && field <= 8; ++field) {
      const auto ticks = integer(fields[field]);
      if (!ticks) return std::nullopt;
      (field == 4 || field == 5 ? own.idle : own.busy) += static_cast<double>(*ticks);
    }
    sum.busy += own.busy;
    sum.idle += own.idle;
    ++found;
  }
  if (found != processors.size()) return std::nullopt;
  return sum;
}

std::optional<ProcessorTicks> processorTicks(std::span<const int> processors) {
  return processorTicks(readSmallFile("/proc/stat"), processors);
}

}  // namespace qv
