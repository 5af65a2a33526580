// The core tests' helpers.
#include "CoreTestSupport.h"

#include <stdlib.h>
#include <cstdlib>
#include <sys/stat.h>

#include <chrono>
#include <fstream>

#include "platform/Queue.h"
#include "scancmd/QVLIInterpreter.h"
#include "scanlink/FirmwareProgrammer.h"

namespace qv::test {

namespace fs = std::filesystem;

namespace {

// Logs, crash reports and data of a test program go to folders of its own, never the user's.
const bool kPrivateFolders = [] {
  static TempFolder* state = new TempFolder;
  ::setenv("XDG_STATE_HOME", (state->path() / "state").c_str(), 1);
  ::setenv("XDG_DATA_HOME", (state->path() / "data").c_str(), 1);
  std::atexit([] { delete state; });
  return true;
}();

}  // namespace

void RecordingScreenHost::record(std::string call) {
  std::lock_guard lock(mutex_);
  calls_.push_back(std::move(call));
}

void RecordingScreenHost::showHudScreen() {
  record("hud");
  if (onHud_) onHud_();
}
void RecordingScreenHost::openScanWithFilePath(const std::string& path) {
  if (onOpen) onOpen();
  record("open " + path);
}
void RecordingScreenHost::offerCrashReport(const fs::path& report) { record("crash " + report.string()); }
void RecordingScreenHost::updateAvailable(const QVLAppcastItem& item, bool userStarted) {
  record(std::string(userStarted ? "update " : "background update ") + item.versionString);
}
void RecordingScreenHost::noUpdateAvailable(const Error* error) {
  record(error ? "no update " + std::to_string(error->code) : "no update");
}
void RecordingScreenHost::presentError(const Error& error) {
  {
    std::lock_guard lock(mutex_);
    errors_.push_back(error);
  }
  record("error " + std::to_string(error.code));
}

std::vector<std::string> RecordingScreenHost::calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

std::vector<Error> RecordingScreenHost::errors() const {
  std::lock_guard lock(mutex_);
  return errors_;
}

std::shared_ptr<QVSCalibrationDetails> goodCalibration() {
  auto c = std::make_shared<QVSCalibrationDetails>();
  c->setBedNormalX(0.0f);
  c->setBedNormalY(0.8f);
  c->setBedNormalZ(0.6f);
  c->setBedOriginX(1.5f);
  c->setBedOriginY(-20.25f);
  c->setBedOriginZ(-300.0f);
  c->setLaser1NormalX(0.866025f);
  c->setLaser1NormalZ(0.5f);
  c->setLaser1OriginX(-120.5f);
  c->setLaser2NormalX(-0.866025f);
  c->setLaser2NormalZ(0.5f);
  c->setLaser2OriginX(120.5f);
  c->setLeadScrewNormalY(1.0f);
  c->setIntrinsicFX(1400.5f);
  c->setIntrinsicFY(1401.25f);
  c->setIntrinsicCX(640.0f);
  c->setIntrinsicCY(480.0f);
  c->setDistortion0(-0.125f);
  c->setDistortion1(0.0625f);
  c->setUniqueId("00000000-0000-4000-8000-000000000000");  // never written: the scanner keeps its own
  return c;
}

CoreTest::CoreTest()
    : settings_(settingsFolder_.path() / "Settings.json"), manager_(ORSSerialPortManager::create({source_})) {
  (void)kPrivateFolders;
}

CoreTest::~CoreTest() {
  delegate_.reset();
  scanners_.clear();
  drainMainQueue();
}

sim::FirmwareEmulator& CoreTest::plugScanner(sim::FirmwareGeneration generation, sim::FirmwarePace pace,
                                             const std::filesystem::path& memoryFolder) {
  sim::FirmwareEmulator::Options options;
  options.folder = simFolder();
  options.generation = generation;
  options.pace = pace;
  options.memoryFolder = memoryFolder;
  scanners_.push_back(sim::FirmwareEmulator::plugIn(options));
  auto& scanner = *scanners_.back();
  // The port manager hears of it on the main queue.
  EXPECT_TRUE(waitFor([&] { return hasPort(scanner.path()); }));
  return scanner;
}

void CoreTest::launch(const std::string& fileToOpen) {
  QVLAppEnvironment environment;
  environment.portManager = manager_;
  environment.settings = &settings_;
  environment.shortVersion = "2.10";
  environment.buildVersion = "305";
  delegate_ = QVLAppDelegate::create(environment);
  delegate_->setScreenHost(host_);
  if (!fileToOpen.empty()) delegate_->setModelToDisplayOnStartup(fileToOpen);
  QVLLaunchOptions options;
  options.setUpLogging = false;
  options.crashFolder = settingsFolder_.path() / "Crashes";
  delegate_->applicationDidFinishLaunching(options);
}

void CoreTest::installProgrammer(int status) {
  const fs::path script = settingsFolder_.path() / "avrdude";
  {
    std::ofstream out(script);
    out << "#!/bin/sh\n"
        << "while [ $# -gt 0 ]; do [ \"$1\" = -P ] && port=\"$2\"; shift; done\n";
    if (status == 0) {
      out << "exec 3<>\"$port\" || exit 1\n"
          << "sleep 0.1\n"
          << "exec 3>&-\n"
          // The flashed scanner restarts before the programmer is seen to end, as real ones do.
          << "sleep 0.3\n";
    } else {
      out << "echo 'avrdude: ser_open(): cannot open device' >&2\n";
    }
    out << "exit " << status << "\n";
  }
  ::chmod(script.c_str(), 0700);
  settings_.setValue(FirmwareProgrammer::kAvrDudePathKey, script.string());
}

bool CoreTest::advanceUntil(const std::function<bool()>& done, double step_s, int steps) {
  for (int i = 0; i < steps; ++i) {
    if (runMainQueueUntil(done, std::chrono::milliseconds(100))) return true;
    clock_.advanceSeconds(step_s);
  }
  return waitFor(done);
}

bool CoreTest::driveEmulator(const sim::FirmwareEmulator& emulator, const std::function<bool()>& done,
                             const std::function<void()>& onEachStep, Duration limit) {
  auto last = std::chrono::steady_clock::now();
  return runMainQueueUntil(
      [&] {
        if (done()) return true;
        if (onEachStep) onEachStep();
        const auto now = std::chrono::steady_clock::now();
        if (now - last > std::chrono::milliseconds(2) && emulator.isIdle() && !waitingForScannerReply()) {
          clock_.clock()->advance(seconds(1.0 / 30.0));
          last = now;
        }
        return false;
      },
      limit);
}

bool CoreTest::waitingForScannerReply() const {
  const auto interpreter = std::dynamic_pointer_cast<QVLIInterpreter>(delegate_ ? delegate_->deviceInterpreter() : nullptr);
  return interpreter && interpreter->isWatchdogArmed();
}

bool CoreTest::hasPort(const std::string& path) const {
  for (const auto& port : manager_->availablePorts()) {
    if (port->path() == path) return true;
  }
  return false;
}

bool CoreTest::heard(const sim::FirmwareEmulator& emulator, const std::string& command) const {
  for (const auto& line : emulator.commands()) {
    if (line == command) return true;
  }
  return false;
}

}  // namespace qv::test
