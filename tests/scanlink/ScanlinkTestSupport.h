// Helpers of the link tests: the shared simulator fixture, waiting on the main queue, the manual
// clock and a recorder of a device's lines, and a recorder of what a port reported.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/Queue.h"
#include "scanlink/ORSSerialPort.h"
#include "support/LineRecorder.h"
#include "support/ManualClockScope.h"
#include "support/SimulatorTest.h"
#include "support/TempFolder.h"
#include "support/WaitFor.h"

namespace qv::test {

// Records every call a port makes on its delegate, and on which thread.
class RecordingPortDelegate : public ORSSerialPortDelegate {
public:
  void serialPortDidReceiveData(ORSSerialPort& port, const Data& data) override;
  void serialPortWasRemovedFromSystem(ORSSerialPort& port) override;
  void serialPortDidEncounterError(ORSSerialPort& port, const Error& error) override;
  void serialPortWasOpened(ORSSerialPort& port) override;
  void serialPortWasClosed(ORSSerialPort& port) override;

  std::string receivedText() const;
  std::vector<std::string> calls() const;  // "opened", "closed", "removed", "error <code>"
  std::vector<int> errorCodes() const;
  bool everythingOnMainQueue() const;
  // Whether the port was closed when its removal was told.
  bool closedWhenRemoved() const;

private:
  mutable std::mutex mutex_;
  std::string received_;
  std::vector<std::string> calls_;
  std::vector<int> errors_;
  bool offMainQueue_ = false;
  bool closedWhenRemoved_ = false;
};

}  // namespace qv::test
