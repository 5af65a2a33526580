// The link tests' helpers, and the environment every test of this program runs in.
#include "ScanlinkTestSupport.h"

#include <stdlib.h>

#include "platform/Error.h"

namespace qv::test {

namespace {

// Settings are read from a folder of the test program's own, never the user's.
const bool kPrivateEnvironment = [] {
  static TempFolder* config = new TempFolder;
  ::setenv("XDG_CONFIG_HOME", config->path().c_str(), 1);
  std::atexit([] { delete config; });
  return true;
}();

}  // namespace

TempFolder::TempFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "quorvel-scanlink-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempFolder::~TempFolder() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

bool waitFor(const std::function<bool()>& done) { return runMainQueueUntil(done, seconds(5)); }

SimulatorTest::SimulatorTest() : source_(std::make_shared<SimulatorPortSource>(folder_.path())) {
  (void)kPrivateEnvironment;
  SerialPortSource::registerForLookup(source_);
}

std::unique_ptr<sim::SerialPeer> SimulatorTest::plugIn(const std::string& name) {
  return sim::SerialPeer::plugIn({folder_.path(), name});
}

void RecordingPortDelegate::serialPortDidReceiveData(ORSSerialPort&, const Data& data) {
  std::lock_guard lock(mutex_);
  if (!isMainQueue()) offMainQueue_ = true;
  received_.append(data.begin(), data.end());
}

void RecordingPortDelegate::serialPortWasRemovedFromSystem(ORSSerialPort& port) {
  std::lock_guard lock(mutex_);
  closedWhenRemoved_ = !port.isOpen();
  calls_.push_back("removed");
}

void RecordingPortDelegate::serialPortDidEncounterError(ORSSerialPort&, const Error& error) {
  std::lock_guard lock(mutex_);
  errors_.push_back(error.code);
  calls_.push_back("error " + std::to_string(error.code));
}

void RecordingPortDelegate::serialPortWasOpened(ORSSerialPort&) {
  std::lock_guard lock(mutex_);
  if (!isMainQueue()) offMainQueue_ = true;
  calls_.push_back("opened");
}

void RecordingPortDelegate::serialPortWasClosed(ORSSerialPort&) {
  std::lock_guard lock(mutex_);
  calls_.push_back("closed");
}

std::string RecordingPortDelegate::receivedText() const {
  std::lock_guard lock(mutex_);
  return received_;
}

std::vector<std::string> RecordingPortDelegate::calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

std::vector<int> RecordingPortDelegate::errorCodes() const {
  std::lock_guard lock(mutex_);
  return errors_;
}

bool RecordingPortDelegate::everythingOnMainQueue() const {
  std::lock_guard lock(mutex_);
  return !offMainQueue_;
}

bool RecordingPortDelegate::closedWhenRemoved() const {
  std::lock_guard lock(mutex_);
  return closedWhenRemoved_;
}

LineRecorder::LineRecorder(const QVLIDeviceProtocol& device) {
  auto& center = NotificationCenter::defaultCenter();
  registration_ = ObserverRegistration(
      center, center.addObserver(kDeviceLineNotification, device.notificationSender(), [this](const Notification& n) {
        std::lock_guard lock(mutex_);
        if (const Value* line = find(n.userInfo, kReceivedDataKey)) received_.push_back(*line->string());
        if (const Value* line = find(n.userInfo, kSentDataKey)) sent_.push_back(*line->string());
      }));
}

std::vector<std::string> LineRecorder::received() const {
  std::lock_guard lock(mutex_);
  return received_;
}

std::vector<std::string> LineRecorder::sent() const {
  std::lock_guard lock(mutex_);
  return sent_;
}

}  // namespace qv::test
