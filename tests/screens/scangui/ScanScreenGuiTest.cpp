// A scan from the window on the simulated scanner, under a virtual X server: the real delegate,
// port source, device link and interpreter drive the firmware emulator, the synthetic camera
// renders what it shows, and the desktop program's scan screen starts the scan, shows its points
// growing, pauses, resumes, finishes and saves it as a qvk file, which then opens in the viewer.
#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QTest>
#include <chrono>
#include <cstdlib>

#include "app/DesktopApplication.h"
#include "app/ViewerPage.h"
#include "core/QVLAppDelegate.h"
#include "core/CoreTestSupport.h"
#include "platform/Queue.h"
#include "screens/ScreensTestSupport.h"
#include "screens/Screenshots.h"
#include "screens/widgets/ScanScreenWidget.h"
#include "sim/camera/SyntheticCamera.h"
#include "sim/firmware/FirmwareEmulator.h"
#include "sim/optics/CylinderObject.h"
#include "sim/scanner/SimulatedScanner.h"
#include "store/QVSDScanObject.h"
#include "store/TBCoreDataStoreS1.h"
#include "support/ManualClockScope.h"
#include "support/SimulatorTest.h"
#include "support/TempFolder.h"
#include "support/WaitFor.h"
#include "viewer/ui/QVLObjectSceneView.h"

namespace qv::app {
namespace {

using qv::screens::ScanScreenPresenter;
using qv::screens::ScreenKind;

// The store, the logs and the crash reports of this program go to folders of its own.
const bool kPrivateFolders = [] {
  static qv::test::TempFolder* state = new qv::test::TempFolder;
  ::setenv("XDG_STATE_HOME", (state->path() / "state").c_str(), 1);
  ::setenv("XDG_DATA_HOME", (state->path() / "data").c_str(), 1);
  std::atexit([] { delete state; });
  return true;
}();

using qv::test::NoInhibitor;

sim::Scene cylinderScene() {
  sim::Scene scene;
  scene.add(std::make_shared<sim::CylinderObject>(25.0, -15.0, 22.0, 60.0, Eigen::Vector3d(0.85, 0.45, 0.3)));
  return scene;
}

class ScanScreenGuiTest : public qv::test::SimulatorTest {
protected:
  ScanScreenGuiTest() : settings_(settingsFolder_.path() / "Settings.json") { (void)kPrivateFolders; }
  ~ScanScreenGuiTest() override {
    app_.reset();
    delegate_.reset();
    emulator_.reset();
    TBCoreDataStoreS1::privateQueueContext()->performAndWait([] {});
    qv::drainMainQueue();
  }

  void SetUp() override {
    sim::FirmwareEmulator::Options options;
    options.folder = simFolder();
    emulator_ = sim::FirmwareEmulator::plugIn(options);
    manager_ = ORSSerialPortManager::create({source_});
    ASSERT_TRUE(qv::test::waitFor([&] {
      for (const auto& port : manager_->availablePorts())
        if (port->path() == emulator_->path()) return true;
      return false;
    }));
    settings_.setValue("CheckForUpdatesOnStartup", Value(false));
    settings_.setValue("EnableAdaptiveScanning", Value(false));
    settings_.setValue("OverrideAutoTuning", Value(true));
    settings_.setValue("CameraNonLaserExposureSetting", Value(std::int64_t{500}));
    settings_.setValue("CameraNonLaserWhitebalanceSetting", Value(std::int64_t{0}));
    settings_.setValue("CameraLaser1ExposureSetting", Value(std::string("50")));
    settings_.setValue("CameraLaser2ExposureSetting", Value(std::string("50")));
    settings_.setValue("ScanRotationInDegrees", Value(90.0));
    settings_.setValue("NSNavLastRootDirectory", Value(files_.path().string()));

    QVLAppEnvironment environment;
    environment.portManager = manager_;
    environment.settings = &settings_;
    delegate_ = QVLAppDelegate::create(environment);
    QVLLaunchOptions launch;
    launch.setUpLogging = false;
    launch.crashFolder = settingsFolder_.path() / "Crashes";
    DesktopApplication::Options app;
    app.settings = &settings_;
    app.core = makeAppDelegateCore(delegate_, launch);
    app.singleInstance = false;
    app.dialogs = &dialogs_;
    app_ = std::make_unique<DesktopApplication>(std::move(app));
    app_->window().resize(1200, 800);
    app_->launch({});
    ASSERT_TRUE(pump([&] { return delegate_->deviceInterpreter() != nullptr; }));

    sim::SyntheticCamera::Options camera;
    camera.scene = std::make_shared<const sim::Scene>(cylinderScene());
    camera_ = sim::SyntheticCamera::create(sim::poseOf(*emulator_), camera);
    delegate_->makeCaptureSession(camera_, std::make_shared<NoInhibitor>());
    sim::SimulatedScanner truth(sim::ScannerModel(sim::ScannerDesign::standard()), cylinderScene(), {});
    delegate_->setCalibrationDetails(truth.calibration());
  }

  // Runs Qt's events and the main queue until `done`; while the emulator has nothing to do the
  // manual clock moves on by `step_s`, never faster than the emulator answers.
  bool pump(const std::function<bool()>& done, double step_s = 1.0 / 30.0, std::chrono::seconds limit = qv::test::kPatience) {
    const auto end = std::chrono::steady_clock::now() + limit;
    auto last = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() < end) {
      QApplication::processEvents();
      qv::drainMainQueue();
      if (done()) return true;
      const auto now = std::chrono::steady_clock::now();
      if (now - last > std::chrono::milliseconds(2) && emulator_->isIdle()) {
        clock_.clock()->advance(seconds(step_s));
        last = now;
      }
    }
    return done();
  }

  qv::screens::ScanScreenWidget* scanPage() {
    return qobject_cast<qv::screens::ScanScreenWidget*>(app_->window().page(ScreenKind::Scan));
  }

  void screenshot(const QString& name) { qv::test::keepScreenshot(app_->window(), name); }

  void click(QAbstractButton* button) {
    ASSERT_TRUE(button);
    ASSERT_TRUE(button->isVisible()) << button->text().toStdString() << " hidden:" << button->isHidden()
                                     << " window:" << app_->window().isVisible() << " page:" << scanPage()->isVisible();
    QTest::mouseClick(button, Qt::LeftButton);
  }

  qv::test::ManualClockScope clock_;
  qv::test::TempFolder settingsFolder_, files_;
  Settings settings_;
  std::unique_ptr<sim::FirmwareEmulator> emulator_;
  std::shared_ptr<ORSSerialPortManager> manager_;
  std::shared_ptr<QVLAppDelegate> delegate_;
  std::shared_ptr<sim::SyntheticCamera> camera_;
  qv::screens::test::AnsweringDialogs dialogs_;
  std::unique_ptr<DesktopApplication> app_;
};

TEST_F(ScanScreenGuiTest, AScanStartedFromTheWindowGrowsPausesResumesAndOpensInTheViewerOnceSaved) {
  auto& window = app_->window();
  // With no fixed step the quality choice comes first.
  app_->coordinator().showScanScreen();
  ASSERT_TRUE(pump([&] { return window.isShown(ScreenKind::Scan) && scanPage(); }));
  auto* page = scanPage();
  auto& presenter = page->presenter();
  // The switching's own start follows the page; with no fixed step it does nothing.
  clock_.advanceSeconds(0.5);
  EXPECT_TRUE(presenter.controls().startView);
  screenshot("scan-0-quality");

  // A fixed step of 90 degrees starts at once.
  settings_.setValue("OverrideScanRotationAndHeight", Value(true));
  window.scanScreen()->resetView();
  window.scanScreen()->startScan();
  auto points = [&] { return presenter.preview().numberOfPoints(presenter.preview().setToDisplay()); };
  ASSERT_TRUE(pump([&] { return points() > 0; })) << "no points reached the preview";
  const std::size_t early = points();
  // The camera's pictures in the right panel, opened by hand (it starts closed).
  ASSERT_TRUE(pump([&] { return presenter.controls().details; }));
  click(page->button(ScanScreenPresenter::kDetailsMenuTag));
  ASSERT_TRUE(pump([&] { return presenter.isRightPanelOpen(); }));
  screenshot("scan-1-first-points");

  click(page->button(ScanScreenPresenter::kPauseMenuTag));
  ASSERT_TRUE(pump([&] { return presenter.controls().play; })) << presenter.controls().status;
  EXPECT_EQ(presenter.controls().status, "Scan paused");
  const std::size_t paused = points();
  EXPECT_GE(paused, early);
  screenshot("scan-2-paused");

  click(page->button(ScanScreenPresenter::kPlayMenuTag));
  ASSERT_TRUE(pump([&] { return points() > paused && presenter.controls().pause; }));
  ASSERT_TRUE(pump([&] { return presenter.controls().finish; }))
      << presenter.controls().status;
  EXPECT_FLOAT_EQ(presenter.controls().progress, 1.0f);
  EXPECT_GT(points(), paused);
  screenshot("scan-3-complete");

  // Saved as a qvk file in the folder last used, under the first free name.
  std::string offered;
  page->setSaveChooser([&](const std::string& name, const std::filesystem::path& folder, auto done) {
    offered = name;
    done((folder / (name + ".qvk")).string());
  });
  click(page->button(ScanScreenPresenter::kFinishMenuTag));
  EXPECT_TRUE(presenter.controls().saveOverlay);
  screenshot("scan-4-save");
  const auto scan = presenter.scanObjectID();
  ASSERT_TRUE(scan);
  click(page->saveButton());
  ASSERT_TRUE(pump([&] { return window.isShown(ScreenKind::Viewer); }));
  EXPECT_EQ(offered, "Scan");
  const auto file = files_.path() / "Scan.qvk";
  EXPECT_TRUE(std::filesystem::exists(file));
  EXPECT_GT(std::filesystem::file_size(file), 1000u);
  const auto recent = app_->coordinator().recentScans();
  ASSERT_FALSE(recent.empty());
  EXPECT_EQ(recent.front().title, file.string());
  EXPECT_TRUE(recent.front().scan == *scan);
  EXPECT_TRUE(dialogs_.alerts.empty()) << dialogs_.alerts.front().message;
  // The viewer shows the saved scan's points.
  ASSERT_TRUE(pump([&] {
    auto* viewer = app_->viewerPage() ? app_->viewerPage()->view() : nullptr;
    return viewer && !viewer->pointCountLabel()->text().isEmpty();
  }));
  // A fresh scan hides none of its points: its vertex data hold each point once.
  const QString label = app_->viewerPage()->view()->pointCountLabel()->text();
  EXPECT_TRUE(label.startsWith("Displaying ") && !label.contains(" of ")) << label.toStdString();
  QTest::qWait(600);  // the loading notice fades out
  screenshot("scan-5-viewer");
}

}  // namespace
}  // namespace qv::app

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  QApplication application(argc, argv);
  return RUN_ALL_TESTS();
}
