// The firmware emulator tests' helpers, and the environment every test of this program runs in.
#include "SimTestSupport.h"

#include <stdlib.h>

#include <algorithm>

#include "platform/Queue.h"

namespace qv::test {

namespace {

// Settings are read from a folder of the test program's own, never the user's.
const bool kPrivateSettings = [] {
  static TempFolder* config = new TempFolder;
  ::setenv("XDG_CONFIG_HOME", config->path().c_str(), 1);
  std::atexit([] { delete config; });
  return true;
}();

}  // namespace

bool waitFor(const std::function<bool()>& done) { return runMainQueueUntil(done, seconds(10)); }

LineRecorder::LineRecorder(const QVLIDeviceProtocol& device) {
  auto& center = NotificationCenter::defaultCenter();
  registration_ = ObserverRegistration(
      center, center.addObserver(kDeviceLineNotification, device.notificationSender(), [this](const Notification& n) {
        std::lock_guard lock(mutex_);
        if (const Value* line = find(n.userInfo, kReceivedDataKey)) received_.push_back(*line->string());
      }));
}

std::vector<std::string> LineRecorder::received() const {
  std::lock_guard lock(mutex_);
  return received_;
}

bool LineRecorder::heard(const std::string& line) const {
  std::lock_guard lock(mutex_);
  return std::find(received_.begin(), received_.end(), line) != received_.end();
}

SimulatorTest::SimulatorTest() : source_(std::make_shared<SimulatorPortSource>(simFolder_.path())) {
  (void)kPrivateSettings;
  SerialPortSource::registerForLookup(source_);
}

}  // namespace qv::test
