// Descriptions of the protocol library's error codes.
#include "scancmd/QVLIErrors.h"

namespace qv {

Error interpreterError(QVLIErrorCode code) {
  const char* description = "";
  switch (code) {
    case QVLIErrorFirmwareUnknown: description = "The scanner's firmware version is not known yet"; break;
    case QVLIErrorNoDevice: description = "No scanner device"; break;
    case QVLIErrorAborted: description = "The scanner request was aborted or timed out"; break;
    case QVLIErrorFirmwareUnsupported: description = "The scanner's firmware v1.5.0 is not supported"; break;
    case QVLIErrorHeadBeyondLimit: description = "The head cannot move above 185 mm"; break;
    case QVLIErrorNoFirmwareImage: description = "No firmware image is installed with the application"; break;
    case QVLIErrorInvalidValue: description = "The distance or angle is not a number"; break;
  }
  return Error(kInterpreterErrorDomain, code, description);
}

}  // namespace qv
