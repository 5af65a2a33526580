// The names of the connection states.
#include "core/QVLConnectionState.h"

const char* QVLConnectionStateName(int state) {
  switch (state) {
    case QVLConnectionStateNone: return "QVLConnectionStateNone";
    case QVLConnectionStateConnecting: return "QVLConnectionStateConnecting";
    case QVLConnectionStateCheckingFirmware: return "QVLConnectionStateCheckingFirmware";
    case QVLConnectionStateReadingCalibration: return "QVLConnectionStateReadingCalibration";
    case QVLConnectionStateResetting: return "QVLConnectionStateResetting";
    case QVLConnectionStateResettingForFirmware: return "QVLConnectionStateResettingForFirmware";
    case QVLConnectionStateInstallingFirmware: return "QVLConnectionStateInstallingFirmware";
    default: return nullptr;
  }
}
