// What a serial port tells its delegate: data, removal, errors, opening and closing.
#pragma once

#include "platform/Error.h"
#include "platform/Value.h"

class ORSSerialPort;

// The first two are what every delegate must handle; the others do nothing unless overridden
// (a port's errors reach only a delegate that overrides serialPortDidEncounterError).
class ORSSerialPortDelegate {
public:
  virtual ~ORSSerialPortDelegate() = default;

  // Bytes read from the port, in order; on the main queue.
  virtual void serialPortDidReceiveData(ORSSerialPort& port, const qv::Data& data) = 0;
  // The port's device has gone; the port is already closed. On the thread that noticed.
  virtual void serialPortWasRemovedFromSystem(ORSSerialPort& port) = 0;

  virtual void serialPortDidEncounterError(ORSSerialPort& port, const qv::Error& error) {
    (void)port;
    (void)error;
  }
  // On the main queue, after the port opened.
  virtual void serialPortWasOpened(ORSSerialPort& port) { (void)port; }
  // On the thread that closed the port.
  virtual void serialPortWasClosed(ORSSerialPort& port) { (void)port; }
};
