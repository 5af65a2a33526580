// The XYZ writer: "x y z nx ny nz" lines with six decimals.
#include "formats/QVLXyzFileExporter.h"

#include <functional>

#include "formats/FormatErrors.h"
#include "formats/PointExports.h"
#include "formats/internal/PieceWriter.h"
#include "formats/internal/SystemLog.h"
#include "platform/Log.h"

bool QVLXyzFileExporter::exportScanToFilePath(const std::string& path, qv::Error* error) {
  QVLFileExporter::exportScanToFilePath(path, error);
  return saveXyzToFilePath(path, error);
}

namespace {

// Warns of list entries beyond the vertex data: one line for the first few (a damaged list can
// name millions of missing vertices), then how many there were in all.
class OutOfRangeWarnings {
public:
  void operator()(std::uint32_t entry) {
    if (++count_ <= kListed) QVLogWarn("Out of range vertex! (%u)", entry);
  }
  ~OutOfRangeWarnings() {
    if (count_ > kListed) QVLogWarn("%llu out of range vertices in all", static_cast<unsigned long long>(count_));
  }

private:
  static constexpr std::uint64_t kListed = 10;
  std::uint64_t count_ = 0;
};

}  // namespace

qv::Data QVLXyzFileExporter::createTextVertexData() {
  const auto source = readPointsForExport();
  if (source.vertexCount() == 0) return {};
  std::uint64_t count = 0;
  OutOfRangeWarnings warnings;
  return qv::points::textBody(*source.vertexData, source.indexLists, count, std::ref(warnings));
}

bool QVLXyzFileExporter::saveXyzToFilePath(const std::string& path, qv::Error* error) {
  const auto source = readPointsForExport();
  if (storeReadFailed(error)) return false;
  const std::span<const std::uint8_t> vertices = source.vertexData ? std::span<const std::uint8_t>(*source.vertexData)
                                                                   : std::span<const std::uint8_t>();
  // Counted first, so that a scan with nothing to write leaves no file; the count warns of the
  // entries it skips, and the writing that follows skips them again silently.
  std::uint64_t lines = 0;
  {
    OutOfRangeWarnings warnings;
    lines = qv::points::textLineCount(vertices, source.indexLists, std::ref(warnings));
  }
  if (lines == 0) {
    QVLogError("There is no data for XYZ!");
    if (error) *error = qv::Error(qv::kScanErrorDomain, qv::kInvalidParameterError, "The scan has no points to write",
                                  {{qv::kParameterKey, "vertexData"}});
    return false;
  }
  const bool written = qv::writeFileInPieces(
      path, [&](qv::PieceWriter& out) { qv::points::writeTextBody(out, vertices, source.indexLists); }, error);
  if (!written) {
    qv::systemLog("Writing data into the file %s failed", path.c_str());
    return false;
  }
  qv::systemLog("XYZ file was written successfully at %s", path.c_str());
  return true;
}
