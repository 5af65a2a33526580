// Slice blocks, scan-vertex building and the small file operations under the vertex files.
#include "store/VertexRecords.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <unordered_map>

#include "platform/FileCopy.h"
#include "platform/UUID.h"
#include "store/StoreErrors.h"

namespace qv {

namespace fs = std::filesystem;

bool placePointInSliceBlock(SliceBlock& block, const QVLPoint3D& point) {
  const float row = point.point2DY;
  if (!(row >= 0.0f && row < static_cast<float>(kSliceBlockRows))) return false;
  block[static_cast<std::size_t>(row)] = QVLSliceVertex::fromPoint(point);
  return true;
}

SliceBlockBuild makeSliceBlock(std::span<const QVLPoint3D> points) {
  SliceBlockBuild build;
  for (const auto& p : points) {
    if (placePointInSliceBlock(build.block, p)) ++build.placed;
    else ++build.refused;
  }
  return build;
}

std::vector<std::int32_t> appendScanVertices(std::span<const QVLSliceVertex> grid, std::int16_t lookupId,
                                             std::uint32_t firstRecordNumber, std::vector<QVLScanVertex>& out) {
  const std::size_t slices = grid.size() / kSliceBlockRows;
  std::vector<std::int32_t> index(slices * kSliceBlockRows, 0);
  std::uint32_t record = firstRecordNumber;
  for (std::size_t s = 0; s < slices; ++s) {
    for (std::size_t r = 0; r < kSliceBlockRows; ++r) {
      const QVLSliceVertex& v = grid[s * kSliceBlockRows + r];
      if (!v.hasPoint()) continue;
      QVLScanVertex sv;
      sv.lookupId = lookupId;
      sv.point2DX = v.point2DX;
      sv.point2DY = static_cast<std::uint16_t>(r);
      sv.point3DX = v.point3DX;
      sv.point3DY = v.point3DY;
      sv.point3DZ = v.point3DZ;
      sv.normalX = v.normalX;
      sv.normalY = v.normalY;
      sv.normalZ = v.normalZ;
      sv.colourRed = v.colourRed;
      sv.colourGreen = v.colourGreen;
      sv.colourBlue = v.colourBlue;
      out.push_back(sv);
      index[s * kSliceBlockRows + r] = static_cast<std::int32_t>(record++);
    }
  }
  return index;
}

std::vector<std::int32_t> carryScanVertices(std::span<const QVLScanVertex> from, std::span<const std::int32_t> table,
                                            std::vector<QVLScanVertex>& out) {
  std::vector<std::int32_t> renumbered(table.size(), 0);
  std::unordered_map<std::int32_t, std::int32_t> moved;
  for (std::size_t i = 0; i < table.size(); ++i) {
    const std::int32_t old = table[i];
    if (old <= 0 || static_cast<std::size_t>(old) >= from.size()) continue;
    auto [it, added] = moved.try_emplace(old, static_cast<std::int32_t>(out.size()));
    if (added) out.push_back(from[static_cast<std::size_t>(old)]);
    renumbered[i] = it->second;
  }
  return renumbered;
}

SharedData dataFromScanVertices(std::span<const QVLScanVertex> vertices) {
  Data bytes(vertices.size_bytes());
  if (!bytes.empty()) std::memcpy(bytes.data(), vertices.data(), bytes.size());
  return std::make_shared<const Data>(std::move(bytes));
}

std::size_t scanVertexCount(std::size_t byteLength) { return byteLength / sizeof(QVLScanVertex); }

std::vector<QVLScanVertex> scanVerticesFromData(const Data& data) {
  std::vector<QVLScanVertex> out(scanVertexCount(data.size()));
  if (!out.empty()) std::memcpy(out.data(), data.data(), out.size() * sizeof(QVLScanVertex));
  return out;
}

SharedData dataFromIndexTable(std::span<const std::int32_t> table) {
  Data bytes(table.size_bytes());
  if (!bytes.empty()) std::memcpy(bytes.data(), table.data(), bytes.size());
  return std::make_shared<const Data>(std::move(bytes));
}

std::vector<std::int32_t> indexTableFromData(const Data& data) {
  std::vector<std::int32_t> out(data.size() / sizeof(std::int32_t));
  if (!out.empty()) std::memcpy(out.data(), data.data(), out.size() * sizeof(std::int32_t));
  return out;
}

namespace {

Error fileError(int err, const std::string& what, const fs::path& file) {
  return Error(kScanErrorDomain, kVertexFileError, what + ": " + writeFailureReason(err, file.parent_path().string()),
               {{Error::kFilePathKey, file.string()}, {Error::kUnderlyingErrorKey, err}});
}

bool writeAll(int fd, std::span<const std::uint8_t> bytes, off_t offset, int& err) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::pwrite(fd, bytes.data() + done, bytes.size() - done, offset + static_cast<off_t>(done));
    if (n < 0) {
      if (errno == EINTR) continue;
      err = errno;
      return false;
    }
    if (n == 0) {
      err = ENOSPC;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Opens a vertex file and reads its length; the descriptor is closed again on failure.
std::optional<std::pair<int, off_t>> openWithSize(const fs::path& file, int flags, Error* error) {
  const int fd = ::open(file.c_str(), flags | O_CLOEXEC);
  if (fd < 0) {
    if (error) *error = fileError(errno, "Cannot open the vertex file", file);
    return std::nullopt;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    const int err = errno;
    ::close(fd);
    if (error) *error = fileError(err, "Cannot read the size of the vertex file", file);
    return std::nullopt;
  }
  return std::make_pair(fd, st.st_size);
}

}  // namespace

std::optional<std::uint64_t> appendToFile(const fs::path& file, std::span<const std::uint8_t> bytes, Error* error) {
  const auto opened = openWithSize(file, O_WRONLY, error);
  if (!opened) return std::nullopt;
  const auto [fd, end] = *opened;
  int err = 0;
  if (!writeAll(fd, bytes, end, err)) {
    // Leave no torn block behind: later offsets are computed from the file's length.
    if (::ftruncate(fd, end) != 0) { /* the error below is what the caller needs */ }
    ::close(fd);
    if (error) *error = fileError(err, "Cannot write to the vertex file", file);
    return std::nullopt;
  }
  if (::close(fd) != 0) {
    if (error) *error = fileError(errno, "Cannot finish writing the vertex file", file);
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(end);
}

bool createFileWithContents(const fs::path& file, std::span<const std::uint8_t> bytes, Error* error) {
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    if (error) *error = fileError(errno, "Cannot create the vertex file", file);
    return false;
  }
  int err = 0;
  const bool written = writeAll(fd, bytes, 0, err);
  const bool closed = ::close(fd) == 0;
  if (!written || !closed) {
    if (written) err = errno;
    ::unlink(file.c_str());
    if (error) *error = fileError(err, "Cannot write the new vertex file", file);
    return false;
  }
  return true;
}

bool replaceFileContents(const fs::path& file, std::span<const std::uint8_t> bytes, Error* error) {
  const fs::path fresh = newLibraryFilePath(file.parent_path(), file.filename().string() + ".new");
  const int fd = ::open(fresh.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    if (error) *error = fileError(errno, "Cannot create the vertex file's replacement", fresh);
    return false;
  }
  int err = 0;
  // On disk before the rename: a crash must leave the old records or the new, never an empty file.
  bool done = writeAll(fd, bytes, 0, err);
  if (done && ::fsync(fd) != 0) {
    err = errno;
    done = false;
  }
  if (::close(fd) != 0 && done) {
    err = errno;
    done = false;
  }
  if (done && ::rename(fresh.c_str(), file.c_str()) != 0) {
    err = errno;
    done = false;
  }
  if (!done) {
    ::unlink(fresh.c_str());
    if (error) *error = fileError(err, "Cannot rewrite the vertex file", file);
  }
  return done;
}

std::optional<Data> readWholeFile(const fs::path& file, Error* error) {
  const auto opened = openWithSize(file, O_RDONLY, error);
  if (!opened) return std::nullopt;
  const auto [fd, size] = *opened;
  Data data(static_cast<std::size_t>(size));
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::pread(fd, data.data() + done, data.size() - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int err = n < 0 ? errno : EIO;
      ::close(fd);
      if (error) *error = fileError(err, "Cannot read the vertex file", file);
      return std::nullopt;
    }
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
  return data;
}

fs::path newLibraryFilePath(const fs::path& folder, const std::string& extension) {
  return folder / (makeUUIDString() + (extension.empty() ? "" : "." + extension));
}

std::optional<std::string> copyFileIntoFolder(const std::string& path, const fs::path& folder, Error* error) {
  if (path.empty()) return std::nullopt;
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) return std::nullopt;
  const std::string extension = fs::path(path).extension().string();  // with its dot, or empty
  const fs::path target = folder / (makeUUIDString() + extension);
  int err = 0;
  if (!copyFileExclusively(path, target, err)) {
    if (error) *error = fileError(err, "Cannot copy " + path + " into the library", target);
    return std::nullopt;
  }
  return target.string();
}

}  // namespace qv
