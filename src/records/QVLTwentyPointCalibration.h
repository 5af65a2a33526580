// One view of the calibration target after the camera model has been refined, and its pose helpers.
#pragma once

#include <Eigen/Core>
#include <array>
#include <cstdint>
#include <opencv2/core.hpp>

// The 20 inner corners of the 4 x 5 chessboard, in camera space and in the image, with the
// view's pose and the refined camera model. Camera-space values follow the calibration frame:
// a point (x, y, z) of the vision library's camera frame is kept as (x, -y, -z), in mm.
// The image corners are vectorisable, so a record must sit on a 16-byte boundary.
struct QVLTwentyPointCalibration {
  static constexpr int kCornerCount = 20;

  std::array<Eigen::Vector3d, kCornerCount> checkerboardCoordinates3D;  // mm, calibration frame
  bool found = false;
  float headHeight = 0.0f;        // mm
  std::int32_t headPosition = 0;  // 1 bottom, 2 top, 0 otherwise
  Eigen::Vector3d facePoint;      // centroid of the camera-space corners
  Eigen::Matrix<float, 3, 3, Eigen::RowMajor> rotation;  // the view's rotation matrix
  Eigen::Vector3d rotationVector;                        // the same rotation as a Rodrigues vector
  Eigen::Vector3d translation;                           // mm
  std::array<float, 4> intrinsics{};                     // fx, fy, cx, cy (px)
  std::array<float, 4> distortion{};                     // k1, k2, p1, p2
  std::array<Eigen::Vector2d, kCornerCount> checkerboardCoordinates2D;  // px

  // Every member zero and found false.
  QVLTwentyPointCalibration();

  EIGEN_MAKE_ALIGNED_OPERATOR_NEW
};

// Sets every member of the record to zero and found to false.
void clearCalibrationPoseRecord(QVLTwentyPointCalibration& record);

// The record's rotation vector turned into a 3 x 3 rotation matrix (CV_32FC1) by Rodrigues'
// formula, computed in single precision as the calibration analysis expects.
cv::Mat rotationMatrixFromPoseRecord(const QVLTwentyPointCalibration& record);

// The record's translation as a 3 x 1 single-precision matrix (CV_32FC1).
cv::Mat translationMatrixFromPoseRecord(const QVLTwentyPointCalibration& record);
