// The XYZ writer: "x y z nx ny nz" lines with six decimals.
#include "formats/QVLXyzFileExporter.h"

#include "formats/FormatErrors.h"
#include "formats/PointExports.h"
#include "formats/internal/AtomicFile.h"
#include "formats/internal/SystemLog.h"
#include "platform/Log.h"

bool QVLXyzFileExporter::exportScanToFilePath(const std::string& path, qv::Error* error) {
  QVLFileExporter::exportScanToFilePath(path, error);
  return saveXyzToFilePath(path, error);
}

qv::Data QVLXyzFileExporter::createTextVertexData() {
  storeReadError_.reset();
  auto context = privateQueueContext();
  if (!context) return {};
  const auto source = qv::points::readPointSource(*context, scanObjectId());
  storeReadError_ = source.readError;
  if (source.vertexCount() == 0) return {};
  std::uint64_t count = 0;
  std::uint64_t outOfRange = 0;
  const std::string body = qv::points::textBody(*source.vertexData, source.indexLists, count, [&](std::uint32_t entry) {
    // One line for the first few: a damaged list can name millions of missing vertices.
    if (++outOfRange <= 10) QVLogWarn("Out of range vertex! (%u)", entry);
  });
  if (outOfRange > 10) QVLogWarn("%llu out of range vertices in all", static_cast<unsigned long long>(outOfRange));
  return qv::Data(body.begin(), body.end());
}

bool QVLXyzFileExporter::saveXyzToFilePath(const std::string& path, qv::Error* error) {
  const qv::Data body = createTextVertexData();
  if (storeReadFailed(error)) return false;
  if (body.empty()) {
    QVLogError("There is no data for XYZ!");
    if (error) *error = qv::Error(qv::kScanErrorDomain, qv::kInvalidParameterError, "The scan has no points to write",
                                  {{qv::kParameterKey, "vertexData"}});
    return false;
  }
  if (!qv::writeFileAtomically(path, {body}, error)) {
    qv::systemLog("Writing data into the file %s failed", path.c_str());
    return false;
  }
  qv::systemLog("XYZ file was written successfully at %s", path.c_str());
  return true;
}
