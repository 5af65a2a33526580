// The cores the process may compute on: its CPU set, its cgroup's quota, and the idle time of
// those processors alone.
#include <gtest/gtest.h>

#include <sched.h>

#include <fstream>
#include <thread>

#include "platform/Cores.h"
#include "support/TempFolder.h"

namespace {

void put(const std::filesystem::path& file, const std::string& text) {
  std::filesystem::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary) << text;
}

}  // namespace

TEST(Cores, AThreadRestrictedToOneProcessorIsGivenOneCore) {
  const std::vector<int> allowed = qv::allowedProcessors();
  ASSERT_FALSE(allowed.empty());
  // The affinity is the thread's own, so the restriction stays inside this thread.
  std::vector<int> seen;
  int cores = 0;
  std::thread([&] {
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(allowed.back(), &one);
    ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
    seen = qv::allowedProcessors();
    cores = qv::usableCores();
  }).join();
  EXPECT_EQ(seen, std::vector<int>{allowed.back()});
  EXPECT_EQ(cores, 1) << "the machine's core count is not the process's";
}

TEST(Cores, QuotaTextsGiveCoresWorthOfTimeRoundedUp) {
  EXPECT_EQ(qv::quotaFromCpuMax("max 100000\n"), std::nullopt);
  EXPECT_EQ(qv::quotaFromCpuMax("150000 100000\n"), 1.5);
  EXPECT_EQ(qv::quotaFromCpuMax("50000 100000"), 0.5);
  EXPECT_EQ(qv::quotaFromCpuMax(""), std::nullopt) << "no cpu.max file";
  EXPECT_EQ(qv::quotaFromCfs("-1\n", "100000\n"), std::nullopt);
  EXPECT_EQ(qv::quotaFromCfs("250000\n", "100000\n"), 2.5);

  EXPECT_EQ(qv::coresWithin(8, std::nullopt), 8);
  EXPECT_EQ(qv::coresWithin(8, 1.5), 2);
  EXPECT_EQ(qv::coresWithin(8, 0.5), 1) << "a small quota still runs one thread";
  EXPECT_EQ(qv::coresWithin(2, 6.0), 2) << "a generous quota gives no more than the CPU set";
}

// A container's process: its v2 cgroup two levels down, the limit set on the parent; its v1 cpu
// hierarchy mounted from inside a cgroup namespace.
TEST(Cores, TheTightestQuotaOnTheWayUpCountsInEitherHierarchy) {
  qv::test::TempFolder root;
  put(root.path() / "proc/self/cgroup", "0::/user.slice/app.scope\n");
  put(root.path() / "proc/self/mountinfo",
      "24 30 0:22 / /sys/fs/cgroup rw,nosuid,nodev,noexec,relatime shared:9 - cgroup2 cgroup2 rw,nsdelegate\n");
  put(root.path() / "sys/fs/cgroup/cpu.max", "max 100000\n");
  put(root.path() / "sys/fs/cgroup/user.slice/cpu.max", "150000 100000\n");
  put(root.path() / "sys/fs/cgroup/user.slice/app.scope/cpu.max", "max 100000\n");
  EXPECT_EQ(qv::cgroupQuota(root.path()), 1.5) << "a parent's limit binds its children";

  put(root.path() / "proc/self/cgroup", "0::/user.slice/app.scope\n4:cpu,cpuacct:/docker/abc\n");
  put(root.path() / "proc/self/mountinfo",
      "24 30 0:22 / /sys/fs/cgroup/unified rw - cgroup2 cgroup2 rw\n"
      "31 30 0:28 /docker /sys/fs/cgroup/cpu,cpuacct rw,relatime - cgroup cgroup rw,cpu,cpuacct\n");
  put(root.path() / "sys/fs/cgroup/unified/user.slice/cpu.max", "max 100000\n");
  put(root.path() / "sys/fs/cgroup/cpu,cpuacct/abc/cpu.cfs_quota_us", "50000\n");
  put(root.path() / "sys/fs/cgroup/cpu,cpuacct/abc/cpu.cfs_period_us", "100000\n");
  EXPECT_EQ(qv::cgroupQuota(root.path()), 0.5);
}

TEST(Cores, IdleTimeIsCountedOverTheGivenProcessorsOnly) {
  const std::string stat =
      "cpu  40 0 40 420 0 0 0 0 0 0\n"
      "cpu0 10 0 10 80 0 0 0 0 0 0\n"
      "cpu1 0 0 0 100 0 0 0 0 0 0\n"
      "cpu2 30 0 30 30 5 0 5 0 0 0\n"
      "cpu10 0 0 0 210 0 0 0 0 0 0\n"
      "intr 1 2 3\n";
  const std::vector<int> some{0, 2};
  const auto ticks = qv::processorTicks(stat, some);
  ASSERT_TRUE(ticks.has_value());
  EXPECT_EQ(ticks->busy, 10 + 10 + 30 + 30 + 5);
  EXPECT_EQ(ticks->idle, 80 + 30 + 5);
  const std::vector<int> offline{1, 3};
  EXPECT_EQ(qv::processorTicks(stat, offline), std::nullopt) << "a processor without counters";
}
