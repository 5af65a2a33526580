// Reading and rewriting single slice blocks of a point cloud's vertex file at their offsets.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

#include "platform/Error.h"
#include "store/VertexRecords.h"

namespace qv {

// The block at a byte offset; nothing (and the error) when the file is missing or too short.
std::optional<SliceBlock> readSliceBlockAt(const std::filesystem::path& file, std::uint64_t offset, Error* error);
// Writes the block over the one at the offset (which must lie wholly inside the file).
bool overwriteSliceBlockAt(const std::filesystem::path& file, std::uint64_t offset, const SliceBlock& block,
                           Error* error);

}  // namespace qv
