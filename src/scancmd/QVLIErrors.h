// The codes of the protocol library's error domain, and the error values carrying them.
#pragma once

#include "platform/Error.h"

// Codes of qv::kInterpreterErrorDomain ("QVLIErrorDomain"). Errors of the device link
// ("QVLCErrorDomain") reach the interpreter's callers unchanged.
enum QVLIErrorCode : int {
  QVLIErrorFirmwareUnknown = -1,      // no banner seen yet: the firmware generation is not known
  QVLIErrorNoDevice = 1,              // the interpreter has no device
  QVLIErrorAborted = 5,               // the request was aborted, or timed out
  QVLIErrorFirmwareUnsupported = 7,   // firmware v1.5.0
  QVLIErrorHeadBeyondLimit = 8,       // the head move would end above the 185 mm limit
  QVLIErrorNoFirmwareImage = 10,      // a firmware update was asked for with no image installed
  QVLIErrorInvalidValue = 11,         // a move or rotation by a value that is not a finite number
};

namespace qv {

// An error of the protocol library's domain with the code's usual description and no details.
Error interpreterError(QVLIErrorCode code);

}  // namespace qv
