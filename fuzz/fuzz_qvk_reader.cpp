// Feeds arbitrary bytes to the qvk reader as a file: header, choice of body reader, every decoder,
// and the filling and saving of the scan object in a store of the fuzzer's own.
#include <cstdint>
#include <cstdlib>
#include <filesystem>

#include "formats/QVLQvkFileImporter.h"
#include "FuzzStore.h"
#include "FuzzSupport.h"
#include "platform/Queue.h"
#include "store/QVSDLibrary.h"
#include "store/QVSDScanObject.h"

namespace fs = std::filesystem;

namespace {

TBCoreDataStoreS1& store() { return qv::fuzz::storeIn("qvk"); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto context = store().privateContext();
  const fs::path file = qv::fuzz::workFolder("qvk") / "in.qvk";
  qv::fuzz::writeInput(file, data, size);
  qv::ObjectID id;
  context->performAndWait([&] {
    id = QVSDScanObject::createScanObjectInLibrary(QVSDLibrary::defaultLibraryInContext(*context))->objectID();
    if (!context->save()) std::abort();
  });

  QVLQvkFileImporter importer(file.string(), id);
  importer.setPrivateQueueContext(context);
  qv::Error error;
  const bool ok = importer.parseFile(&error);
  if (!ok && error.code == 0) std::abort();  // every failure says why
  if (importer.fileOffset() > importer.fileSize()) std::abort();

  context->performAndWait([&] {
    auto scan = QVSDScanObject::scanObjectWithId(id, false, *context);
    if (!scan) std::abort();
    // A successful read stores whole records only; a failed one leaves nothing unsaved behind.
    if (ok && scan->vertexData() && scan->vertexData()->size() % sizeof(QVLScanVertex) != 0) std::abort();
    if (!ok && context->hasChanges()) std::abort();
    context->deleteObject(scan);
    if (!context->save()) std::abort();
  });
  qv::drainMainQueue();  // the main context's merges of the saves above
  return 0;
}
