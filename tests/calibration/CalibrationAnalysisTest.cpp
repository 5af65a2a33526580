// The analysis's parts on exact synthetic data: data files, refinement, the board mapping and the refused fits.
#include <gtest/gtest.h>

#include <opencv2/calib3d.hpp>

#include "CalibrationSimulation.h"
#include "calibration/CalibrationDataFiles.h"
#include "calibration/ScannerCalibrationAnalysis.h"

namespace calibration_test {
namespace {

// Views of the board seen through OpenCV's own projection, turning about a vertical axis at two heights.
std::vector<QVLCalibrationPoints2D> projectedViews(int count, const cv::Mat& cameraMatrix, const cv::Mat& distortion) {
  std::vector<QVLCalibrationPoints2D> views;
  const auto board = BoardObjectPoints();
  for (int k = 0; k < count; ++k) {
    const double yaw = (-50.0 + 100.0 * k / std::max(1, count - 1)) * CV_PI / 180.0;
    const double pitch = (k % 2 ? 15.0 : -10.0) * CV_PI / 180.0;
    cv::Mat rvec = (cv::Mat_<double>(3, 1) << pitch, yaw, 0.02 * k);
    cv::Mat tvec = (cv::Mat_<double>(3, 1) << -15.0 + 3.0 * (k % 3), -20.0 + 10.0 * (k % 2), 280.0 + 4.0 * (k % 4));
    std::vector<cv::Point2f> pixels;
    cv::projectPoints(board, rvec, tvec, cameraMatrix, distortion, pixels);
    QVLCalibrationPoints2D view;
    for (int j = 0; j < 20; ++j) view.checkerboardCoordinates2D[j] = Eigen::Vector2d(pixels[j].x, pixels[j].y);
    view.found = 1.0f;
    view.boxPosition = 1 + k % 2;
    view.headPosition = 1 + (k / 2) % 2;
    views.push_back(view);
  }
  return views;
}

TEST(CalibrationDataFiles, HaveTheirShapesAndTheRefinementRecoversTheCamera) {
  CalibrationFolders folders;
  const cv::Mat camera = (cv::Mat_<double>(3, 3) << 1430.0, 0.0, 641.0, 0.0, 1428.0, 478.0, 0.0, 0.0, 1.0);
  const cv::Mat distortion = (cv::Mat_<double>(1, 5) << -0.05, 0.08, 0.0005, -0.0003, 0.0);
  const auto views = projectedViews(14, camera, distortion);
  const std::string input = (folders.library() / "calData.xml").string();
  const std::string output = (folders.library() / "calData_Results.xml").string();
  ASSERT_TRUE(SaveCheckerboardXmlData(input, views));
  {
    cv::FileStorage storage(input, cv::FileStorage::READ);
    EXPECT_EQ(static_cast<int>(storage["nCams1"]), 14);
    cv::Mat corners;
    storage["cornersMat1"] >> corners;
    EXPECT_EQ(corners.rows, 2);
    EXPECT_EQ(corners.cols, 280);
    EXPECT_EQ(corners.type(), CV_32F);
    EXPECT_FLOAT_EQ(corners.at<float>(1, 20 * 3 + 7), static_cast<float>(views[3].checkerboardCoordinates2D[7].y()));
  }
  const auto summary = RefineCameraCalibration(input, output);
  ASSERT_TRUE(summary);
  CheckerboardResults results;
  ASSERT_TRUE(LoadCheckerboardXmlData(output, results));
  EXPECT_EQ(results.rvecs.rows, 3);
  EXPECT_EQ(results.rvecs.cols, 14);
  EXPECT_EQ(results.tvecs.cols, 14);
  EXPECT_EQ(results.reprojectionErrors.rows, 12);
  EXPECT_EQ(results.objectPoints.size(), 20u);
  EXPECT_EQ(results.distortion.at<double>(0, 4), 0.0);
  EXPECT_EQ(results.reprojectionErrors.at<float>(11, 0), summary->reprojectionError);
  cv::FileStorage storage(output, cv::FileStorage::READ);
  EXPECT_EQ(static_cast<float>(static_cast<double>(storage["rerror"])), summary->reprojectionError);
  // Exact observations: the camera comes back, and the board keeps its pitch.
  EXPECT_LT(summary->reprojectionError, 1e-3);
  EXPECT_NEAR(results.intrinsic.at<double>(0, 0), 1430.0, 0.05);
  EXPECT_NEAR(results.intrinsic.at<double>(1, 2), 478.0, 0.05);
  EXPECT_NEAR(results.distortion.at<double>(0, 0), -0.05, 1e-4);
  ASSERT_EQ(summary->adjustedBoardPitch_mm.size(), 11u);
  EXPECT_NEAR(cv::norm(results.objectPoints[1] - results.objectPoints[0]), 10.0, 1e-3);
}

TEST(CalibrationDataFiles, NoViewsOrNoFileAreReportedFailures) {
  CalibrationFolders folders;
  std::string failure;
  EXPECT_FALSE(SaveCheckerboardXmlData((folders.library() / "calData.xml").string(), {}, &failure));
  EXPECT_FALSE(failure.empty());
  failure.clear();
  EXPECT_FALSE(RefineCameraCalibration((folders.library() / "missing.xml").string(),
                                       (folders.library() / "out.xml").string(), {}, &failure));
  EXPECT_FALSE(failure.empty());
  QVLScannerCalibration result;
  float error = 0.0f;
  EXPECT_FALSE(CalibrateScannerFromCheckerboards({}, (folders.library() / "a.xml").string(),
                                                 (folders.library() / "b.xml").string(), true, result, error, &failure));
}

// Views with no laser points on the board leave no plane to fit: a failure, never a made-up plane.
TEST(CalibrationAnalysis, NoLaserPointsIsAFailureWithAReason) {
  CalibrationFolders folders;
  const cv::Mat camera = (cv::Mat_<double>(3, 3) << 1430.0, 0.0, 641.0, 0.0, 1428.0, 478.0, 0.0, 0.0, 1.0);
  const auto views = projectedViews(12, camera, cv::Mat::zeros(1, 5, CV_64F));
  QVLScannerCalibration result;
  float error = -1.0f;
  std::string failure;
  EXPECT_FALSE(CalibrateScannerFromCheckerboards(views, (folders.library() / "calData.xml").string(),
                                                 (folders.library() / "calData_Results.xml").string(), true, result,
                                                 error, &failure));
  EXPECT_NE(failure.find("laser"), std::string::npos) << failure;
  EXPECT_GE(error, 0.0f);
}

TEST(CalibrationAnalysis, RefusesGeometriesWithoutADefinedAnswer) {
  // A plane containing the first axis has no origin on it.
  std::vector<Eigen::Vector3d> flat;
  for (int i = 0; i < 50; ++i) flat.emplace_back(i - 25.0, 0.0, -250.0 - i);  // the plane y = 0 ... holds the x axis
  for (int i = 0; i < 50; ++i) flat.emplace_back(i - 25.0, 0.0, -300.0 + 0.5 * i);
  QVLLaserPlane plane;
  EXPECT_FALSE(FitLaserPlaneRecord(flat, 2, plane, 0.25f));
  EXPECT_FALSE(FitLaserPlaneRecord({}, 2, plane, 0.25f));
  // No bed normal, or a head travel longer than any vector of the family can be: no lead screw.
  EXPECT_FALSE(ComputeLeadScrewNormal({0, 0, 0}, {0, -76, 0}, Eigen::Vector3d::Zero(), 76.0));
  EXPECT_FALSE(ComputeLeadScrewNormal({0, 0, 0}, {0, 0, 0}, Eigen::Vector3d(1, 0, 0), 0.0) &&
               ComputeLeadScrewNormal({0, 0, 0}, {0, 0, 0}, Eigen::Vector3d(0, 1, 0), -1.0) == std::nullopt);
  // The head's travel straight along the bed normal is found as that normal.
  const auto lead = ComputeLeadScrewNormal({1, 2, -280}, {1, -74, -280}, Eigen::Vector3d(0, 1, 0), 76.0);
  ASSERT_TRUE(lead);
  EXPECT_NEAR((*lead - Eigen::Vector3d(0, 1, 0)).norm(), 0.0, 1e-6);
}

// The bottom head position sees the lower board's axis centre, the top one the upper board's; the
// bed's top lies the lower board's height below the first, along the line through both. The lead
// screw is not the bed axis here, so a formula that goes down the bed normal, or starts from the
// mean of the two centres, misses by millimetres.
TEST(CalibrationAnalysis, TheBedOriginLiesBelowTheLowerBoardAlongTheLineThroughBothBoards) {
  const Eigen::Vector3d axis = Eigen::Vector3d(0.03, 1.0, -0.12).normalized();
  const Eigen::Vector3d lead = Eigen::Vector3d(0.01, 1.0, 0.02).normalized();
  const Eigen::Vector3d bed(5.0, -60.0, -290.0);  // the bed's top on its axis, camera at home
  for (const bool box : {true, false}) {
    const double lower = box ? 37.95 : 45.3;
    const Eigen::Vector3d lowerCentre = bed + lower * axis;
    const Eigen::Vector3d upperCentre = bed + (lower + 135.0) * axis;
    // Seen from a camera raised by the head height along the lead screw.
    const Eigen::Vector3d c1 = lowerCentre - 25.0 * lead;
    const Eigen::Vector3d c2 = upperCentre - 101.0 * lead;
    const auto origin = OffsetAlongAxis(c1, c2, lead, box, 25.0f, 101.0f);
    ASSERT_TRUE(origin);
    EXPECT_LT((*origin - bed).norm(), 1e-4) << (box ? "box" : "card");
  }
  // Both head positions found the same board: no way down the axis is known.
  const Eigen::Vector3d centre = bed + 37.95 * axis;
  EXPECT_FALSE(OffsetAlongAxis(centre - 25.0 * lead, centre - 101.0 * lead, lead, true, 25.0f, 101.0f));
  EXPECT_FALSE(OffsetAlongAxis(centre - 25.0 * lead, centre + 0.9 * axis - 101.0 * lead, lead, true, 25.0f, 101.0f));
}

TEST(CalibrationAnalysis, LaserPointsInsideTheBoardOutlineAreKept) {
  // A board leaning a little: each row 2 px further right. Corner x values are 500 + 50 c + 2 r.
  std::array<Eigen::Vector2d, 20> corners;
  for (int k = 0; k < 20; ++k) corners[k] = Eigen::Vector2d(500.0 + 50.0 * (k % 4) + 2.0 * (k / 4), 300.0 + 50.0 * (k / 4));
  const std::vector<QVSImageLaserPoint> points = {
      {505.0f, 400},  // just inside the side from corner 0 to corner 16 (x 504 there), which the outline
                      // through the diagonals lost; exactly 1.0 px from corners 8 and 12
      {640.0f, 302},  // near the middle of the side from corner 0 to corner 3
      {630.0f, 420},  // well inside
      {700.0f, 400},  // outside
      {602.5f, 420},  // inside, but 0.5 px from corner 6's x (602)
  };
  const auto kept = FilterPointsOnBoard(points, corners);
  ASSERT_EQ(kept.size(), 3u);
  EXPECT_EQ(kept[0], Eigen::Vector2d(505.0, 400.0));
  EXPECT_EQ(kept[1], Eigen::Vector2d(640.0, 302.0));
  EXPECT_EQ(kept[2], Eigen::Vector2d(630.0, 420.0));
}

}  // namespace
}  // namespace calibration_test
