// Random identifiers from libuuid.
#include "platform/UUID.h"

#include <uuid/uuid.h>

namespace qv {

std::string makeUUIDString() {
  uuid_t id;
  uuid_generate_random(id);
  char text[37];
  uuid_unparse_upper(id, text);
  return std::string(text, 36);
}

bool isUUIDString(const std::string& text) {
  if (text.size() != 36) return false;
  uuid_t id;
  return uuid_parse(text.c_str(), id) == 0;
}

}  // namespace qv
