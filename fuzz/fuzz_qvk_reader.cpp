// Feeds arbitrary bytes to the qvk reader as a file: header, choice of body reader, every decoder,
// and the filling and saving of the scan object in a store of the fuzzer's own.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "formats/QVLQvkFileImporter.h"
#include "platform/Log.h"
#include "platform/Queue.h"
#include "store/QVSDLibrary.h"
#include "store/QVSDScanObject.h"
#include "store/TBCoreDataStoreS1.h"

namespace fs = std::filesystem;

namespace {

struct Workspace {
  fs::path folder;
  std::unique_ptr<TBCoreDataStoreS1> store;
};

Workspace& workspace() {
  static Workspace* w = [] {
    qv::log::Setup setup;
    setup.console = false;
    setup.systemLog = false;
    qv::log::setup(setup);
    auto* made = new Workspace;
    std::string pattern = (fs::temp_directory_path() / "quorvel-fuzz-qvk-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) std::abort();
    made->folder = pattern;
    TBCoreDataStoreS1::Options options;
    options.folder = made->folder / "library";
    options.presentError = [](const qv::Error&) {};
    made->store = std::make_unique<TBCoreDataStoreS1>(std::move(options));
    // The store and its folder go when the fuzzer ends (libFuzzer leaves through exit()).
    std::atexit([] {
      workspace().store.reset();
      std::error_code ec;
      fs::remove_all(workspace().folder, ec);
    });
    return made;
  }();
  return *w;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Workspace& w = workspace();
  const fs::path file = w.folder / "in.qvk";
  {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  auto context = w.store->privateContext();
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
