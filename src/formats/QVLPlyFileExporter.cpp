// The PLY writer: the points the index lists name, 27 bytes each, behind a fifteen-line header.
#include "formats/QVLPlyFileExporter.h"

#include "formats/FormatErrors.h"
#include "formats/PointExports.h"
#include "formats/internal/PieceWriter.h"
#include "formats/internal/SystemLog.h"
#include "platform/Log.h"

bool QVLPlyFileExporter::exportScanToFilePath(const std::string& path, qv::Error* error) {
  QVLFileExporter::exportScanToFilePath(path, error);
  return savePlyToFilePath(path, error);
}

std::optional<qv::Data> QVLPlyFileExporter::createBinaryVertexData() {
  numberOfPointSaved_ = 0;
  const auto source = readPointsForExport();
  if (source.vertexCount() == 0) return std::nullopt;
  return qv::points::plyBody(*source.vertexData, source.indexLists, numberOfPointSaved_);
}

qv::Data QVLPlyFileExporter::createPlyHeaderData() const {
  const std::string header = qv::points::plyHeader(numberOfPointSaved_);
  return qv::Data(header.begin(), header.end());
}

bool QVLPlyFileExporter::savePlyToFilePath(const std::string& path, qv::Error* error) {
  numberOfPointSaved_ = 0;
  const auto source = readPointsForExport();
  if (storeReadFailed(error)) return false;
  if (source.vertexCount() == 0) {
    QVLogError("There is no vertex data for the PLY file");
    if (error) *error = qv::Error(qv::kScanErrorDomain, qv::kInvalidParameterError, "The scan has no points to write",
                                  {{qv::kParameterKey, "vertexData"}});
    return false;
  }
  // The header carries the count, so the points are counted before the records are written.
  const std::span<const std::uint8_t> vertices(*source.vertexData);
  numberOfPointSaved_ = qv::points::plyRecordCount(vertices, source.indexLists);
  const std::string header = qv::points::plyHeader(numberOfPointSaved_);
  const bool written = qv::writeFileInPieces(
      path,
      [&](qv::PieceWriter& out) {
        out.text(header);
        qv::points::writePlyBody(out, vertices, source.indexLists);
      },
      error);
  if (!written) {
    qv::systemLog("There is a problem writing into %s", path.c_str());
    return false;
  }
  qv::systemLog("PLY file was written successfully at %s", path.c_str());
  return true;
}
