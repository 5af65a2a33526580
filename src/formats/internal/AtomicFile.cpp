// Temporary file, flush, rename: the one way the format writers put a file in place.
#include "formats/internal/AtomicFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "formats/FormatErrors.h"
#include "platform/UUID.h"

namespace qv {

namespace fs = std::filesystem;

fs::path temporaryPathBeside(const fs::path& target) {
  return target.parent_path() / ("." + target.filename().string() + "." + makeUUIDString() + ".tmp");
}

namespace {

Error writeError(const fs::path& target, std::uint64_t offset, const std::string& what, int err) {
  return fileError(kFileWriteError, target.string(), offset, what + ": " + std::strerror(err));
}

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

}  // namespace

bool writeWholeFile(const fs::path& path, std::initializer_list<std::span<const std::uint8_t>> parts, Error* error) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) {
    if (error) *error = writeError(path, 0, "Could not create the file", errno);
    return false;
  }
  std::uint64_t written = 0;
  int err = writeParts(fd, parts, written);
  if (::close(fd) != 0 && err == 0) err = errno;
  if (err != 0) {
    if (error) *error = writeError(path, written, "Could not write the file", err);
    return false;
  }
  return true;
}

bool flushFile(const fs::path& path, Error* error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  int err = fd < 0 ? errno : 0;
  if (err == 0 && ::fsync(fd) != 0) err = errno;
  if (fd >= 0) ::close(fd);
  if (err != 0 && error) *error = writeError(path, 0, "Could not flush the file", err);
  return err == 0;
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
  if (target.empty() || target.filename().empty()) {
    if (error) *error = fileError(kFileWriteError, target.string(), 0, "No file name was given");
    return false;
  }
  const fs::path temporary = temporaryPathBeside(target);
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) {
    if (error) *error = writeError(target, 0, "Could not create the file", errno);
    return false;
  }
  std::uint64_t written = 0;
  int err = 0;
  produce([&](std::span<const std::uint8_t> piece) {
    if (err == 0) err = writeParts(fd, {piece}, written);
    return err == 0;
  });
  // Flushed before the rename, so that a crash leaves the old file or the new one, not an empty one.
  if (err == 0 && ::fsync(fd) != 0) err = errno;
  if (::close(fd) != 0 && err == 0) err = errno;
  if (err != 0) {
    ::unlink(temporary.c_str());
    if (error) *error = writeError(target, written, "Could not write the file", err);
    return false;
  }
  return replaceFileWith(temporary, target, error, written);
}

bool replaceFileWith(const fs::path& temporary, const fs::path& target, Error* error, std::uint64_t written) {
  if (::rename(temporary.c_str(), target.c_str()) != 0) {
    const int err = errno;
    ::unlink(temporary.c_str());
    if (error) *error = writeError(target, written, "Could not put the file in place", err);
    return false;
  }
  return true;
}

}  // namespace qv
