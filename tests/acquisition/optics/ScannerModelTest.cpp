// The ground-truth scanner: projection against OpenCV's camera model, ray directions, poses and
// the calibration it implies.
#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>

#include "sim/optics/ScannerModel.h"

using qv::sim::ScannerDesign;
using qv::sim::ScannerModel;

namespace {

ScannerDesign distorted() {
  ScannerDesign d = ScannerDesign::standard();
  d.k1 = -0.11;
  d.k2 = 0.21;
  d.p1 = -0.0012;
  d.p2 = 0.0009;
  return d;
}

ScannerDesign tilted() {
  ScannerDesign d = ScannerDesign::standard();
  d.cameraRoll_deg = 2.5;
  d.bedTiltAboutX_deg = 3.0;
  d.bedTiltAboutZ_deg = -2.0;
  d.leadScrew_chassis = {0.03, 1.0, 0.02};
  return d;
}

}  // namespace

TEST(ScannerModel, ProjectsAsOpenCVsCameraModelDoes) {
  const ScannerModel model(distorted());
  const double head = 35.0;
  const Eigen::Matrix3d camera_from_world = model.world_from_camera().transpose();
  const Eigen::Vector3d centre = model.cameraCentre_world(head);
  cv::Mat rotation(3, 3, CV_64F);
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) rotation.at<double>(r, c) = camera_from_world(r, c);
  cv::Mat rvec;
  cv::Rodrigues(rotation, rvec);
  const Eigen::Vector3d t = -camera_from_world * centre;
  const cv::Mat tvec = (cv::Mat_<double>(3, 1) << t.x(), t.y(), t.z());
  const ScannerDesign& d = model.design();
  const cv::Mat intrinsic = (cv::Mat_<double>(3, 3) << d.fx, 0, d.cx, 0, d.fy, d.cy, 0, 0, 1);
  const cv::Mat distortion = (cv::Mat_<double>(1, 4) << d.k1, d.k2, d.p1, d.p2);

  std::vector<cv::Point3d> points;
  for (const double x : {-60.0, 0.0, 45.0})
    for (const double y : {0.0, 40.0, 110.0})
      for (const double z : {-50.0, 0.0, 70.0}) points.emplace_back(x, y, z);
  std::vector<cv::Point2d> expected;
  cv::projectPoints(points, rvec, tvec, intrinsic, distortion, expected);
  for (std::size_t i = 0; i < points.size(); ++i) {
    const auto pixel = model.project(Eigen::Vector3d(points[i].x, points[i].y, points[i].z), head);
    ASSERT_TRUE(pixel);
    EXPECT_NEAR(pixel->x(), expected[i].x, 1e-6);
    EXPECT_NEAR(pixel->y(), expected[i].y, 1e-6);
  }
  // Behind the camera nothing is seen.
  EXPECT_FALSE(model.project(centre - 10.0 * model.world_from_camera().col(2), head));
}

TEST(ScannerModel, PixelRaysLeadBackToTheirPixelsThroughTheDistortion) {
  const ScannerModel model(distorted());
  for (const double u : {0.0, 200.5, 640.0, 1100.25, 1279.0}) {
    for (const double v : {0.0, 333.3, 959.0}) {
      const Eigen::Vector3d direction = model.pixelDirection_world(u, v);
      EXPECT_NEAR(direction.norm(), 1.0, 1e-12);
      const auto pixel = model.project(model.cameraCentre_world(0.0) + 250.0 * direction, 0.0);
      ASSERT_TRUE(pixel);
      EXPECT_NEAR(pixel->x(), u, 1e-6);
      EXPECT_NEAR(pixel->y(), v, 1e-6);
    }
  }
}

TEST(ScannerModel, TheHeadCarriesCameraAndLasersAlongTheLeadScrew) {
  const ScannerModel model(tilted());
  const Eigen::Vector3d rise = model.cameraCentre_world(100.0) - model.cameraCentre_world(0.0);
  EXPECT_NEAR((rise - 100.0 * model.leadScrew_world()).norm(), 0.0, 1e-12);
  EXPECT_NEAR(model.leadScrew_world().norm(), 1.0, 1e-12);
  for (int laser = 0; laser < 2; ++laser) {
    const auto low = model.laserPlane_world(laser, 0.0);
    const auto high = model.laserPlane_world(laser, 100.0);
    EXPECT_NEAR((high.emitter - low.emitter - rise).norm(), 0.0, 1e-12);
    EXPECT_EQ(high.normal, low.normal);
  }
  // Both fans aim at the turntable's axis region: the world origin lies close to each plane.
  const ScannerModel ideal(ScannerDesign::ideal());
  for (int laser = 0; laser < 2; ++laser) {
    const auto plane = ideal.laserPlane_world(laser, 0.0);
    EXPECT_NEAR(plane.normal.dot(Eigen::Vector3d::Zero() - plane.emitter), 0.0, 1e-9);
  }
}

TEST(ScannerModel, APositiveBedTurnCarriesThePointOnTheRightTowardsTheCamera) {
  const Eigen::Vector3d right(50.0, 0.0, 0.0);
  const Eigen::Vector3d turned = ScannerModel::world_from_turntable(90.0) * right;
  EXPECT_NEAR((turned - Eigen::Vector3d(0.0, 0.0, 50.0)).norm(), 0.0, 1e-12);
  EXPECT_TRUE(ScannerModel::world_from_turntable(0.0).isIdentity());
}

TEST(ScannerModel, GroundTruthCalibrationDescribesTheModel) {
  for (const ScannerDesign& design : {ScannerDesign::ideal(), ScannerDesign::standard(), tilted()}) {
    const ScannerModel model(design);
    const QVLScannerCalibration c = model.groundTruthCalibration();
    EXPECT_EQ(c.laser1.tag, 2);
    EXPECT_EQ(c.laser2.tag, 3);
    EXPECT_EQ(c.cameraOrigin, Eigen::Vector3d::Zero());
    EXPECT_NEAR(c.bedNormal.norm(), 1.0, 1e-12);
    EXPECT_GT(c.bedNormal.y(), 0.9);
    EXPECT_NEAR(c.leadScrewNormal.norm(), 1.0, 1e-12);
    EXPECT_GT(c.leadScrewNormal.y(), 0.9);
    EXPECT_EQ(c.intrinsics, Eigen::Vector4d(design.fx, design.fy, design.cx, design.cy));

    // Going from world to the calibration frame: the camera frame with y and z reversed.
    const Eigen::Matrix3d calibration_from_world =
        Eigen::Vector3d(1.0, -1.0, -1.0).asDiagonal() * model.world_from_camera().transpose();
    const Eigen::Vector3d camera = model.cameraCentre_world(0.0);
    const QVLLaserPlane* planes[2] = {&c.laser1, &c.laser2};
    for (int laser = 0; laser < 2; ++laser) {
      const QVLLaserPlane& p = *planes[laser];
      EXPECT_LE(p.normal.x(), 0.0);
      EXPECT_EQ(p.origin.y(), 0.0);
      EXPECT_EQ(p.origin.z(), 0.0);
      const auto world = model.laserPlane_world(laser, 0.0);
      const Eigen::Vector3d emitter = calibration_from_world * (world.emitter - camera);
      EXPECT_NEAR(p.normal.dot(p.origin - emitter), 0.0, 1e-9);
      EXPECT_NEAR(std::fabs(p.normal.dot(calibration_from_world * world.normal)), 1.0, 1e-12);
    }
    // The bed origin is the world origin as the camera sees it: straight down the image rows.
    const auto pixel = model.project(Eigen::Vector3d::Zero(), 0.0);
    ASSERT_TRUE(pixel);
    const Eigen::Vector3d o = c.bedOrigin;
    EXPECT_NEAR(design.cx + design.fx * o.x() / -o.z(), pixel->x(), 1e-9);
    EXPECT_NEAR(design.cy - design.fy * o.y() / -o.z(), pixel->y(), 1e-9);
  }
}

TEST(ScannerModel, TheBedFrameDiffersFromTheTurntableFrameOnlyByATurnAboutTheAxis) {
  const Eigen::Matrix3d ideal = ScannerModel(ScannerDesign::ideal()).bed_from_turntable();
  EXPECT_TRUE(ideal.isApprox(Eigen::Matrix3d::Identity(), 1e-12));
  const Eigen::Matrix3d turned = ScannerModel(tilted()).bed_from_turntable();
  EXPECT_NEAR((turned * Eigen::Vector3d::UnitY() - Eigen::Vector3d::UnitY()).norm(), 0.0, 1e-12);
  EXPECT_NEAR(turned.determinant(), 1.0, 1e-12);
  EXPECT_FALSE(turned.isApprox(Eigen::Matrix3d::Identity(), 1e-6));
}
