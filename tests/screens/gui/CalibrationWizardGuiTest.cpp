// The calibration wizard's page under the virtual X server, driven by its own buttons through a
// whole card calibration, a box calibration that fails, and a cancel; one screenshot per state.
#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QTest>
#include <filesystem>

#include "CalibrationWizardShots.h"
#include "platform/Queue.h"
#include "screens/widgets/CalibrationWizardPage.h"
#include "support/ManualClockScope.h"
#include "support/WaitFor.h"

namespace qv::screens {
namespace {

class RecordingRunner : public CalibrationRunner {
public:
  bool calibrated = false;
  std::vector<int> devices;
  qv::Completion completion;
  Update update;
  qv::ErrorCallback error;
  int cancels = 0, huds = 0;
  bool isCalibrated() const override { return calibrated; }
  void startFirstPassCalibration(int device, qv::Completion c, Update u, qv::ErrorCallback e) override {
    devices.push_back(device);
    completion = std::move(c), update = std::move(u), error = std::move(e);
  }
  void startSecondPassCalibration(int device, qv::Completion c, Update u, qv::ErrorCallback e) override {
    startFirstPassCalibration(device, std::move(c), std::move(u), std::move(e));
  }
  void cancelScannerCalibration() override {
    ++cancels;
    error({qv::kScanErrorDomain, 1});
  }
  void showHudScreen() override { ++huds; }
};

class CountingNotifier : public CalibrationNotifier {
public:
  int count = 0;
  void notify(const std::string&, const std::string&) override { ++count; }
};

class CalibrationWizardGuiTest : public ::testing::Test {
protected:
  qv::test::ManualClockScope clock;
  RecordingRunner runner;
  CountingNotifier notifier;
  std::unique_ptr<CalibrationWizardPage> page;

  void SetUp() override {
    page = std::make_unique<CalibrationWizardPage>(runner, &notifier);
    page->resize(900, 640);
    page->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(page.get(), qv::test::kPatienceMs));
  }
  void settle() {
    qv::drainMainQueue();
    QApplication::processEvents();
  }
  void press(const QString& title) {
    QPushButton* button = page->button(title);
    ASSERT_NE(button, nullptr) << title.toStdString();
    ASSERT_TRUE(button->isEnabled()) << title.toStdString();
    QTest::mouseClick(button, Qt::LeftButton);
    settle();
  }
  void screenshot(const QString& name) { wizardScreenshot(*page, name); }
  void report(float fraction, const char* message) {
    auto status = QVLStatus::statusWithType(QVLStatusTypeCalibration);
    status->setTitle("Calibrating");
    status->setMessage(message);
    status->setPercentageComplete(fraction);
    runner.update(status);
    settle();
  }
};

TEST_F(CalibrationWizardGuiTest, ACardCalibrationRunsFromTheButtonsToSuccess) {
  EXPECT_EQ(page->currentPage(), CalibrationPage::FirstTimeCalibrationType);
  screenshot("0-first-time");
  press("Calibration Card");
  EXPECT_EQ(page->currentPage(), CalibrationPage::Step1CardConstruction);
  screenshot("2-build-card");
  press("Next");
  EXPECT_EQ(page->currentPage(), CalibrationPage::Step1Card);
  screenshot("1-place-card");
  press("Next");
  EXPECT_EQ(page->currentPage(), CalibrationPage::Scan);
  clock.advanceSeconds(1.0);
  ASSERT_EQ(runner.devices, std::vector<int>{kCalibrationDeviceCard});
  report(0.4f, "Finding the calibration card");
  screenshot("3-first-pass");
  runner.completion();
  settle();
  EXPECT_EQ(page->currentPage(), CalibrationPage::Step2Card);
  screenshot("4-turn-card");
  press("Start");
  clock.advanceSeconds(1.0);
  ASSERT_EQ(runner.devices.size(), 2u);
  report(-1.0f, "Computing the calibration");
  screenshot("5-second-pass-no-figure");
  runner.completion();
  settle();
  EXPECT_EQ(page->currentPage(), CalibrationPage::Completed);
  EXPECT_EQ(notifier.count, 1);
  screenshot("6-completed");
  press("Done");
  EXPECT_EQ(runner.huds, 1);
}

TEST_F(CalibrationWizardGuiTest, ABoxCalibrationFailsAndACancelReturnsToTheChoice) {
  runner.calibrated = true;
  page->resetContent();
  settle();
  EXPECT_EQ(page->currentPage(), CalibrationPage::ExistingCalibrationType);
  screenshot("0-existing");
  press("Calibration Box");
  screenshot("1-place-box");
  press("Next");
  clock.advanceSeconds(1.0);
  runner.completion();
  settle();
  EXPECT_EQ(page->currentPage(), CalibrationPage::Step2Box);
  screenshot("4-turn-box");
  press("Start");
  clock.advanceSeconds(1.0);
  runner.error({qv::kScanErrorDomain, 6});
  settle();
  EXPECT_EQ(page->currentPage(), CalibrationPage::Failed);
  screenshot("7-failed");

  press("Try Again");
  press("Calibration Box");
  press("Next");
  clock.advanceSeconds(1.0);
  report(0.7f, "Capturing images");
  press("Cancel");
  EXPECT_EQ(runner.cancels, 1);
  EXPECT_EQ(page->currentPage(), CalibrationPage::ExistingCalibrationType);
  EXPECT_EQ(runner.huds, 1);
}

TEST(CalibrationAnimationTest, DoubleResolutionPicturesFromAPixelRatioOfTwo) {
  EXPECT_EQ(CalibrationAnimationView::resourceFileName("CardFitting.gif", 2.0), "CardFitting@2x.gif");
  EXPECT_EQ(CalibrationAnimationView::resourceFileName("CalibrateStep2Box.gif", 3.0), "CalibrateStep2Box@2x.gif");
  EXPECT_EQ(CalibrationAnimationView::resourceFileName("CardFitting.gif", 1.5), "CardFitting.gif");
}

}  // namespace
}  // namespace qv::screens
