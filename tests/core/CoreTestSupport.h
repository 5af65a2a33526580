// Helpers of the core tests: a recording screen host, a display that needs no session bus, and a fixture that puts a delegate over a private simulator folder and settings.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/QVLAppDelegate.h"
#include "core/QVLAppcast.h"
#include "core/camera/DisplaySleepInhibitor.h"
#include "sim/firmware/FirmwareEmulator.h"
#include "support/CapturedLog.h"
#include "support/ManualClockScope.h"
#include "support/ResourceFolderScope.h"
#include "support/SimulatorTest.h"
#include "support/TempFolder.h"
#include "support/WaitFor.h"

namespace qv::test {

// Records what the core asked of the shell.
class RecordingScreenHost : public QVLScreenHost {
public:
  explicit RecordingScreenHost(std::function<void()> onHud = {}) : onHud_(std::move(onHud)) {}
  void showHudScreen() override;
  void openScanWithFilePath(const std::string& path) override;
  void offerCrashReport(const std::filesystem::path& report) override;
  void updateAvailable(const QVLAppcastItem& item, bool userStarted) override;
  void noUpdateAvailable(const Error* error) override;
  void presentError(const Error& error) override;

  // "hud", "open <path>", "crash <path>", "update <version>", "no update", "error <code>".
  std::vector<std::string> calls() const;
  std::vector<Error> errors() const;
  // Runs when a file is opened (to look at what was logged before).
  std::function<void()> onOpen;

private:
  void record(std::string call);
  std::function<void()> onHud_;
  mutable std::mutex mutex_;
  std::vector<std::string> calls_;
  std::vector<Error> errors_;
};

// Holds the display awake without asking anyone: the tests have no session bus.
class NoInhibitor final : public DisplaySleepInhibitor {
public:
  std::uint32_t inhibit(const std::string&) override { return 1; }
  void release(std::uint32_t) override {}
};

// A plausible calibration: unit normals, positive intrinsics, the bed below the camera.
std::shared_ptr<QVSCalibrationDetails> goodCalibration();

// A delegate over the test's own simulator folder, settings and resources, on the manual clock.
class CoreTest : public SimulatorTest {
protected:
  CoreTest();
  ~CoreTest() override;

  // Plugs a simulated scanner in (instant replies unless a pace is given), keeping its memory in
  // `memoryFolder` when one is given.
  sim::FirmwareEmulator& plugScanner(sim::FirmwareGeneration generation = sim::FirmwareGeneration::V170,
                                     sim::FirmwarePace pace = sim::FirmwarePace::none(),
                                     const std::filesystem::path& memoryFolder = {});
  // Makes the delegate (after the scanners present at launch are plugged in) and launches it,
  // handing it the file to open when one is given.
  void launch(const std::string& fileToOpen = {});
  // A programmer script that opens the port it is given and closes it (as a flash does), ending
  // with `status`; set as the programmer of the settings.
  void installProgrammer(int status);
  // Runs the main queue until `done`, moving the manual clock on by `step_s` whenever nothing
  // more happens in a short real time: for waits that pass through the interpreter's watchdog.
  bool advanceUntil(const std::function<bool()>& done, double step_s = 0.5, int steps = 40);
  // Runs the main queue until `done` (for at most `limit` of real time), calling `onEachStep` on
  // the way. The manual clock moves on a camera frame at a time while the emulator has nothing to
  // do, and never faster than the emulator answers, so that settle delays and frames pass but the
  // interpreter's watchdog never sees a silent scanner: an idle emulator may not have read the
  // line it was sent yet, or its reply may not have been handled yet, so the clock also stands
  // while the interpreter waits for an answer.
  bool driveEmulator(const sim::FirmwareEmulator& emulator, const std::function<bool()>& done,
                     const std::function<void()>& onEachStep = {}, Duration limit = kPatience);
  // Whether the interpreter has a command out and waits for the scanner's answer.
  bool waitingForScannerReply() const;
  bool hasPort(const std::string& path) const;
  bool heard(const sim::FirmwareEmulator& emulator, const std::string& command) const;

  ManualClockScope clock_;
  ResourceFolderScope resources_;
  TempFolder settingsFolder_;
  Settings settings_;
  std::shared_ptr<ORSSerialPortManager> manager_;
  std::shared_ptr<RecordingScreenHost> host_ = std::make_shared<RecordingScreenHost>();
  std::shared_ptr<QVLAppDelegate> delegate_;
  std::vector<std::unique_ptr<sim::FirmwareEmulator>> scanners_;
};

}  // namespace qv::test
