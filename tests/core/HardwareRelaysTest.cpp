// The delegate's hardware relays with a scripted interpreter and the synthetic camera: positions
// read back after motions, the exposure run a scan's lists turn into, the refusals when no scanner
// is known, and the scan screen's pause, resume and cancel.
#include "HardwareRelaysFixture.h"

namespace qv::test {
namespace {

// Each motion's report, and the answers once the scanner is gone.
TEST_F(HardwareRelaysTest, MotionsReportThePositionAfterTheMoveAndFailWithoutAScanner) {
  auto& scan = *QVLScan::init();
  std::vector<std::pair<float, float>> reports;
  std::vector<Error> errors;
  const auto report = [&](float x, float y) { reports.emplace_back(x, y); };
  const auto fail = [&](const Error& e) { errors.push_back(e); };

  interpreter_->x = 40, interpreter_->y = 20;
  delegate_->homeScannerForScan(scan, 0.0f, report, fail);
  delegate_->homeScannerForScan(scan, 1.5f, report, fail);
  delegate_->rotateBedByDegrees(30.0f, scan, report, fail);
  delegate_->moveHeadByMillimeters(2.0f, scan, report, fail);
  EXPECT_EQ(reports, (std::vector<std::pair<float, float>>{{0, 0}, {0, 1.5f}, {30, 1.5f}, {30, 3.5f}}));
  EXPECT_EQ(interpreter_->heard(), (std::vector<std::string>{"home", "home", "move", "rotate", "move"}));

  // A failed home goes to the error callback only, and no move follows it.
  interpreter_->failNext = "home";
  delegate_->homeScannerForScan(scan, 1.5f, report, fail);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].domain, kInterpreterErrorDomain);
  EXPECT_EQ(reports.size(), 4u);
  EXPECT_EQ(interpreter_->heard().size(), 6u);

  // The manual screen hears of a failure through its single completion.
  std::vector<std::optional<Error>> manual;
  const auto manualDone = [&](const std::optional<Error>& e) { manual.push_back(e); };
  delegate_->moveHeadByMillimetersForAdvScanViewController(1.0f, manualDone);
  interpreter_->failNext = "rotate";
  delegate_->rotateBedByDegreesForAdvScanViewController(5.0f, manualDone);
  ASSERT_EQ(manual.size(), 2u);
  EXPECT_FALSE(manual[0]);
  ASSERT_TRUE(manual[1]);
  EXPECT_EQ(manual[1]->code, 3);

  // No scanner: the scan relays refuse with 5, the manual ones with 7, each once and at once.
  delegate_->setDevice(nullptr, nullptr);
  const std::size_t heard = interpreter_->heard().size();
  errors.clear();
  manual.clear();
  delegate_->homeScannerForScan(scan, report, fail);
  delegate_->moveHeadByMillimeters(1.0f, scan, report, fail);
  delegate_->rotateBedByDegrees(1.0f, scan, report, fail);
  delegate_->moveHeadHomeForAdvScanViewController(manualDone);
  delegate_->moveHeadByMillimetersForAdvScanViewController(1.0f, manualDone);
  delegate_->rotateBedByDegreesForAdvScanViewController(1.0f, manualDone);
  ASSERT_EQ(errors.size(), 3u);
  for (const auto& e : errors) EXPECT_EQ(e.code, QVLAppErrorNoScanner);
  ASSERT_EQ(manual.size(), 3u);
  for (const auto& e : manual) EXPECT_EQ(e ? e->code : 0, QVLAppErrorManualNoScanner);
  EXPECT_EQ(interpreter_->heard().size(), heard);
  EXPECT_EQ(reports.size(), 4u);
}

// Repeated and shared exposures are each run once, a shared one with both lasers.
TEST_F(HardwareRelaysTest, TheScanSequenceRunsEachExposureOnceInTheOrderOfTheLists) {
  auto& scan = *QVLScan::init();
  std::optional<std::vector<QVLScanResultSet>> laser1, laser2;
  SharedData colour;
  std::optional<Error> failure;
  delegate_->captureCameraImageSequenceForScan(
      scan, 500, 0, {100, 100, 200}, {200, 300},
      [&](SharedData c, std::vector<QVLScanResultSet> r1, std::vector<QVLScanResultSet> r2) {
        colour = std::move(c);
        laser1 = std::move(r1);
        laser2 = std::move(r2);
      },
      [&](const Error& e) { failure = e; });
  ASSERT_TRUE(drive([&] { return laser1 || failure; }));
  ASSERT_FALSE(failure) << failure->text();
  ASSERT_TRUE(colour);
  EXPECT_EQ(colour->size(), QVLCameraCaptureSession::kFrameLength);
  // 100 laser 1 alone, 200 both lasers between one pair of lasers-off frames, 300 laser 2 alone.
  EXPECT_EQ(interpreter_->heard(), (std::vector<std::string>{"L1", "L0", "L1", "L2", "L0", "L2", "L0"}));
  ASSERT_EQ(laser1->size(), 2u);
  ASSERT_EQ(laser2->size(), 2u);
  EXPECT_EQ((*laser1)[0].exposure, 100);
  EXPECT_EQ((*laser1)[1].exposure, 200);
  EXPECT_EQ((*laser2)[0].exposure, 200);
  EXPECT_EQ((*laser2)[1].exposure, 300);
  EXPECT_EQ((*laser1)[1].referenceImage, (*laser2)[0].referenceImage);
  EXPECT_EQ(camera_->controls()->exposure(), 300);

  // A white balance other than 0 is set with automatic white balance off.
  std::optional<SharedData> frame;
  delegate_->captureCameraImageForScan(scan, 400, 4200, [&](SharedData f) { frame = f; },
                                       [&](const Error& e) { failure = e; });
  ASSERT_TRUE(drive([&] { return frame || failure; }));
  ASSERT_FALSE(failure) << failure->text();
  EXPECT_EQ(camera_->controls()->whiteBalance(), 4200);
  EXPECT_EQ(camera_->controls()->exposure(), 400);
}

// A manual-scan cancel during the settle delay fails the frame with 12, and the next request
// clears it again.
TEST_F(HardwareRelaysTest, TheManualFrameIsRefusedWhenCancelledDuringTheSettleDelay) {
  std::optional<Error> failure;
  bool delivered = false;
  delegate_->captureCameraImageForAdvScanViewController(
      500, 0, [&](SharedData) { delivered = true; }, [&](const Error& e) { failure = e; });
  delegate_->cancelScanForAdvancedScanViewController();
  ASSERT_TRUE(drive([&] { return delivered || failure; }));
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->code, QVLAppErrorPaused);
  EXPECT_FALSE(delivered);

  failure.reset();
  std::optional<QVLScanResultSet> low1, high1, low2, high2;
  delegate_->captureCameraImageSequenceForAdvScanViewController(
      500, 0, 60, 90, 60, 120,
      [&](SharedData, QVLScanResultSet a, QVLScanResultSet b, QVLScanResultSet c, QVLScanResultSet d) {
        low1 = a, high1 = b, low2 = c, high2 = d;
      },
      [&](const Error& e) { failure = e; });
  ASSERT_TRUE(drive([&] { return low1 || failure; }));
  ASSERT_FALSE(failure) << failure->text();
  EXPECT_EQ(low1->exposure, 60);
  EXPECT_EQ(high1->exposure, 90);
  EXPECT_EQ(low2->exposure, 60);
  EXPECT_EQ(high2->exposure, 120);
  EXPECT_EQ(low1->referenceImage, low2->referenceImage);
}

// The scan screen without a running scan: nothing is left waiting, and cancelling shows the main
// screen; a resume writes the positions of the last error back into the interpreter.
TEST_F(HardwareRelaysTest, ResumeAndCancelOfTheScanScreen) {
  std::optional<Error> failure;
  delegate_->resumeCurrentScanForScanViewController({}, {}, [&](const Error& e) { failure = e; });
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->code, QVLAppErrorNoScanner);
  delegate_->pauseScanForScanViewController();
  EXPECT_FALSE(delegate_->shouldPauseScan());
  delegate_->cancelScanForScanViewController();
  EXPECT_EQ(host_->calls(), (std::vector<std::string>{"hud"}));

  // A build whose connection fails ends in its error callback (no scanner port is known), with
  // the driver kept for a resume; the resume restores the positions kept and scans again.
  settings_.setValue("EnableAdaptiveScanning", Value(true));
  failure.reset();
  delegate_->buildScanForScanViewController({}, 10.0f, 5.0f, {}, {}, [&](const Error& e) { failure = e; });
  EXPECT_EQ(delegate_->currentAppState(), QVLAppStateScanning);
  ASSERT_TRUE(drive([&] { return failure.has_value(); }));
  EXPECT_EQ(delegate_->currentAppState(), QVLAppStateIdle);
  ASSERT_TRUE(delegate_->scanController());

  delegate_->setLastKnownPositionX(90.0f);
  delegate_->setLastKnownPositionY(12.5f);
  interpreter_->x = 0, interpreter_->y = 0;
  failure.reset();
  delegate_->resumeCurrentScanForScanViewController({}, {}, [&](const Error& e) { failure = e; });
  EXPECT_EQ(interpreter_->x.load(), 90.0f);
  EXPECT_EQ(interpreter_->y.load(), 12.5f);
  ASSERT_TRUE(drive([&] { return failure.has_value(); }));

  // A paused scan is not cancelled by the screen: it shows the main screen instead.
  delegate_->pauseScanForScanViewController();
  EXPECT_TRUE(delegate_->shouldPauseScan());
  EXPECT_TRUE(delegate_->scanController()->shouldPauseScan());
  delegate_->cancelScanForScanViewController();
  EXPECT_FALSE(delegate_->scanController()->shouldCancelScan());
  EXPECT_EQ(host_->calls().size(), 2u);
  delegate_->tidyScanForScanViewController();
  EXPECT_FALSE(delegate_->scanController());
}

}  // namespace
}  // namespace qv::test
