// The file writer base: holds the scan object and answers success for an empty write.
#include "formats/QVLFileExporter.h"

#include "store/TBCoreDataStoreS1.h"

QVLFileExporter::QVLFileExporter(qv::ObjectID scanObjectId) : scanObjectId_(std::move(scanObjectId)) {}

bool QVLFileExporter::exportScanToFilePath(const std::string& /*path*/, qv::Error* /*error*/) { return true; }

qv::ObjectContextPtr QVLFileExporter::privateQueueContext() const {
  return context_ ? context_ : TBCoreDataStoreS1::privateQueueContext();
}
