// Feeds arbitrary bytes to the qvkx reader as a project file, the way a user opens one: the unzip
// into the library folder, every member decoded, and the scan stored in a store of the fuzzer's own.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "formats/QVLQvkxFileImporter.h"
#include "formats/QvkxFormat.h"
#include "FuzzStore.h"
#include "FuzzSupport.h"
#include "platform/Queue.h"
#include "store/QVSDLibrary.h"
#include "store/QVSDPointCloud.h"
#include "store/QVSDScanObject.h"
#include "store/QVSDScanSlice.h"
#include "store/QVSDTexture.h"

namespace fs = std::filesystem;

namespace {

TBCoreDataStoreS1& store() { return qv::fuzz::storeIn("qvkx-project"); }

// The unpacked folders a read leaves in the library folder: there must be none.
bool anyImportFolderLeft(const fs::path& library) {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(library, ec))
    if (entry.path().extension() == std::string(".") + qv::qvkx::kImportFolderExtension) return true;
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto context = store().privateContext();
  const fs::path file = qv::fuzz::workFolder("qvkx-project") / "in.qvkx";
  qv::fuzz::writeInput(file, data, size);
  qv::ObjectID id;
  context->performAndWait([&] {
    id = QVSDScanObject::createScanObjectInLibrary(QVSDLibrary::defaultLibraryInContext(*context))->objectID();
    if (!context->save()) std::abort();
  });

  QVLQvkxFileImporter importer(file.string(), id);
  importer.setPrivateQueueContext(context);
  qv::Error error;
  const bool ok = importer.parseFile(&error);
  if (!ok && error.code == 0) std::abort();  // every failure says why
  if (anyImportFolderLeft(context->libraryFolder())) std::abort();

  context->performAndWait([&] {
    auto scan = QVSDScanObject::scanObjectWithId(id, false, *context);
    if (!scan) std::abort();
    if (!ok && context->hasChanges()) std::abort();  // a failed read leaves nothing unsaved behind
    if (ok) {
      // Every index entry names a stored record, and the counts stay within what a scan can have.
      const auto vertices = scan->vertexData();
      if (!vertices || vertices->size() % sizeof(QVLScanVertex) != 0) std::abort();
      const std::uint64_t records = vertices->size() / sizeof(QVLScanVertex);
      std::uint64_t slices = 0;
      for (const auto& cloud : scan->pointClouds()) {
        slices += cloud->scanSliceCount();
        if (const auto index = cloud->vertexIndexData()) {
          for (std::size_t at = 0; at + 4 <= index->size(); at += 4) {
            std::uint32_t k;
            std::memcpy(&k, index->data() + at, 4);
            if (k >= records) std::abort();
          }
        }
      }
      if (slices > qv::qvkx::kMaximumSlices || scan->textures().size() > qv::qvkx::kMaximumTextures) std::abort();
      for (const auto& texture : scan->textures()) {
        std::error_code ec;
        fs::remove(texture->textureFileName().value_or(""), ec);  // the copies in the library folder
      }
    }
    context->deleteObject(scan);
    if (!context->save()) std::abort();
  });
  qv::drainMainQueue();  // the main context's merges of the saves above
  return 0;
}
