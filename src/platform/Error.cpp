// Printing and building error values.
#include "platform/Error.h"

#include <cerrno>
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

bool isOutOfSpace(int err) { return err == ENOSPC || err == EDQUOT || err == EFBIG; }

bool isOutOfSpace(const Error& error) {
  const Value* cause = find(error.userInfo, Error::kUnderlyingErrorKey);
  return cause && cause->isInteger() && isOutOfSpace(static_cast<int>(cause->toInt64()));
}

bool isRefusedName(int err) {
  switch (err) {
    case ENAMETOOLONG:
    case EILSEQ:
    case EINVAL:
    case EEXIST:
    case EISDIR:
    case ENOTDIR:
    case ELOOP: return true;
    default: return false;
  }
}

std::string writeFailureReason(int err, const std::string& folder) {
  const std::string words = std::strerror(err);
  switch (err) {
    case ENOSPC: return "the disk that holds the folder " + folder + " is full (" + words + ")";
    case EDQUOT: return "the disk quota for the folder " + folder + " is used up (" + words + ")";
    case EFBIG: return "the file is larger than the disk that holds the folder " + folder + " takes (" + words + ")";
    default: return words;
  }
}

}  // namespace qv
