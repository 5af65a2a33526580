// The binary STL writer.
#include "formats/QVLStlFileExporter.h"

#include "formats/FormatErrors.h"
#include "formats/MeshFormats.h"
#include "formats/internal/AtomicFile.h"
#include "platform/Log.h"
#include "store/QVSDScanObject.h"

bool QVLStlFileExporter::exportScanToFilePath(const std::string& path, qv::Error* error) {
  QVLFileExporter::exportScanToFilePath(path, error);
  return saveStlToFilePath(path, error);
}

std::optional<qv::Data> QVLStlFileExporter::createStlData() {
  qv::SharedData meshed;
  storeReadError_.reset();
  if (auto context = privateQueueContext(); context && scanObjectId()) {
    readForExport(*context, [&] {
      if (auto scan = QVSDScanObject::scanObjectWithId(scanObjectId(), false, *context)) meshed = scan->meshedVertexData();
    });
  }
  if (!meshed) return std::nullopt;
  return qv::mesh::binaryStl(*meshed);
}

bool QVLStlFileExporter::saveStlToFilePath(const std::string& path, qv::Error* error) {
  const auto data = createStlData();
  if (storeReadFailed(error)) return false;
  if (!data) {
    QVLogError("There is no meshed data!");
    if (error) *error = qv::Error(qv::kScanErrorDomain, qv::kInvalidParameterError, "The scan has no mesh to write",
                                  {{qv::kParameterKey, "meshedVertexData"}});
    return false;
  }
  if (!qv::writeFileAtomically(path, {*data}, error)) {
    QVLogError("Writing data into the file %s failed", path.c_str());
    return false;
  }
  QVLogInfo("STL file was written successfully at %s", path.c_str());
  return true;
}
