// Re-encoding image files as PNG (the project thumbnail, the OBJ texture atlas).
#pragma once

#include <optional>
#include <string>

#include "platform/Value.h"

namespace qv {

// The image file decoded and encoded again as PNG; nothing, with the reason, when the file cannot
// be read or decoded.
std::optional<Data> pngFromImageFile(const std::string& path, std::string* problem);

}  // namespace qv
