// Helpers of the link tests: a private simulator folder with its port source, waiting on the main
// queue for work that crosses real threads, a manual clock, and recorders of what a port or a
// device reported.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "platform/NotificationCenter.h"
#include "platform/Queue.h"
#include "scanlink/ORSSerialPort.h"
#include "scanlink/QVLIDeviceProtocol.h"
#include "scanlink/SimulatorPortSource.h"
#include "sim/serial/SerialPeer.h"

namespace qv::test {

// A fresh folder under the temporary folder, removed with everything in it.
class TempFolder {
public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::filesystem::path& path() const { return path_; }

private:
  std::filesystem::path path_;
};

// Runs the main queue until `done` holds, for at most five seconds of real time.
bool waitFor(const std::function<bool()>& done);

// Installs a manual clock for the test's lifetime.
class ManualClockScope {
public:
  ManualClockScope() : clock_(std::make_shared<ManualClock>()) { setClock(clock_); }
  ~ManualClockScope() { setClock(nullptr); }
  // Moves the clock and runs what fell due on the main queue.
  void advanceSeconds(double s) {
    clock_->advanceSeconds(s);
    drainMainQueue();
  }

private:
  std::shared_ptr<ManualClock> clock_;
};

// Each test gets its own simulator folder and a port source over it, registered for look-ups, so
// that tests running side by side never see each other's ports (nor the user's).
class SimulatorTest : public ::testing::Test {
protected:
  SimulatorTest();
  std::unique_ptr<sim::SerialPeer> plugIn(const std::string& name = {});
  const std::filesystem::path& simFolder() const { return folder_.path(); }

  TempFolder folder_;
  std::shared_ptr<SimulatorPortSource> source_;
};

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

// Records the lines a device announces.
class LineRecorder {
public:
  explicit LineRecorder(const QVLIDeviceProtocol& device);
  std::vector<std::string> received() const;
  std::vector<std::string> sent() const;

private:
  mutable std::mutex mutex_;
  std::vector<std::string> received_;
  std::vector<std::string> sent_;
  ObserverRegistration registration_;
};

}  // namespace qv::test
