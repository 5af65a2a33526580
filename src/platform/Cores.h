// How many cores the process may compute on: its CPU set and its cgroup's CPU quota, not the
// machine's core count. Threads beyond these only queue behind one another, and OpenMP's waiting
// threads spin away the time of the working ones.
#pragma once

#include <filesystem>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace qv {

// The threads a compute loop should run on: the processors of the calling thread's CPU set
// (what `taskset` or a cpuset leaves it, inherited by the threads it starts), fewer when the
// cgroup's CPU quota allows less time than that (a quota of 1.5 cores gives 2), at least 1.
// Cheap enough to ask for each loop; the worker pools of the queues, which mostly wait on
// files and devices, keep their own count.
int usableCores();

// The processors the calling thread may run on, ascending; empty when the kernel does not say.
std::vector<int> allowedProcessors();

// Cores' worth of CPU time a cgroup v2 `cpu.max` text ("<quota|max> <period>") allows; none
// when it sets no limit or cannot be read.
std::optional<double> quotaFromCpuMax(std::string_view text);
// The same from cgroup v1's `cpu.cfs_quota_us` and `cpu.cfs_period_us` (a quota of -1: no limit).
std::optional<double> quotaFromCfs(std::string_view quota, std::string_view period);
// The tightest quota of the process's cgroup and of the cgroups above it, v2 and v1, found
// through `proc/self/cgroup` and `proc/self/mountinfo` under `root` ("/" but in tests).
std::optional<double> cgroupQuota(const std::filesystem::path& root = "/");
// Cores for a CPU set of `processors` under `quota`: the quota rounded up, at least 1.
int coresWithin(std::size_t processors, std::optional<double> quota);

// Kernel time counters of some processors together, in clock ticks since boot.
struct ProcessorTicks {
  double busy = 0;
  double idle = 0;  // idle and waiting for I/O: free for work
};
// The counters of `processors` summed from the per-processor lines of a `/proc/stat` text; none
// when a processor has no line.
std::optional<ProcessorTicks> processorTicks(std::string_view procStat, std::span<const int> processors);
// The same from the running kernel's `/proc/stat`.
std::optional<ProcessorTicks> processorTicks(std::span<const int> processors);

}  // namespace qv
