// Board detection on rendered frames: corner positions and order, the single-frame pose, the view averages.
#include <gtest/gtest.h>

#include "CalibrationSimulation.h"
#include "calibration/QVLCalibrationUtil.h"
#include "support/WaitFor.h"

namespace calibration_test {
namespace {

// The true pixel of every inner corner of a board at the scanner's present pose.
std::array<Eigen::Vector2d, 20> trueCorners(const SimulatedCalibrationScanner& scanner, ChessboardTarget::Board board) {
  std::array<Eigen::Vector2d, 20> pixels;
  const Eigen::Matrix3d world_from_turntable = qv::sim::ScannerModel::world_from_turntable(scanner.bedAngle_deg());
  for (int k = 0; k < 20; ++k)
    pixels[k] = *scanner.model().project(world_from_turntable * scanner.target()->corner_turntable(k, board),
                                         scanner.headHeight_mm());
  return pixels;
}

void parkHead(SimulatedCalibrationScanner& scanner, double head) {
  std::atomic<bool> moved{false};
  QVLCalibration* none = nullptr;  // the mechanics do not look at the caller
  scanner.moveHeadByMillimeters(static_cast<float>(head - scanner.headHeight_mm()), *none,
                                [&](float, float) { moved = true; }, nullptr);
  ASSERT_TRUE(qv::runMainQueueUntil([&] { return moved.load(); }, qv::test::kPatience));
}

TEST(BoardDetection, FindsEveryCornerInBoardOrderWithinATenthOfAPixel) {
  for (const auto kind : {ChessboardTarget::Kind::Box, ChessboardTarget::Kind::Card}) {
    for (const double angle : {-50.0, 0.0, 40.0}) {
      SimulatedCalibrationScanner scanner;
      scanner.placeTarget(kind, Eigen::Vector2d(0.0, 15.0), angle);
      for (const double head : {25.0, 101.0}) {
        parkHead(scanner, head);
        // The bottom head position sees only the lower board, the top one only the upper board.
        const auto board = head < 50.0 ? ChessboardTarget::Board::Lower : ChessboardTarget::Board::Upper;
        EXPECT_EQ(scanner.boardInView(), board) << "angle " << angle << " head " << head;
        const auto frames = scanner.renderFrames(100);
        CornerList2f corners;
        ASSERT_TRUE(FindCheckerboardCorners(*frames.off, &corners)) << "angle " << angle << " head " << head;
        // The board search's quick test never turns away a frame that shows the board, noisy or not.
        CornerList2f quick;
        EXPECT_TRUE(FindCheckerboardCorners(*frames.off, &quick, BoardSearch::QuickRejectFirst));
        EXPECT_EQ(quick[7], corners[7]);
        scanner.setNoiseSigma(2.0);
        EXPECT_TRUE(FindCheckerboardCorners(*scanner.renderFrames(100).off, nullptr, BoardSearch::QuickRejectFirst))
            << "angle " << angle << " head " << head;
        scanner.setNoiseSigma(0.0);
        const auto truth = trueCorners(scanner, board);
        // The finder may start from either end of the board; the order is then exactly reversed.
        const bool reversed = (Eigen::Vector2d(corners[0].x, corners[0].y) - truth[19]).norm() <
                              (Eigen::Vector2d(corners[0].x, corners[0].y) - truth[0]).norm();
        double worst = 0.0;
        double squares = 0.0;
        for (int k = 0; k < 20; ++k) {
          const Eigen::Vector2d found(corners[k].x, corners[k].y);
          const double error = (found - truth[reversed ? 19 - k : k]).norm();
          worst = std::max(worst, error);
          squares += error * error;
        }
        // The sub-pixel search with its 7 x 7 window measures these corners to about 0.06 px RMS.
        EXPECT_LT(std::sqrt(squares / 20.0), 0.1) << "angle " << angle << " head " << head;
        EXPECT_LT(worst, 0.2) << "angle " << angle << " head " << head;
      }
    }
  }
}

// The single-frame pose uses the default camera model: on a camera that is that model, a board
// 300 mm away comes out where it is, and a frame without the board leaves everything unwritten.
TEST(BoardDetection, TheSingleFramePoseIsWithinHalfAMillimetreAt300mm) {
  const CameraMatrices defaults;
  qv::sim::ScannerDesign design = qv::sim::calibrationScannerDesign();
  design.fx = defaults.intrinsic.at<double>(0, 0);
  design.fy = defaults.intrinsic.at<double>(1, 1);
  design.cx = defaults.intrinsic.at<double>(0, 2);
  design.cy = defaults.intrinsic.at<double>(1, 2);
  design.k1 = defaults.distortion.at<double>(0, 0);
  design.k2 = defaults.distortion.at<double>(0, 1);
  design.p1 = defaults.distortion.at<double>(0, 2);
  design.p2 = defaults.distortion.at<double>(0, 3);
  SimulatedCalibrationScanner scanner(design);
  scanner.placeTarget(ChessboardTarget::Kind::Box, Eigen::Vector2d(0.0, -10.0), 20.0);
  // The head where the lower board sits near the image centre, where the model's sixth-order term
  // (which the simulated lens lacks) is negligible.
  parkHead(scanner, 0.0);
  ASSERT_EQ(scanner.boardInView(), ChessboardTarget::Board::Lower);
  const auto& model = scanner.model();
  const Eigen::Vector3d camera = model.cameraCentre_world(0.0);
  const double distance = (model.world_from_camera().transpose() * (scanner.target()->corner_turntable(9) - camera)).z();
  ASSERT_NEAR(distance, 300.0, 15.0);

  const auto frames = scanner.renderFrames(100);
  CornerList2f corners;
  CornerList3f points;
  cv::Matx33f rotation;
  cv::Vec3f translation;
  ASSERT_TRUE(GetPointsForImage(*frames.off, corners, points, rotation, translation));
  // The board's centre (where the analysis takes its face point) within 0.5 mm; single corners,
  // whose depth a small board pins down less well, within 1 mm.
  double worst = 0.0;
  Eigen::Vector3d foundCentre = Eigen::Vector3d::Zero();
  Eigen::Vector3d trueCentre = Eigen::Vector3d::Zero();
  for (int k = 0; k < 20; ++k) {
    const Eigen::Vector3d found(points[k].x, points[k].y, points[k].z);
    const Eigen::Vector3d a = model.world_from_camera().transpose() * (scanner.target()->corner_turntable(k) - camera);
    const Eigen::Vector3d b = model.world_from_camera().transpose() * (scanner.target()->corner_turntable(19 - k) - camera);
    worst = std::max(worst, std::min((found - a).norm(), (found - b).norm()));
    foundCentre += found / 20.0;
    trueCentre += a / 20.0;
  }
  EXPECT_LT((foundCentre - trueCentre).norm(), 0.5);
  EXPECT_LT(worst, 1.0);

  scanner.removeTarget();
  const auto empty = scanner.renderFrames(100);
  CornerList2f untouched;
  untouched.fill(cv::Point2f(-7.0f, -7.0f));
  EXPECT_FALSE(GetPointsForImage(*empty.off, untouched, points, rotation, translation));
  EXPECT_EQ(untouched[0], cv::Point2f(-7.0f, -7.0f));
  // A frame cut short is refused before anything is read.
  qv::Data shortFrame(frames.off->begin(), frames.off->begin() + 4096);
  EXPECT_FALSE(FindCheckerboardCorners(shortFrame, &corners));
}

}  // namespace
}  // namespace calibration_test
