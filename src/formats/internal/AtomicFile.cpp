// Temporary file, flush, rename: the one way the format writers put a file in place.
#include "formats/internal/AtomicFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <set>

#include "formats/FormatErrors.h"
#include "platform/Log.h"
#include "platform/UUID.h"

namespace qv {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kTemporarySuffix = ".tmp";
constexpr std::size_t kUUIDLength = 36;

// Writes every part to the descriptor; 0 or the errno of the failure, with the bytes written.
int writeParts(int fd, std::initializer_list<std::span<const std::uint8_t>> parts, std::uint64_t& written) {
  for (const auto& part : parts) {
    std::size_t done = 0;
    while (done < part.size()) {
      const ssize_t n = ::write(fd, part.data() + done, part.size() - done);
      if (n < 0) {
        if (errno == EINTR) continue;
        return errno;
      }
      done += static_cast<std::size_t>(n);
      written += static_cast<std::uint64_t>(n);
    }
  }
  return 0;
}

// The folder a path lies in, as the user would name it ("." for a bare name).
fs::path folderOf(const fs::path& file) {
  std::error_code ec;
  const fs::path absolute = fs::absolute(file, ec);
  return (ec ? file : absolute).parent_path();
}

// The upper-case form makeUUIDString gives: 8-4-4-4-12 hexadecimal digits.
bool isUUIDText(std::string_view text) {
  if (text.size() != kUUIDLength) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (c != '-') return false;
    } else if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) {
      return false;
    }
  }
  return true;
}

std::uint64_t nanosecondsOf(const struct timespec& t) {
  return static_cast<std::uint64_t>(t.tv_sec) * 1000000000u + static_cast<std::uint64_t>(t.tv_nsec);
}

std::uint64_t realTimeNanoseconds() {
  struct timespec t {};
  ::clock_gettime(CLOCK_REALTIME, &t);
  return nanosecondsOf(t);
}

// The kinds of file the program's writers put in place through a temporary file beside them: the
// scan and project files, the point and mesh exports with the OBJ's material and texture image.
// Only their leftovers are removed; a temporary file of another program, named alike, is not ours.
bool isOwnTarget(std::string_view targetName) {
  static constexpr std::string_view kExtensions[] = {"qvk", "qvkx", "ply", "pcd", "xyz", "obj", "mtl", "png", "stl"};
  const auto dot = targetName.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return false;
  const std::string_view extension = targetName.substr(dot + 1);
  for (const std::string_view own : kExtensions) {
    if (own.size() != extension.size()) continue;
    bool same = true;
    for (std::size_t i = 0; i < own.size() && same; ++i)
      same = std::tolower(static_cast<unsigned char>(extension[i])) == own[i];
    if (same) return true;
  }
  return false;
}

// When each save in progress in this process began: a leftover must be older than all of them.
std::mutex savesMutex;
std::multiset<std::uint64_t> savesInProgress;

std::uint64_t earliestSaveInProgress() {
  std::lock_guard lock(savesMutex);
  return savesInProgress.empty() ? realTimeNanoseconds() : *savesInProgress.begin();
}

}  // namespace

fs::path temporaryPathBeside(const fs::path& target) {
  return target.parent_path() / ("." + target.filename().string() + "." + makeUUIDString() + std::string(kTemporarySuffix));
}

bool isTemporaryName(std::string_view name) {
  // "." + a name of at least one character + "." + UUID + ".tmp"
  if (name.size() < 1 + 1 + 1 + kUUIDLength + kTemporarySuffix.size() || name.front() != '.' || !name.ends_with(kTemporarySuffix))
    return false;
  const std::string_view uuid = name.substr(name.size() - kTemporarySuffix.size() - kUUIDLength, kUUIDLength);
  return isUUIDText(uuid) && name[name.size() - kTemporarySuffix.size() - kUUIDLength - 1] == '.';
}

Error writeFailure(const fs::path& file, std::uint64_t written, const std::string& what, int err, const fs::path& folder) {
  const fs::path named = folder.empty() ? folderOf(file) : folder;
  Error e = fileError(kFileWriteError, file.string(), written, what + ": " + writeFailureReason(err, named.string()));
  e.userInfo[Error::kUnderlyingErrorKey] = err;
  return e;
}

// ---------------------------------------------------------------------------------------------
// The save's temporary file

std::size_t removeLeftoverTemporaries(const fs::path& folder) {
  const std::uint64_t bound = earliestSaveInProgress();
  DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
  if (!dir) return 0;
  const int dirFd = ::dirfd(dir);
  std::size_t removed = 0;
  while (const struct dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (!isTemporaryName(name)) continue;
    // ".<target>.<UUID>.tmp"
    if (!isOwnTarget(name.substr(1, name.size() - 1 - 1 - kUUIDLength - kTemporarySuffix.size()))) continue;
    // Not blocking on a FIFO, never following a link: only a regular file of ours is a leftover.
    const int fd = ::openat(dirFd, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat opened {};
    struct stat named {};
    // The lock is free only when no save holds the file: one still writing it keeps it locked.
    const bool leftover = ::fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode) && nanosecondsOf(opened.st_mtim) < bound &&
                          ::flock(fd, LOCK_EX | LOCK_NB) == 0 &&
                          ::fstatat(dirFd, entry->d_name, &named, AT_SYMLINK_NOFOLLOW) == 0 && named.st_dev == opened.st_dev &&
                          named.st_ino == opened.st_ino;
    if (leftover && ::unlinkat(dirFd, entry->d_name, 0) == 0) {
      QVLogInfo("Removed %s, left by a save that did not finish", (folder / entry->d_name).c_str());
      ++removed;
    }
    ::close(fd);
  }
  ::closedir(dir);
  return removed;
}

SaveTemporary::SaveTemporary(fs::path target) : target_(std::move(target)), started_(realTimeNanoseconds()) {
  std::lock_guard lock(savesMutex);
  savesInProgress.insert(started_);
}

SaveTemporary::~SaveTemporary() {
  // Removed while still locked, so that no other save takes it for a leftover in between.
  if (fd_ >= 0 && !placed_) ::unlink(path_.c_str());
  if (fd_ >= 0) ::close(fd_);
  std::lock_guard lock(savesMutex);
  savesInProgress.erase(savesInProgress.find(started_));
}

std::unique_ptr<SaveTemporary> SaveTemporary::create(const fs::path& target, Error* error) {
  if (target.empty() || target.filename().empty()) {
    if (error) *error = fileError(kFileWriteError, target.string(), 0, "No file name was given");
    return nullptr;
  }
  std::unique_ptr<SaveTemporary> temporary(new SaveTemporary(target));
  removeLeftoverTemporaries(target.parent_path());
  for (int attempt = 0;; ++attempt) {
    temporary->path_ = temporaryPathBeside(target);
    const int fd = ::open(temporary->path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
      if (error) *error = writeFailure(target, 0, "Could not create the file", errno);
      return nullptr;
    }
    // A file system without locks leaves the file to the age rule alone.
    const bool locked = ::flock(fd, LOCK_EX) == 0;
    struct stat st {};
    // Another save's clean-up may have taken the file in the moment before it was locked.
    if (locked && ::fstat(fd, &st) == 0 && st.st_nlink == 0 && attempt < 3) {
      ::close(fd);
      continue;
    }
    temporary->fd_ = fd;
    return temporary;
  }
}

bool SaveTemporary::putInPlace(Error* error, std::uint64_t written) {
  if (fd_ < 0 || placed_) return false;
  // Flushed before the rename, so that a crash leaves the old file or the new one, not an empty one.
  if (::fsync(fd_) != 0) {
    if (error) *error = writeFailure(target_, written, "Could not write the file", errno);
    return false;
  }
  // Renamed while still locked; once flushed, closing it has nothing left to report.
  if (::rename(path_.c_str(), target_.c_str()) != 0) {
    if (error) *error = writeFailure(target_, written, "Could not put the file in place", errno);
    return false;
  }
  placed_ = true;
  ::close(fd_);
  fd_ = -1;
  return true;
}

// ---------------------------------------------------------------------------------------------
// Writing

bool writeWholeFile(const fs::path& path, std::initializer_list<std::span<const std::uint8_t>> parts, Error* error,
                    const fs::path& folder) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) {
    if (error) *error = writeFailure(path, 0, "Could not create the file", errno, folder);
    return false;
  }
  std::uint64_t written = 0;
  int err = writeParts(fd, parts, written);
  if (::close(fd) != 0 && err == 0) err = errno;
  if (err != 0) {
    if (error) *error = writeFailure(path, written, "Could not write the file", err, folder);
    return false;
  }
  return true;
}

bool writeFileAtomically(const fs::path& target, std::initializer_list<std::span<const std::uint8_t>> parts, Error* error) {
  return writeFileAtomically(
      target,
      [&](const ByteSink& sink) {
        for (const auto& part : parts)
          if (!sink(part)) return;
      },
      error);
}

bool writeFileAtomically(const fs::path& target, const std::function<void(const ByteSink&)>& produce, Error* error) {
  auto temporary = SaveTemporary::create(target, error);
  if (!temporary) return false;
  std::uint64_t written = 0;
  int err = 0;
  produce([&](std::span<const std::uint8_t> piece) {
    if (err == 0) err = writeParts(temporary->descriptor(), {piece}, written);
    return err == 0;
  });
  if (err != 0) {
    if (error) *error = writeFailure(target, written, "Could not write the file", err);
    return false;
  }
  return temporary->putInPlace(error, written);
}

}  // namespace qv
