// A calibration pass through the application core on the simulated scanner, cancelled by the
// calibration screen while a laser is lit: the worst moment to walk away.
#include "CalibrationOnTheEmulator.h"

namespace qv::test {
namespace {

using CalibrationEndToEndTest = CalibrationOnTheEmulator;

TEST_F(CalibrationEndToEndTest, ACancelledPassEndsOnceAsACancelWithTheLasersOffAndThePortClosed) {
  placeFirstPosition();
  PassOutcome outcome;
  startPass(1, outcome);
  EXPECT_EQ(delegate_->currentAppState(), QVLAppStateCalibrating);
  ASSERT_TRUE(delegate_->calibrationControl());
  const auto screens = host_->calls();
  bool cancelled = false;
  ASSERT_TRUE(driveEmulator(*emulator_, [&] { return outcome.ended(); }, [&] {
    if (!cancelled && (emulator_->laser1On() || emulator_->laser2On())) {
      delegate_->cancelScannerCalibrationForViewController();
      cancelled = true;
    }
  }));
  ASSERT_TRUE(cancelled) << "the pass ended before a laser was lit";
  ASSERT_TRUE(outcome.error);
  EXPECT_TRUE(outcome.error->is(kScanErrorDomain, 1)) << outcome.error->text();
  EXPECT_FALSE(outcome.completed);
  EXPECT_GT(outcome.updates, 0);

  ASSERT_TRUE(driveEmulator(*emulator_, [&] { return emulator_->isIdle() && !delegate_->device()->isConnected(); }));
  drainMainQueue();
  EXPECT_EQ(outcome.ends, 1);
  EXPECT_FALSE(emulator_->laser1On());
  EXPECT_FALSE(emulator_->laser2On());
  EXPECT_FALSE(camera_->isRunning());
  EXPECT_EQ(delegate_->currentAppState(), QVLAppStateIdle);
  EXPECT_FALSE(delegate_->calibrationControl());
  EXPECT_EQ(host_->calls(), screens) << "a cancel while calibrating stays on the calibration screen";

  // Nothing is left to continue: the second pass says so at once.
  PassOutcome second;
  startPass(2, second);
  ASSERT_TRUE(second.error);
  EXPECT_TRUE(second.error->is(kScanErrorDomain, QVLAppErrorNoFirstPass)) << second.error->text();
}

}  // namespace
}  // namespace qv::test
