// Where the connection to the scanner stands: the states of the delegate's connection machine.
#pragma once

enum QVLConnectionState : int {
  QVLConnectionStateNone = 0,                // no connection work under way (also after a success)
  QVLConnectionStateConnecting = 1,          // an attempt was accepted; the port is being opened
  QVLConnectionStateCheckingFirmware = 2,    // the interpreter greets the firmware and reads its banner
  QVLConnectionStateReadingCalibration = 3,  // the calibration stored in the scanner is being read
  QVLConnectionStateResetting = 4,           // the scanner was reset; its boot loader comes next
  QVLConnectionStateResettingForFirmware = 5,  // reset for a firmware update; the boot loader gets flashed
  QVLConnectionStateInstallingFirmware = 6,  // the firmware is being written
};

// The state's name as the plain console log shows it ("QVLConnectionStateNone"), or nullptr for a
// value outside 0-6.
const char* QVLConnectionStateName(int state);
