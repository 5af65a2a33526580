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

// Calls `write` with every record to export, in order, and answers how many there were. With
// index lists, each list's entries in turn (entry 0 and entries not below N are skipped, the
// latter reported to `outOfRange`); a vertex several lists name is written each time. With
// `fallBackToAll`, or without index lists, every record 0 to N-1 is considered when the lists
// gave nothing. A template, so that the per-point work is inlined: it runs a million times a scan.
template <typename Write, typename OutOfRange>
std::uint64_t forEachExportedRecord(std::span<const std::uint8_t> vertexData, const std::vector<SharedData>& indexLists,
                                    bool fallBackToAll, Write&& write, OutOfRange&& outOfRange) {
  const std::uint64_t n = vertexData.size() / sizeof(QVLScanVertex);
  std::uint64_t count = 0;
  auto consider = [&](std::uint64_t k) {
    QVLScanVertex v;
    std::memcpy(&v, vertexData.data() + k * sizeof(QVLScanVertex), sizeof v);
    if (!isExportable(v)) return;
    write(v);
    ++count;
  };
  for (const auto& list : indexLists) {
    const std::size_t entries = list->size() / 4;
    for (std::size_t i = 0; i < entries; ++i) {
      std::uint32_t k;
      std::memcpy(&k, list->data() + i * 4, 4);
      if (k == 0) continue;
      if (k >= n) {
        outOfRange(k);
        continue;
      }
      consider(k);
    }
  }
  if (count == 0 && (indexLists.empty() || fallBackToAll))
    for (std::uint64_t k = 0; k < n; ++k) consider(k);
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
// the same three forms. `outOfRange` hears of each list entry beyond the vertex data.
std::uint64_t writeTextBody(PieceWriter& out, std::span<const std::uint8_t> vertexData, const std::vector<SharedData>& indexLists,
                            const std::function<void(std::uint32_t entry)>& outOfRange = {});
std::uint64_t textLineCount(std::span<const std::uint8_t> vertexData, const std::vector<SharedData>& indexLists,
                            const std::function<void(std::uint32_t entry)>& outOfRange = {});
Data textBody(std::span<const std::uint8_t> vertexData, const std::vector<SharedData>& indexLists, std::uint64_t& count,
              const std::function<void(std::uint32_t entry)>& outOfRange = {});
std::string pcdHeader(std::uint64_t count);

}  // namespace qv::points
