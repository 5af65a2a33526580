// The calibration wizard's page over the application core on the simulated scanner, driven by its
// own buttons: a first pass cancelled while a laser is lit, and (slow, run by hand) a whole box
// calibration that ends saved on the scanner. Screenshots of the states the scanner shows. And the
// success notice on a desktop without a notification service.
#include <QApplication>
#include <QPushButton>
#include <QTest>
#include <algorithm>
#include <cstdlib>

#include "CalibrationWizardShots.h"
#include "app/CoreCalibrationRunner.h"
#include "app/CoreLink.h"
#include "app/DesktopNotifier.h"
#include "core/CalibrationOnTheEmulator.h"
#include "screens/widgets/CalibrationWizardPage.h"

namespace qv::test {
namespace {

using screens::CalibrationPage;
using screens::wizardScreenshot;

class CountingNotifier final : public screens::CalibrationNotifier {
public:
  int count = 0;
  void notify(const std::string&, const std::string&) override { ++count; }
};

class WizardOnTheScanner : public CalibrationOnTheEmulator {
protected:
  void SetUp() override {
    CalibrationOnTheEmulator::SetUp();
    if (HasFatalFailure()) return;
    runner_ = std::make_unique<app::CoreCalibrationRunner>(delegate_);
    page_ = std::make_unique<screens::CalibrationWizardPage>(*runner_, &notifier_);
    page_->resize(900, 640);
    page_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(page_.get(), kPatienceMs));
  }
  void TearDown() override { page_.reset(); }

  void press(const QString& title) {
    QPushButton* button = page_->button(title);
    ASSERT_NE(button, nullptr) << title.toStdString();
    ASSERT_TRUE(button->isEnabled()) << title.toStdString();
    QTest::mouseClick(button, Qt::LeftButton);
    QApplication::processEvents();
  }
  // The scanner, the camera and the window all move on while waiting.
  bool run(const std::function<bool()>& done, Duration limit = kPatience) {
    return driveEmulator(*emulator_, done, [] { QApplication::processEvents(); }, limit);
  }
  bool laserLit() const { return emulator_->laser1On() || emulator_->laser2On(); }

  CountingNotifier notifier_;
  std::unique_ptr<app::CoreCalibrationRunner> runner_;
  std::unique_ptr<screens::CalibrationWizardPage> page_;
};

TEST_F(WizardOnTheScanner, ACancelDuringTheFirstPassStopsTheScannerAndReturnsToTheChoice) {
  placeFirstPosition();
  EXPECT_EQ(page_->currentPage(), CalibrationPage::FirstTimeCalibrationType);
  press("Calibration Box");
  press("Next");
  EXPECT_EQ(page_->currentPage(), CalibrationPage::Scan);
  ASSERT_TRUE(run([&] { return laserLit(); }));
  EXPECT_EQ(delegate_->currentAppState(), QVLAppStateCalibrating);
  wizardScreenshot(*page_, "scanner-3-first-pass");

  const std::size_t screens = host_->calls().size();
  press("Cancel");
  ASSERT_TRUE(run([&] { return host_->calls().size() > screens; }));
  EXPECT_EQ(host_->calls().back(), "hud");
  EXPECT_EQ(page_->currentPage(), CalibrationPage::FirstTimeCalibrationType);
  ASSERT_NE(page_->button("Cancel"), nullptr);
  ASSERT_TRUE(run([&] { return !laserLit() && !delegate_->device()->isConnected(); }));
  EXPECT_EQ(delegate_->currentAppState(), QVLAppStateIdle);
  EXPECT_FALSE(delegate_->calibrationControl());
  EXPECT_EQ(notifier_.count, 0);
}

// Quitting while a laser is lit: the program may end only once the scanner has turned it off and
// stopped its motors, and it is told so through the shell's core.
TEST_F(WizardOnTheScanner, AQuitWhileALaserIsLitEndsOnlyOnceTheScannerHasStopped) {
  placeFirstPosition();
  press("Calibration Box");
  press("Next");
  ASSERT_TRUE(run([&] { return laserLit(); }));
  auto core = app::makeAppDelegateCore(delegate_, QVLLaunchOptions{});
  const std::size_t before = emulator_->commands().size();
  core->stopHardwareForQuit();
  bool stopped = false, litAtStop = true;
  std::vector<std::string> heardAtStop;
  core->whenHardwareStopped([&] {
    stopped = true;
    litAtStop = laserLit();
    heardAtStop = emulator_->commands();
  });
  EXPECT_FALSE(stopped);  // the scanner has not answered yet
  ASSERT_TRUE(run([&] { return stopped; }));
  EXPECT_FALSE(litAtStop);
  const std::vector<std::string> sent(heardAtStop.begin() + static_cast<long>(before), heardAtStop.end());
  for (const char* line : {"xk", "yk", "l0"})
    EXPECT_NE(std::find(sent.begin(), sent.end(), line), sent.end()) << line;
  // Asked again (the window closing after the menu's quit, say): no second stop, and no waiting.
  core->stopHardwareForQuit();
  bool again = false;
  core->whenHardwareStopped([&] { again = true; });
  EXPECT_TRUE(again);
  // The cancelled calibration winds down before the delegate goes with this test.
  ASSERT_TRUE(run([&] { return !delegate_->calibrationControl() && delegate_->currentAppState() == QVLAppStateIdle; }));
}

using WizardOnTheScannerSlow = WizardOnTheScanner;

TEST_F(WizardOnTheScannerSlow, AWholeBoxCalibrationFromTheButtonsIsSavedOnTheScanner) {
  placeFirstPosition();
  press("Calibration Box");
  wizardScreenshot(*page_, "scanner-1-place-box");
  press("Next");
  ASSERT_TRUE(run([&] { return page_->currentPage() != CalibrationPage::Scan; }, seconds(1200)));
  ASSERT_EQ(page_->currentPage(), CalibrationPage::Step2Box);
  wizardScreenshot(*page_, "scanner-4-turn-box");

  placeSecondPosition();
  press("Start");
  ASSERT_TRUE(run([&] { return laserLit(); }));
  wizardScreenshot(*page_, "scanner-5-second-pass");
  ASSERT_TRUE(run([&] { return page_->currentPage() != CalibrationPage::Scan; }, seconds(2400)));
  ASSERT_EQ(page_->currentPage(), CalibrationPage::Completed);
  wizardScreenshot(*page_, "scanner-6-completed");
  EXPECT_EQ(notifier_.count, 1);
  EXPECT_TRUE(delegate_->isCalibrated());
  expectTrueCalibrationSaved();

  const std::size_t screens = host_->calls().size();
  press("Done");
  ASSERT_TRUE(run([&] { return host_->calls().size() > screens; }));
  EXPECT_EQ(host_->calls().back(), "hud");
}

// A desktop without a notification service loses the notice, and nothing else.
TEST(DesktopNotifierTest, WithoutASessionBusTheNoticeIsDroppedAndReported) {
  const char* previous = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  const std::string saved = previous ? previous : "";
  ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/quorvel-test-bus", 1);
  EXPECT_FALSE(app::DesktopNotifier::send("Quorvel", "The scanner calibration has completed successfully"));
  if (previous) ::setenv("DBUS_SESSION_BUS_ADDRESS", saved.c_str(), 1);
  else ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
}

}  // namespace
}  // namespace qv::test
