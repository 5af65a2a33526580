// Base64 text for binary values kept in JSON files.
#pragma once

#include <optional>
#include <string>

#include "platform/Value.h"

namespace qv {

std::string base64Encode(const Data& data);
// Nothing when the text is not valid base64 (padding optional, no white space).
std::optional<Data> base64Decode(const std::string& text);

}  // namespace qv
