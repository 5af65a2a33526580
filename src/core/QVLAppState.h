// What the application is busy with: the values of the delegate's activity state.
#pragma once

// 0 is never assigned; every test treats a value below QVLAppStateCalibrating as idle.
enum QVLAppState : int {
  QVLAppStateIdle = 1,         // no scan or calibration runs
  QVLAppStateCalibrating = 2,  // a calibration pass runs
  QVLAppStateScanning = 3,     // a scan runs
};
