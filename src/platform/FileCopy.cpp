// Copying a file: copy_file_range within the kernel, read and write where that is not offered.
#include "platform/FileCopy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace qv {

namespace {

constexpr std::size_t kRangeBytes = std::size_t{1} << 24;  // asked of copy_file_range at a time
constexpr std::size_t kChunkBytes = std::size_t{1} << 20;  // read and written at a time

// Whether copy_file_range cannot copy between these two files at all (an older kernel, another
// file system), so that plain reads and writes must: nothing has been copied yet then.
bool notOffered(int err) { return err == ENOSYS || err == EXDEV || err == EINVAL || err == EOPNOTSUPP; }

bool writeAll(int fd, const char* bytes, std::size_t size, int& err) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(fd, bytes + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      err = n < 0 ? errno : ENOSPC;  // a write that takes nothing has found no room
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool copyByReading(int in, int out, int& err) {
  std::vector<char> buffer(kChunkBytes);
  for (;;) {
    const ssize_t n = ::read(in, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      err = errno;
      return false;
    }
    if (n == 0) return true;
    if (!writeAll(out, buffer.data(), static_cast<std::size_t>(n), err)) return false;
  }
}

bool copyContents(int in, int out, int& err) {
  bool first = true;
  for (;;) {
    const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, kRangeBytes, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      if (first && notOffered(errno)) return copyByReading(in, out, err);
      err = errno;
      return false;
    }
    if (n == 0) return true;
    first = false;
  }
}

}  // namespace

bool copyFileExclusively(const std::filesystem::path& from, const std::filesystem::path& to, int& err) {
  const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) {
    err = errno;
    return false;
  }
  struct stat st {};
  const int described = ::fstat(in, &st) == 0 ? 0 : errno;
  if (described != 0 || !S_ISREG(st.st_mode)) {
    err = described != 0 ? described : EINVAL;
    ::close(in);
    return false;
  }
  const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, st.st_mode & 0777);
  if (out < 0) {
    err = errno;
    ::close(in);
    return false;
  }
  bool copied = copyContents(in, out, err);
  ::close(in);
  if (::close(out) != 0 && copied) {
    err = errno;
    copied = false;
  }
  if (!copied) ::unlink(to.c_str());
  return copied;
}

}  // namespace qv
