// A whole scan through the application delegate on the simulated scanner: the real port source,
// device link and interpreter drive the firmware emulator on a pseudo-terminal, and the synthetic
// camera renders what the emulator's bed, head and lasers show. The scan is paused, resumed and
// finished, its stored points checked against the true surface; a second scan is cancelled and the
// scanner must be left with its lasers off and its port closed.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <set>

#include "CoreTestSupport.h"
#include "core/camera/QVLCameraCaptureSession.h"
#include "sim/camera/SyntheticCamera.h"
#include "sim/optics/CylinderObject.h"
#include "sim/scanner/SimulatedScanner.h"
#include "store/QVSDLibrary.h"
#include "store/QVSDPointCloud.h"
#include "store/QVSDScanObject.h"
#include "store/QVSDScanSlice.h"
#include "store/TBCoreDataStoreS1.h"
#include "store/VertexRecords.h"

namespace qv::test {
namespace {

sim::Scene cylinderScene() {
  sim::Scene scene;
  scene.add(std::make_shared<sim::CylinderObject>(25.0, -15.0, 22.0, 60.0, Eigen::Vector3d(0.85, 0.8, 0.72)));
  return scene;
}

struct Outcome {
  bool finished = false, completed = false;
  std::optional<Error> error;
  int updates = 0;
};

class ScanEndToEndTest : public CoreTest {
protected:
  void SetUp() override {
    emulator_ = &plugScanner();
    launch();
    ASSERT_TRUE(advanceUntil([&] { return delegate_->deviceInterpreter() != nullptr; }));
    const sim::Scene scene = cylinderScene();
    sim::SyntheticCamera::Options options;
    options.scene = std::make_shared<const sim::Scene>(scene);
    camera_ = sim::SyntheticCamera::create(sim::poseOf(*emulator_), options);
    delegate_->makeCaptureSession(camera_, std::make_shared<NoInhibitor>());
    // The scanner's perfect calibration, as a calibration of it would leave it.
    sim::SimulatedScanner truth(sim::ScannerModel(sim::ScannerDesign::standard()), cylinderScene(), {});
    delegate_->setCalibrationDetails(truth.calibration());
    scene_ = scene;

    settings_.setValue("EnableAdaptiveScanning", Value(false));
    settings_.setValue("OverrideAutoTuning", Value(true));
    settings_.setValue("CameraNonLaserExposureSetting", Value(std::int64_t{500}));
    settings_.setValue("CameraNonLaserWhitebalanceSetting", Value(std::int64_t{0}));
    settings_.setValue("CameraLaser1ExposureSetting", Value(std::string("50")));
    settings_.setValue("CameraLaser2ExposureSetting", Value(std::string("50")));

    context_ = TBCoreDataStoreS1::privateQueueContext();
    context_->performAndWait([&] {
      auto scan = QVSDScanObject::createScanObjectInLibrary(QVSDLibrary::defaultLibraryInContext(*context_));
      context_->save();
      scanId_ = scan->objectID();
    });
  }

  bool drive(const std::function<bool()>& done, const std::function<void()>& onEachStep = {}) {
    return driveEmulator(*emulator_, done, onEachStep);
  }

  qv::Completion completed(Outcome& o) {
    return [&o] { o.finished = o.completed = true; };
  }
  QVLScan::UpdateCallback updated(Outcome& o) {
    return [&o](std::shared_ptr<QVLStatus>) { ++o.updates; };
  }
  qv::ErrorCallback failed(Outcome& o) {
    return [&o](const Error& e) {
      o.finished = true;
      o.error = e;
    };
  }

  double surfaceDistance(const Eigen::Vector3d& p) const {
    double best = 1e30;
    for (const auto& object : scene_.objects()) best = std::min(best, std::fabs(object->distanceToSurface(p)));
    return best;
  }

  sim::FirmwareEmulator* emulator_ = nullptr;
  std::shared_ptr<sim::SyntheticCamera> camera_;
  sim::Scene scene_;
  qv::ObjectContextPtr context_;
  qv::ObjectID scanId_;
};

TEST_F(ScanEndToEndTest, APausedScanResumesAndItsPointsLieOnTheTrueSurface) {
  Outcome first;
  delegate_->buildScanForScanViewController(scanId_, 45.0f, 0.0f, completed(first), updated(first), failed(first));
  // Pause once a few steps are stored.
  bool paused = false;
  ASSERT_TRUE(drive([&] { return first.finished; },
                    [&] {
                      if (!paused && first.updates >= 6) {
                        delegate_->pauseScanForScanViewController();
                        paused = true;
                      }
                    }));
  ASSERT_TRUE(first.error) << "the scan ended before the pause took effect";
  EXPECT_EQ(first.error->code, QVLScan::kPausedErrorCode) << first.error->text();
  EXPECT_EQ(delegate_->currentAppState(), QVLAppStateIdle);
  const float pausedAt = delegate_->lastKnownPositionX();
  EXPECT_GT(pausedAt, 0.0f);

  Outcome second;
  delegate_->resumeCurrentScanForScanViewController(completed(second), updated(second), failed(second));
  EXPECT_EQ(delegate_->currentAppState(), QVLAppStateScanning);
  EXPECT_NEAR(delegate_->deviceInterpreter()->currentPositionX(), pausedAt, 1e-3);
  ASSERT_TRUE(drive([&] { return second.finished; }));
  ASSERT_TRUE(second.completed) << second.error->text();
  EXPECT_EQ(delegate_->currentAppState(), QVLAppStateIdle);
  EXPECT_FALSE(emulator_->laser1On() || emulator_->laser2On());

  // Every stored point lies on the cylinder or the bed within the triangulation's error at the
  // detector's sub-pixel accuracy; the bed's rim is 90 mm away, where a pixel spans under 0.3 mm.
  std::size_t points = 0, far = 0;
  double sumSquares = 0.0;
  sim::ScannerModel model(sim::ScannerDesign::standard());
  const Eigen::Matrix3d turntable_from_bed = model.bed_from_turntable().transpose();
  std::set<float> angles;
  context_->performAndWait([&] {
    auto scan = QVSDScanObject::scanObjectWithId(scanId_, false, *context_);
    ASSERT_TRUE(scan);
    for (const auto& cloud : QVSDPointCloud::sortedPointCloudsForScanObject(scan)) {
      auto grid = cloud->readSliceGrid(nullptr);
      ASSERT_TRUE(grid);
      const auto slices = QVSDScanSlice::scanSlicesSortedByRotationInPointCloud(cloud);
      for (std::size_t s = 0; s < slices.size(); ++s) {
        angles.insert(static_cast<float>(slices[s]->rotation().value_or(-1.0)));
        for (int r = 0; r < 960; ++r) {
          const QVLSliceVertex& v = (*grid)[s * 960 + r];
          if (!v.hasPoint()) continue;
          const double d = surfaceDistance(turntable_from_bed * Eigen::Vector3d(v.point3DX, v.point3DY, v.point3DZ));
          sumSquares += d * d;
          if (d > 1.0) ++far;
          ++points;
        }
      }
    }
  });
  // One turn in 45-degree steps: eight angles, the one where the pause struck stored only once.
  EXPECT_EQ(angles.size(), 8u);
  EXPECT_GT(points, 500u);
  EXPECT_EQ(far, 0u);
  EXPECT_LT(std::sqrt(sumSquares / std::max<std::size_t>(points, 1)), 0.3);
  delegate_->tidyScanForScanViewController();
  EXPECT_FALSE(delegate_->scanController());
}

TEST_F(ScanEndToEndTest, ACancelledScanLeavesTheLasersOffAndThePortClosed) {
  Outcome outcome;
  delegate_->buildScanForScanViewController(scanId_, 45.0f, 0.0f, completed(outcome), updated(outcome),
                                            failed(outcome));
  bool cancelled = false;
  ASSERT_TRUE(drive([&] { return outcome.finished; },
                    [&] {
                      // Cancel while a laser is on, the worst moment to walk away.
                      if (!cancelled && outcome.updates >= 2 && (emulator_->laser1On() || emulator_->laser2On())) {
                        delegate_->cancelScanForScanViewController();
                        cancelled = true;
                      }
                    }));
  // The cancel also raises the application's pause flag, so the capture in flight may be the one
  // to end the scan (12) before the driver's next step sees the cancel (11).
  ASSERT_TRUE(outcome.error);
  EXPECT_TRUE(outcome.error->code == QVLScan::kCancelledErrorCode || outcome.error->code == QVLScan::kPausedErrorCode)
      << outcome.error->text();
  ASSERT_TRUE(drive([&] { return emulator_->isIdle() && !delegate_->device()->isConnected(); }));
  EXPECT_FALSE(emulator_->laser1On());
  EXPECT_FALSE(emulator_->laser2On());
  EXPECT_FALSE(delegate_->device()->isConnected());
  EXPECT_FALSE(camera_->isRunning());
  EXPECT_EQ(delegate_->currentAppState(), QVLAppStateIdle);
}

}  // namespace
}  // namespace qv::test
