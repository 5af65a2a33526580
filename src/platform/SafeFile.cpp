// Whole-file replacement and keeping damaged files aside.
#include "platform/SafeFile.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>

namespace qv {

namespace fs = std::filesystem;

int replaceTextFile(const fs::path& file, std::string_view text) {
  fs::path temporary = file;
  temporary += ".tmp-" + std::to_string(::getpid());
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return errno;
  int failed = 0;
  for (std::size_t written = 0; written < text.size() && !failed;) {
    const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
    if (n >= 0) {
      written += static_cast<std::size_t>(n);
    } else if (errno != EINTR) {
      failed = errno;
    }
  }
  if (!failed && ::fsync(fd) != 0) failed = errno;
  if (::close(fd) != 0 && !failed) failed = errno;
  if (!failed && ::rename(temporary.c_str(), file.c_str()) != 0) failed = errno;
  if (failed) ::unlink(temporary.c_str());
  return failed;
}

namespace {

std::string asideStamp() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
  return stamp;
}

fs::path asideName(const fs::path& file, const std::string& stamp, int n) {
  fs::path aside = file;
  aside += std::string(".corrupt-") + stamp + (n == 1 ? std::string() : "-" + std::to_string(n));
  return aside;
}

fs::path withSuffix(const fs::path& file, const std::string& suffix) {
  fs::path named = file;
  named += suffix;
  return named;
}

bool nameTaken(const fs::path& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 || errno != ENOENT;
}

// rename() that never replaces: RENAME_NOREPLACE where the file system has it, else a second name
// made with link() (which refuses a taken name) and the first one removed.
int moveWithoutReplacing(const fs::path& from, const fs::path& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return errno;
  if (::link(from.c_str(), to.c_str()) != 0) return errno;
  if (::unlink(from.c_str()) != 0) {
    const int err = errno;
    ::unlink(to.c_str());
    return err;
  }
  return 0;
}

}  // namespace

std::string DamagedFileAside::outcome() const {
  if (path) return "was moved to " + path->string();
  return std::string("could not be set aside (") + std::strerror(error) + ")";
}

DamagedFileAside keepDamagedFileAside(const fs::path& file) {
  int error = 0;
  DamagedFileAside outcome;
  outcome.path = keepDamagedFileAside(file, {}, &error);
  if (!outcome.path) outcome.error = error;
  return outcome;
}

std::optional<fs::path> keepDamagedFileAside(const fs::path& file, const std::vector<std::string>& companionSuffixes,
                                             int* error, const RenameStep& step) {
  const std::string stamp = asideStamp();
  int err = EEXIST;
  for (int n = 1; n < 1000 && err == EEXIST; ++n) {
    const fs::path aside = asideName(file, stamp, n);
    // A companion's name taken by an earlier file's is as taken as the file's own.
    bool taken = false;
    for (const auto& suffix : companionSuffixes) taken = taken || nameTaken(withSuffix(aside, suffix));
    if (taken) continue;
    err = moveFileWithCompanions(file, aside, companionSuffixes, step);
    if (err == 0) return aside;
  }
  if (error) *error = err;
  return std::nullopt;
}

int moveFileWithCompanions(const fs::path& file, const fs::path& target, const std::vector<std::string>& companionSuffixes,
                           const RenameStep& step) {
  auto renameOne = [&](const fs::path& from, const fs::path& to) {
    if (step) step(from, to, false);
    const int err = moveWithoutReplacing(from, to);
    if (step) step(from, to, true);
    return err;
  };
  std::vector<std::pair<fs::path, fs::path>> moved;
  auto moveBack = [&] {
    for (auto it = moved.rbegin(); it != moved.rend(); ++it) renameOne(it->second, it->first);
  };
  if (const int err = renameOne(file, target)) return err;
  moved.emplace_back(file, target);
  for (const auto& suffix : companionSuffixes) {
    const fs::path from = withSuffix(file, suffix);
    if (!nameTaken(from)) continue;
    const fs::path to = withSuffix(target, suffix);
    if (const int err = renameOne(from, to)) {
      moveBack();
      return err;
    }
    moved.emplace_back(from, to);
  }
  return 0;
}

}  // namespace qv
