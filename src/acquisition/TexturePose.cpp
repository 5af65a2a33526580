// Texture photograph poses and file names.
#include "acquisition/TexturePose.h"

#include <Eigen/Geometry>
#include <charconv>
#include <cmath>

#include "records/QVSCalibrationDetails.h"

namespace qv {

std::optional<TextureCameraPose> textureCameraPose(const QVSCalibrationDetails& calibration, double headHeight_mm,
                                                   double yaw_deg, Error* error) {
  const Eigen::Vector3d bedNormal = calibration.bedNormal();
  const double length = bedNormal.norm();
  const auto levelling = bedFromCameraRotation(bedNormal);
  if (!(length > 0.0) || !std::isfinite(length) || !levelling) {
    if (error) *error = Error(kScanErrorDomain, QVSCalibrationDetails::kNoBedFrameErrorCode,
                              "The calibration has no bed normal to place the texture camera by");
    return std::nullopt;
  }
  TextureCameraPose pose;
  pose.position = calibration.cameraOrigin() + headHeight_mm * calibration.leadScrewNormal() - calibration.bedOrigin();
  pose.normal = calibration.cameraNormal();
  pose.up = calibration.cameraUp();
  const Eigen::Matrix3d yaw = Eigen::AngleAxisd(yaw_deg / 180.0 * M_PI, bedNormal / length).toRotationMatrix();
  const Eigen::Matrix3d turn = *levelling * yaw;
  pose.position = turn * pose.position;
  pose.normal = turn * pose.normal;
  pose.up = turn * pose.up;
  return pose;
}

std::string fixedDecimals(double value, int decimals) {
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
  return std::string(buffer, result.ptr);
}

std::string textureFileName(const std::string& identifier, float headHeight_mm, float bedRotation_deg) {
  return "Texture." + identifier + "." + fixedDecimals(headHeight_mm, 1) + "_" + fixedDecimals(bedRotation_deg, 0) +
         ".png";
}

}  // namespace qv
