// The scanner connection against the firmware emulator: the launch with one and with two
// scanners, the firmware update and a failing one, a silent scanner, removals, a refused attempt,
// and the resets asked for from the preferences.
#include "CoreTestSupport.h"
#include "scancmd/QVLIInterpreter.h"

namespace qv::test {
namespace {

using sim::FirmwareEmulator;
using sim::FirmwareGeneration;
using sim::FirmwarePace;

constexpr const char* kGreeting = "rst3C|41";
constexpr const char* kCalibrationRead = "<<<";

class ConnectionTest : public CoreTest {
protected:
  bool connected() const { return delegate_->deviceInterpreter() != nullptr && delegate_->currentConnectionState() == 0; }
  std::vector<std::string> devicePaths() const {
    std::vector<std::string> paths;
    for (const auto& device : delegate_->serialPortController().devices()) paths.push_back(device->port());
    return paths;
  }
  bool listed(const std::string& path) const {
    for (const auto& p : devicePaths()) {
      if (p == path) return true;
    }
    return false;
  }
};

TEST_F(ConnectionTest, OneScannerAtLaunchIsConnectedOneSecondLaterAndLeftClosed) {
  auto& scanner = plugScanner();
  launch();
  EXPECT_EQ(host_->calls(), std::vector<std::string>{"hud"});
  EXPECT_TRUE(delegate_->isConnecting());  // at once, so the main screen says so
  EXPECT_EQ(delegate_->currentConnectionState(), 0);

  clock_.advanceSeconds(0.9);
  EXPECT_FALSE(runMainQueueUntil([&] { return delegate_->currentConnectionState() != 0; }, std::chrono::milliseconds(50)));
  EXPECT_TRUE(scanner.commands().empty());

  clock_.advanceSeconds(0.1);
  ASSERT_TRUE(waitFor([&] { return connected(); }));
  EXPECT_FALSE(delegate_->isConnecting());
  ASSERT_TRUE(delegate_->device());
  EXPECT_EQ(delegate_->device()->port(), scanner.path());
  EXPECT_FALSE(delegate_->device()->serialPort());  // known, not open
  EXPECT_EQ(scanner.commands(), (std::vector<std::string>{kGreeting, kCalibrationRead}));
  const auto calibration = delegate_->calibrationDetails();
  ASSERT_TRUE(calibration);
  EXPECT_FLOAT_EQ(calibration->bedNormalY(), std::stof(scanner.storedCalibration().at("BDNY")));
  EXPECT_EQ(calibration->uniqueId(), "3F2A9C4E-7B1D-4E8A-9C0F-5D6E7A8B9C01");
}

TEST_F(ConnectionTest, TwoScannersAreNeitherConnectedAtLaunchNorOnAnArrival) {
  auto& first = plugScanner();
  auto& second = plugScanner();
  launch();
  EXPECT_FALSE(delegate_->isConnecting());
  clock_.advanceSeconds(3.0);

  // A third arrival says "connecting" for two seconds, then gives up: there is no single scanner.
  auto& third = plugScanner();
  ASSERT_TRUE(waitFor([&] { return listed(third.path()); }));
  EXPECT_TRUE(delegate_->isConnecting());
  clock_.advanceSeconds(2.0);
  EXPECT_FALSE(delegate_->isConnecting());
  EXPECT_EQ(delegate_->currentConnectionState(), 0);
  EXPECT_FALSE(delegate_->deviceInterpreter());
  for (auto* scanner : {&first, &second, &third}) EXPECT_TRUE(scanner->commands().empty());
}

TEST_F(ConnectionTest, AnOutdatedFirmwareIsFlashedThroughTheBootLoaderAndTheScannerReconnected) {
  resources_.addFirmwareImage("1.7.0");
  installProgrammer(0);
  FirmwarePace pace = FirmwarePace::none();
  pace.bootLoaderWindow_s = 30;  // it waits for the programmer
  auto& scanner = plugScanner(FirmwareGeneration::V161, pace);
  scanner.setGenerationAfterFlash(FirmwareGeneration::V170);
  launch();

  clock_.advanceSeconds(1.0);
  ASSERT_TRUE(waitFor([&] { return delegate_->currentConnectionState() == 5; }));
  EXPECT_TRUE(delegate_->isConnecting());
  EXPECT_FALSE(delegate_->deviceInterpreter());
  // The device closes its 1200-baud line two seconds later, which sends the scanner to its boot loader.
  ASSERT_TRUE(waitFor([&] { return scanner.lineBaudRate() == 1200; }));
  clock_.advanceSeconds(2.0);
  ASSERT_TRUE(waitFor([&] { return scanner.bootLoaderPath() && listed(*scanner.bootLoaderPath()); }));
  EXPECT_EQ(scanner.resetCount(), 1);
  EXPECT_EQ(delegate_->currentConnectionState(), 5);

  clock_.advanceSeconds(2.0);  // the boot loader is flashed two seconds after it arrived
  ASSERT_TRUE(waitFor([&] { return scanner.flashCount() == 1 && delegate_->currentConnectionState() == 0; }));
  ASSERT_TRUE(waitFor([&] { return scanner.isPluggedIn() && listed(scanner.path()); }));
  EXPECT_TRUE(delegate_->isConnecting());
  clock_.advanceSeconds(2.0);
  ASSERT_TRUE(waitFor([&] { return connected(); }));
  EXPECT_FALSE(delegate_->isConnecting());
  EXPECT_EQ(std::dynamic_pointer_cast<QVLIInterpreter>(delegate_->deviceInterpreter())->firmwareVersion(),
            QVLIFirmwareVersion170);
  EXPECT_EQ(scanner.resetCount(), 1);
  EXPECT_FALSE(delegate_->firmwareInstallFailure());
}

TEST_F(ConnectionTest, AFailedFlashIsTriedOnceThenReportedWithTheProgrammersReason) {
  resources_.addFirmwareImage("1.7.0");
  installProgrammer(1);
  FirmwarePace pace = FirmwarePace::none();
  pace.bootLoaderWindow_s = 0.3;  // nobody programs it: the old firmware comes back
  auto& scanner = plugScanner(FirmwareGeneration::V161, pace);
  scanner.holdBootLoader(true);  // until the program has seen it, on however busy a machine
  launch();

  clock_.advanceSeconds(1.0);
  ASSERT_TRUE(waitFor([&] { return scanner.lineBaudRate() == 1200; }));
  clock_.advanceSeconds(2.0);
  ASSERT_TRUE(waitFor([&] { return scanner.bootLoaderPath() && listed(*scanner.bootLoaderPath()); }));
  clock_.advanceSeconds(2.0);
  ASSERT_TRUE(waitFor([&] { return delegate_->firmwareInstallFailure().has_value(); }));
  EXPECT_TRUE(delegate_->firmwareInstallFailure()->is(kControlErrorDomain, -1));
  ASSERT_EQ(host_->errors().size(), 1u);
  EXPECT_EQ(host_->errors()[0].code, 17);
  EXPECT_EQ(delegate_->currentConnectionState(), 0);
  EXPECT_FALSE(delegate_->isConnecting());
  scanner.holdBootLoader(false);

  // The scanner comes back with its old firmware: it is not reset again.
  ASSERT_TRUE(waitFor([&] { return scanner.isPluggedIn() && listed(scanner.path()); }));
  clock_.advanceSeconds(2.0);
  ASSERT_TRUE(waitFor([&] { return !delegate_->isConnecting(); }));
  clock_.advanceSeconds(5.0);
  EXPECT_EQ(scanner.resetCount(), 1);
  EXPECT_EQ(delegate_->currentConnectionState(), 0);
  EXPECT_FALSE(delegate_->deviceInterpreter());
  EXPECT_FALSE(scanner.lineBaudRate() == 1200);

  // Until the user asks again: the reset from the preferences clears the failure.
  delegate_->resetScannerForPreferences();
  EXPECT_FALSE(delegate_->firmwareInstallFailure());
  EXPECT_EQ(delegate_->currentConnectionState(), 4);
}

TEST_F(ConnectionTest, WithoutAFirmwareImageAnOldFirmwareIsUsedAsItIs) {
  auto& scanner = plugScanner(FirmwareGeneration::V161);
  launch();
  clock_.advanceSeconds(1.0);
  ASSERT_TRUE(waitFor([&] { return connected(); }));
  EXPECT_EQ(scanner.resetCount(), 0);
}

TEST_F(ConnectionTest, ASilentScannerIsResetAndConnectedWhenItComesBack) {
  FirmwarePace pace = FirmwarePace::none();
  pace.bootLoaderWindow_s = 0.2;
  auto& scanner = plugScanner(FirmwareGeneration::V170, pace);
  scanner.setSilent(true);
  launch();
  clock_.advanceSeconds(1.0);
  ASSERT_TRUE(waitFor([&] { return heard(scanner, kGreeting); }));

  // The interpreter's watchdog gives up on the greeting: the scanner is reset.
  ASSERT_TRUE(advanceUntil([&] { return delegate_->currentConnectionState() == 4; }));
  EXPECT_TRUE(delegate_->isConnecting());
  scanner.setSilent(false);
  ASSERT_TRUE(waitFor([&] { return scanner.lineBaudRate() == 1200; }));
  clock_.advanceSeconds(2.0);
  // Its boot loader's arrival only ends the reset; the scanner's own arrival is connected.
  ASSERT_TRUE(waitFor([&] { return scanner.resetCount() == 1 && scanner.isPluggedIn() && listed(scanner.path()); }));
  EXPECT_EQ(delegate_->currentConnectionState(), 0);
  clock_.advanceSeconds(2.0);
  ASSERT_TRUE(waitFor([&] { return connected(); }));
  EXPECT_FALSE(delegate_->isConnecting());
}

TEST_F(ConnectionTest, ASecondAttemptIsRefusedWith16AndTheRunningOneCompletes) {
  FirmwarePace pace = FirmwarePace::none();
  pace.calibrationLine_s = 0.02;  // a read that takes a while
  auto& scanner = plugScanner(FirmwareGeneration::V170, pace);
  launch();
  clock_.advanceSeconds(1.0);
  ASSERT_TRUE(waitFor([&] { return delegate_->currentConnectionState() == 3; }));

  std::optional<Error> refusal;
  const auto device = delegate_->serialPortController().devices().front();
  delegate_->connectToDevice(device, [&](bool ok, const std::optional<Error>& error) {
    EXPECT_FALSE(ok);
    refusal = error;
    delegate_->connectionCompleted(ok, error, device);
  });
  ASSERT_TRUE(refusal);  // at once, on the caller's thread
  EXPECT_TRUE(refusal->is(kScanErrorDomain, 16));
  EXPECT_EQ(delegate_->currentConnectionState(), 3);  // the running attempt keeps its state
  EXPECT_TRUE(delegate_->isConnecting());
  ASSERT_TRUE(waitFor([&] { return connected(); }));
  EXPECT_FALSE(delegate_->isConnecting());
  EXPECT_EQ(scanner.commands(), (std::vector<std::string>{kGreeting, kCalibrationRead}));
}

TEST_F(ConnectionTest, RemovalsOfTheKnownScannerOfAnotherAndDuringTheCalibrationRead) {
  auto& scanner = plugScanner();
  launch();
  clock_.advanceSeconds(1.0);
  ASSERT_TRUE(waitFor([&] { return connected(); }));

  // Another scanner's arrival drops the known one two seconds later; two are present, so neither
  // is connected. Its removal changes nothing.
  auto& other = plugScanner();
  ASSERT_TRUE(waitFor([&] { return listed(other.path()); }));
  clock_.advanceSeconds(2.0);
  EXPECT_FALSE(delegate_->device());
  EXPECT_TRUE(delegate_->calibrationDetails());  // the calibration stays
  other.unplug();
  ASSERT_TRUE(waitFor([&] { return !listed(other.path()); }));
  EXPECT_EQ(delegate_->currentConnectionState(), 0);

  // The scanner comes back alone and is connected; then it leaves.
  scanner.unplug();
  ASSERT_TRUE(waitFor([&] { return devicePaths().empty(); }));
  scanner.replug();
  ASSERT_TRUE(waitFor([&] { return listed(scanner.path()); }));
  clock_.advanceSeconds(2.0);
  ASSERT_TRUE(waitFor([&] { return connected(); }));
  scanner.unplug();
  ASSERT_TRUE(waitFor([&] { return !delegate_->device(); }));
  EXPECT_FALSE(delegate_->deviceInterpreter());
  EXPECT_EQ(delegate_->currentConnectionState(), 0);

  // Unplugged in the middle of the calibration read: the attempt fails, the scanner counts as
  // uncalibrated, and the screen stops saying "connecting".
  scanner.unplugOnNextCommand(kCalibrationRead);
  scanner.replug();
  ASSERT_TRUE(waitFor([&] { return listed(scanner.path()); }));
  clock_.advanceSeconds(2.0);
  ASSERT_TRUE(advanceUntil([&] { return !delegate_->isConnecting(); }));
  EXPECT_EQ(delegate_->currentConnectionState(), 0);
  EXPECT_FALSE(delegate_->deviceInterpreter());
  EXPECT_FALSE(delegate_->calibrationDetails());
}

TEST_F(ConnectionTest, AResetFromThePreferencesNeverTakesTheBootLoaderForAScanner) {
  FirmwarePace pace = FirmwarePace::none();
  pace.bootLoaderWindow_s = 0.2;
  auto& scanner = plugScanner(FirmwareGeneration::V170, pace);
  scanner.holdBootLoader(true);  // until the program has seen it, on however busy a machine
  launch();
  clock_.advanceSeconds(1.0);
  ASSERT_TRUE(waitFor([&] { return connected(); }));
  const auto commandsBefore = scanner.commands().size();

  delegate_->resetScannerForPreferences();
  EXPECT_EQ(delegate_->currentConnectionState(), 4);
  ASSERT_TRUE(waitFor([&] { return scanner.lineBaudRate() == 1200; }));
  clock_.advanceSeconds(2.0);
  // The known scanner leaves while the reset goes on; its boot loader arrives and is left alone.
  ASSERT_TRUE(waitFor([&] { return scanner.bootLoaderPath() && listed(*scanner.bootLoaderPath()); }));
  EXPECT_FALSE(delegate_->device());
  EXPECT_EQ(delegate_->currentConnectionState(), 0);
  EXPECT_FALSE(delegate_->isConnecting());
  clock_.advanceSeconds(2.0);
  EXPECT_FALSE(delegate_->isConnecting());
  scanner.holdBootLoader(false);

  // Then the scanner itself arrives and is connected.
  ASSERT_TRUE(waitFor([&] { return scanner.isPluggedIn() && listed(scanner.path()); }));
  clock_.advanceSeconds(2.0);
  ASSERT_TRUE(waitFor([&] { return connected(); }));
  EXPECT_EQ(scanner.commands().size(), commandsBefore + 2);  // a greeting and a read, nothing else
  EXPECT_EQ(scanner.flashCount(), 0);
}

TEST_F(ConnectionTest, AResetFromThePreferencesOfAnUnknownScannerWaitsForItsReturn) {
  launch();
  delegate_->resetScannerForPreferences();  // nothing present: nothing happens
  EXPECT_EQ(delegate_->currentConnectionState(), 0);

  FirmwarePace pace = FirmwarePace::none();
  pace.bootLoaderWindow_s = 0.2;
  auto& scanner = plugScanner(FirmwareGeneration::V170, pace);
  ASSERT_TRUE(waitFor([&] { return listed(scanner.path()); }));
  EXPECT_TRUE(delegate_->isConnecting());
  delegate_->resetScannerForPreferences();  // before the arrival's attempt
  EXPECT_EQ(delegate_->currentConnectionState(), 4);
  ASSERT_TRUE(waitFor([&] { return scanner.lineBaudRate() == 1200; }));

  // The arrival's attempt is refused while the reset runs, and leaves the reset's state alone.
  clock_.advanceSeconds(2.0);
  EXPECT_EQ(delegate_->currentConnectionState(), 4);
  EXPECT_TRUE(scanner.commands().empty());
  ASSERT_TRUE(waitFor([&] { return scanner.resetCount() == 1 && scanner.isPluggedIn() && listed(scanner.path()); }));
  EXPECT_EQ(delegate_->currentConnectionState(), 0);
  clock_.advanceSeconds(2.0);
  ASSERT_TRUE(waitFor([&] { return connected(); }));
}

}  // namespace
}  // namespace qv::test
