// The file reader base: holds the file and scan object and answers success for an empty read.
#include "formats/QVLFileImporter.h"

#include "store/TBCoreDataStoreS1.h"

QVLFileImporter::QVLFileImporter(std::string localFilePath, qv::ObjectID scanObjectId)
    : scanObjectId_(std::move(scanObjectId)), localFilePath_(std::move(localFilePath)) {}

bool QVLFileImporter::parseFile(qv::Error* error) {
  if (error) *error = qv::Error();
  return true;
}

qv::ObjectContextPtr QVLFileImporter::privateQueueContext() const {
  return context_ ? context_ : TBCoreDataStoreS1::privateQueueContext();
}
