// The scanner's stop when the program quits, against the firmware emulator on a pseudo-terminal:
// the stop lines reach the scanner before the quit may go on, a silent scanner holds it no longer
// than the limit, and a scanner whose port is closed is sent nothing.
#include "CoreTestSupport.h"

namespace qv::test {
namespace {

class QuitStopTest : public CoreTest {
protected:
  // A connected scanner, its port opened again as a job does.
  sim::FirmwareEmulator& connectedScanner(bool openPort) {
    auto& scanner = plugScanner();
    launch();
    clock_.advanceSeconds(1.0);
    EXPECT_TRUE(waitFor([&] { return delegate_->deviceInterpreter() && delegate_->currentConnectionState() == 0; }));
    if (openPort) {
      Error error;
      EXPECT_TRUE(delegate_->connectToScanner(&error)) << error.text();
      EXPECT_TRUE(delegate_->device()->serialPort());
    }
    return scanner;
  }
};

TEST_F(QuitStopTest, TheQuitGoesOnOnlyOnceTheScannerHasHeardTheStopLines) {
  auto& scanner = connectedScanner(true);
  const std::size_t before = scanner.commands().size();
  bool stopped = false;
  std::vector<std::string> heardAtStop;
  bool portOpenAtStop = true;
  delegate_->stopScannerForQuit([&] {
    stopped = true;
    heardAtStop = scanner.commands();
    portOpenAtStop = delegate_->device()->serialPort() != nullptr;
  });
  EXPECT_FALSE(stopped);  // the answer comes later, from the scanner
  ASSERT_TRUE(waitFor([&] { return stopped; }));
  // Bed and head stopped, lasers off, in the order sent; the port closed behind them.
  ASSERT_GE(heardAtStop.size(), before);
  EXPECT_EQ(std::vector<std::string>(heardAtStop.begin() + static_cast<long>(before), heardAtStop.end()),
            (std::vector<std::string>{"xk", "yk", "l0"}));
  EXPECT_FALSE(portOpenAtStop);
}

TEST_F(QuitStopTest, ASilentScannerHoldsTheQuitForTwoSecondsAtMost) {
  auto& scanner = connectedScanner(true);
  scanner.setSilent(true);
  bool stopped = false;
  delegate_->stopScannerForQuit([&] { stopped = true; });
  EXPECT_FALSE(runMainQueueUntil([&] { return stopped; }, std::chrono::milliseconds(100)));
  clock_.advanceSeconds(1.9);
  EXPECT_FALSE(runMainQueueUntil([&] { return stopped; }, std::chrono::milliseconds(100)));
  clock_.advanceSeconds(0.1);
  EXPECT_TRUE(waitFor([&] { return stopped; }));
  EXPECT_TRUE(heard(scanner, "l0"));
}

TEST_F(QuitStopTest, AKnownScannerWithItsPortClosedIsSentNothingAndNothingFails) {
  CapturedLog log;
  auto& scanner = connectedScanner(false);
  ASSERT_FALSE(delegate_->device()->serialPort());
  const auto before = scanner.commands();
  bool stopped = false;
  delegate_->stopScannerForQuit([&] { stopped = true; });
  ASSERT_TRUE(waitFor([&] { return stopped; }));
  EXPECT_EQ(scanner.commands(), before);
  EXPECT_FALSE(log.contains("could not be stopped")) << log.text();
  EXPECT_FALSE(delegate_->device()->serialPort());
}

}  // namespace
}  // namespace qv::test
