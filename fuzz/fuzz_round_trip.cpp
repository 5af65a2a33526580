// Every scan the qvk or the qvkx reader takes (the first byte picks which: even qvk, odd qvkx) is
// saved as a qvkx and as a qvk file, and each file read back must hold what the format keeps of the
// scan (formats/KeptScan.h): the same clouds with the same values (one the scan does not hold stays
// unset), every point in its cloud at its slice's rotation and, through a project, the same
// textures. A save may refuse the scan, with an error and no file; one that does not keep a point
// must say how many it did not keep; it may not write a file its reader refuses or reads otherwise.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "formats/KeptScan.h"
#include "formats/QVLQvkFileExporter.h"
#include "formats/QVLQvkFileImporter.h"
#include "formats/QVLQvkxFileExporter.h"
#include "formats/QVLQvkxFileImporter.h"
#include "FuzzStore.h"
#include "FuzzSupport.h"
#include "platform/Queue.h"
#include "store/QVSDLibrary.h"
#include "store/QVSDScanObject.h"
#include "store/QVSDTexture.h"

namespace fs = std::filesystem;

namespace {

TBCoreDataStoreS1& store() { return qv::fuzz::storeIn("round-trip"); }

using qv::test::KeptScan;
using qv::test::SavedAs;

KeptScan keptOf(const qv::ObjectID& id, qv::ObjectContext& context, SavedAs format) {
  KeptScan kept;
  context.performAndWait([&] {
    auto scan = QVSDScanObject::scanObjectWithId(id, false, context);
    if (!scan) std::abort();
    kept = qv::test::keptScan(*scan, format);
  });
  return kept;
}

template <typename Importer>
qv::ObjectID readInto(qv::ObjectContext& context, const fs::path& file, bool* ok, qv::Error* error) {
  qv::ObjectID id;
  context.performAndWait([&] {
    id = QVSDScanObject::createScanObjectInLibrary(QVSDLibrary::defaultLibraryInContext(context))->objectID();
    if (!context.save()) std::abort();
  });
  Importer importer(file.string(), id);
  importer.setPrivateQueueContext(store().privateContext());
  *ok = importer.parseFile(error);
  return id;
}

void forget(qv::ObjectContext& context, const qv::ObjectID& id) {
  context.performAndWait([&] {
    auto scan = QVSDScanObject::scanObjectWithId(id, false, context);
    if (!scan) std::abort();
    for (const auto& texture : scan->textures()) {
      std::error_code ec;
      fs::remove(texture->textureFileName().value_or(""), ec);  // the copies in the library folder
    }
    context.deleteObject(scan);
    if (!context.save()) std::abort();
  });
}

// Saves the scan with the exporter and reads the file back with the importer: a refused save says
// why and leaves no file; a written file reads back as what the format keeps of the scan, and the
// save says how many points it did not keep.
template <typename Exporter, typename Importer>
void roundTrip(qv::ObjectContext& context, const qv::ObjectID& id, SavedAs format, const fs::path& file) {
  const char* kind = format == SavedAs::Project ? "qvkx" : "qvk";
  std::error_code ec;
  fs::remove(file, ec);
  const KeptScan kept = keptOf(id, context, format);
  Exporter exporter(id);
  exporter.setPrivateQueueContext(store().privateContext());
  qv::Error saveError;
  if (!exporter.exportScanToFilePath(file.string(), &saveError)) {
    if (saveError.code == 0 || fs::exists(file, ec)) std::abort();
    return;
  }
  if (const auto wrong = qv::test::misreportedPoints(kept, saveError)) {
    std::fprintf(stderr, "The %s save: %s\n", kind, wrong->c_str());
    std::abort();
  }
  bool ok = false;
  qv::Error readError;
  const auto back = readInto<Importer>(context, file, &ok, &readError);
  if (!ok) {
    std::fprintf(stderr, "The saved %s file was refused: %s\n", kind, readError.text().c_str());
    std::abort();
  }
  if (const auto differs = qv::test::differences(kept, keptOf(back, context, format))) {
    std::fprintf(stderr, "The saved %s file reads back %s\n", kind, differs->c_str());
    std::abort();
  }
  forget(context, back);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const auto context = store().privateContext();
  const fs::path folder = qv::fuzz::workFolder("round-trip");
  const bool project = (data[0] & 1) != 0;
  const fs::path file = folder / (project ? "in.qvkx" : "in.qvk");
  qv::fuzz::writeInput(file, data + 1, size - 1);

  bool ok = false;
  qv::Error error;
  const auto id = project ? readInto<QVLQvkxFileImporter>(*context, file, &ok, &error)
                          : readInto<QVLQvkFileImporter>(*context, file, &ok, &error);
  if (ok) {
    roundTrip<QVLQvkxFileExporter, QVLQvkxFileImporter>(*context, id, SavedAs::Project, folder / "saved.qvkx");
    roundTrip<QVLQvkFileExporter, QVLQvkFileImporter>(*context, id, SavedAs::Scan, folder / "saved.qvk");
  }
  forget(*context, id);
  qv::drainMainQueue();  // the main context's merges of the saves above
  return 0;
}
