// The command interpreter against a scripted device on the manual clock: what each request writes,
// which replies end it, position tracking, the head limit, the backlash allowance, the watchdog
// per waiting state with the one home retry, calibration reads and writes, and the rule that every
// request ends exactly once.
#include <cmath>

#include "ScancmdTestSupport.h"
#include "platform/Queue.h"
#include "scancmd/CommandProtocol.h"
#include "scancmd/QVLIErrors.h"
#include "scancmd/QVLIInterpreter.h"

namespace qv::test {
namespace {

using Lines = std::vector<std::string>;

class InterpreterTest : public ::testing::Test {
protected:
  void SetUp() override {
    device_ = std::make_shared<FakeDevice>();
    interpreter_ = QVLIInterpreter::createWithDevice(device_);
  }
  void greet(const std::string& banner = "Quorvel Firmware v1.7.0") {
    Outcome outcome;
    interpreter_->initializeDevice(outcome.completion(), outcome.error());
    device_->reply(banner);
    device_->lines.clear();
  }
  // The replies of a calibration read: every key of the list with a value of its own.
  static Lines keyLines(QVLIFirmwareVersion version, const std::string& guid) {
    Lines lines;
    float value = 1.0f;
    for (const auto& key : protocol::expectedKeys(version)) {
      lines.push_back(key == "GUID" ? "GUID " + guid : key + " " + std::to_string(value));
      value += 1.0f;
    }
    return lines;
  }

  ManualClockScope clock_;
  ResourceFolderScope resources_;  // empty: no firmware image unless a test adds one
  std::shared_ptr<FakeDevice> device_;
  std::shared_ptr<QVLIInterpreter> interpreter_;
};

// ---- devices, banners and refusals ----

TEST_F(InterpreterTest, WithoutADeviceEveryRequestFailsAtOnceWithoutAbortingTheWaitingOne) {
  auto orphan = QVLIInterpreter::createWithDevice(nullptr);
  Outcome outcome;
  orphan->initializeDevice(outcome.completion(), outcome.error());
  orphan->home(outcome.completion(), outcome.error());
  orphan->moveCameraByMillimeters(1, outcome.completion(), outcome.error());
  orphan->rotatePlatterByDegrees(1, outcome.completion(), outcome.error());
  orphan->readCalibrationValues(outcome.calibration(), outcome.error());
  orphan->writeCalibration(QVLICalibrationDetails(), outcome.completion(), outcome.error());
  orphan->kill(outcome.completion(), outcome.error());
  ASSERT_EQ(outcome.errors().size(), 7u);
  for (const auto& e : outcome.errors()) EXPECT_TRUE(e.is(kInterpreterErrorDomain, QVLIErrorNoDevice));
  EXPECT_EQ(orphan->operationState(), QVLIOperationStateNone);

  Outcome waiting, refused;
  interpreter_->enableLaser1(waiting.completion(), waiting.error());
  interpreter_->setDevice(nullptr);
  interpreter_->enableLaser2(refused.completion(), refused.error());
  EXPECT_TRUE(refused.failedWith(QVLIErrorNoDevice));
  EXPECT_EQ(waiting.calls(), 0);
  EXPECT_EQ(interpreter_->operationState(), QVLIOperationStateEnablingLaser1);
  device_->reply("COMMAND COMPLETE L1");  // still heard from the device it was made with
  EXPECT_TRUE(waiting.completedOnly());
}

TEST_F(InterpreterTest, InitialisationWaitsForTheBannerAndIgnoresEverythingElse) {
  Outcome outcome;
  interpreter_->initializeDevice(outcome.completion(), outcome.error());
  EXPECT_EQ(device_->lines, Lines{"rst3C|41"});
  EXPECT_EQ(interpreter_->operationState(), QVLIOperationStateAwaitingBanner);
  device_->replyAll({"Initializing...", "Firmware v1.7.0", "COMMAND COMPLETE L0"});
  device_->announceSent("Quorvel Firmware v1.7.0");  // a line sent is no reply
  EXPECT_EQ(outcome.calls(), 0);
  EXPECT_EQ(interpreter_->firmwareVersion(), QVLIFirmwareVersionUnknown);

  device_->reply("Quorvix Firmware v1.6.1");
  EXPECT_TRUE(outcome.completedOnly());
  EXPECT_EQ(interpreter_->firmwareVersion(), QVLIFirmwareVersion161);
  EXPECT_EQ(interpreter_->operationState(), QVLIOperationStateIdle);
  EXPECT_FALSE(interpreter_->isWatchdogArmed());
  EXPECT_FALSE(interpreter_->shouldUpdateFirmware());  // no image: nothing to update to
  clock_.advanceSeconds(5);
  EXPECT_EQ(outcome.calls(), 1);
}

TEST_F(InterpreterTest, VersionOnePointFiveIsRefusedButStillChecked) {
  resources_.addImage("Firmware_1.7.0.cpp.hex");
  Outcome init;
  interpreter_->initializeDevice(init.completion(), init.error());
  device_->reply("Quorvel Firmware v1.5.0");
  EXPECT_TRUE(init.failedWith(QVLIErrorFirmwareUnsupported));
  EXPECT_TRUE(interpreter_->shouldUpdateFirmware());
  EXPECT_EQ(interpreter_->firmwareVersion(), QVLIFirmwareVersion150);
  EXPECT_EQ(interpreter_->operationState(), QVLIOperationStateIdle);

  Outcome rotation, read;
  interpreter_->rotatePlatterByDegrees(10, rotation.completion(), rotation.error());
  interpreter_->readCalibrationValues(read.calibration(), read.error());
  EXPECT_TRUE(rotation.failedWith(QVLIErrorFirmwareUnsupported));
  EXPECT_TRUE(read.failedWith(QVLIErrorFirmwareUnsupported));
  EXPECT_EQ(device_->lines, Lines{"rst3C|41"});
  clock_.advanceSeconds(3);
  EXPECT_EQ(init.calls() + rotation.calls() + read.calls(), 3);
}

TEST_F(InterpreterTest, BeforeAnyBannerRotationsAndReadsAreRefusedAfterTheWaitingRequestEnds) {
  Outcome waiting, rotation;
  interpreter_->home(waiting.completion(), [&, record = waiting.error()](const Error& e) {
    EXPECT_EQ(rotation.calls(), 0);  // the waiting request hears first
    record(e);
  });
  interpreter_->rotatePlatterByDegrees(10, rotation.completion(), rotation.error());
  EXPECT_TRUE(waiting.failedWith(QVLIErrorAborted));
  EXPECT_TRUE(rotation.failedWith(QVLIErrorFirmwareUnknown));
  EXPECT_EQ(interpreter_->operationState(), QVLIOperationStateIdle);

  Outcome read;
  interpreter_->readCalibrationValues(read.calibration(), read.error());
  EXPECT_TRUE(read.failedWith(QVLIErrorFirmwareUnknown));
  EXPECT_EQ(device_->lines, Lines{"h"});
}

// ---- replies ----

TEST_F(InterpreterTest, LasersAndStopCompleteOnlyOnTheirExactLine) {
  struct Case {
    void (QVLIInterpreter::*request)(Completion, ErrorCallback);
    Lines written;
    Lines ignored;
    std::string completion;
  };
  const Case cases[] = {
      {&QVLIInterpreter::disableLasers, {"L0"}, {"COMMAND RECEIVED L0", "COMMAND COMPLETE L0 ", "COMMAND COMPLETE L1"}, "COMMAND COMPLETE L0"},
      {&QVLIInterpreter::enableLaser1, {"L1"}, {"COMMAND RECEIVED L1", "COMMAND COMPLETE L10", "COMMAND COMPLETE L0"}, "COMMAND COMPLETE L1"},
      {&QVLIInterpreter::enableLaser2, {"L2"}, {"COMMAND RECEIVED L2", "command complete l2"}, "COMMAND COMPLETE L2"},
      {&QVLIInterpreter::kill, {"xk", "yk", "l0"},
       {"COMMAND RECEIVED xk", "COMMAND COMPLETE KX", "COMMAND RECEIVED yk", "COMMAND COMPLETE KY", "COMMAND RECEIVED l0"},
       "COMMAND COMPLETE L0"},
  };
  for (const auto& c : cases) {
    device_->lines.clear();
    Outcome outcome;
    (interpreter_.get()->*c.request)(outcome.completion(), outcome.error());
    EXPECT_EQ(device_->lines, c.written);
    device_->replyAll(c.ignored);
    EXPECT_EQ(outcome.calls(), 0) << c.completion;
    device_->reply(c.completion);
    EXPECT_TRUE(outcome.completedOnly()) << c.completion;
    device_->reply(c.completion);  // nothing left to complete
    clock_.advanceSeconds(3);      // and nothing for the watchdog
    EXPECT_EQ(outcome.calls(), 1) << c.completion;
  }
}

TEST_F(InterpreterTest, HomeCompletesOnTheExactLineAndZeroesBothPositions) {
  interpreter_->setCurrentPositionX(30);
  interpreter_->setCurrentPositionY(40);
  Outcome outcome;
  interpreter_->home(outcome.completion(), outcome.error());
  EXPECT_EQ(device_->lines, Lines{"h"});
  EXPECT_EQ(interpreter_->retryCounter(), 1);
  device_->replyAll({"COMMAND RECEIVED h", "PY1234", "HALL 300", "H:512", "COMMAND COMPLETE Y", "COMMAND COMPLETE H "});
  EXPECT_EQ(outcome.calls(), 0);
  EXPECT_EQ(interpreter_->currentPositionY(), 40.0f);
  device_->reply("COMMAND COMPLETE H");
  EXPECT_TRUE(outcome.completedOnly());
  EXPECT_EQ(interpreter_->currentPositionX(), 0.0f);
  EXPECT_EQ(interpreter_->currentPositionY(), 0.0f);
  EXPECT_EQ(interpreter_->operationState(), QVLIOperationStateIdle);
}

TEST_F(InterpreterTest, HeadMoveTracksProgressAndCompletesByPrefix) {
  interpreter_->setCurrentPositionY(20);
  Outcome outcome;
  interpreter_->moveCameraByMillimeters(10, outcome.completion(), outcome.error());
  EXPECT_EQ(device_->lines, Lines{"Y10.0"});
  device_->reply("COMMAND RECEIVED Y10.0");
  device_->reply("PY5000");
  EXPECT_FLOAT_EQ(interpreter_->currentPositionY(), 25.0f);
  device_->reply("PY");
  EXPECT_FLOAT_EQ(interpreter_->currentPositionY(), 20.0f);
  device_->reply("PY 2500 steps");
  EXPECT_FLOAT_EQ(interpreter_->currentPositionY(), 22.5f);
  device_->reply("COMMAND COMPLETE Y10.0 done");
  EXPECT_TRUE(outcome.completedOnly());
  EXPECT_FLOAT_EQ(interpreter_->currentPositionY(), 30.0f);
  EXPECT_EQ(interpreter_->previousPositionY(), 20.0f);
  EXPECT_EQ(interpreter_->deltaPositionY(), 10.0f);
}

TEST_F(InterpreterTest, HeadMovesEndingAbove185MillimetresAreRefused) {
  interpreter_->setCurrentPositionY(180);
  Outcome waiting, refused;
  interpreter_->enableLaser1(waiting.completion(), waiting.error());
  device_->lines.clear();
  interpreter_->moveCameraByMillimeters(10, refused.completion(), refused.error());
  EXPECT_TRUE(waiting.failedWith(QVLIErrorAborted));
  EXPECT_TRUE(refused.failedWith(QVLIErrorHeadBeyondLimit));
  EXPECT_TRUE(device_->lines.empty());
  EXPECT_EQ(interpreter_->operationState(), QVLIOperationStateIdle);
  EXPECT_FALSE(interpreter_->isWatchdogArmed());

  Outcome up, exact, down, garbage;
  interpreter_->moveCameraByMillimeters(5, up.completion(), up.error());
  EXPECT_EQ(device_->lines, Lines{"Y5.0"});
  device_->reply("COMMAND COMPLETE Y");
  EXPECT_TRUE(up.completedOnly());
  interpreter_->moveCameraByMillimeters(0, exact.completion(), exact.error());  // exactly 185 is allowed
  EXPECT_EQ(exact.calls(), 0);
  interpreter_->moveCameraByMillimeters(-500, down.completion(), down.error());  // no lower limit
  EXPECT_TRUE(exact.failedWith(QVLIErrorAborted));
  EXPECT_EQ(device_->lines.back(), "Y-500.0");
  interpreter_->moveCameraByMillimeters(std::nanf(""), garbage.completion(), garbage.error());
  EXPECT_TRUE(garbage.failedWith(QVLIErrorInvalidValue));
  EXPECT_EQ(device_->lines.back(), "Y-500.0");
}

TEST_F(InterpreterTest, RotationsCarryTheBacklashAllowanceWhenTheDirectionChanges) {
  greet();
  for (float angle : {10.0f, 10.0f, -10.0f, -10.0f, 10.0f}) {
    Outcome outcome;
    interpreter_->rotatePlatterByDegrees(angle, outcome.completion(), outcome.error());
    device_->reply("COMMAND COMPLETE X");
    EXPECT_TRUE(outcome.completedOnly());
    EXPECT_EQ(interpreter_->deltaPositionX(), angle);  // the angle asked for, not the one written
  }
  EXPECT_EQ(device_->lines, (Lines{"X10.000000", "X10.000000", "X-10.001571", "X-10.000000", "X10.001571"}));
  EXPECT_FLOAT_EQ(interpreter_->currentPositionX(), 10.0f);
}

TEST_F(InterpreterTest, RotationProgressAndTheAngleWrapAtFullTurns) {
  greet();
  Outcome a, b, c;
  interpreter_->rotatePlatterByDegrees(350, a.completion(), a.error());
  device_->reply("COMMAND COMPLETE X");
  interpreter_->rotatePlatterByDegrees(20, b.completion(), b.error());
  device_->reply("COMMAND RECEIVED X20.000000");
  device_->reply("PX5000");
  EXPECT_FLOAT_EQ(interpreter_->currentPositionX(), 0.0f);
  device_->reply("PX2500");
  EXPECT_FLOAT_EQ(interpreter_->currentPositionX(), 355.0f);
  device_->reply("COMMAND COMPLETE X");
  EXPECT_FLOAT_EQ(interpreter_->currentPositionX(), 10.0f);
  interpreter_->rotatePlatterByDegrees(-20, c.completion(), c.error());
  device_->reply("COMMAND COMPLETE X");
  EXPECT_FLOAT_EQ(interpreter_->currentPositionX(), -10.0f);
  EXPECT_EQ(a.completions() + b.completions() + c.completions(), 3);
}

TEST_F(InterpreterTest, ANegligibleRotationCompletesAtOnceAndWritesNothing) {
  greet();
  Outcome waiting, tiny;
  interpreter_->enableLaser2(waiting.completion(), waiting.error());
  device_->lines.clear();
  interpreter_->rotatePlatterByDegrees(0.0000001f, tiny.completion(), tiny.error());
  EXPECT_TRUE(waiting.failedWith(QVLIErrorAborted));
  EXPECT_TRUE(tiny.completedOnly());
  EXPECT_TRUE(device_->lines.empty());
  EXPECT_EQ(interpreter_->deltaPositionX(), 0.0f);
  Outcome garbage;
  interpreter_->rotatePlatterByDegrees(INFINITY, garbage.completion(), garbage.error());
  EXPECT_TRUE(garbage.failedWith(QVLIErrorInvalidValue));
  EXPECT_TRUE(device_->lines.empty());
}

TEST_F(InterpreterTest, ANewRequestEndsTheWaitingOneBeforeItsLineIsWritten) {
  Outcome first, second;
  std::size_t linesWhenAborted = 0;
  interpreter_->enableLaser1(first.completion(), [&, record = first.error()](const Error& e) {
    linesWhenAborted = device_->lines.size();
    record(e);
  });
  interpreter_->enableLaser2(second.completion(), second.error());
  EXPECT_TRUE(first.failedWith(QVLIErrorAborted));
  EXPECT_EQ(linesWhenAborted, 1u);  // "L1" only: "L2" went out after
  EXPECT_EQ(device_->lines, (Lines{"L1", "L2"}));
  device_->reply("COMMAND COMPLETE L1");  // the first's late reply completes nothing
  EXPECT_EQ(second.calls(), 0);
  device_->reply("COMMAND COMPLETE L2");
  EXPECT_TRUE(second.completedOnly());
  EXPECT_EQ(first.calls(), 1);
}

TEST_F(InterpreterTest, ARequestStartedFromTheAbortCallbackIsNotUndone) {
  Outcome first, second, third;
  interpreter_->enableLaser1(first.completion(), [&, record = first.error()](const Error& e) {
    record(e);
    interpreter_->enableLaser2(third.completion(), third.error());
  });
  interpreter_->disableLasers(second.completion(), second.error());
  // The request started inside the callback wins: the one that was being started is ended, once,
  // and its line never goes out.
  EXPECT_TRUE(first.failedWith(QVLIErrorAborted));
  EXPECT_TRUE(second.failedWith(QVLIErrorAborted));
  EXPECT_EQ(device_->lines, (Lines{"L1", "L2"}));
  EXPECT_EQ(interpreter_->operationState(), QVLIOperationStateEnablingLaser2);
  device_->reply("COMMAND COMPLETE L2");
  EXPECT_TRUE(third.completedOnly());
}

// ---- the watchdog ----

TEST_F(InterpreterTest, SilenceFailsTheBannerAndBothCalibrationRequestsWithFive) {
  Outcome banner;
  interpreter_->initializeDevice(banner.completion(), banner.error());
  clock_.advanceSeconds(1.9);
  EXPECT_EQ(banner.calls(), 0);
  clock_.advanceSeconds(0.2);
  EXPECT_TRUE(banner.failedWith(QVLIErrorAborted));
  EXPECT_EQ(interpreter_->operationState(), QVLIOperationStateIdle);

  greet();
  Outcome read, write;
  interpreter_->readCalibrationValues(read.calibration(), read.error());
  device_->replyAll({"COMMAND RECEIVED <<<", "BEDX 1"});
  clock_.advanceSeconds(2.1);
  EXPECT_TRUE(read.failedWith(QVLIErrorAborted));

  interpreter_->writeCalibration(QVLICalibrationDetails(), write.completion(), write.error());
  device_->reply("CALIBRATION SET BEDX");
  clock_.advanceSeconds(2.1);
  EXPECT_TRUE(write.failedWith(QVLIErrorAborted));
  clock_.advanceSeconds(5);
  EXPECT_EQ(banner.calls() + read.calls() + write.calls(), 3);
}

TEST_F(InterpreterTest, SilentLasersMovesAndRotationsCompleteWithAWarning) {
  CapturedLog log;
  greet();
  interpreter_->setCurrentPositionY(20);
  interpreter_->setCurrentPositionX(355);
  Outcome laser, move, rotation, stop;
  interpreter_->enableLaser1(laser.completion(), laser.error());
  clock_.advanceSeconds(2.0);
  EXPECT_TRUE(laser.completedOnly());
  EXPECT_EQ(interpreter_->operationState(), QVLIOperationStateEnablingLaser1);  // left as it was

  interpreter_->moveCameraByMillimeters(10, move.completion(), move.error());
  device_->reply("PY5000");
  clock_.advanceSeconds(2.0);
  EXPECT_TRUE(move.completedOnly());
  EXPECT_FLOAT_EQ(interpreter_->currentPositionY(), 30.0f);  // taken as reached

  interpreter_->rotatePlatterByDegrees(10, rotation.completion(), rotation.error());
  clock_.advanceSeconds(2.0);
  EXPECT_TRUE(rotation.completedOnly());
  EXPECT_FLOAT_EQ(interpreter_->currentPositionX(), 5.0f);

  interpreter_->kill(stop.completion(), stop.error());
  clock_.advanceSeconds(2.0);
  EXPECT_TRUE(stop.completedOnly());
  const std::string text = log.text();
  EXPECT_NE(text.find("stayed silent for 2.0 s: the laser 1 on is taken as completed"), std::string::npos) << text;
  EXPECT_NE(text.find("the head move is taken as completed"), std::string::npos);
  EXPECT_NE(text.find("the bed rotation is taken as completed"), std::string::npos);
  EXPECT_NE(text.find("the stop is taken as completed"), std::string::npos);
}

TEST_F(InterpreterTest, EveryLinePushesTheWatchdogBackButMotorTimeoutXAndEmptyLinesDoNot) {
  Outcome chatty;
  interpreter_->disableLasers(chatty.completion(), chatty.error());
  for (int second = 0; second < 10; ++second) {
    clock_.advanceSeconds(1.0);
    device_->reply("STATUS OK");  // matches nothing, but is a sign of life
  }
  EXPECT_EQ(chatty.calls(), 0);
  clock_.advanceSeconds(2.0);
  EXPECT_TRUE(chatty.completedOnly());

  Outcome quiet;
  interpreter_->disableLasers(quiet.completion(), quiet.error());
  clock_.advanceSeconds(1.5);
  device_->reply("Motor Timeout X");
  device_->reply("");
  clock_.advanceSeconds(0.6);
  EXPECT_TRUE(quiet.completedOnly());

  Outcome other;
  interpreter_->disableLasers(other.completion(), other.error());
  clock_.advanceSeconds(1.5);
  device_->reply("Motor Timeout Y");
  clock_.advanceSeconds(0.6);
  EXPECT_EQ(other.calls(), 0);
  clock_.advanceSeconds(1.5);
  EXPECT_TRUE(other.completedOnly());
}

TEST_F(InterpreterTest, ASilentHomeIsSentOnceMoreThenCompletesAtZero) {
  interpreter_->setCurrentPositionX(90);
  interpreter_->setCurrentPositionY(50);
  Outcome outcome;
  interpreter_->home(outcome.completion(), outcome.error());
  clock_.advanceSeconds(2.0);
  EXPECT_EQ(device_->lines, (Lines{"h", "h"}));
  EXPECT_EQ(interpreter_->retryCounter(), 0);
  EXPECT_EQ(interpreter_->operationState(), QVLIOperationStateHoming);
  EXPECT_EQ(outcome.calls(), 0);
  clock_.advanceSeconds(1.9);
  EXPECT_EQ(outcome.calls(), 0);
  clock_.advanceSeconds(0.1);
  EXPECT_TRUE(outcome.completedOnly());
  EXPECT_EQ(interpreter_->currentPositionX(), 0.0f);
  EXPECT_EQ(interpreter_->currentPositionY(), 0.0f);
  EXPECT_EQ(device_->lines.size(), 2u);

  // A retry answered in time completes as usual, and the next home from a caller retries again.
  Outcome answered;
  interpreter_->home(answered.completion(), answered.error());
  clock_.advanceSeconds(2.0);
  device_->reply("COMMAND COMPLETE H");
  EXPECT_TRUE(answered.completedOnly());
  EXPECT_EQ(device_->lines.size(), 4u);
}

// ---- diagnostics ----

TEST_F(InterpreterTest, LastCommunicationsKeepsTheLast150LinesReceived) {
  for (int i = 0; i < 200; ++i) {
    device_->reply("line " + std::to_string(i));
    if (i % 10 == 0) {
      device_->reply("Motor Timeout X");
      device_->reply("");
      device_->announceSent("sent " + std::to_string(i));
    }
  }
  const auto lines = interpreter_->lastCommunications();
  ASSERT_EQ(lines.size(), 150u);
  EXPECT_EQ(lines.front(), "line 50");
  EXPECT_EQ(lines.back(), "line 199");
  device_->reply("Motor Timeout Y");
  EXPECT_EQ(interpreter_->lastCommunications().back(), "Motor Timeout Y");
}

// ---- calibration ----

TEST_F(InterpreterTest, CalibrationReadWaitsForEveryKeyOfItsGeneration) {
  struct Case {
    std::string banner;
    QVLIFirmwareVersion version;
  };
  for (const Case& c : {Case{"Quorvel Firmware v1.7.0", QVLIFirmwareVersion170},
                        Case{"Quorvix Firmware v1.6.0", QVLIFirmwareVersion160},
                        Case{"Quorvel Firmware v2.0.0", QVLIFirmwareVersion200},
                        Case{"Quorvel Firmware v3.1.4", QVLIFirmwareVersionOther}}) {
    greet(c.banner);
    Outcome outcome;
    QVLIOperationState stateInCallback = QVLIOperationStateNone;
    interpreter_->readCalibrationValues(
        [&, record = outcome.calibration()](const QVLICalibrationDetails& details) {
          stateInCallback = interpreter_->operationState();
          record(details);
        },
        outcome.error());
    EXPECT_EQ(device_->lines, Lines{"<<<"});
    device_->replyAll({"COMMAND RECEIVED <<<", "SETTING HALLEFFECT TO 512", "COMMAND COMPLETE L0", "CI00"});
    Lines keys = keyLines(c.version, "3f2a9c4e-7b1d-4e8a-9c0f-5d6e7a8b9c01");
    const std::string last = keys.back();
    keys.pop_back();
    device_->replyAll(keys);
    device_->reply(keys.front().substr(0, 4) + " 999");  // a repeated key keeps its first value
    device_->reply("XXXX 5");                             // not in any list
    EXPECT_FALSE(outcome.record()) << c.banner;
    device_->reply(last);
    ASSERT_TRUE(outcome.record()) << c.banner;
    EXPECT_EQ(stateInCallback, QVLIOperationStateIdle);
    const QVLICalibrationDetails r = *outcome.record();
    EXPECT_EQ(r.uniqueId(), "3F2A9C4E-7B1D-4E8A-9C0F-5D6E7A8B9C01");
    switch (c.version) {
      case QVLIFirmwareVersion170:
        EXPECT_EQ(r.bedOriginX(), 1.0f);  // BEDX is the first key, valued 1
        EXPECT_EQ(r.laser2NormalZ(), 15.0f);
        EXPECT_EQ(r.laser1OriginX(), 0.0f);
        EXPECT_EQ(r.intrinsicFX(), 0.0f);
        EXPECT_EQ(r.distortion3(), 0.0f);
        break;
      case QVLIFirmwareVersion160:
        EXPECT_EQ(r.bedOriginX(), 0.0f);
        EXPECT_EQ(r.laser1NormalX(), 0.0f);
        break;
      default:
        EXPECT_EQ(r.bedOriginX(), 1.0f);
        EXPECT_EQ(r.laser1OriginX(), 31.0f);
        EXPECT_EQ(r.intrinsicFX(), 37.0f);
        EXPECT_EQ(r.distortion3(), 44.0f);
        break;
    }
    device_->reply(last);
    clock_.advanceSeconds(3);
    EXPECT_EQ(outcome.calls(), 1);
  }
}

TEST_F(InterpreterTest, CalibrationReadEndsTheWaitingCallbacksButLeavesARefusedReadsStateAlone) {
  interpreter_->setCurrentPositionY(10);
  Outcome move, read;
  interpreter_->moveCameraByMillimeters(10, move.completion(), move.error());
  interpreter_->readCalibrationValues(read.calibration(), read.error());  // no banner yet
  EXPECT_TRUE(move.failedWith(QVLIErrorAborted));
  EXPECT_TRUE(read.failedWith(QVLIErrorFirmwareUnknown));
  // The head is still moving and still tracked; only the callbacks are gone.
  EXPECT_EQ(interpreter_->operationState(), QVLIOperationStateMovingCamera);
  device_->reply("PY5000");
  EXPECT_FLOAT_EQ(interpreter_->currentPositionY(), 15.0f);
  device_->reply("COMMAND COMPLETE Y");
  EXPECT_FLOAT_EQ(interpreter_->currentPositionY(), 20.0f);
  EXPECT_EQ(move.calls() + read.calls(), 2);
}

TEST_F(InterpreterTest, CalibrationWriteSendsThirtyLinesOnePerAcknowledgement) {
  CapturedLog log;
  QVLICalibrationDetails details;
  details.setBedOriginX(12.5f);
  details.setDistortion3(-0.25f);
  details.setUniqueId("3F2A9C4E-7B1D-4E8A-9C0F-5D6E7A8B9C01");
  Outcome outcome;
  interpreter_->writeCalibration(details, outcome.completion(), outcome.error());
  EXPECT_EQ(device_->lines, Lines{">>>BEDX12.500000"});
  const auto queue = interpreter_->calibrationCommandQueue();
  ASSERT_EQ(queue.size(), 29u);
  EXPECT_EQ(queue.front(), ">>>BEDY0.000000");
  EXPECT_EQ(queue.back(), ">>>CDM3-0.250000");

  device_->reply("COMMAND RECEIVED >>>BEDX12.500000");
  EXPECT_EQ(device_->lines.size(), 1u);
  device_->reply("CALIBRATION SET BEDX 12.5");
  EXPECT_EQ(device_->lines.back(), ">>>CDM3-0.250000");  // the first acknowledgement releases CDM3
  for (int i = 0; i < 28; ++i) device_->reply("CALIBRATION SET");
  EXPECT_EQ(device_->lines.size(), 30u);
  EXPECT_EQ(device_->lines.back(), ">>>BEDY0.000000");
  EXPECT_EQ(outcome.calls(), 0);
  device_->reply("CALIBRATION SET BEDY");
  EXPECT_TRUE(outcome.completedOnly());
  device_->reply("CALIBRATION SET");
  clock_.advanceSeconds(3);
  EXPECT_EQ(outcome.calls(), 1);
  EXPECT_EQ(device_->lines.size(), 30u);
  EXPECT_TRUE(log.contains("           Device:3F2A9C4E-7B1D-4E8A-9C0F-5D6E7A8B9C01"));
  EXPECT_TRUE(log.contains(std::string(60, '<')));
}

// ---- every request ends exactly once ----

TEST_F(InterpreterTest, AFailedCalibrationLineEndsTheWriteOnceWithTheDevicesError) {
  Outcome outcome;
  interpreter_->writeCalibration(QVLICalibrationDetails(), outcome.completion(), outcome.error());
  device_->reply("CALIBRATION SET");
  device_->failures = 1;
  device_->reply("CALIBRATION SET");  // its next line cannot be written
  ASSERT_TRUE(outcome.onlyError());
  EXPECT_TRUE(outcome.onlyError()->is(kControlErrorDomain, 4));
  EXPECT_EQ(interpreter_->operationState(), QVLIOperationStateIdle);
  EXPECT_FALSE(interpreter_->isWatchdogArmed());
  EXPECT_TRUE(interpreter_->calibrationCommandQueue().empty());
  clock_.advanceSeconds(5);  // the watchdog has nothing left to end
  device_->reply("CALIBRATION SET");
  EXPECT_EQ(outcome.calls(), 1);
  EXPECT_EQ(device_->lines.size(), 3u);
}

TEST_F(InterpreterTest, AReplyThatOvertakesTheWriteCompletionIsNotLost) {
  device_->holdWrites = true;
  interpreter_->setCurrentPositionY(10);
  Outcome laser, move;
  interpreter_->enableLaser1(laser.completion(), laser.error());
  EXPECT_EQ(interpreter_->operationState(), QVLIOperationStateEnablingLaser1);  // before the write completes
  device_->reply("COMMAND COMPLETE L1");
  EXPECT_TRUE(laser.completedOnly());
  device_->completeHeld(0);  // late: revives nothing
  EXPECT_FALSE(interpreter_->isWatchdogArmed());

  interpreter_->moveCameraByMillimeters(5, move.completion(), move.error());
  device_->reply("PY5000");
  device_->reply("COMMAND COMPLETE Y");
  EXPECT_TRUE(move.completedOnly());
  EXPECT_FLOAT_EQ(interpreter_->currentPositionY(), 15.0f);
  device_->failHeld(1, Error(kControlErrorDomain, 4));  // nor does a late failure
  clock_.advanceSeconds(5);
  EXPECT_EQ(laser.calls() + move.calls(), 2);
}

TEST_F(InterpreterTest, AFailedRequestLineReportsTheDevicesErrorAndLeavesTheInterpreterIdle) {
  greet();
  device_->failures = 1;
  device_->failure = Error(kControlErrorDomain, 6, "not connected");
  Outcome outcome;
  interpreter_->rotatePlatterByDegrees(10, outcome.completion(), outcome.error());
  ASSERT_TRUE(outcome.onlyError());
  EXPECT_TRUE(outcome.onlyError()->is(kControlErrorDomain, 6));
  EXPECT_EQ(interpreter_->operationState(), QVLIOperationStateIdle);
  EXPECT_FALSE(interpreter_->isWatchdogArmed());
  device_->reply("COMMAND COMPLETE X");
  clock_.advanceSeconds(5);
  EXPECT_EQ(outcome.calls(), 1);
  EXPECT_EQ(interpreter_->currentPositionX(), 0.0f);
}

TEST_F(InterpreterTest, AnArmedWatchdogKeepsTheInterpreterAliveAndNothingElseDoes) {
  std::weak_ptr<QVLIInterpreter> weak = interpreter_;
  Outcome answered;
  interpreter_->enableLaser1(answered.completion(), answered.error());
  device_->reply("COMMAND COMPLETE L1");
  Outcome waiting;
  interpreter_->disableLasers(waiting.completion(), waiting.error());
  interpreter_.reset();
  EXPECT_FALSE(weak.expired());  // the watchdog still has a request to end
  clock_.advanceSeconds(2.0);
  EXPECT_TRUE(waiting.completedOnly());
  EXPECT_TRUE(weak.expired());
  device_->reply("COMMAND COMPLETE L0");  // heard by nobody
  EXPECT_EQ(waiting.calls(), 1);

  auto idle = QVLIInterpreter::createWithDevice(device_);
  std::weak_ptr<QVLIInterpreter> idleWeak = idle;
  idle->enableLaser2({}, {});
  device_->reply("COMMAND COMPLETE L2");
  idle.reset();
  EXPECT_TRUE(idleWeak.expired());
}

TEST_F(InterpreterTest, RefusalsComeOnTheCallersThreadAndRepliesOnTheMainThread) {
  Outcome refused, answered;
  std::thread worker([&] {
    interpreter_->rotatePlatterByDegrees(10, refused.completion(), refused.error());  // no banner
    interpreter_->enableLaser1(answered.completion(), answered.error());
  });
  const auto workerId = worker.get_id();
  worker.join();
  ASSERT_TRUE(refused.failedWith(QVLIErrorFirmwareUnknown));
  EXPECT_EQ(refused.threads().at(0), workerId);
  mainQueue()->async([&] { device_->reply("COMMAND COMPLETE L1"); });
  drainMainQueue();
  ASSERT_TRUE(answered.completedOnly());
  EXPECT_EQ(answered.threads().at(0), std::this_thread::get_id());
}

}  // namespace
}  // namespace qv::test
