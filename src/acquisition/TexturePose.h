// The camera pose of a texture photograph in the bed-aligned frame.
#pragma once

#include <Eigen/Core>
#include <optional>
#include <string>

#include "platform/Error.h"

class QVSCalibrationDetails;

namespace qv {

struct TextureCameraPose {
  Eigen::Vector3d position = Eigen::Vector3d::Zero();
  Eigen::Vector3d normal = Eigen::Vector3d::Zero();
  Eigen::Vector3d up = Eigen::Vector3d::Zero();
};

// The camera at a head height, relative to the bed origin, turned by the yaw (degrees, right-hand
// about the bed normal), then levelled so that the bed normal points along +y (no levelling for a
// normal already along +y). Nothing, with an error, for a bed normal that is zero or not finite.
std::optional<TextureCameraPose> textureCameraPose(const QVSCalibrationDetails& calibration, double headHeight_mm,
                                                   double yaw_deg, Error* error = nullptr);

// The photograph's file name: "Texture.<identifier>.<head, one decimal>_<angle, no decimals>.png",
// numbers written without regard to the user's locale.
std::string textureFileName(const std::string& identifier, float headHeight_mm, float bedRotation_deg);

// A number with a fixed count of decimals, as printf's "%.Nf" in the C locale writes it.
std::string fixedDecimals(double value, int decimals);

}  // namespace qv
