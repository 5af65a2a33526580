// What the point-cloud exports (PLY, PCD, XYZ) share: reading the scan's points out of the store,
// choosing the points to write, and the bytes of each format.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "formats/internal/OrderedBlocks.h"
#include "formats/internal/PieceWriter.h"
#include "platform/Value.h"
#include "store/ObjectContext.h"
#include "store/ObjectID.h"
#include "store/QVLScanVertex.h"

namespace qv::points {

inline constexpr std::size_t kPlyRecordBytes = 27;

// The scan's points as the exports see them, copied out of the store in one block.
struct PointSource {
  bool found = false;                  // the scan object exists
  SharedData vertexData;               // unsavedVertexData when set, else vertexData
  std::vector<SharedData> indexLists;  // each cloud's non-empty vertexIndexData, in the scan's cloud order
  std::optional<Error> readError;      // the store's error when a read failed: nothing may be written
  std::uint64_t vertexCount() const { return vertexData ? vertexData->size() / sizeof(QVLScanVertex) : 0; }
};
PointSource readPointSource(ObjectContext& context, const ObjectID& scanObjectId);

// A record is written when it is off the origin, all its coordinates are finite and its normal
// has a length above zero (a NaN normal has none). Inline: it runs for every point of an export.
inline bool isExportable(const QVLScanVertex& v) {
  if (v.point3DX == 0.0f && v.point3DY == 0.0f && v.point3DZ == 0.0f) return false;
  if (!std::isfinite(v.point3DX) || !std::isfinite(v.point3DY) || !std::isfinite(v.point3DZ)) return false;
  // The squared length, in double as the length always was: above zero exactly when its root is.
  const double squared = double(v.normalX) * v.normalX + double(v.normalY) * v.normalY + double(v.normalZ) * v.normalZ;
  return squared > 0.0;  // false for NaN too
}

// Calls `f(k)` with the list entries [begin, end) of the lists taken one after another.
template <typename F>
void forEachListEntry(const std::vector<SharedData>& indexLists, std::uint64_t begin, std::uint64_t end, F&& f) {
  std::uint64_t start = 0;  // the current list's first entry
  for (const auto& list : indexLists) {
    if (start >= end) break;
    const std::uint64_t entries = list->size() / 4;
    const std::uint64_t from = begin > start ? begin - start : 0;
    const std::uint64_t to = end - start < entries ? end - start : entries;
    for (std::uint64_t i = from; i < to; ++i) {
      std::uint32_t k;
      std::memcpy(&k, list->data() + i * 4, 4);
      f(k);
    }
    start += entries;
  }
}
inline std::uint64_t listEntryCount(const std::vector<SharedData>& indexLists) {
  std::uint64_t entries = 0;
  for (const auto& list : indexLists) entries += list->size() / 4;
  return entries;
}

// Calls `write` with record k when it is to be exported; answers whether it was.
template <typename Write>
bool writeIfExportable(std::span<const std::uint8_t> vertexData, std::uint64_t k, Write&& write) {
  QVLScanVertex v;
  std::memcpy(&v, vertexData.data() + k * sizeof(QVLScanVertex), sizeof v);
  if (!isExportable(v)) return false;
  write(v);
  return true;
}

// The records that the list entries [begin, end) name, in order: entry 0 and entries not below N
// are skipped, the latter reported to `outOfRange`; a vertex named several times is written each
// time. Answers how many were written.
template <typename Write, typename OutOfRange>
std::uint64_t forEachListedRecord(std::span<const std::uint8_t> vertexData, const std::vector<SharedData>& indexLists,
                                  std::uint64_t begin, std::uint64_t end, Write&& write, OutOfRange&& outOfRange) {
  const std::uint64_t n = vertexData.size() / sizeof(QVLScanVertex);
  std::uint64_t count = 0;
  forEachListEntry(indexLists, begin, end, [&](std::uint32_t k) {
    if (k == 0) return;
    if (k >= n) {
      outOfRange(k);
      return;
    }
    count += writeIfExportable(vertexData, k, write);
  });
  return count;
}

// The exportable records among records [begin, end); answers how many were written.
template <typename Write>
std::uint64_t forEachRecordIn(std::span<const std::uint8_t> vertexData, std::uint64_t begin, std::uint64_t end, Write&& write) {
  std::uint64_t count = 0;
  for (std::uint64_t k = begin; k < end; ++k) count += writeIfExportable(vertexData, k, write);
  return count;
}

// Calls `write` with every record to export, in order, and answers how many there were: the
// records the index lists name (forEachListedRecord). With `fallBackToAll`, or without index
// lists, every record 0 to N-1 is considered when the lists gave nothing. Templates, so that the
// per-point work is inlined: it runs a million times a scan.
template <typename Write, typename OutOfRange>
std::uint64_t forEachExportedRecord(std::span<const std::uint8_t> vertexData, const std::vector<SharedData>& indexLists,
                                    bool fallBackToAll, Write&& write, OutOfRange&& outOfRange) {
  std::uint64_t count = forEachListedRecord(vertexData, indexLists, 0, listEntryCount(indexLists), write, outOfRange);
  if (count == 0 && (indexLists.empty() || fallBackToAll))
    count = forEachRecordIn(vertexData, 0, vertexData.size() / sizeof(QVLScanVertex), write);
  return count;
}

// The PLY body: 27 bytes a point (position, normal, colour bytes cut toward zero), written as it
// is made; answers how many records were written. The count alone, for the header that comes
// first, is the same walk without the writing.
std::uint64_t writePlyBody(PieceWriter& out, std::span<const std::uint8_t> vertexData, const std::vector<SharedData>& indexLists);
std::uint64_t plyRecordCount(std::span<const std::uint8_t> vertexData, const std::vector<SharedData>& indexLists);
Data plyBody(std::span<const std::uint8_t> vertexData, const std::vector<SharedData>& indexLists, std::uint64_t& count);
std::string plyHeader(std::uint64_t count);

// The XYZ and PCD body: "x y z nx ny nz" with six decimals, one line a point, in the C locale;
// the same three forms. `outOfRange` hears of each list entry beyond the vertex data, in order.
// More records than one block (kLinesPerBlock list entries or records) are encoded in blocks on
// the cores the process may use and written in order: the same bytes, the same reports. Once the
// writer has failed, the rest is neither encoded nor reported.
std::uint64_t writeTextBody(PieceWriter& out, std::span<const std::uint8_t> vertexData, const std::vector<SharedData>& indexLists,
                            const std::function<void(std::uint32_t entry)>& outOfRange = {});
std::uint64_t textLineCount(std::span<const std::uint8_t> vertexData, const std::vector<SharedData>& indexLists,
                            const std::function<void(std::uint32_t entry)>& outOfRange = {});
Data textBody(std::span<const std::uint8_t> vertexData, const std::vector<SharedData>& indexLists, std::uint64_t& count,
              const std::function<void(std::uint32_t entry)>& outOfRange = {});
std::string pcdHeader(std::uint64_t count);

}  // namespace qv::points
