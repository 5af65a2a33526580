// Clearing a twenty-point record and turning its pose into vision-library matrices.
#include "records/QVLTwentyPointCalibration.h"

#include <opencv2/calib3d.hpp>

QVLTwentyPointCalibration::QVLTwentyPointCalibration() {
  for (auto& corner : checkerboardCoordinates3D) corner.setZero();
  facePoint.setZero();
  rotation.setZero();
  rotationVector.setZero();
  translation.setZero();
  for (auto& corner : checkerboardCoordinates2D) corner.setZero();
}

void clearCalibrationPoseRecord(QVLTwentyPointCalibration& record) { record = QVLTwentyPointCalibration(); }

namespace {

cv::Mat columnOfFloats(const Eigen::Vector3d& v) {
  cv::Mat column(3, 1, CV_32FC1);
  for (int i = 0; i < 3; ++i) column.at<float>(i, 0) = static_cast<float>(v[i]);
  return column;
}

}  // namespace

cv::Mat rotationMatrixFromPoseRecord(const QVLTwentyPointCalibration& record) {
  cv::Mat rotation;
  cv::Rodrigues(columnOfFloats(record.rotationVector), rotation);
  return rotation;
}

cv::Mat translationMatrixFromPoseRecord(const QVLTwentyPointCalibration& record) {
  return columnOfFloats(record.translation);
}
