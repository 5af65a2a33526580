// Feeds arbitrary bytes to the qvk reader: header, choice of body reader and every decoder.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "formats/QVLQvkFileImporter.h"
#include "platform/Log.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool quiet = [] {
    qv::log::Setup setup;
    setup.console = false;
    setup.systemLog = false;
    qv::log::setup(setup);
    return true;
  }();
  (void)quiet;

  // The decoders are what touch the bytes; storing the result is plain store work.
  QVLQvkFileImporter importer("fuzz.qvk", qv::ObjectID());
  const qv::Data bytes(data, data + size);
  qv::QvkScanContents contents;
  qv::Error error;
  const bool ok = importer.decodeFile(bytes, contents, &error);
  if (ok) {
    // A successful read accounts for whole records only and never reads past the end.
    if (contents.vertexData.size() % sizeof(QVLScanVertex) != 0) std::abort();
    if (importer.fileOffset() > importer.fileSize()) std::abort();
  } else if (error.code == 0) {
    std::abort();  // every failure says why
  }
  return 0;
}
