// Writing a file so that readers see the old file or the whole new one, never a part.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "platform/Error.h"

namespace qv {

// A hidden, fresh name in the target's folder ("." + name + "." + UUID + ".tmp"): on the same
// file system, so the final rename is atomic.
std::filesystem::path temporaryPathBeside(const std::filesystem::path& target);
// Whether a file name is one that temporaryPathBeside makes.
bool isTemporaryName(std::string_view name);

// The error of a write that failed with the system's code `err`: code kFileWriteError naming the
// file and the bytes written to it, "<what>: <why>" as its text and the code under
// "UnderlyingError". For want of room the text says that the disk holding `folder` is full (the
// file's own folder unless the caller names the one the user knows).
Error writeFailure(const std::filesystem::path& file, std::uint64_t written, const std::string& what, int err,
                   const std::filesystem::path& folder = {});

// A save's temporary file beside its target, from its making to its rename over the target. It is
// locked (flock) from the moment it is made until it is renamed or removed, so that a save that
// finds it can tell it from the leftover of a save that was killed: the kernel drops the lock of
// a process that dies. Making one first removes the folder's leftovers (see
// removeLeftoverTemporaries).
class SaveTemporary {
public:
  // Nothing, with the error (naming the target), when the file cannot be made.
  static std::unique_ptr<SaveTemporary> create(const std::filesystem::path& target, Error* error);
  ~SaveTemporary();  // removes the file unless it was put in place
  SaveTemporary(const SaveTemporary&) = delete;
  SaveTemporary& operator=(const SaveTemporary&) = delete;

  const std::filesystem::path& path() const { return path_; }
  int descriptor() const { return fd_; }
  // Flushes the file to the disk (whoever wrote it: the data of every descriptor of the file is
  // flushed) and renames it over the target, so that a crash leaves the old file or the whole new
  // one. On failure the file is removed and the error names the target and the bytes `written`.
  bool putInPlace(Error* error, std::uint64_t written);

private:
  explicit SaveTemporary(std::filesystem::path target);

  std::filesystem::path target_;
  std::filesystem::path path_;
  int fd_ = -1;
  bool placed_ = false;
  std::uint64_t started_;  // when the save began, in nanoseconds of the system's clock
};

// Removes from the folder the temporary files of saves that were killed before they finished:
// files named as temporaryPathBeside names them for a target of a kind our writers make (qvk,
// qvkx, ply, pcd, xyz, obj, mtl, png, stl, in any case), last written before every save in progress
// in this process began, and locked by nobody (a save in progress in any process holds its file
// locked). Answers how many were removed.
std::size_t removeLeftoverTemporaries(const std::filesystem::path& folder);

// Writes the parts one after the other into a temporary file beside the target, flushes it to the
// disk and renames it over the target. On failure the temporary file is removed, the target is
// left as it was, and the error (code kFileWriteError) names the target and how many bytes had
// been written.
bool writeFileAtomically(const std::filesystem::path& target, std::initializer_list<std::span<const std::uint8_t>> parts,
                         Error* error);
// The same for a file made piece by piece: `produce` hands each piece to the sink, which answers
// false once the file has failed (the producer may stop then; the error is reported here).
using ByteSink = std::function<bool(std::span<const std::uint8_t>)>;
bool writeFileAtomically(const std::filesystem::path& target, const std::function<void(const ByteSink&)>& produce,
                         Error* error);
inline std::span<const std::uint8_t> bytesOf(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Creates (or truncates) a file and writes the parts, without flushing: for files in a private
// working folder that nobody reads before the work is done. For want of room the error names
// `folder` (the one that holds the working folder, which the user knows) when one is given.
bool writeWholeFile(const std::filesystem::path& path, std::initializer_list<std::span<const std::uint8_t>> parts, Error* error,
                    const std::filesystem::path& folder = {});

}  // namespace qv
