// The PLY writer: the points the index lists name, 27 bytes each, behind a fifteen-line header.
#include "formats/QVLPlyFileExporter.h"

#include "formats/FormatErrors.h"
#include "formats/PointExports.h"
#include "formats/internal/AtomicFile.h"
#include "formats/internal/SystemLog.h"
#include "platform/Log.h"

bool QVLPlyFileExporter::exportScanToFilePath(const std::string& path, qv::Error* error) {
  QVLFileExporter::exportScanToFilePath(path, error);
  return savePlyToFilePath(path, error);
}

std::optional<qv::Data> QVLPlyFileExporter::createBinaryVertexData() {
  numberOfPointSaved_ = 0;
  storeReadError_.reset();
  auto context = privateQueueContext();
  if (!context) return std::nullopt;
  const auto source = qv::points::readPointSource(*context, scanObjectId());
  storeReadError_ = source.readError;
  if (source.vertexCount() == 0) return std::nullopt;
  return qv::points::plyBody(*source.vertexData, source.indexLists, numberOfPointSaved_);
}

qv::Data QVLPlyFileExporter::createPlyHeaderData() const {
  const std::string header = qv::points::plyHeader(numberOfPointSaved_);
  return qv::Data(header.begin(), header.end());
}

bool QVLPlyFileExporter::savePlyToFilePath(const std::string& path, qv::Error* error) {
  const auto body = createBinaryVertexData();
  if (storeReadFailed(error)) return false;
  if (!body) {
    QVLogError("There is no vertex data for the PLY file");
    if (error) *error = qv::Error(qv::kScanErrorDomain, qv::kInvalidParameterError, "The scan has no points to write",
                                  {{qv::kParameterKey, "vertexData"}});
    return false;
  }
  const qv::Data header = createPlyHeaderData();
  if (!qv::writeFileAtomically(path, {header, *body}, error)) {
    qv::systemLog("There is a problem writing into %s", path.c_str());
    return false;
  }
  qv::systemLog("PLY file was written successfully at %s", path.c_str());
  return true;
}
