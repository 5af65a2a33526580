// The controller's ends: no delegate, failed requests, cancels, the board search limit, bad frames, no exposure.
#include <gtest/gtest.h>

#include "CalibrationSimulation.h"

namespace calibration_test {
namespace {

TEST(CalibrationController, WithoutADelegateEitherPassReportsTwoAndNeverConnects) {
  CalibrationFolders folders;
  auto calibration = QVLCalibration::initWithDelegate(nullptr);
  for (const int pass : {1, 2}) {
    const PassEnd end = runPass(calibration, pass);
    ASSERT_TRUE(end.error);
    EXPECT_EQ(end.error->domain, qv::kScanErrorDomain);
    EXPECT_EQ(end.error->code, 2);
    ASSERT_TRUE(end.error->userInfo.count("Parameter"));
    EXPECT_EQ(*end.error->userInfo.at("Parameter").string(), "delegate");
  }
}

// Every other end of a pass, failed or cancelled, comes after the scanner was disconnected.
TEST(CalibrationController, EveryFailureAndCancelEndsDisconnected) {
  CalibrationFolders folders;
  const qv::Error deviceError(qv::kInterpreterErrorDomain, 5, "Request timed out");
  struct Case {
    const char* name;
    std::function<void(SimulatedCalibrationScanner&, QVLCalibration&)> arrange;
    std::string domain;
    int code;
  };
  const std::vector<Case> cases = {
      {"connect fails", [&](auto& s, auto&) { s.failRequest("connect", deviceError); }, qv::kInterpreterErrorDomain, 5},
      {"homing fails", [&](auto& s, auto&) { s.failRequest("home", deviceError); }, qv::kInterpreterErrorDomain, 5},
      {"cancel while homing",
       [](auto& s, auto& c) {
         s.setRequestHook([&c](const std::string& name) { if (name == "home") c.setShouldCancelCalibration(true); });
       },
       qv::kScanErrorDomain, 1},
      // Seen right after the 25 mm move: this end too goes through the disconnect.
      {"cancel after the first move",
       [](auto& s, auto& c) {
         s.setRequestHook([&c](const std::string& name) { if (name == "move") c.setShouldCancelCalibration(true); });
       },
       qv::kScanErrorDomain, 1},
      {"short frame", [](auto& s, auto&) { s.setFrameLength(1000); }, qv::kScanErrorDomain, 9},
      {"sequence fails", [&](auto& s, auto&) { s.failRequest("sequence", deviceError); }, qv::kInterpreterErrorDomain, 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SimulatedCalibrationScanner scanner;
    placeFirstPosition(scanner);
    auto calibration = makeCalibration(scanner);
    c.arrange(scanner, *calibration);
    const PassEnd end = runPass(calibration, 1);
    ASSERT_TRUE(end.error);
    EXPECT_EQ(end.error->domain, c.domain);
    EXPECT_EQ(end.error->code, c.code);
    EXPECT_FALSE(scanner.connected());
    EXPECT_EQ(scanner.requestCount("disconnect"), 1);
    EXPECT_EQ(scanner.savedCalibration(), nullptr);
  }
}

TEST(CalibrationController, AnUnseenBoardEndsWithSixAfterAFullTurnOfSearching) {
  CalibrationFolders folders;
  SimulatedCalibrationScanner scanner;  // nothing on the bed
  auto calibration = makeCalibration(scanner);
  const PassEnd end = runPass(calibration, 1);
  ASSERT_TRUE(end.error);
  EXPECT_EQ(end.error->code, 6);
  // 13 looks, 12 turns of 30 degrees between them.
  EXPECT_EQ(scanner.requestCount("single"), 13);
  EXPECT_EQ(scanner.requestCount("rotate"), 12);
  EXPECT_DOUBLE_EQ(calibration->currentXRotation(), 360.0);
  EXPECT_FALSE(scanner.connected());
}

TEST(CalibrationController, NoUsableExposureGivesTenWithTheReason) {
  CalibrationFolders folders;
  SimulatedCalibrationScanner scanner;
  placeFirstPosition(scanner);
  scanner.setLaserPower(0.0);  // no laser line at any exposure
  auto calibration = QVLCalibration::initWithDelegate(&scanner);  // no stored exposures: tuning runs
  const PassEnd end = runPass(calibration, 1);
  ASSERT_TRUE(end.error);
  EXPECT_EQ(end.error->code, 10);
  ASSERT_TRUE(end.error->userInfo.count("Reason"));
  EXPECT_NE(end.error->userInfo.at("Reason").string()->find("calibration box is properly placed"), std::string::npos);
  EXPECT_GT(scanner.requestCount("tuningImages"), 0);
  EXPECT_FALSE(scanner.connected());
}

}  // namespace
}  // namespace calibration_test
