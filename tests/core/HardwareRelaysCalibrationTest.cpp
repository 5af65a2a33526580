// The calibration controller's relays with a scripted interpreter and the synthetic camera:
// positions after motions, the frames each capture leaves, the settle wait of the single frame,
// and the calibration screen's passes and cancel when nothing can run.
#include "HardwareRelaysFixture.h"

#include "calibration/QVLCalibration.h"
#include "core/camera/UVCCameraControl.h"

namespace qv::test {
namespace {

class CalibrationRelaysTest : public HardwareRelaysTest {
protected:
  std::shared_ptr<QVLCalibration> calibration_ = QVLCalibration::initWithDelegate(nullptr);
};

TEST_F(CalibrationRelaysTest, MotionsReportThePositionAndFailWithoutAScanner) {
  auto& calibration = *calibration_;
  std::vector<std::pair<float, float>> reports;
  std::vector<Error> errors;
  const auto report = [&](float x, float y) { reports.emplace_back(x, y); };
  const auto fail = [&](const Error& e) { errors.push_back(e); };

  // Homing zeroes both positions; the angle given is written back without turning the bed.
  interpreter_->x = 40, interpreter_->y = 20;
  delegate_->homeScannerForCalibration(calibration, 90.0f, report, fail);
  delegate_->moveHeadByMillimeters(25.0f, calibration, report, fail);
  delegate_->rotateBedByDegrees(-30.0f, calibration, report, fail);
  EXPECT_EQ(reports, (std::vector<std::pair<float, float>>{{90, 0}, {90, 25}, {60, 25}}));
  EXPECT_EQ(interpreter_->heard(), (std::vector<std::string>{"home", "move", "rotate"}));

  // A failed home reports the interpreter's error only, and leaves the tracked angle alone.
  interpreter_->failNext = "home";
  delegate_->homeScannerForCalibration(calibration, 45.0f, report, fail);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].domain, kInterpreterErrorDomain);
  EXPECT_EQ(interpreter_->x.load(), 60.0f);

  delegate_->setDevice(nullptr, nullptr);
  errors.clear();
  delegate_->homeScannerForCalibration(calibration, 90.0f, report, fail);
  delegate_->moveHeadByMillimeters(1.0f, calibration, report, fail);
  delegate_->rotateBedByDegrees(1.0f, calibration, report, fail);
  ASSERT_EQ(errors.size(), 3u);
  for (const auto& e : errors) EXPECT_TRUE(e.is(kScanErrorDomain, QVLAppErrorNoScanner)) << e.text();
  EXPECT_EQ(reports.size(), 3u);
  EXPECT_EQ(interpreter_->heard().size(), 4u);
}

// One exposure for both lasers (equal, or the second 0) is one sequence sharing its frames before
// and after; two exposures are two sequences with frames of their own.
TEST_F(CalibrationRelaysTest, TheLaserCaptureSharesFramesOnlyWhenTheLasersShareAnExposure) {
  auto& calibration = *calibration_;
  struct Case {
    int laser1, laser2;
    std::vector<std::string> commands;
    bool shared;
  };
  const Case cases[] = {{80, 80, {"L1", "L2", "L0"}, true},
                        {80, 0, {"L1", "L2", "L0"}, true},
                        {80, 120, {"L1", "L0", "L2", "L0"}, false}};
  std::size_t heard = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.laser1 << "/" << c.laser2);
    bool done = false;
    std::optional<Error> failure;
    delegate_->captureCameraImageSequenceForCalibration(calibration, 400, c.laser1, c.laser2, [&] { done = true; },
                                                        [&](const Error& e) { failure = e; });
    ASSERT_TRUE(drive([&] { return done || failure; }));
    ASSERT_FALSE(failure) << failure->text();
    const auto all = interpreter_->heard();
    EXPECT_EQ(std::vector<std::string>(all.begin() + static_cast<long>(heard), all.end()), c.commands);
    heard = all.size();

    const auto colour = delegate_->calibrationImages();
    ASSERT_EQ(colour.size(), 2u);
    for (const auto& frame : colour) EXPECT_EQ(frame->size(), QVLCameraCaptureSession::kFrameLength);
    const SharedData frames[] = {delegate_->laser1CalibrationReferenceImage(), delegate_->laser1CalibrationImage(),
                                 delegate_->laser1CalibrationVerificationImage(), delegate_->laser2CalibrationReferenceImage(),
                                 delegate_->laser2CalibrationImage(), delegate_->laser2CalibrationVerificationImage()};
    for (const auto& frame : frames) ASSERT_TRUE(frame);
    EXPECT_EQ(frames[0] == frames[3], c.shared);
    EXPECT_EQ(frames[2] == frames[5], c.shared);
    EXPECT_NE(*frames[1], *frames[4]) << "each laser's frame shows its own line";
    EXPECT_NE(*frames[0], *frames[1]);
  }
  EXPECT_FALSE(interpreter_->laser1 || interpreter_->laser2);
}

// The single frame waits for the longer of the camera's exposure and the new one to settle, and
// a camera whose exposure cannot be read refuses it with 8 before anything is captured.
TEST_F(CalibrationRelaysTest, TheSingleFrameWaitsForTheLongerExposureAndNeedsItRead) {
  auto& calibration = *calibration_;
  // Set behind the image sequences' back: only a read of the camera knows it.
  ASSERT_TRUE(delegate_->captureSession()->cameraControl()->setExposure(10000));
  const TimePoint started = now();
  bool done = false;
  std::optional<Error> failure;
  delegate_->captureSingleImageForCalibration(calibration, 10, [&] { done = true; },
                                              [&](const Error& e) { failure = e; });
  ASSERT_TRUE(drive([&] { return done || failure; }));
  ASSERT_FALSE(failure) << failure->text();
  EXPECT_GE(toSeconds(now() - started), 1.0);
  ASSERT_EQ(delegate_->calibrationImages().size(), 1u);
  EXPECT_EQ(camera_->controls()->exposure(), 10);

  const std::uint64_t copied = camera_->framesCopied();
  settings_.setValue("SimulateCameraControlFailure", Value(true));
  done = false;
  delegate_->captureSingleImageForCalibration(calibration, 300, [&] { done = true; },
                                              [&](const Error& e) { failure = e; });
  ASSERT_TRUE(failure);
  EXPECT_TRUE(failure->is(kScanErrorDomain, QVLAppErrorExposureNotSet)) << failure->text();
  EXPECT_FALSE(done);
  EXPECT_EQ(camera_->controls()->exposure(), 10);
  EXPECT_EQ(camera_->framesCopied(), copied);
}

// Without a scanner port the first pass ends once, at its connection, leaving no controller: the
// second pass then refuses at once, and a cancel with nothing running shows the main screen.
TEST_F(CalibrationRelaysTest, PassesThatCannotRunEndOnceAndLeaveTheApplicationIdle) {
  int ends = 0;
  std::optional<Error> failure;
  delegate_->startFirstPassCalibrationForViewController(
      QVLCalibration::kBoxDevice, [&] { ++ends; }, {}, [&](const Error& e) { ++ends, failure = e; });
  ASSERT_TRUE(drive([&] { return ends > 0; }));
  drainMainQueue();
  EXPECT_EQ(ends, 1);
  ASSERT_TRUE(failure);
  EXPECT_TRUE(failure->is(kScanErrorDomain, QVLAppErrorManualNoScanner)) << failure->text();
  EXPECT_EQ(delegate_->currentAppState(), QVLAppStateIdle);
  EXPECT_FALSE(delegate_->calibrationControl());

  failure.reset();
  delegate_->startSecondPassCalibrationForViewController(
      QVLCalibration::kBoxDevice, [&] { ++ends; }, {}, [&](const Error& e) { ++ends, failure = e; });
  EXPECT_EQ(ends, 2);
  ASSERT_TRUE(failure);
  EXPECT_TRUE(failure->is(kScanErrorDomain, QVLAppErrorNoFirstPass)) << failure->text();
  EXPECT_EQ(delegate_->currentAppState(), QVLAppStateIdle);

  delegate_->cancelScannerCalibrationForViewController();
  EXPECT_EQ(host_->calls(), (std::vector<std::string>{"hud"}));
  EXPECT_FALSE(delegate_->shouldPauseScan());
}

}  // namespace
}  // namespace qv::test
