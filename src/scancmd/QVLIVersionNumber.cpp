// The printable form of a firmware version.
#include "scancmd/QVLIVersionNumber.h"

#include "platform/Format.h"

std::string QVLIVersionNumber::description() const {
  return qv::format("%lld.%lld.%lld", static_cast<long long>(major), static_cast<long long>(minor),
                    static_cast<long long>(patch));
}
