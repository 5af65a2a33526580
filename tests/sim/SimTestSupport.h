// Helpers of the firmware emulator's tests, on top of the protocol library's test helpers: a
// simulator folder with its own port source, waiting on the main queue, and a recorder of the
// lines a device announces.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/NotificationCenter.h"
#include "scancmd/ScancmdTestSupport.h"
#include "scanlink/SimulatorPortSource.h"

namespace qv::test {

// Runs the main queue until `done` holds, for at most ten seconds of real time.
bool waitFor(const std::function<bool()>& done);

// Records the lines a device announces.
class LineRecorder {
public:
  explicit LineRecorder(const QVLIDeviceProtocol& device);
  std::vector<std::string> received() const;
  bool heard(const std::string& line) const;

private:
  mutable std::mutex mutex_;
  std::vector<std::string> received_;
  ObserverRegistration registration_;
};

// Each test gets a simulator folder with its own port source, an empty resource folder (no firmware
// image unless the test writes one) and, for the whole program, a settings folder of its own.
class SimulatorTest : public ::testing::Test {
protected:
  SimulatorTest();
  const std::filesystem::path& simFolder() const { return simFolder_.path(); }
  const std::filesystem::path& resourceFolder() const { return resources_.path(); }

private:
  TempFolder simFolder_;
  ResourceFolderScope resources_;
  std::shared_ptr<SimulatorPortSource> source_;
};

}  // namespace qv::test
