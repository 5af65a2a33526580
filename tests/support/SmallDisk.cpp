// The small file system: a forked child enters new namespaces, mounts the tmpfs and runs the same
// test again with the mount point in its environment.
#include "support/SmallDisk.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <vector>

#include <linux/magic.h>

extern char** environ;

namespace qv::test {

namespace fs = std::filesystem;

namespace {

constexpr const char* kVariable = "QUORVEL_TEST_SMALL_DISK";

// The steps the child takes before it runs the test, for the reason a skip gives.
enum Step : int { kNamespace = 1, kIdentity, kPrivateMounts, kMount, kRun };

const char* stepName(int step) {
  switch (step) {
    case kNamespace: return "a private mount namespace cannot be made";
    case kIdentity: return "the user namespace's identity cannot be set";
    case kPrivateMounts: return "the mounts cannot be made private";
    case kMount: return "a tmpfs cannot be mounted";
    default: return "the test cannot be run again";
  }
}

// Only calls that are safe after a fork of a process with threads: system calls on prepared bytes.
bool writeAll(const char* path, const std::string& text) {
  const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  return ::close(fd) == 0 && ok;
}

[[noreturn]] void failStep(int pipe, int step) {
  const int report[2] = {step, errno};
  [[maybe_unused]] const ssize_t n = ::write(pipe, report, sizeof report);
  ::_exit(127);
}

}  // namespace

std::optional<fs::path> smallDiskFolder() {
  const char* folder = std::getenv(kVariable);
  if (!folder || !*folder) return std::nullopt;
  // Never a disk of anyone's: the test fills what it is given.
  struct statfs st {};
  if (::statfs(folder, &st) != 0 || st.f_type != TMPFS_MAGIC)
    throw std::runtime_error(std::string(kVariable) + " names no tmpfs: " + folder);
  return fs::path(folder);
}

bool runOnSmallDisk(std::uint64_t bytes, std::string* whyNot) {
  const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
  std::error_code ec;
  const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (ec) {
    *whyNot = "the test program cannot be found again: " + ec.message();
    return false;
  }
  std::string pattern = (fs::temp_directory_path() / "quorvel-small-disk-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) {
    *whyNot = std::string("no mount point can be made: ") + std::strerror(errno);
    return false;
  }
  const std::string mountPoint = pattern;

  // Everything the child needs, made before the fork.
  const std::string filter = std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name();
  std::vector<std::string> arguments = {exe.string(), filter};
  std::vector<std::string> environment;
  for (char** e = environ; *e; ++e)
    if (std::strncmp(*e, kVariable, std::strlen(kVariable)) != 0) environment.emplace_back(*e);
  environment.push_back(std::string(kVariable) + "=" + mountPoint);
  std::vector<char*> argv, envp;
  for (auto& a : arguments) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto& e : environment) envp.push_back(e.data());
  envp.push_back(nullptr);
  const std::string options = "size=" + std::to_string(bytes) + ",mode=0700";
  const std::string uidMap = "0 " + std::to_string(::geteuid()) + " 1\n";
  const std::string gidMap = "0 " + std::to_string(::getegid()) + " 1\n";
  const bool root = ::geteuid() == 0;

  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) {
    *whyNot = std::string("no pipe: ") + std::strerror(errno);
    ::rmdir(mountPoint.c_str());
    return false;
  }
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(report[0]);
    // As root a mount namespace is enough; otherwise (or where root may not) a user namespace of
    // our own grants it.
    if (!root || ::unshare(CLONE_NEWNS) != 0) {
      if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) failStep(report[1], kNamespace);
      if (!writeAll("/proc/self/setgroups", "deny") || !writeAll("/proc/self/uid_map", uidMap) ||
          !writeAll("/proc/self/gid_map", gidMap))
        failStep(report[1], kIdentity);
    }
    // The mount must not reach the namespace it came from.
    if (::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) failStep(report[1], kPrivateMounts);
    if (::mount("tmpfs", mountPoint.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) failStep(report[1], kMount);
    ::execve(argv[0], argv.data(), envp.data());
    failStep(report[1], kRun);
  }
  ::close(report[1]);
  if (child < 0) {
    *whyNot = std::string("no child process: ") + std::strerror(errno);
    ::close(report[0]);
    ::rmdir(mountPoint.c_str());
    return false;
  }
  int failure[2] = {0, 0};
  ssize_t got = 0;
  while ((got = ::read(report[0], failure, sizeof failure)) < 0 && errno == EINTR) {
  }
  ::close(report[0]);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  ::rmdir(mountPoint.c_str());
  if (got == static_cast<ssize_t>(sizeof failure)) {
    *whyNot = std::string("no small file system can be had here: ") + stepName(failure[0]) + " (" + std::strerror(failure[1]) + ")";
    return false;
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    ADD_FAILURE() << "The run of the test on a small disk failed (wait status " << status << ")";
  return true;
}

void fillDiskLeaving(const fs::path& folder, std::uint64_t bytes) {
  struct statvfs st {};
  ASSERT_EQ(::statvfs(folder.c_str(), &st), 0);
  const std::uint64_t free = static_cast<std::uint64_t>(st.f_bavail) * st.f_frsize;
  ASSERT_GT(free, bytes) << "the disk already has less room than the test leaves";
  std::ofstream filler(folder / "filler", std::ios::binary);
  const std::vector<char> block(std::size_t{1} << 16, 'f');
  for (std::uint64_t left = free - bytes; left > 0;) {
    const std::uint64_t n = std::min<std::uint64_t>(left, block.size());
    filler.write(block.data(), static_cast<std::streamsize>(n));
    left -= n;
  }
  filler.close();
  ASSERT_TRUE(filler) << "the filler could not be written";
}

}  // namespace qv::test
