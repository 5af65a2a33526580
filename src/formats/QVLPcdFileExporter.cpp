// The PCD writer: an eleven-line header and one text line a point.
#include "formats/QVLPcdFileExporter.h"

#include "formats/FormatErrors.h"
#include "formats/PointExports.h"
#include "formats/internal/PieceWriter.h"
#include "platform/Log.h"

bool QVLPcdFileExporter::exportScanToFilePath(const std::string& path, qv::Error* error) {
  QVLFileExporter::exportScanToFilePath(path, error);
  return savePcdToFilePath(path, error);
}

std::optional<qv::Data> QVLPcdFileExporter::createTextVertexData() {
  numberOfPointSaved_ = 0;
  const auto source = readPointsForExport();
  if (source.vertexCount() == 0) return std::nullopt;
  qv::Data body = qv::points::textBody(*source.vertexData, source.indexLists, numberOfPointSaved_);
  if (numberOfPointSaved_ == 0) return std::nullopt;
  return body;
}

qv::Data QVLPcdFileExporter::createPcdHeader() const {
  const std::string header = qv::points::pcdHeader(numberOfPointSaved_);
  return qv::Data(header.begin(), header.end());
}

bool QVLPcdFileExporter::savePcdToFilePath(const std::string& path, qv::Error* error) {
  if (path.empty()) {
    if (error) *error = qv::Error(qv::kScanErrorDomain, qv::kFileWriteError, "No file path was given");
    return false;
  }
  numberOfPointSaved_ = 0;
  const auto source = readPointsForExport();
  if (storeReadFailed(error)) return false;
  // The header carries the count, so the points are counted before the lines are written.
  const std::span<const std::uint8_t> vertices = source.vertexData ? std::span<const std::uint8_t>(*source.vertexData)
                                                                   : std::span<const std::uint8_t>();
  numberOfPointSaved_ = qv::points::textLineCount(vertices, source.indexLists);
  if (numberOfPointSaved_ == 0) {
    QVLogError("There is no vertex data for PCD!");
    if (error) *error = qv::Error(qv::kScanErrorDomain, qv::kInvalidParameterError, "The scan has no points to write",
                                  {{qv::kParameterKey, "vertexData"}});
    return false;
  }
  const std::string header = qv::points::pcdHeader(numberOfPointSaved_);
  const bool written = qv::writeFileInPieces(
      path,
      [&](qv::PieceWriter& out) {
        out.text(header);
        qv::points::writeTextBody(out, vertices, source.indexLists);
      },
      error);
  if (!written) {
    QVLogError("Writing data into the file %s failed", path.c_str());
    return false;
  }
  QVLogInfo("PCD file was written successfully at %s", path.c_str());
  return true;
}
