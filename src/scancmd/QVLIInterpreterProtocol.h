// What the application asks of the command interpreter of a connected scanner.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/Error.h"
#include "scancmd/QVLICalibrationDetails.h"
#include "scanlink/QVLIDeviceProtocol.h"

namespace qv {

// Completion of a calibration read: the record read from the scanner.
using CalibrationCompletion = std::function<void(const QVLICalibrationDetails& details)>;

}  // namespace qv

// Every request takes a completion and an error callback, either of which may be empty; exactly
// one of them is called later. Refusals found before anything is written are reported at once on
// the caller's thread; completions and errors caused by replies or the watchdog come on the main
// queue; errors of a failed line write come from the device's write queue. A new request ends a
// waiting one with code 5 first.
class QVLIInterpreterProtocol {
public:
  virtual ~QVLIInterpreterProtocol() = default;

  virtual void disableLasers(qv::Completion completion, qv::ErrorCallback error) = 0;
  virtual void enableLaser1(qv::Completion completion, qv::ErrorCallback error) = 0;
  virtual void enableLaser2(qv::Completion completion, qv::ErrorCallback error) = 0;
  // Greets the firmware and reads its banner, which decides the firmware generation and
  // shouldUpdateFirmware().
  virtual void initializeDevice(qv::Completion completion, qv::ErrorCallback error) = 0;
  virtual void home(qv::Completion completion, qv::ErrorCallback error) = 0;
  // Stops both motors and the lasers.
  virtual void kill(qv::Completion completion, qv::ErrorCallback error) = 0;
  // Moves the head by a relative distance; refused with code 8 when it would end above 185 mm.
  virtual void moveCameraByMillimeters(float distance_mm, qv::Completion completion, qv::ErrorCallback error) = 0;
  virtual void readCalibrationValues(qv::CalibrationCompletion completion, qv::ErrorCallback error) = 0;
  // Turns the bed by a relative angle.
  virtual void rotatePlatterByDegrees(float angle_deg, qv::Completion completion, qv::ErrorCallback error) = 0;
  virtual void setCurrentPositionX(float angle_deg) = 0;
  virtual void setCurrentPositionY(float height_mm) = 0;
  // Writes the firmware image among the resources into the scanner (whose boot loader the
  // interpreter's device must be); blocks the calling thread while the programmer runs.
  virtual void updateFirmwareUsingArduinoAvrdude(bool useArduinoAvrDude, qv::FirmwareCompletion completion) = 0;
  virtual void writeCalibration(const QVLICalibrationDetails& details, qv::Completion completion,
                                qv::ErrorCallback error) = 0;

  // The tracked bed angle (degrees) and head height (mm above home).
  virtual float currentPositionX() const = 0;
  virtual float currentPositionY() const = 0;
  // The last lines received, oldest first (at most 150).
  virtual std::vector<std::string> lastCommunications() const = 0;
  // Whether the banner's firmware differs from the firmware image installed with the application.
  virtual bool shouldUpdateFirmware() const = 0;
};
