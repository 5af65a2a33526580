// Feeds arbitrary bytes to the qvkx reader's decoders: as a cloud file (header and slot grid) and
// as a texture description; the first byte picks which.
#include <cstdint>
#include <cstdlib>

#include "formats/QVLQvkxFileImporter.h"
#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  qv::fuzz::quietLogs();
  if (size == 0) return 0;
  const qv::Data bytes(data + 1, data + size);
  qv::Error error;
  if (data[0] % 2 == 0) {
    QVLQvkxFileImporter importer("fuzz.qvkx", qv::ObjectID());
    QVLQvkxCloudContents cloud;
    if (importer.decodeCloudFile(bytes, "CloudData.qvk", cloud, &error)) {
      // A successful read has the slots the header declares, or fewer when the body is cut short
      // (and then says so), each naming a point it read.
      const std::uint64_t expected = cloud.cameraHeight * cloud.sliceCount;
      if (cloud.cutShort ? cloud.slots.size() > expected || error.code == 0 : cloud.slots.size() != expected) std::abort();
      for (std::uint32_t s : cloud.slots)
        if (s > cloud.points.size()) std::abort();
      if (importer.dataOffset() > importer.dataSize()) std::abort();
    } else if (error.code == 0) {
      std::abort();  // every failure says why
    }
  } else {
    std::vector<qv::qvkx::DecodedTexture> textures;
    if (!qv::qvkx::decodeQvtx(bytes, {"fuzz.qvkx", "CloudData.qvtx"}, textures, &error) && error.code == 0) std::abort();
    for (const auto& t : textures)
      if (t.fileName.empty()) std::abort();
  }
  return 0;
}
