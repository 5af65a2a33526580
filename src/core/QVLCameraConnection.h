// The scanner's camera as the delegate's connection of a scan, calibration or manual scan needs it:
// brought up after the serial device is opened and taken down before it is closed. The capture
// session implements it; the delegate owns it from connecting until disconnection.
#pragma once

#include "platform/Error.h"

class QVLCameraConnection {
public:
  virtual ~QVLCameraConnection() = default;
  // Starts the camera (session, control, watchdog, display-sleep assertion); true when it is up,
  // or was up already. On failure `error` tells why.
  virtual bool connectCamera(qv::Error* error) = 0;
  // Takes all of it down; may be called in any state.
  virtual void disconnectCamera() = 0;
};
