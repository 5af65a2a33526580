// The PCD writer: an eleven-line header and one text line a point.
#include "formats/QVLPcdFileExporter.h"

#include "formats/FormatErrors.h"
#include "formats/PointExports.h"
#include "formats/internal/AtomicFile.h"
#include "platform/Log.h"

bool QVLPcdFileExporter::exportScanToFilePath(const std::string& path, qv::Error* error) {
  QVLFileExporter::exportScanToFilePath(path, error);
  return savePcdToFilePath(path, error);
}

std::optional<qv::Data> QVLPcdFileExporter::createTextVertexData() {
  numberOfPointSaved_ = 0;
  storeReadError_.reset();
  auto context = privateQueueContext();
  if (!context) return std::nullopt;
  const auto source = qv::points::readPointSource(*context, scanObjectId());
  storeReadError_ = source.readError;
  if (source.vertexCount() == 0) return std::nullopt;
  const std::string body = qv::points::textBody(*source.vertexData, source.indexLists, numberOfPointSaved_);
  if (numberOfPointSaved_ == 0) return std::nullopt;
  return qv::Data(body.begin(), body.end());
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
  const auto body = createTextVertexData();
  if (storeReadFailed(error)) return false;
  if (!body) {
    QVLogError("There is no vertex data for PCD!");
    if (error) *error = qv::Error(qv::kScanErrorDomain, qv::kInvalidParameterError, "The scan has no points to write",
                                  {{qv::kParameterKey, "vertexData"}});
    return false;
  }
  const qv::Data header = createPcdHeader();
  if (!qv::writeFileAtomically(path, {header, *body}, error)) {
    QVLogError("Writing data into the file %s failed", path.c_str());
    return false;
  }
  QVLogInfo("PCD file was written successfully at %s", path.c_str());
  return true;
}
