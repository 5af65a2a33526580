// The firmware model alone, on its own time line: replies and their pace, commands queued behind a
// motion, stops that cut a motion short, the gear play of the bed, the reset, and the stored
// calibration.
#include <gtest/gtest.h>

#include "sim/firmware/FirmwareModel.h"

namespace qv::sim {
namespace {

using Lines = std::vector<std::string>;

// Everything the model says up to `t_s`.
Lines drain(FirmwareModel& model, double t_s = 1e9) { return model.takeDue(t_s); }

TEST(FirmwareModel, EveryCommandIsEchoedThenCompleted) {
  FirmwareModel model(FirmwareGeneration::V170, FirmwarePace::none());
  model.receive("L1", 0);
  model.receive("L2", 0);
  model.receive("L0", 0);
  model.receive("xk", 0);
  model.receive("yk", 0);
  model.receive("l0", 0);
  model.receive("Q", 0);
  EXPECT_EQ(drain(model), (Lines{"COMMAND RECEIVED L1", "COMMAND COMPLETE L1", "COMMAND RECEIVED L2",
                                 "COMMAND COMPLETE L2", "COMMAND RECEIVED L0", "COMMAND COMPLETE L0",
                                 "COMMAND RECEIVED xk", "COMMAND COMPLETE KX", "COMMAND RECEIVED yk",
                                 "COMMAND COMPLETE KY", "COMMAND RECEIVED l0", "COMMAND COMPLETE L0",
                                 "COMMAND RECEIVED Q", "UNKNOWN COMMAND Q"}));
  EXPECT_FALSE(model.isBusy());
}

TEST(FirmwareModel, OneLaserAtATime) {
  FirmwareModel model(FirmwareGeneration::V170, FirmwarePace::none());
  model.receive("L1", 0);
  drain(model);
  EXPECT_TRUE(model.laser1On());
  EXPECT_FALSE(model.laser2On());
  model.receive("L2", 0);
  drain(model);
  EXPECT_FALSE(model.laser1On());
  EXPECT_TRUE(model.laser2On());
  model.receive("l0", 0);
  drain(model);
  EXPECT_FALSE(model.laser2On());
}

TEST(FirmwareModel, MotionsReportProgressAtTheirPaceAndCommandsWaitTheirTurn) {
  FirmwarePace pace;
  pace.replyDelay_s = 0;
  pace.headSpeed_mm_per_s = 10;
  pace.progressInterval_s = 0.25;
  pace.laserSwitch_s = 0;
  FirmwareModel model(FirmwareGeneration::V170, pace);
  model.receive("Y10", 0);
  model.receive("L1", 0.1);  // waits for the head
  EXPECT_EQ(drain(model, 0), Lines{"COMMAND RECEIVED Y10"});
  EXPECT_EQ(drain(model, 0.3), Lines{"PY2500"});
  EXPECT_DOUBLE_EQ(model.headHeight_mm(), 2.5);
  EXPECT_EQ(drain(model, 0.99), (Lines{"PY5000", "PY7500"}));
  EXPECT_FALSE(model.laser1On());
  EXPECT_EQ(drain(model, 1.0), (Lines{"PY10000", "COMMAND COMPLETE Y", "COMMAND RECEIVED L1", "COMMAND COMPLETE L1"}));
  EXPECT_DOUBLE_EQ(model.headHeight_mm(), 10.0);
  EXPECT_TRUE(model.laser1On());
  EXPECT_FALSE(model.nextDue());
}

TEST(FirmwareModel, TheHeadStopsAtTheEndsOfItsTravel) {
  FirmwareModel model(FirmwareGeneration::V170, FirmwarePace::none());
  model.receive("Y-20", 0);
  drain(model);
  EXPECT_DOUBLE_EQ(model.headHeight_mm(), 0.0);
  model.receive("Y500", 0);
  drain(model);
  EXPECT_DOUBLE_EQ(model.headHeight_mm(), FirmwareModel::kHeadTravel_mm);
  model.receive("h", 0);
  const Lines homing = drain(model);
  EXPECT_EQ(homing.front(), "COMMAND RECEIVED h");
  EXPECT_EQ(homing.back(), "COMMAND COMPLETE H");
  EXPECT_NE(std::find(homing.begin(), homing.end(), "HALL 512"), homing.end());
  EXPECT_DOUBLE_EQ(model.headHeight_mm(), 0.0);
  EXPECT_TRUE(model.isHomed());
}

TEST(FirmwareModel, AStopCutsItsMotorsMotionShortWhereItHasGot) {
  FirmwarePace pace;
  pace.replyDelay_s = 0;
  pace.bedSpeed_deg_per_s = 10;
  FirmwareModel model(FirmwareGeneration::V170, pace);
  model.receive("X90", 0);
  model.receive("yk", 1.0);  // the head is not moving: waits its turn
  const Lines moving = drain(model, 2.95);
  EXPECT_EQ(moving.back(), "PX3222");
  model.receive("xk", 3.0);
  EXPECT_NEAR(model.bedAngle_deg(), 30.0, 1e-9);
  EXPECT_EQ(drain(model, 3.0), (Lines{"COMMAND RECEIVED xk", "COMMAND COMPLETE KX", "COMMAND RECEIVED yk",
                                      "COMMAND COMPLETE KY"}));
  EXPECT_FALSE(model.nextDue());  // the rest of the turn is never reported
}

TEST(FirmwareModel, TheBedLosesItsGearPlayWhenTheDirectionChanges) {
  FirmwareModel model(FirmwareGeneration::V170, FirmwarePace::none(), 0.5);
  model.receive("X10", 0);
  model.receive("X-10", 0);
  drain(model);
  EXPECT_NEAR(model.bedAngle_deg(), 0.5, 1e-12);  // the play ate half a degree of the way back
  model.receive("X-10.5", 0);                      // no change of direction: no play
  model.receive("X10.5", 0);                       // the host's allowance makes up for it
  drain(model);
  EXPECT_NEAR(model.bedAngle_deg(), 0.0, 1e-12);
}

TEST(FirmwareModel, AResetStopsEverythingAndGreetsAgain) {
  FirmwarePace pace = FirmwarePace::none();
  pace.headSpeed_mm_per_s = 10;
  pace.boot_s = 0.5;
  FirmwareModel model(FirmwareGeneration::V161, pace);
  model.receive("L1", 0);
  model.receive("Y10", 0);
  drain(model, 0.5);
  model.receive("L2", 0.5);  // forgotten by the reset
  model.receive("rst3C|41", 0.5);
  EXPECT_FALSE(model.laser1On());
  EXPECT_NEAR(model.headHeight_mm(), 5.0, 1e-9);
  EXPECT_TRUE(drain(model, 0.9).empty());
  EXPECT_EQ(drain(model, 1.0), (Lines{"Initializing...", "Quorvix Firmware v1.6.1"}));
  EXPECT_FALSE(model.laser2On());
  model.setBanner("Quorvel Firmware v2");
  model.receive("rst3C|41", 2);
  EXPECT_EQ(drain(model).back(), "Quorvel Firmware v2");
}

TEST(FirmwareModel, CalibrationIsStoredOneLineAtATimeAndReadBackInTheGenerationsKeys) {
  FirmwareModel model(FirmwareGeneration::V170, FirmwarePace::none());
  model.receive(">>>BEDX12.500000", 0);
  model.receive(">>>CI001000.000000", 0);
  model.receive(">>>GUIDabc", 0);
  model.receive(">>>X", 0);
  EXPECT_EQ(drain(model), (Lines{"COMMAND RECEIVED >>>BEDX12.500000", "CALIBRATION SET BEDX 12.500000",
                                 "COMMAND RECEIVED >>>CI001000.000000", "CALIBRATION SET CI00 1000.000000",
                                 "COMMAND RECEIVED >>>GUIDabc", "CALIBRATION SET GUID abc",
                                 "COMMAND RECEIVED >>>X", "CALIBRATION ERROR >>>X"}));
  EXPECT_EQ(model.storedCalibration().at("CI00"), "1000.000000");

  model.receive("<<<", 0);
  const Lines read = drain(model);
  ASSERT_EQ(read.size(), 2 + firmwareReportedKeys(FirmwareGeneration::V170).size());
  EXPECT_EQ(read[1], "SETTING HALLEFFECT TO 512");
  EXPECT_EQ(read[2], "BEDX 12.500000");
  EXPECT_EQ(std::count(read.begin(), read.end(), "CI00 1000.000000"), 0);  // not a key of v1.7.0
  EXPECT_NE(std::find(read.begin(), read.end(), "GUID abc"), read.end());

  FirmwareModel oldest(FirmwareGeneration::V150, FirmwarePace::none());
  oldest.receive("<<<", 0);
  EXPECT_EQ(drain(oldest), (Lines{"COMMAND RECEIVED <<<", "UNKNOWN COMMAND <<<"}));
}

}  // namespace
}  // namespace qv::sim
