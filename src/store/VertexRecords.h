// Slice blocks, vertex files and turning slice blocks into scan vertices: plain functions on plain data.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <vector>

#include "platform/Error.h"
#include "platform/Value.h"
#include "records/QVLPoint3D.h"
#include "store/QVLScanVertex.h"
#include "store/QVLSliceVertex.h"

namespace qv {

inline constexpr std::size_t kSliceBlockRows = 960;  // one record per row of the 1280 x 960 image
inline constexpr std::size_t kSliceBlockBytes = kSliceBlockRows * sizeof(QVLSliceVertex);  // 42240
inline constexpr const char* kPointCloudVertexFileExtension = "PointCloudVertices";
inline constexpr const char* kScanVertexFileExtension = "VertexData";

// One turntable step: the record of image row r at index r; rows without a point stay zero.
using SliceBlock = std::array<QVLSliceVertex, kSliceBlockRows>;
static_assert(sizeof(SliceBlock) == kSliceBlockBytes);

// Puts a point's record at its image row (truncated), over any earlier point of that row. A row
// outside 0 to 959 (or not a number) would land outside the block: the point is refused (false).
bool placePointInSliceBlock(SliceBlock& block, const QVLPoint3D& point);

struct SliceBlockBuild {
  SliceBlock block{};
  std::size_t placed = 0;
  std::size_t refused = 0;  // points whose row lies outside the block
};
// A block from a step's points, in order (a later point of a row wins).
SliceBlockBuild makeSliceBlock(std::span<const QVLPoint3D> points);

// Appends the scan vertices of one cloud's slice grid (its blocks one after the other, in the
// order of ascending rotation) to `out`. The first appended record gets the number
// `firstRecordNumber`. Answers the index table: per slice and row, the record number of the
// row's vertex, or 0 where the row has no point.
std::vector<std::int32_t> appendScanVertices(std::span<const QVLSliceVertex> grid, std::int16_t lookupId,
                                             std::uint32_t firstRecordNumber, std::vector<QVLScanVertex>& out);

// Copies the records an index table names from `from` to the end of `out`, each once however
// often it is named, and answers the table renumbered for `out`. Entries naming no record of
// `from` (0, negative or past its end) become 0.
std::vector<std::int32_t> carryScanVertices(std::span<const QVLScanVertex> from, std::span<const std::int32_t> table,
                                            std::vector<QVLScanVertex>& out);

// Vertex buffers as stored bytes, and back; a trailing partial record is dropped.
SharedData dataFromScanVertices(std::span<const QVLScanVertex> vertices);
std::vector<QVLScanVertex> scanVerticesFromData(const Data& data);
std::size_t scanVertexCount(std::size_t byteLength);
SharedData dataFromIndexTable(std::span<const std::int32_t> table);
std::vector<std::int32_t> indexTableFromData(const Data& data);

// Appends bytes at the end of an existing file and answers the offset they start at. A write
// that fails part-way is cut off again, so the file keeps only whole blocks.
std::optional<std::uint64_t> appendToFile(const std::filesystem::path& file, std::span<const std::uint8_t> bytes,
                                          Error* error);
// Creates a new file holding exactly the bytes; fails when the file already exists.
bool createFileWithContents(const std::filesystem::path& file, std::span<const std::uint8_t> bytes, Error* error);
// Replaces what an existing file holds by the bytes, all at once: they are written beside it and
// moved over it, so a failure leaves the old file as it was.
bool replaceFileContents(const std::filesystem::path& file, std::span<const std::uint8_t> bytes, Error* error);
// The whole file; nothing when it cannot be read.
std::optional<Data> readWholeFile(const std::filesystem::path& file, Error* error);

// A new file name in a folder: a fresh UUID with the extension.
std::filesystem::path newLibraryFilePath(const std::filesystem::path& folder, const std::string& extension);
// Copies a file into the folder under a fresh UUID name with the source's extension; nothing when
// the path is empty, no file is there, or the copy fails (a partial copy is removed; the error,
// when asked for, then says why: code 105 with the system's code under "UnderlyingError").
std::optional<std::string> copyFileIntoFolder(const std::string& path, const std::filesystem::path& folder,
                                              Error* error = nullptr);

}  // namespace qv
