// A whole calibration through the application core on the simulated scanner: both passes with
// the exposure tuning, the analysis, and the save into the scanner's stored record and the
// settings, against the simulator's true scanner.
#include "core/CalibrationOnTheEmulator.h"

namespace qv::test {
namespace {

using CalibrationThroughTheCoreTest = CalibrationOnTheEmulator;

TEST_F(CalibrationThroughTheCoreTest, BothPassesSaveACalibrationCloseToTheTrueScanner) {
  placeFirstPosition();
  PassOutcome first;
  startPass(1, first);
  ASSERT_TRUE(driveEmulator(*emulator_, [&] { return first.ended(); }, {}, seconds(1200)));
  ASSERT_TRUE(first.completed) << first.error->text();
  EXPECT_EQ(delegate_->currentAppState(), QVLAppStateIdle);
  ASSERT_TRUE(delegate_->calibrationControl()) << "the controller waits for the second pass";
  EXPECT_FALSE(delegate_->device()->isConnected());

  placeSecondPosition();
  PassOutcome second;
  startPass(2, second);
  ASSERT_TRUE(driveEmulator(*emulator_, [&] { return second.ended(); }, {}, seconds(2400)));
  ASSERT_TRUE(second.completed) << second.error->text();
  drainMainQueue();
  EXPECT_EQ(first.ends + second.ends, 2);
  EXPECT_FALSE(delegate_->calibrationControl());
  EXPECT_FALSE(emulator_->laser1On() || emulator_->laser2On());
  EXPECT_TRUE(delegate_->isCalibrated());

  expectTrueCalibrationSaved();
}

}  // namespace
}  // namespace qv::test
