// Feeds arbitrary bytes to the ASCII STL importer's decoder.
#include <cstdint>
#include <cstdlib>

#include "formats/QVLStlFileImporter.h"
#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  qv::fuzz::quietLogs();
  QVLStlFileImporter importer("fuzz.stl", qv::ObjectID());
  const qv::Data bytes(data, data + size);
  qv::Data meshed;
  qv::Error error;
  // The cut-off comes from the scan; a fixed one keeps runs reproducible and reaches the raising.
  if (importer.decodeMesh(bytes, 0.5f, meshed, &error)) {
    if (meshed.empty() || meshed.size() % (3 * 44) != 0) std::abort();  // whole triangles only
    if (importer.dataOffset() > importer.dataSize()) std::abort();
  } else if (error.code == 0) {
    std::abort();
  }
  return 0;
}
