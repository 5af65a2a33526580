// What the application needs of a scanner device: connecting, disconnecting, the boot-loader reset,
// the communication fault simulation, and the port path.
#pragma once

#include <string>

#include "platform/Error.h"

class QVLCDeviceProtocol {
public:
  virtual ~QVLCDeviceProtocol() = default;

  // Opens the device's port for commands; false when it could not be opened.
  virtual bool connect() = 0;
  // Closes the port; false when there was none or closing failed.
  virtual bool disconnect() = 0;
  // Resets the device into its boot loader (a 1200-baud open and close). Answers false and leaves
  // `error` untouched: the reset's outcome shows only as the boot loader's arrival.
  virtual bool resetHardware(qv::Error* error) = 0;
  // Arms a one-shot fault: the next completion line received arrives mangled.
  virtual void simulateCommunincationsError() = 0;
  // The path of the device's port.
  virtual std::string port() const = 0;
};
