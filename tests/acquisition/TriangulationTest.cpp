// Triangulation on a hand-made calibration: levelling, rays, planes, the bed frame, the scanning
// area and the conversion of a frame's points, including the cases that must give no point.
#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <cmath>
#include <limits>

#include "acquisition/LaserPointConversion.h"
#include "acquisition/ScannerGeometry.h"

namespace {

const double kAngle30 = M_PI / 6.0;

// A camera 100 mm above the bed centre and 300 mm in front of it, looking straight ahead (-z in
// the calibration frame); two laser planes through the bed axis at 30 degrees either side of the
// camera's view.
QVLScannerCalibration handCalibration() {
  QVLScannerCalibration c;
  c.intrinsics = Eigen::Vector4d(1400.0, 1390.0, 640.0, 480.0);
  c.bedNormal = Eigen::Vector3d(0.0, 3.0, 0.0);  // not unit on purpose
  c.bedOrigin = Eigen::Vector3d(0.0, -100.0, -300.0);
  c.leadScrewNormal = Eigen::Vector3d(0.0, 1.0, 0.0);
  c.cameraOrigin = Eigen::Vector3d::Zero();
  c.laser1.tag = 2;
  c.laser1.normal = Eigen::Vector3d(-std::cos(kAngle30), 0.0, -std::sin(kAngle30));
  c.laser1.origin = Eigen::Vector3d(-300.0 * std::tan(kAngle30), 0.0, 0.0);
  c.laser2.tag = 3;
  c.laser2.normal = Eigen::Vector3d(-std::cos(kAngle30), 0.0, std::sin(kAngle30)) * 2.0;
  c.laser2.origin = Eigen::Vector3d(300.0 * std::tan(kAngle30), 0.0, 0.0);
  return c;
}

void expectNear(const Eigen::Vector3d& actual, const Eigen::Vector3d& expected, double tolerance) {
  EXPECT_LT((actual - expected).norm(), tolerance) << "actual (" << actual.transpose() << ") expected ("
                                                   << expected.transpose() << ")";
}

}  // namespace

TEST(ScannerGeometry, HoldsUnitVectorsAndTheCameraModel) {
  const ScannerGeometry g = ScannerGeometryFromCalibration(handCalibration(), 12.5f);
  expectNear(g.bedNormal, Eigen::Vector3d::UnitY(), 1e-15);
  EXPECT_NEAR(g.laser2Normal.norm(), 1.0, 1e-15);
  EXPECT_EQ(g.headHeight, 12.5f);
  EXPECT_EQ(g.cx, 640.0f);
  EXPECT_EQ(g.cy, 480.0f);
  EXPECT_EQ(g.fx, 1400.0f);
  EXPECT_FLOAT_EQ(g.focalRatio, 1400.0f / 1390.0f);
  EXPECT_EQ(g.pixelScale, 1.0f);
  const Eigen::Vector3d ray = PixelToCameraRay(g, 700.0, 400.0);
  expectNear(ray, Eigen::Vector3d(60.0, 80.0 * (1400.0 / 1390.0), -1400.0), 1e-4);
}

TEST(ScannerGeometry, ABedNormalAlongPlusYNeedsNoLevelling) {
  const ScannerGeometry g = ScannerGeometryFromCalibration(handCalibration(), 0.0f);
  EXPECT_TRUE(g.levellingAxis.allFinite());
  EXPECT_EQ(g.levellingAngle, 0.0);
  EXPECT_TRUE(g.levelling.isApprox(Eigen::Matrix3d::Identity()));
  expectNear(g.levelledBedOrigin, g.bedOrigin, 1e-12);
  // So points come out as numbers, not dropped.
  Eigen::Vector3d point;
  Eigen::Vector3d normal;
  ASSERT_TRUE(TriangulateLaserPixel(g, 640.0, 480.0, 2, 0.0f, point, normal));
  EXPECT_TRUE(point.allFinite());
}

TEST(ScannerGeometry, ABedNormalAlongMinusYIsTurnedHalfARound) {
  QVLScannerCalibration c = handCalibration();
  c.bedNormal = Eigen::Vector3d(0.0, -1.0, 0.0);
  const ScannerGeometry g = ScannerGeometryFromCalibration(c, 0.0f);
  expectNear(g.levelling * g.bedNormal, Eigen::Vector3d::UnitY(), 1e-12);
}

TEST(ScannerGeometry, LevellingTurnsATiltedBedNormalOntoPlusYByTheSmallestRotation) {
  QVLScannerCalibration c = handCalibration();
  c.bedNormal = Eigen::Vector3d(0.3, 0.9, -0.2);
  const ScannerGeometry g = ScannerGeometryFromCalibration(c, 0.0f);
  expectNear(g.levelling * g.bedNormal, Eigen::Vector3d::UnitY(), 1e-12);
  // The axis lies in the horizontal plane, so nothing turns about +y.
  EXPECT_NEAR(g.levellingAxis.y(), 0.0, 1e-15);
  EXPECT_NEAR(g.levellingAngle, std::acos(g.bedNormal.y()), 1e-15);
  // At bed angle 0 the bed frame is the levelling rotation about the bed origin, the origin at 0.
  const Eigen::Vector3d p(12.0, -40.0, -250.0);
  expectNear(CameraToBedFrame(g, p, 0.0f), g.levelling * (p - c.bedOrigin), 1e-9);
  expectNear(CameraToBedFrame(g, c.bedOrigin, 1.3f), Eigen::Vector3d::Zero(), 1e-9);
}

TEST(ScannerGeometry, TheBedAngleTurnsBackAboutTheBedNormal) {
  const ScannerGeometry g = ScannerGeometryFromCalibration(handCalibration(), 0.0f);
  // A point 50 mm in front of the axis (towards the camera), seen at a bed angle of 90 degrees.
  const Eigen::Vector3d seen = handCalibration().bedOrigin + Eigen::Vector3d(0.0, 0.0, 50.0);
  const Eigen::Vector3d bed = CameraToBedFrame(g, seen, static_cast<float>(M_PI / 2.0));
  expectNear(bed, Eigen::AngleAxisd(M_PI / 2.0, Eigen::Vector3d::UnitY()) * Eigen::Vector3d(0.0, 0.0, 50.0), 1e-5);
  expectNear(bed, Eigen::Vector3d(50.0, 0.0, 0.0), 1e-5);
}

TEST(RayPlane, MeetsThePlaneAheadOnly) {
  const Eigen::Vector3d origin(0.0, 0.0, 0.0);
  const Eigen::Vector3d planePoint(0.0, 0.0, -300.0);
  const Eigen::Vector3d normal(0.0, 0.0, 1.0);
  const auto hit = IntersectRayWithPlane(Eigen::Vector3d(1.0, 2.0, -10.0), origin, planePoint, normal);
  ASSERT_TRUE(hit);
  expectNear(*hit, Eigen::Vector3d(30.0, 60.0, -300.0), 1e-3);
  // Parallel to the plane: no point, not (0, 0, 0).
  EXPECT_FALSE(IntersectRayWithPlane(Eigen::Vector3d(1.0, 2.0, 0.0), origin, planePoint, normal));
  EXPECT_FALSE(IntersectRayWithPlane(Eigen::Vector3d(1.0, 0.0, 1e-9), origin, planePoint, normal));
  // The plane lies behind the ray.
  EXPECT_FALSE(IntersectRayWithPlane(Eigen::Vector3d(0.0, 0.0, 10.0), origin, planePoint, normal));
}

TEST(TriangulateLaserPixel, UsesThePlaneOfItsLaserNumber) {
  const ScannerGeometry g = ScannerGeometryFromCalibration(handCalibration(), 0.0f);
  Eigen::Vector3d point;
  Eigen::Vector3d normal;
  // The centre pixel looks at the bed axis 100 mm above the bed, where both planes cross it.
  ASSERT_TRUE(TriangulateLaserPixel(g, 640.0, 480.0, 2, 0.0f, point, normal));
  expectNear(point, Eigen::Vector3d(0.0, 100.0, 0.0), 1e-4);
  ASSERT_TRUE(TriangulateLaserPixel(g, 640.0, 480.0, 3, 0.0f, point, normal));
  expectNear(point, Eigen::Vector3d(0.0, 100.0, 0.0), 1e-4);
  // Off centre the two planes give different points: right of the centre, laser 1's plane is
  // met beyond the axis (-z in the bed frame), laser 2's before it.
  Eigen::Vector3d first;
  Eigen::Vector3d second;
  ASSERT_TRUE(TriangulateLaserPixel(g, 740.0, 480.0, 2, 0.0f, first, normal));
  ASSERT_TRUE(TriangulateLaserPixel(g, 740.0, 480.0, 3, 0.0f, second, normal));
  EXPECT_NEAR(first.z(), 300.0 - 1400.0 * 300.0 / (1400.0 - 100.0 / std::tan(kAngle30)), 1e-3);
  EXPECT_NEAR(second.z(), 300.0 - 1400.0 * 300.0 / (1400.0 + 100.0 / std::tan(kAngle30)), 1e-3);
  EXPECT_GT(first.x(), 0.0);
  EXPECT_GT(second.x(), 0.0);
}

TEST(TriangulateLaserPixel, OtherLaserNumbersGiveNoPointAndWriteNothing) {
  const ScannerGeometry g = ScannerGeometryFromCalibration(handCalibration(), 0.0f);
  Eigen::Vector3d point(7.0, 7.0, 7.0);
  Eigen::Vector3d normal(8.0, 8.0, 8.0);
  for (const int laser : {0, 1, 4, -2}) {
    EXPECT_FALSE(TriangulateLaserPixel(g, 640.0, 480.0, laser, 0.0f, point, normal)) << laser;
    EXPECT_EQ(point, Eigen::Vector3d(7.0, 7.0, 7.0));
    EXPECT_EQ(normal, Eigen::Vector3d(8.0, 8.0, 8.0));
  }
}

TEST(TriangulateLaserPixel, ARayAlongTheLaserPlaneOrMeetingItBehindGivesNoPoint) {
  QVLScannerCalibration c = handCalibration();
  c.laser1.normal = Eigen::Vector3d(-1.0, 0.0, 0.0);  // the plane x = 0 holds the centre column's rays
  c.laser1.origin = Eigen::Vector3d::Zero();
  c.laser2.normal = Eigen::Vector3d(0.0, 0.0, 1.0);   // a plane behind the camera
  c.laser2.origin = Eigen::Vector3d(0.0, 0.0, 50.0);
  const ScannerGeometry g = ScannerGeometryFromCalibration(c, 0.0f);
  Eigen::Vector3d point(7.0, 7.0, 7.0);
  Eigen::Vector3d normal;
  EXPECT_FALSE(TriangulateLaserPixel(g, 640.0, 300.0, 2, 0.0f, point, normal));
  EXPECT_FALSE(TriangulateLaserPixel(g, 700.0, 300.0, 3, 0.0f, point, normal));
  EXPECT_EQ(point, Eigen::Vector3d(7.0, 7.0, 7.0));
}

TEST(TriangulateLaserPixel, TheHeadHeightMovesThePointAlongTheLeadScrew) {
  QVLScannerCalibration c = handCalibration();
  c.leadScrewNormal = Eigen::Vector3d(0.0, 2.0, 0.2);
  Eigen::Vector3d low;
  Eigen::Vector3d high;
  Eigen::Vector3d normal;
  ASSERT_TRUE(TriangulateLaserPixel(ScannerGeometryFromCalibration(c, 0.0f), 700.0, 300.0, 2, 0.0f, low, normal));
  ASSERT_TRUE(TriangulateLaserPixel(ScannerGeometryFromCalibration(c, 80.0f), 700.0, 300.0, 2, 0.0f, high, normal));
  expectNear(high - low, 80.0 * c.leadScrewNormal.normalized(), 1e-4);
}

TEST(TriangulateLaserPixel, TheNormalPointsFromTheLaserOriginToThePoint) {
  const ScannerGeometry g = ScannerGeometryFromCalibration(handCalibration(), 30.0f);
  Eigen::Vector3d point;
  Eigen::Vector3d normal;
  // The centre pixel meets laser 2's plane on the bed axis, 100 mm up, then the head's 30 mm
  // raise it to (0, 130, 0) in the bed frame. The laser's origin, 300 tan 30 mm beside the
  // camera (bed frame (173.2, 100, 300)), is not raised with it.
  ASSERT_TRUE(TriangulateLaserPixel(g, 640.0, 480.0, 3, 0.0f, point, normal));
  expectNear(point, Eigen::Vector3d(0.0, 130.0, 0.0), 1e-3);
  const double along = std::hypot(173.20508, 300.0);  // the laser's distance to the axis, 346.41 mm
  expectNear(normal, Eigen::Vector3d(-173.20508, 30.0, -300.0) / std::hypot(along, 30.0), 1e-6);
}

TEST(ScanningArea, IsAStrictCylinderOf90mmAndAMillimetreBelowTheBed) {
  EXPECT_TRUE(qv::isPointInsideScanningArea(Eigen::Vector3d(0.0, 0.0, 0.0)));
  EXPECT_FALSE(qv::isPointInsideScanningArea(Eigen::Vector3d(90.0, 10.0, 0.0)));
  EXPECT_FALSE(qv::isPointInsideScanningArea(Eigen::Vector3d(0.0, 10.0, -90.0)));
  EXPECT_TRUE(qv::isPointInsideScanningArea(Eigen::Vector3d(89.99, 10.0, 0.0)));
  EXPECT_TRUE(qv::isPointInsideScanningArea(Eigen::Vector3d(60.0, 10.0, 60.0)));
  EXPECT_FALSE(qv::isPointInsideScanningArea(Eigen::Vector3d(64.0, 10.0, 64.0)));
  EXPECT_TRUE(qv::isPointInsideScanningArea(Eigen::Vector3d(10.0, -1.0, 0.0)));
  EXPECT_FALSE(qv::isPointInsideScanningArea(Eigen::Vector3d(10.0, -1.001, 0.0)));
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_FALSE(qv::isPointInsideScanningArea(Eigen::Vector3d(nan, nan, nan)));
}

TEST(ConvertPoints, KeepsPointsInsideTheAreaInOrderWithTheirImageValues) {
  const QVLScannerCalibration c = handCalibration();
  std::vector<QVSImageLaserPoint> points;
  points.emplace_back(640.0f, 480, qv::Colour{0.25, 0.5, 0.75, 1.0}, 0.6f);
  points.emplace_back(1279.0f, 10);  // far off to the side: outside the 90 mm cylinder
  points.emplace_back(700.0f, 500, std::nullopt, 0.2f);
  const auto converted = qv::convertTo3dPoints(&c, points, 2, 0.0f, 0.0f, 0.0f);
  ASSERT_EQ(converted.size(), 2u);
  const QVLPoint3D& a = converted[0];
  EXPECT_EQ(a.point2DX, 640.0f);
  EXPECT_EQ(a.point2DY, 480.0f);
  EXPECT_NEAR(a.point3DX, 0.0f, 1e-4f);
  EXPECT_NEAR(a.point3DY, 100.0f, 1e-4f);
  EXPECT_NEAR(a.point3DZ, 0.0f, 1e-4f);
  EXPECT_FLOAT_EQ(a.colourRed, 0.25f);
  EXPECT_FLOAT_EQ(a.colourGreen, 0.5f);
  EXPECT_FLOAT_EQ(a.colourBlue, 0.75f);
  EXPECT_FLOAT_EQ(a.laserBrightness, 0.6f);
  EXPECT_NEAR(std::hypot(a.normalX, a.normalY, a.normalZ), 1.0f, 1e-6f);
  EXPECT_EQ(converted[1].point2DX, 700.0f);
  EXPECT_EQ(converted[1].colourRed, 0.0f);
  // At angle 0 the unwrapped depth is the depth.
  EXPECT_EQ(converted[1].unwrappedPointZ, converted[1].point3DZ);
}

TEST(ConvertPoints, TriangulatesAtTheScansBedRotationAndUnwrapsByTheFrameAngle) {
  const QVLScannerCalibration c = handCalibration();
  const std::vector<QVSImageLaserPoint> points{QVSImageLaserPoint(700.0f, 520)};
  const auto straight = qv::convertTo3dPoints(&c, points, 3, 0.0f, 0.0f, 40.0f);
  const auto turned = qv::convertTo3dPoints(&c, points, 3, 90.0f, 90.0f, 40.0f);
  ASSERT_EQ(straight.size(), 1u);
  ASSERT_EQ(turned.size(), 1u);
  // A quarter turn of the bed about +y: (x, y, z) seen at 0 is (-z, y, x) seen at 90 ... back.
  EXPECT_NEAR(turned[0].point3DX, straight[0].point3DZ, 1e-3f);
  EXPECT_NEAR(turned[0].point3DY, straight[0].point3DY, 1e-3f);
  EXPECT_NEAR(turned[0].point3DZ, -straight[0].point3DX, 1e-3f);
  // Unwrapping by the frame's own angle undoes the turn.
  EXPECT_NEAR(turned[0].unwrappedPointZ, straight[0].point3DZ, 1e-3f);
  // The head height is the scan's current one.
  const auto raised = qv::convertTo3dPoints(&c, points, 3, 0.0f, 0.0f, 50.0f);
  ASSERT_EQ(raised.size(), 1u);
  EXPECT_NEAR(raised[0].point3DY - straight[0].point3DY, 10.0f, 1e-3f);
}

TEST(ConvertPoints, NoCalibrationOrAnUnknownLaserGivesNoPoints) {
  const std::vector<QVSImageLaserPoint> points{QVSImageLaserPoint(640.0f, 480), QVSImageLaserPoint(700.0f, 500)};
  EXPECT_TRUE(qv::convertTo3dPoints(nullptr, points, 2, 0.0f, 0.0f, 0.0f).empty());
  const QVLScannerCalibration zero;
  EXPECT_TRUE(qv::convertTo3dPoints(&zero, points, 2, 0.0f, 0.0f, 0.0f).empty());
  const QVLScannerCalibration c = handCalibration();
  EXPECT_TRUE(qv::convertTo3dPoints(&c, points, 1, 0.0f, 0.0f, 0.0f).empty());
  EXPECT_TRUE(qv::convertTo3dPoints(&c, points, 4, 0.0f, 0.0f, 0.0f).empty());
  EXPECT_EQ(qv::convertTo3dPoints(&c, points, 2, 0.0f, 0.0f, 0.0f).size(), 2u);
}

TEST(PixelSize, IsTheFieldOfViewAtThatDistanceOverTheWidth) {
  EXPECT_FLOAT_EQ(PixelSizeAtDistance(1280.0f, 90.0f, 640.0f), 1.0f);
  EXPECT_NEAR(PixelSizeAtDistance(1000.0f, 60.0f, 300.0f), 0.34641016, 1e-6);  // 346.41 mm across 1000 px
}
