// The interpreter through a real device link against the firmware emulator on pseudo-terminals:
// every generation's greeting, homing, moves and the head limit, rotations with the gear play,
// lasers, stop, calibration read and write, and the faults: silence, chatter, "Motor Timeout"
// lines, split and merged lines, a dropped completion, unplugging mid-request, the boot loader.
#include <sys/stat.h>

#include <fstream>

#include "platform/NotificationCenter.h"
#include "platform/Queue.h"
#include "scancmd/CommandProtocol.h"
#include "scancmd/QVLIErrors.h"
#include "scancmd/QVLIInterpreter.h"
#include "scancmd/ScancmdTestSupport.h"
#include "scanlink/QVLCDevice.h"
#include "sim/firmware/FirmwareEmulator.h"
#include "support/LineRecorder.h"
#include "support/SimulatorTest.h"
#include "support/WaitFor.h"

namespace qv::test {
namespace {

using sim::FirmwareEmulator;
using sim::FirmwareGeneration;
using sim::FirmwarePace;

// An empty resource folder besides: no firmware image unless the test writes one.
class FirmwareEmulatorTest : public SimulatorTest {
protected:
  const std::filesystem::path& resourceFolder() const { return resources_.path(); }
  void plugIn(FirmwareGeneration generation = FirmwareGeneration::V170, FirmwarePace pace = FirmwarePace::none()) {
    FirmwareEmulator::Options options;
    options.folder = simFolder();
    options.generation = generation;
    options.pace = pace;
    emulator_ = FirmwareEmulator::plugIn(options);
    connect();
  }
  void connect() {
    device_ = QVLCDevice::createDeviceForPort(emulator_->path());
    ASSERT_TRUE(device_->connect());
    interpreter_ = QVLIInterpreter::createWithDevice(device_);
    lines_ = std::make_unique<LineRecorder>(*device_);
  }
  // Starts a request and waits for its one outcome.
  template <typename Start>
  void run(Outcome& outcome, Start start) {
    start(outcome);
    ASSERT_TRUE(waitFor([&] { return outcome.calls() > 0; }));
    drainMainQueue();
    EXPECT_EQ(outcome.calls(), 1);
  }
  void greet() {
    Outcome outcome;
    run(outcome, [&](Outcome& o) { interpreter_->initializeDevice(o.completion(), o.error()); });
    ASSERT_TRUE(outcome.completedOnly());
  }
  void lasers(void (QVLIInterpreter::*request)(Completion, ErrorCallback)) {
    Outcome outcome;
    run(outcome, [&](Outcome& o) { (interpreter_.get()->*request)(o.completion(), o.error()); });
    EXPECT_TRUE(outcome.completedOnly());
  }
  void move(float mm) {
    Outcome outcome;
    run(outcome, [&](Outcome& o) { interpreter_->moveCameraByMillimeters(mm, o.completion(), o.error()); });
    EXPECT_TRUE(outcome.completedOnly());
  }
  void rotate(float deg) {
    Outcome outcome;
    run(outcome, [&](Outcome& o) { interpreter_->rotatePlatterByDegrees(deg, o.completion(), o.error()); });
    EXPECT_TRUE(outcome.completedOnly());
  }
  QVLICalibrationDetails read() {
    Outcome outcome;
    run(outcome, [&](Outcome& o) { interpreter_->readCalibrationValues(o.calibration(), o.error()); });
    EXPECT_TRUE(outcome.record());
    return outcome.record().value_or(QVLICalibrationDetails());
  }
  bool emulatorHeard(const std::string& command) {
    return waitFor([&] {
      const auto commands = emulator_->commands();
      return std::find(commands.begin(), commands.end(), command) != commands.end();
    });
  }

  ResourceFolderScope resources_;
  std::unique_ptr<FirmwareEmulator> emulator_;
  std::shared_ptr<QVLCDevice> device_;
  std::shared_ptr<QVLIInterpreter> interpreter_;
  std::unique_ptr<LineRecorder> lines_;
};

TEST_F(FirmwareEmulatorTest, EveryGenerationGreetsWithItsBanner) {
  const std::pair<FirmwareGeneration, QVLIFirmwareVersion> generations[] = {
      {FirmwareGeneration::V160, QVLIFirmwareVersion160}, {FirmwareGeneration::V161, QVLIFirmwareVersion161},
      {FirmwareGeneration::V170, QVLIFirmwareVersion170}, {FirmwareGeneration::V200, QVLIFirmwareVersion200},
      {FirmwareGeneration::Other, QVLIFirmwareVersionOther}};
  for (const auto& [generation, version] : generations) {
    plugIn(generation);
    greet();
    EXPECT_EQ(interpreter_->firmwareVersion(), version);
    device_->disconnect();
  }
  plugIn(FirmwareGeneration::V150);
  Outcome refused;
  run(refused, [&](Outcome& o) { interpreter_->initializeDevice(o.completion(), o.error()); });
  ASSERT_TRUE(refused.onlyError());
  EXPECT_EQ(refused.onlyError()->code, QVLIErrorFirmwareUnsupported);
}

TEST_F(FirmwareEmulatorTest, HomeMoveRotateLasersAndStopDriveTheScanner) {
  plugIn();
  greet();
  Outcome home;
  run(home, [&](Outcome& o) { interpreter_->home(o.completion(), o.error()); });
  EXPECT_TRUE(home.completedOnly());
  EXPECT_TRUE(emulator_->isHomed());

  move(50);
  EXPECT_FLOAT_EQ(interpreter_->currentPositionY(), 50.0f);
  EXPECT_DOUBLE_EQ(emulator_->headHeight_mm(), 50.0);
  move(135);  // to exactly 185 mm
  EXPECT_DOUBLE_EQ(emulator_->headHeight_mm(), 185.0);
  const auto heard = emulator_->commands().size();
  Outcome refused;
  interpreter_->moveCameraByMillimeters(0.5f, refused.completion(), refused.error());
  ASSERT_TRUE(refused.onlyError());
  EXPECT_EQ(refused.onlyError()->code, QVLIErrorHeadBeyondLimit);
  move(-185);
  EXPECT_DOUBLE_EQ(emulator_->headHeight_mm(), 0.0);
  EXPECT_EQ(emulator_->commands().size(), heard + 1);  // the refused move never reached it

  // The gear play swallows the allowance the interpreter adds on each change of direction.
  for (float angle : {30.0f, -10.0f, -5.0f, 20.0f, -35.0f}) rotate(angle);
  EXPECT_FLOAT_EQ(interpreter_->currentPositionX(), 0.0f);
  EXPECT_NEAR(emulator_->bedAngle_deg(), 0.0, 1e-5);

  lasers(&QVLIInterpreter::enableLaser1);
  EXPECT_TRUE(emulator_->laser1On());
  lasers(&QVLIInterpreter::enableLaser2);
  EXPECT_TRUE(emulator_->laser2On());
  EXPECT_FALSE(emulator_->laser1On());
  lasers(&QVLIInterpreter::kill);
  EXPECT_FALSE(emulator_->laser2On());
  const auto commands = emulator_->commands();
  EXPECT_EQ(std::vector<std::string>(commands.end() - 3, commands.end()), (std::vector<std::string>{"xk", "yk", "l0"}));
}

TEST_F(FirmwareEmulatorTest, ProgressLinesTrackTheHeadOnTheWayAtARealisticPace) {
  FirmwarePace pace = FirmwarePace::none();
  pace.headSpeed_mm_per_s = 100;
  pace.progressInterval_s = 0.02;
  plugIn(FirmwareGeneration::V170, pace);
  greet();
  Outcome outcome;
  // The position as each received line leaves it (the interpreter, observing first, has taken the
  // line in by then), so that a loaded machine delivering the lines in one burst changes nothing.
  std::vector<float> seen;
  auto& center = NotificationCenter::defaultCenter();
  ObserverRegistration observer(center, center.addObserver(kDeviceLineNotification, nullptr, [&](const Notification& n) {
    if (find(n.userInfo, kReceivedDataKey)) seen.push_back(interpreter_->currentPositionY());
  }));
  interpreter_->moveCameraByMillimeters(20, outcome.completion(), outcome.error());
  ASSERT_TRUE(waitFor([&] { return outcome.calls() > 0; }));
  EXPECT_TRUE(outcome.completedOnly());
  EXPECT_FLOAT_EQ(interpreter_->currentPositionY(), 20.0f);
  EXPECT_TRUE(std::any_of(seen.begin(), seen.end(), [](float y) { return y > 0.5f && y < 19.5f; }));
  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
}

TEST_F(FirmwareEmulatorTest, CalibrationWrittenInThirtyLinesReadsBackEqual) {
  plugIn(FirmwareGeneration::V200);
  greet();
  const QVLICalibrationDetails factory = read();
  EXPECT_FLOAT_EQ(factory.intrinsicFX(), 1450.5f);
  EXPECT_EQ(factory.uniqueId(), "3F2A9C4E-7B1D-4E8A-9C0F-5D6E7A8B9C01");

  // Every field its own value, exact in binary and in six decimals.
  std::map<std::string, std::string> values;
  float value = -3.25f;
  for (const auto& key : protocol::expectedKeys(QVLIFirmwareVersion200)) values[key] = std::to_string(value += 7.125f);
  values["GUID"] = "0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D";
  const QVLICalibrationDetails mine = protocol::calibrationFromValues(values, protocol::expectedKeys(QVLIFirmwareVersion200));
  Outcome write;
  run(write, [&](Outcome& o) { interpreter_->writeCalibration(mine, o.completion(), o.error()); });
  EXPECT_TRUE(write.completedOnly());
  const auto stored = emulator_->storedCalibration();
  EXPECT_EQ(stored.at("BEDX"), values.at("BEDX"));
  EXPECT_EQ(stored.at("GUID"), "0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D");
  const auto commands = emulator_->commands();
  EXPECT_EQ(std::count_if(commands.begin(), commands.end(), [](const std::string& c) { return c.rfind(">>>", 0) == 0; }),
            30);

  const QVLICalibrationDetails back = read();
  EXPECT_EQ(protocol::calibrationWriteLines(back), protocol::calibrationWriteLines(mine));  // all 30 fields
}

TEST_F(FirmwareEmulatorTest, SplitMergedAndChattyLinesChangeNothing) {
  plugIn(FirmwareGeneration::V170);
  emulator_->setSplitLines(true);
  greet();
  move(10);
  emulator_->setSplitLines(false);
  emulator_->setMergeLines(true);
  rotate(45);
  const QVLICalibrationDetails merged = read();
  emulator_->setMergeLines(false);
  emulator_->setChatter(0.001, "STATUS OK");
  ASSERT_TRUE(waitFor([&] { return lines_->heard("STATUS OK"); }));
  const QVLICalibrationDetails chatty = read();
  EXPECT_FLOAT_EQ(merged.bedOriginZ(), 312.75f);
  EXPECT_EQ(chatty.bedOriginZ(), merged.bedOriginZ());
  EXPECT_EQ(chatty.uniqueId(), merged.uniqueId());
  EXPECT_FLOAT_EQ(interpreter_->currentPositionY(), 10.0f);
  EXPECT_FLOAT_EQ(interpreter_->currentPositionX(), 45.0f);
}

// ---- the watchdog against a misbehaving scanner, on the manual clock ----

TEST_F(FirmwareEmulatorTest, ASilentScannerFailsTheGreetingButCompletesALaserRequest) {
  ManualClockScope clock;
  plugIn();
  emulator_->setSilent(true);
  Outcome banner, laser;
  interpreter_->initializeDevice(banner.completion(), banner.error());
  ASSERT_TRUE(emulatorHeard("rst3C|41"));
  clock.advanceSeconds(2.0);
  ASSERT_TRUE(banner.onlyError());
  EXPECT_EQ(banner.onlyError()->code, QVLIErrorAborted);

  interpreter_->enableLaser1(laser.completion(), laser.error());
  ASSERT_TRUE(emulatorHeard("L1"));
  clock.advanceSeconds(1.9);
  EXPECT_EQ(laser.calls(), 0);
  clock.advanceSeconds(0.1);
  EXPECT_TRUE(laser.completedOnly());
  EXPECT_FALSE(emulator_->laser1On());  // it never switched: the watchdog's success is a guess
}

TEST_F(FirmwareEmulatorTest, ADroppedCompletionIsMadeUpByTheWatchdog) {
  ManualClockScope clock;
  plugIn();
  greet();
  emulator_->dropNextCompletions(1);
  Outcome outcome;
  interpreter_->moveCameraByMillimeters(12, outcome.completion(), outcome.error());
  ASSERT_TRUE(waitFor([&] { return lines_->heard("PY10000") && emulator_->isIdle(); }));
  EXPECT_FLOAT_EQ(interpreter_->currentPositionY(), 12.0f);
  EXPECT_EQ(outcome.calls(), 0);
  clock.advanceSeconds(2.0);
  EXPECT_TRUE(outcome.completedOnly());
  move(3);  // and the next request goes on as usual
  EXPECT_DOUBLE_EQ(emulator_->headHeight_mm(), 15.0);
}

TEST_F(FirmwareEmulatorTest, MotorTimeoutXLinesDoNotKeepARequestAliveButOtherLinesDo) {
  ManualClockScope clock;
  plugIn();
  greet();
  emulator_->setMotorTimeouts(true);
  emulator_->dropNextCompletions(1);
  Outcome quiet;
  interpreter_->enableLaser2(quiet.completion(), quiet.error());
  ASSERT_TRUE(waitFor([&] { return lines_->heard("Motor Timeout X") && emulator_->isIdle(); }));
  clock.advanceSeconds(1.5);
  emulator_->say("Motor Timeout X");
  ASSERT_TRUE(waitFor([&] { return lines_->received().back() == "Motor Timeout X" && emulator_->isIdle(); }));
  clock.advanceSeconds(0.5);
  EXPECT_TRUE(quiet.completedOnly());

  emulator_->dropNextCompletions(1);
  Outcome kept;
  interpreter_->enableLaser1(kept.completion(), kept.error());
  ASSERT_TRUE(waitFor([&] { return lines_->heard("COMMAND RECEIVED L1") && emulator_->isIdle(); }));
  clock.advanceSeconds(1.5);
  emulator_->say("Motor Timeout Y");
  ASSERT_TRUE(waitFor([&] { return lines_->heard("Motor Timeout Y"); }));
  clock.advanceSeconds(0.5);
  EXPECT_EQ(kept.calls(), 0);
  clock.advanceSeconds(1.5);
  EXPECT_TRUE(kept.completedOnly());
}

TEST_F(FirmwareEmulatorTest, UnpluggingMidRequestEndsItWithAnErrorAndNothingHangs) {
  ManualClockScope clock;
  plugIn(FirmwareGeneration::V200);
  greet();
  emulator_->unplugOnNextCommand("<<<");
  Outcome read;
  interpreter_->readCalibrationValues(read.calibration(), read.error());
  // Gone for the emulator and, once the hang-up is seen, for the device too.
  ASSERT_TRUE(waitFor([&] { return !emulator_->isPluggedIn() && !device_->isConnected(); }));
  EXPECT_TRUE(lines_->heard("COMMAND RECEIVED <<<"));
  clock.advanceSeconds(2.0);
  ASSERT_TRUE(read.onlyError());
  EXPECT_EQ(read.onlyError()->code, QVLIErrorAborted);

  // The next request finds the line gone: the write fails and says so.
  Outcome after;
  interpreter_->enableLaser1(after.completion(), after.error());
  ASSERT_TRUE(waitFor([&] { return after.calls() > 0; }));
  ASSERT_TRUE(after.onlyError());
  EXPECT_EQ(after.onlyError()->domain, kControlErrorDomain);
  EXPECT_EQ(interpreter_->operationState(), QVLIOperationStateIdle);
  clock.advanceSeconds(5);
  EXPECT_EQ(after.calls(), 1);

  // Plugged in again, the scanner is greeted afresh.
  device_->disconnect();
  emulator_->replug();
  connect();
  greet();
}

TEST_F(FirmwareEmulatorTest, AMoveCutShortByUnpluggingFailsInsteadOfPassingForDone) {
  ManualClockScope clock;
  plugIn();
  greet();
  move(20);
  emulator_->unplugOnNextCommand(protocol::moveLine(10.0f));
  Outcome moved;
  interpreter_->moveCameraByMillimeters(10.0f, moved.completion(), moved.error());
  ASSERT_TRUE(waitFor([&] { return !emulator_->isPluggedIn() && !device_->isConnected(); }));
  clock.advanceSeconds(2.0);
  ASSERT_TRUE(waitFor([&] { return moved.calls() > 0; }));
  ASSERT_TRUE(moved.onlyError());
  EXPECT_EQ(moved.onlyError()->domain, kInterpreterErrorDomain);
  EXPECT_EQ(moved.onlyError()->code, QVLIErrorNoDevice);
  EXPECT_FLOAT_EQ(interpreter_->currentPositionY(), 20.0f);  // the head is not where it was asked to go
  EXPECT_EQ(interpreter_->operationState(), QVLIOperationStateIdle);
  clock.advanceSeconds(5);
  EXPECT_EQ(moved.calls(), 1);
}

// ---- the boot loader ----

TEST_F(FirmwareEmulatorTest, ResetIntoTheBootLoaderAndFlashWithTheImage) {
  ManualClockScope clock;
  FirmwarePace pace = FirmwarePace::none();
  pace.bootLoaderWindow_s = 30;  // waits for the programmer
  plugIn(FirmwareGeneration::V161, pace);
  emulator_->setGenerationAfterFlash(FirmwareGeneration::V170);
  std::ofstream(resourceFolder() / "Firmware_1.7.0.cpp.hex") << ":00000001FF\n";
  greet();
  ASSERT_TRUE(interpreter_->shouldUpdateFirmware());

  EXPECT_FALSE(device_->resetHardware(nullptr));
  ASSERT_TRUE(waitFor([&] { return emulator_->lineBaudRate() == 1200; }));
  clock.advanceSeconds(2.0);  // the device closes its 1200-baud line
  ASSERT_TRUE(waitFor([&] { return emulator_->bootLoaderPath().has_value(); }));
  EXPECT_EQ(emulator_->resetCount(), 1);
  EXPECT_FALSE(emulator_->isPluggedIn());
  EXPECT_FALSE(std::filesystem::exists(emulator_->path()));
  const std::string bootLoader = *emulator_->bootLoaderPath();
  EXPECT_NE(bootLoader, emulator_->path());

  // A stand-in programmer that opens the boot loader's port, as the real one would, and closes it.
  const auto programmer = simFolder().parent_path() / (simFolder().filename().string() + "-avrdude");
  {
    std::ofstream script(programmer);
    script << "#!/bin/sh\n"
           << "while [ $# -gt 0 ]; do [ \"$1\" = -P ] && port=\"$2\"; shift; done\n"
           << "exec 3<>\"$port\" || exit 1\n"
           << "sleep 0.1\n"
           << "exec 3>&-\n";
  }
  ::chmod(programmer.c_str(), 0700);
  FirmwareProgrammer paths;
  paths.avrdude = programmer;
  auto bootDevice = QVLCDevice::createDeviceForPort(bootLoader);
  bootDevice->setFirmwareProgrammer(paths);
  auto installer = QVLIInterpreter::createWithDevice(bootDevice);
  bool flashed = false;
  installer->updateFirmwareUsingArduinoAvrdude(false, [&](bool ok, const std::optional<Error>&) { flashed = ok; });
  std::filesystem::remove(programmer);
  EXPECT_TRUE(flashed);

  ASSERT_TRUE(waitFor([&] { return emulator_->isPluggedIn(); }));
  EXPECT_EQ(emulator_->flashCount(), 1);
  EXPECT_FALSE(emulator_->bootLoaderPath());
  connect();
  greet();
  EXPECT_EQ(interpreter_->firmwareVersion(), QVLIFirmwareVersion170);
  EXPECT_FALSE(interpreter_->shouldUpdateFirmware());
}

TEST_F(FirmwareEmulatorTest, ABootLoaderNobodyProgramsGivesTheOldScannerBack) {
  ManualClockScope clock;
  plugIn(FirmwareGeneration::V170);
  greet();
  device_->resetHardware(nullptr);
  ASSERT_TRUE(waitFor([&] { return emulator_->lineBaudRate() == 1200; }));
  clock.advanceSeconds(2.0);
  ASSERT_TRUE(waitFor([&] { return emulator_->resetCount() == 1; }));
  ASSERT_TRUE(waitFor([&] { return emulator_->isPluggedIn() && !emulator_->bootLoaderPath(); }));
  EXPECT_EQ(emulator_->flashCount(), 0);
  connect();
  greet();
  EXPECT_EQ(interpreter_->firmwareVersion(), QVLIFirmwareVersion170);
}

}  // namespace
}  // namespace qv::test
