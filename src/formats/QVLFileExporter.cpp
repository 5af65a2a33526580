// The file writer base: holds the scan object and answers success for an empty write.
#include "formats/QVLFileExporter.h"

#include "platform/Log.h"
#include "store/TBCoreDataStoreS1.h"

QVLFileExporter::QVLFileExporter(qv::ObjectID scanObjectId) : scanObjectId_(std::move(scanObjectId)) {}

bool QVLFileExporter::exportScanToFilePath(const std::string& /*path*/, qv::Error* /*error*/) { return true; }

void QVLFileExporter::readForExport(qv::ObjectContext& context, const std::function<void()>& reads) {
  storeReadError_ = context.performReadsAndWait(reads);
}

bool QVLFileExporter::storeReadFailed(qv::Error* error) const {
  if (!storeReadError_) return false;
  QVLogError("The scan could not be read from the store: %s", storeReadError_->text().c_str());
  if (error) *error = *storeReadError_;
  return true;
}

qv::points::PointSource QVLFileExporter::readPointsForExport() {
  storeReadError_.reset();
  auto context = privateQueueContext();
  if (!context) return {};
  auto source = qv::points::readPointSource(*context, scanObjectId());
  storeReadError_ = source.readError;
  return source;
}

qv::ObjectContextPtr QVLFileExporter::privateQueueContext() const {
  return context_ ? context_ : TBCoreDataStoreS1::privateQueueContext();
}
