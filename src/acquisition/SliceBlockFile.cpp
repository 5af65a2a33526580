// Slice blocks read and rewritten in place with pread and pwrite.
#include "acquisition/SliceBlockFile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "store/StoreErrors.h"

namespace qv {

namespace {

Error blockError(const char* what, const std::filesystem::path& file, std::uint64_t offset, int err) {
  std::string description = what;
  if (err) description += ": " + writeFailureReason(err, file.parent_path().string());
  Error e(kScanErrorDomain, kVertexFileError, description,
          {{Error::kFilePathKey, file.string()}, {Error::kOffsetKey, static_cast<std::int64_t>(offset)}});
  if (err) e.userInfo[Error::kUnderlyingErrorKey] = err;
  return e;
}

}  // namespace

std::optional<SliceBlock> readSliceBlockAt(const std::filesystem::path& file, std::uint64_t offset, Error* error) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (error) *error = blockError("Cannot open the vertex file", file, offset, errno);
    return std::nullopt;
  }
  SliceBlock block{};
  auto* bytes = reinterpret_cast<std::uint8_t*>(block.data());
  std::size_t done = 0;
  while (done < kSliceBlockBytes) {
    const ssize_t n = ::pread(fd, bytes + done, kSliceBlockBytes - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int err = n < 0 ? errno : 0;
      ::close(fd);
      if (error) *error = blockError("The vertex file ends inside a slice block", file, offset, err);
      return std::nullopt;
    }
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
  return block;
}

bool overwriteSliceBlockAt(const std::filesystem::path& file, std::uint64_t offset, const SliceBlock& block,
                           Error* error) {
  const int fd = ::open(file.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) {
    if (error) *error = blockError("Cannot open the vertex file", file, offset, errno);
    return false;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || static_cast<std::uint64_t>(st.st_size) < offset + kSliceBlockBytes) {
    ::close(fd);
    if (error) *error = blockError("The slice block lies outside the vertex file", file, offset, 0);
    return false;
  }
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(block.data());
  std::size_t done = 0;
  while (done < kSliceBlockBytes) {
    const ssize_t n = ::pwrite(fd, bytes + done, kSliceBlockBytes - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int err = errno;
      ::close(fd);
      if (error) *error = blockError("Cannot write to the vertex file", file, offset, err);
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  if (::close(fd) != 0) {
    if (error) *error = blockError("Cannot finish writing the vertex file", file, offset, errno);
    return false;
  }
  return true;
}

}  // namespace qv
