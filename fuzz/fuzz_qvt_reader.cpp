// Feeds arbitrary bytes to the decoder of the older binary texture description (qvt).
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "formats/QvkxFormat.h"
#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  qv::fuzz::quietLogs();
  std::vector<qv::qvkx::DecodedTexture> textures;
  qv::Error error;
  float last = 0.0f;
  const bool ok = qv::qvkx::decodeQvt({data, size}, {"fuzz.qvkx", "CloudData.qvt"}, textures, &error, [&](float f) {
    if (!(f >= 0.0f && f <= 1.0f)) std::abort();  // progress stays a fraction
    last = f;
  });
  if (ok) {
    // Every record holds its 37 bytes and a name of at least one byte, and only finite values.
    std::size_t used = 0;
    for (const auto& t : textures) {
      if (t.fileName.empty() || t.attributes.size() > 9) std::abort();
      for (const auto& [name, value] : t.attributes)
        if (!std::isfinite(value)) std::abort();
      used += qv::qvkx::kQvtFixedBytes + t.fileName.size();
    }
    if (used > size || last != 1.0f) std::abort();
  } else if (error.code == 0) {
    std::abort();
  }
  return 0;
}
