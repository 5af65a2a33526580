// Writing a file so that readers see the old file or the whole new one, never a part.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <span>
#include <string>

#include "platform/Error.h"

namespace qv {

// A hidden, fresh name in the target's folder ("." + name + "." + UUID + ".tmp"): on the same
// file system, so the final rename is atomic.
std::filesystem::path temporaryPathBeside(const std::filesystem::path& target);

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
// working folder that nobody reads before the work is done.
bool writeWholeFile(const std::filesystem::path& path, std::initializer_list<std::span<const std::uint8_t>> parts, Error* error);

// Flushes a finished file to the disk.
bool flushFile(const std::filesystem::path& path, Error* error);

// Moves a finished temporary file over the target (removing it on failure, with an error that
// names the bytes `written` to it).
bool replaceFileWith(const std::filesystem::path& temporary, const std::filesystem::path& target, Error* error,
                     std::uint64_t written = 0);

}  // namespace qv
