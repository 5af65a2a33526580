// The manual scan screen's page under the virtual X server on the simulated scanner: connect and
// home, take pictures with each laser, see the accepted laser points painted on the filtered
// frame, move the head and turn the bed, switch on high contrast, and hand over to the scan with
// the settings chosen. Screenshots are kept as test output.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QPushButton>
#include <QTest>
#include <QTextBrowser>
#include <chrono>
#include <filesystem>

#include "CoreTestSupport.h"
#include "core/camera/QVLCameraCaptureSession.h"
#include "platform/Paths.h"
#include "screens/AdvancedScanCoreDelegate.h"
#include "screens/Screenshots.h"
#include "screens/widgets/AdvancedScanPage.h"
#include "screens/widgets/SharedControls.h"
#include "sim/camera/SyntheticCamera.h"
#include "sim/optics/CylinderObject.h"
#include "sim/scanner/SimulatedScanner.h"

namespace qv::test {
namespace {

using qv::screens::AdvancedScanButton;
using qv::screens::AdvancedScanField;

sim::Scene cylinderScene() {
  sim::Scene scene;
  scene.add(std::make_shared<sim::CylinderObject>(25.0, -15.0, 22.0, 60.0, Eigen::Vector3d(0.85, 0.8, 0.72)));
  return scene;
}

// Pixels of the painted laser runs (dark red) in a frame of blue, green, red, alpha bytes.
std::size_t paintedRunPixels(const qv::Data& frame) {
  std::size_t count = 0;
  for (std::size_t at = 0; at + 3 < frame.size(); at += 4)
    if (frame[at] == 0x22 && frame[at + 1] == 0x22 && frame[at + 2] == 0xAA) ++count;
  return count;
}

std::size_t darkRedPixels(const QImage& image) {
  std::size_t count = 0;
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x)
      if (image.pixel(x, y) == qRgb(0xAA, 0x22, 0x22)) ++count;
  return count;
}

class AdvancedScanGuiTest : public CoreTest {
protected:
  void SetUp() override {
    emulator_ = &plugScanner();
    launch();
    ASSERT_TRUE(advanceUntil([&] { return delegate_->deviceInterpreter() != nullptr; }));
    sim::SyntheticCamera::Options options;
    options.scene = std::make_shared<const sim::Scene>(cylinderScene());
    camera_ = sim::SyntheticCamera::create(sim::poseOf(*emulator_), options);
    delegate_->makeCaptureSession(camera_, std::make_shared<NoInhibitor>());
    sim::SimulatedScanner truth(sim::ScannerModel(sim::ScannerDesign::standard()), cylinderScene(), {});
    delegate_->setCalibrationDetails(truth.calibration());
    // The test's own resource folder holds the firmware image; the summary page comes beside it.
    std::filesystem::copy_file(QUORVEL_SOURCE_RESOURCES "/ScanSummaryTemplate.html",
                               qv::paths::resourceFolder() / "ScanSummaryTemplate.html",
                               std::filesystem::copy_options::overwrite_existing);
    settings_.setValue("EnableColourScans", Value(true));
    settings_.setValue("CameraLaser1ExposureSetting", Value(std::string("300")));
    settings_.setValue("CameraLaser2ExposureSetting", Value(std::string("300")));
    auto core = std::make_shared<qv::screens::AdvancedScanCoreDelegate>(
        delegate_, [this] { ++returnedHome_; }, [this] { ++scanScreens_; });
    page_ = std::make_unique<qv::screens::AdvancedScanPage>(core, settings_);
    page_->resize(1280, 860);
    page_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(page_.get(), kPatienceMs));
    page_->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(page_.get(), kPatienceMs));
  }
  void TearDown() override { page_.reset(); }

  qv::screens::AdvancedScanPresenter& screen() { return page_->presenter(); }

  // Runs the main queue and Qt's events until `done`, moving the manual clock on a frame at a
  // time while the emulator has nothing to do, never faster than it answers.
  bool drive(const std::function<bool()>& done) {
    auto last = std::chrono::steady_clock::now();
    return runMainQueueUntil(
        [&] {
          QApplication::processEvents();
          if (done()) return true;
          const auto now = std::chrono::steady_clock::now();
          if (now - last > std::chrono::milliseconds(2) && emulator_->isIdle()) {
            clock_.clock()->advance(seconds(1.0 / 30.0));
            last = now;
          }
          return false;
        },
        kPatience);
  }
  void click(QWidget* widget) {
    ASSERT_TRUE(widget->isEnabled()) << widget->objectName().toStdString();
    QTest::mouseClick(widget, Qt::LeftButton);
    QApplication::processEvents();
  }
  bool idle() { return screen().currentState() <= qv::screens::AdvancedScanPresenter::kStateIdle; }
  void screenshot(const QString& name) { keepScreenshot(*page_, "advanced-scan-" + name); }

  sim::FirmwareEmulator* emulator_ = nullptr;
  std::shared_ptr<sim::SyntheticCamera> camera_;
  std::unique_ptr<qv::screens::AdvancedScanPage> page_;
  int returnedHome_ = 0, scanScreens_ = 0;
};

TEST_F(AdvancedScanGuiTest, TakesPicturesMovesAndStartsAScanOnTheSimulatedScanner) {
  page_->connectAndMonitorScanner();
  ASSERT_TRUE(drive([&] { return screen().isMonitoring(); }));
  EXPECT_FALSE(page_->button(AdvancedScanButton::Down)->isEnabled());

  // Editing laser 1 takes the colour picture and one picture per laser, then analyses them.
  click(page_->field(AdvancedScanField::Laser1Exposure));
  ASSERT_EQ(screen().imageToDisplay(), 2);
  ASSERT_TRUE(drive([&] {
    return screen().filteredImageData() && screen().displayImage(0) && screen().displayImage(1) &&
           screen().displayImage(2) && screen().displayImage(5);
  }));
  ASSERT_EQ(screen().analysisSummaries().size(), 1u);
  const QVLAdvancedScanResult& summary = screen().analysisSummaries().begin()->second;
  EXPECT_GT(summary.numberOfLaser1Points, 20);
  EXPECT_GT(summary.numberOfLaser2Points, 20);
  EXPECT_GT(summary.averageLaser1Width, 0.0f);
  EXPECT_GT(paintedRunPixels(*screen().filteredImageData()), 100u);
  EXPECT_TRUE(page_->summary()->toPlainText().contains("Number of points"));
  EXPECT_FALSE(page_->summary()->toPlainText().contains("[Laser1Content]"));
  screenshot("1-laser-1");

  // The filtered picture in the large view shows the painted points.
  click(page_->thumbnail(5));
  EXPECT_EQ(screen().selectedImageIndex(), 5u);
  EXPECT_TRUE(page_->thumbnail(5)->isHighlighted());
  EXPECT_GT(darkRedPixels(page_->largeImage()->picture()), 100u);
  screenshot("2-laser-points");
  click(page_->thumbnail(2));
  EXPECT_EQ(screen().selectedImageIndex(), 2u);
  screenshot("3-laser-2");

  // Head up one step, then the bed a step to the left; pictures come again afterwards.
  click(page_->button(AdvancedScanButton::Up));
  ASSERT_TRUE(drive([&] { return idle() && screen().currentHeadHeight() > 0.0f; }));
  EXPECT_FLOAT_EQ(screen().currentHeadHeight(), 37.0f);
  EXPECT_NEAR(delegate_->deviceInterpreter()->currentPositionY(), 37.0f, 1e-3);
  EXPECT_TRUE(page_->button(AdvancedScanButton::Down)->isEnabled());
  const float angle = delegate_->deviceInterpreter()->currentPositionX();
  click(page_->button(AdvancedScanButton::Left));
  ASSERT_TRUE(drive([&] { return idle() && page_->button(AdvancedScanButton::Left)->isEnabled(); }));
  EXPECT_NEAR(delegate_->deviceInterpreter()->currentPositionX() - angle, 5.0f, 1e-3);
  ASSERT_TRUE(drive([&] { return screen().displayImage(1) && screen().displayImage(2) && screen().displayImage(5); }));
  screenshot("4-after-moves");

  // High contrast: two exposures per laser, the alternate pictures in thumbnails 4 and 5.
  QCheckBox* highContrast = page_->findChild<QCheckBox*>("EnableHighContrastScanning");
  ASSERT_TRUE(highContrast);
  highContrast->click();
  QApplication::processEvents();
  EXPECT_TRUE(screen().enableHighContrastScanning());
  ASSERT_TRUE(drive([&] { return page_->field(AdvancedScanField::Laser1AlternateExposure)->isVisible(); }));
  QTest::mouseClick(page_->field(AdvancedScanField::Laser1AlternateExposure), Qt::LeftButton);
  page_->field(AdvancedScanField::Laser1AlternateExposure)->selectAll();
  QTest::keyClicks(page_->field(AdvancedScanField::Laser1AlternateExposure), "1000");
  QTest::keyClick(page_->field(AdvancedScanField::Laser1AlternateExposure), Qt::Key_Return);
  EXPECT_EQ(screen().value(AdvancedScanField::Laser2AlternateExposure), 1000);  // locked: laser 2 follows
  ASSERT_TRUE(drive([&] {
    const auto& alternate = screen().laser1AlternateScanResultSet();
    return alternate && alternate->exposure == 1000 && screen().displayImage(3) && screen().displayImage(4) &&
           screen().displayImage(5);
  }));
  EXPECT_EQ(screen().analysisSummaries().count("300 1000 300 1000"), 1u);
  EXPECT_TRUE(page_->thumbnail(3)->isVisible());
  screenshot("5-high-contrast");

  // Start: the head goes home, the scanner is released and the settings are handed to the scan.
  click(page_->button(AdvancedScanButton::Start));
  ASSERT_TRUE(drive([&] { return scanScreens_ == 1; }));
  EXPECT_FALSE(screen().isMonitoring());
  EXPECT_NEAR(delegate_->deviceInterpreter()->currentPositionY(), 0.0f, 1e-3);
  EXPECT_FALSE(emulator_->laser1On() || emulator_->laser2On());
  EXPECT_TRUE(settings_.boolForKey("OverrideAutoTuning"));
  EXPECT_EQ(settings_.stringForKey("CameraLaser1ExposureSetting"), "300,1000");
  EXPECT_TRUE(settings_.boolForKey("EnableHighContrastScanning"));
  EXPECT_EQ(returnedHome_, 0);
}

}  // namespace
}  // namespace qv::test

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  QApplication application(argc, argv);
  return RUN_ALL_TESTS();
}
