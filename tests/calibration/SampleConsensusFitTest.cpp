// Sample-consensus fits: the turntable axis from a tilted ring, laser planes and lines, and their failures.
#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <cmath>
#include <random>
#include <vector>

#include "calibration/SampleConsensusFit.h"

namespace {

// Points of a circle (centre, radius) in the plane of the given normal, then the outliers.
std::vector<float> ringPoints(const Eigen::Vector3d& centre, const Eigen::Vector3d& normal, double radius_mm,
                              int count, const std::vector<Eigen::Vector3d>& outliers = {}) {
  const Eigen::Vector3d n = normal.normalized();
  const Eigen::Vector3d u = n.unitOrthogonal();
  const Eigen::Vector3d v = n.cross(u);
  std::vector<float> points;
  for (const auto& outlier : outliers) {
    for (int k = 0; k < 3; ++k) points.push_back(static_cast<float>(outlier[k]));
  }
  for (int k = 0; k < count; ++k) {
    const double angle = 2.0 * M_PI * k / count + 0.1;
    const Eigen::Vector3d p = centre + radius_mm * (std::cos(angle) * u + std::sin(angle) * v);
    for (int c = 0; c < 3; ++c) points.push_back(static_cast<float>(p[c]));
  }
  return points;
}

Eigen::Vector3d toVector(const float v[3]) { return Eigen::Vector3d(v[0], v[1], v[2]); }

}  // namespace

TEST(FitPlaneAndCircle, FindsTheAxisOfATiltedRingDespiteOutliers) {
  const Eigen::Vector3d centre(12.0, -35.0, 310.0);
  const Eigen::Vector3d normal = Eigen::Vector3d(0.15, 0.97, -0.2).normalized();
  // The first point is an outlier well off the plane: the centre must still lie in the ring's plane.
  const Eigen::Vector3d offPlane = centre + 60.0 * normal.unitOrthogonal() + 25.0 * normal;
  const Eigen::Vector3d farAway = centre + Eigen::Vector3d(200.0, -5.0, 40.0);
  const std::vector<float> points = ringPoints(centre, normal, 85.0, 36, {offPlane, farAway});
  const int count = static_cast<int>(points.size() / 3);

  float fittedCentre[3] = {0, 0, 0};
  float fittedNormal[3] = {0, 0, 0};
  ASSERT_TRUE(FitPlaneAndCircle(points.data(), &count, fittedCentre, fittedNormal, 0.5f));
  EXPECT_LT((toVector(fittedCentre) - centre).norm(), 0.01);
  const Eigen::Vector3d n = toVector(fittedNormal);
  EXPECT_NEAR(n.norm(), 1.0, 1e-5);
  EXPECT_LT((n * (n.dot(normal) < 0 ? -1.0 : 1.0) - normal).norm(), 1e-4);

  // Fixed seeds: the same input gives the same output, bit for bit.
  float again[3];
  float againNormal[3];
  ASSERT_TRUE(FitPlaneAndCircle(points.data(), &count, again, againNormal, 0.5f));
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(again[k], fittedCentre[k]);
    EXPECT_EQ(againNormal[k], fittedNormal[k]);
  }
}

TEST(FitPlaneAndCircle, TheCentreOfANoisyArcRestsOnAllItsPoints) {
  // A calibration sweep: twelve face points 10 degrees apart on an arc of 20 mm about the bed
  // axis, each off by the board pose's 0.02 mm. A centre drawn through three of them strays more
  // than twice as far as one fitted to all twelve.
  std::mt19937_64 random(3);
  std::normal_distribution<double> noise(0.0, 0.02);
  const Eigen::Vector3d centre(5.0, -40.0, -300.0);
  double squares = 0.0;
  const int trials = 100;
  for (int trial = 0; trial < trials; ++trial) {
    std::vector<float> points;
    for (int k = 0; k < 12; ++k) {
      const double a = (-55.0 + 10.0 * k) * M_PI / 180.0;
      const Eigen::Vector3d p = centre + Eigen::Vector3d(20.0 * std::sin(a), 0.0, 20.0 * std::cos(a));
      for (int c = 0; c < 3; ++c) points.push_back(static_cast<float>(p[c] + noise(random)));
    }
    const int count = 12;
    float fitted[3];
    float normal[3];
    ASSERT_TRUE(FitPlaneAndCircle(points.data(), &count, fitted, normal, 0.5f));
    squares += (toVector(fitted) - centre).squaredNorm();
  }
  EXPECT_LT(std::sqrt(squares / trials), 0.08);
}

TEST(FitPlaneAndCircle, ALevelRingNeedsNoRotation) {
  // Every point at the same height: the plane's normal is along y, where the rotation axis vanishes.
  const Eigen::Vector3d centre(-4.0, 120.0, 280.0);
  const std::vector<float> points = ringPoints(centre, Eigen::Vector3d::UnitY(), 60.0, 24);
  const int count = static_cast<int>(points.size() / 3);
  float fittedCentre[3];
  float fittedNormal[3];
  ASSERT_TRUE(FitPlaneAndCircle(points.data(), &count, fittedCentre, fittedNormal, 0.5f));
  for (int k = 0; k < 3; ++k) {
    EXPECT_TRUE(std::isfinite(fittedCentre[k]));
    EXPECT_TRUE(std::isfinite(fittedNormal[k]));
  }
  EXPECT_LT((toVector(fittedCentre) - centre).norm(), 0.01);
  EXPECT_NEAR(std::fabs(fittedNormal[1]), 1.0, 1e-6);
}

TEST(FitPlaneAndCircle, RotationOntoYIsIdentityAlongTheAxisAndExactElsewhere) {
  EXPECT_TRUE(qv::rotationCarryingNormalOntoY(Eigen::Vector3d::UnitY()).isIdentity(0.0));
  EXPECT_TRUE(qv::rotationCarryingNormalOntoY(-Eigen::Vector3d::UnitY()).isIdentity(0.0));
  for (const Eigen::Vector3d& n : {Eigen::Vector3d(0.3, 0.8, -0.2), Eigen::Vector3d(1e-9, 1.0, 0.0),
                                   Eigen::Vector3d(0.2, -0.9, 0.1), Eigen::Vector3d(1.0, 0.0, 0.0)}) {
    const Eigen::Matrix3d r = qv::rotationCarryingNormalOntoY(n.normalized());
    EXPECT_LT((r * n.normalized() - Eigen::Vector3d::UnitY()).norm(), 1e-12) << n.transpose();
    EXPECT_LT((r * r.transpose() - Eigen::Matrix3d::Identity()).norm(), 1e-12);
  }
}

TEST(FitPlaneAndCircle, TooFewPointsFailAndWriteNothing) {
  const std::vector<float> points = {0, 0, 0, 1, 0, 0};
  const int count = 2;
  float centre[3] = {7, 7, 7};
  float normal[3] = {8, 8, 8};
  EXPECT_FALSE(FitPlaneAndCircle(points.data(), &count, centre, normal, 0.5f));
  EXPECT_EQ(centre[0], 7.0f);
  EXPECT_EQ(normal[2], 8.0f);
  EXPECT_FALSE(FitPlaneAndCircle(nullptr, &count, centre, normal, 0.5f));
  EXPECT_FALSE(FitPlaneAndCircle(points.data(), nullptr, centre, normal, 0.5f));
}

TEST(FitPlaneLmedsRansac, FitsALaserPlaneAndReportsIt) {
  const Eigen::Vector3d normal = Eigen::Vector3d(-0.8, 0.1, 0.59).normalized();
  const double d = -42.0;
  const Eigen::Vector3d u = normal.unitOrthogonal();
  const Eigen::Vector3d v = normal.cross(u);
  std::mt19937 random(5);
  std::uniform_real_distribution<double> spread(-40.0, 40.0);
  std::normal_distribution<double> noise(0.0, 0.02);
  std::vector<Eigen::Vector3d> points;
  for (int k = 0; k < 300; ++k) {
    points.push_back(-d * normal + spread(random) * u + spread(random) * v + noise(random) * normal);
  }
  for (int k = 0; k < 30; ++k) points.push_back(-d * normal + spread(random) * u + (5.0 + k) * normal);

  std::array<double, 3> fitted{};
  float offset = 0.0f;
  testing::internal::CaptureStdout();
  ASSERT_TRUE(FitPlaneLmedsRansac(points, fitted, offset, 0.25f));
  const std::string report = testing::internal::GetCapturedStdout();
  EXPECT_NE(report.find("***************LMEDS results**********************"), std::string::npos);
  EXPECT_NE(report.find("Total points: 330"), std::string::npos);
  EXPECT_NE(report.find("***************RANSAC results**********************"), std::string::npos);
  EXPECT_NE(report.find("status after laser plane calculation 1"), std::string::npos);

  Eigen::Vector3d n(fitted[0], fitted[1], fitted[2]);
  const double sign = n.dot(normal) < 0 ? -1.0 : 1.0;
  EXPECT_LT((sign * n - normal).norm(), 2e-3);
  EXPECT_NEAR(sign * offset, d, 0.05);
}

TEST(FitPlaneLmedsRansac, NoPlaneMeansFailureWithTheOutputsUntouched) {
  // Collinear points: every sample is degenerate, so the least-median fit finds no plane.
  std::vector<Eigen::Vector3d> points;
  for (int k = 0; k < 10; ++k) points.emplace_back(k, 2.0 * k, -k);
  std::array<double, 3> normal{5.0, 5.0, 5.0};
  float offset = 9.0f;
  testing::internal::CaptureStdout();
  EXPECT_FALSE(FitPlaneLmedsRansac(points, normal, offset, 0.25f));
  testing::internal::CaptureStderr();
  EXPECT_FALSE(FitPlaneLmedsRansac({}, normal, offset, 0.25f));
  testing::internal::GetCapturedStderr();
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(normal[0], 5.0);
  EXPECT_EQ(offset, 9.0f);
}

TEST(FitLaserPlaneAndLine, FitThePlaneAndTheLineTheyAreGiven) {
  std::vector<Eigen::Vector3d> planePoints;
  for (int a = 0; a < 10; ++a) {
    for (int b = 0; b < 10; ++b) planePoints.emplace_back(a, b, 0.5 * a - 0.25 * b + 3.0);
  }
  planePoints.emplace_back(4.0, 4.0, 40.0);
  const float extra[3] = {20.0f, 0.0f, 13.0f};
  float plane[4] = {0, 0, 0, 0};
  testing::internal::CaptureStdout();
  ASSERT_TRUE(FitLaserPlane(planePoints, extra, plane, 0.1f));
  Eigen::Vector4d p(plane[0], plane[1], plane[2], plane[3]);
  p /= -p[2];  // as z = αx + βy + γ
  EXPECT_NEAR(p[0], 0.5, 1e-4);
  EXPECT_NEAR(p[1], -0.25, 1e-4);
  EXPECT_NEAR(p[3], 3.0, 1e-3);

  std::vector<Eigen::Vector3d> linePoints;
  const Eigen::Vector3d origin(1.0, -2.0, 5.0);
  const Eigen::Vector3d direction = Eigen::Vector3d(2.0, 1.0, -0.5).normalized();
  for (int k = 0; k < 40; ++k) linePoints.push_back(origin + (k - 20) * 0.7 * direction);
  linePoints.emplace_back(30.0, 30.0, 30.0);
  float point[3];
  float fittedDirection[3];
  ASSERT_TRUE(FitLaserLine(linePoints, point, fittedDirection, 0.05f));
  const std::string report = testing::internal::GetCapturedStdout();
  EXPECT_NE(report.find("Optimized laser line coefficients"), std::string::npos);
  const Eigen::Vector3d dir = toVector(fittedDirection).normalized();
  EXPECT_NEAR(std::fabs(dir.dot(direction)), 1.0, 1e-6);
  const Eigen::Vector3d offset = toVector(point) - origin;
  EXPECT_LT((offset - offset.dot(direction) * direction).norm(), 1e-3);

  float untouched[4] = {1, 2, 3, 4};
  testing::internal::CaptureStdout();
  EXPECT_FALSE(FitLaserPlane({}, extra, untouched, 0.1f));
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(untouched[3], 4.0f);
}
