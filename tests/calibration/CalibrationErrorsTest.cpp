// The comparison of a recovered calibration with the truth, which the whole-calibration verdicts rest on.
#include <gtest/gtest.h>

#include <Eigen/Geometry>

#include "sim/calibration/CalibrationErrors.h"
#include "sim/calibration/SimulatedCalibrationScanner.h"

namespace {

using qv::sim::compareWithTruth;

QVLScannerCalibration trueCalibration() {
  return qv::sim::ScannerModel(qv::sim::calibrationScannerDesign()).groundTruthCalibration();
}

TEST(CalibrationErrors, AGeometryTurnedWithItsCameraIsExactInItsOwnFrame) {
  const QVLScannerCalibration truth = trueCalibration();
  QVLScannerCalibration c = truth;
  // The principal point 3 px right and 2 px up: through every pixel the recovered camera draws a
  // ray turned by -3 / fx about the camera's y axis and by -2 / fy about its x axis, and whatever
  // it measures through them turns alike (the calibration frame reverses y and z).
  c.intrinsics[2] += 3.0;
  c.intrinsics[3] -= 2.0;
  const Eigen::Matrix3d inCamera = (Eigen::AngleAxisd(-3.0 / truth.intrinsics[0], Eigen::Vector3d::UnitY()) *
                                    Eigen::AngleAxisd(-2.0 / truth.intrinsics[1], Eigen::Vector3d::UnitX()))
                                       .toRotationMatrix();
  const Eigen::Matrix3d flip = Eigen::Vector3d(1.0, -1.0, -1.0).asDiagonal();
  qv::sim::turnGeometry(c, flip * inCamera * flip);
  const auto compared = compareWithTruth(c, truth);
  // 3 and 2 px at fx ~1430 px: a turn of about sqrt(13) / 1430 rad.
  EXPECT_NEAR(compared.raw.cameraTurn_deg, std::sqrt(13.0) / 1430.0 * 180.0 / M_PI, 0.002);
  EXPECT_GT(compared.raw.worstLaserAngle_deg(), 0.05);
  EXPECT_GT(compared.raw.bedOrigin_mm, 0.3);
  // Left: the difference between a shifted centre and a turn, of the second order in the turn.
  EXPECT_LT(compared.ownFrame.worstLaserAngle_deg(), 1e-3);
  EXPECT_LT(compared.ownFrame.worstLaserOffsetInScanVolume_mm(), 5e-3);
  EXPECT_LT(compared.ownFrame.bedAxis_deg, 1e-3);
  EXPECT_LT(compared.ownFrame.bedOrigin_mm, 5e-3);
  EXPECT_LT(compared.ownFrame.leadScrew_deg, 1e-3);
  // A turn about the camera centre keeps every plane's distance from it.
  EXPECT_LT(compared.raw.worstLaserOffsetAtCamera_mm(), 1e-9);
}

TEST(CalibrationErrors, PlaneOffsetsAreMeasuredWhereTheLasersMeetTheObjectAndTheOriginAcrossTheAxis) {
  const QVLScannerCalibration truth = trueCalibration();
  // The first plane shifted 0.2 mm along its normal: 0.2 mm wherever it is measured.
  QVLScannerCalibration shifted = truth;
  const Eigen::Vector3d n1 = truth.laser1.normal.normalized();
  shifted.laser1.origin += 0.2 / n1.x() * Eigen::Vector3d::UnitX();  // still on the first axis
  auto e = compareWithTruth(shifted, truth).ownFrame;
  EXPECT_NEAR(e.laserOffsetInScanVolume_mm[0], 0.2, 1e-9);
  EXPECT_NEAR(e.laserOffsetAtCamera_mm[0], 0.2, 1e-9);
  EXPECT_LT(e.laserOffsetInScanVolume_mm[1], 1e-12);

  // The second plane turned 0.1 deg about a line through the scan-volume point: nothing moves
  // there, while its distance from the camera centre some 300 mm off moves by about half a mm.
  QVLScannerCalibration turned = truth;
  const Eigen::Vector3d pivot = qv::sim::scanVolumePointOfPlane(truth.laser2, truth);
  const Eigen::Vector3d n2 = truth.laser2.normal.normalized();
  const Eigen::Vector3d axis = n2.cross(pivot).normalized();
  const Eigen::Vector3d normal = Eigen::AngleAxisd(0.1 * M_PI / 180.0, axis) * n2;
  turned.laser2.normal = normal;
  turned.laser2.origin = Eigen::Vector3d(normal.dot(pivot) / normal.x(), 0.0, 0.0);
  e = compareWithTruth(turned, truth).ownFrame;
  EXPECT_NEAR(e.laserAngle_deg[1], 0.1, 1e-6);
  EXPECT_LT(e.laserOffsetInScanVolume_mm[1], 1e-6);
  EXPECT_NEAR(e.laserOffsetAtCamera_mm[1], n2.cross(pivot).norm() * 0.1 * M_PI / 180.0, 1e-3);
  EXPECT_GT(e.laserOffsetAtCamera_mm[1], 0.4);

  // The bed origin 0.3 mm up the axis and 0.1 mm across it.
  QVLScannerCalibration moved = truth;
  const Eigen::Vector3d up = truth.bedNormal.normalized();
  const Eigen::Vector3d across = up.cross(Eigen::Vector3d::UnitX()).normalized();
  moved.bedOrigin += 0.3 * up + 0.1 * across;
  e = compareWithTruth(moved, truth).ownFrame;
  EXPECT_NEAR(e.bedOriginAlong_mm, 0.3, 1e-9);
  EXPECT_NEAR(e.bedOriginAcross_mm, 0.1, 1e-9);
}

}  // namespace
