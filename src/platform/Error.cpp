// Printing and building error values.
#include "platform/Error.h"

#include <cstring>

#include "platform/Format.h"

namespace qv {

std::string Error::text() const {
  std::string out = format("Domain %s code %d", domain.c_str(), code);
  if (!description.empty()) out += ": " + description;
  return out;
}

Error posixError(int err, const std::string& what) {
  return Error(kPosixErrorDomain, err, what + ": " + std::strerror(err));
}

}  // namespace qv
