// The application's calibration record: one scanner's geometry, camera model and identifier.
#pragma once

#include <Eigen/Core>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/Error.h"
#include "platform/Value.h"
#include "records/QVLScannerCalibration.h"

class QVLICalibrationDetails;

// Geometry is in the scanner's camera-centred frame in millimetres (the camera at the origin
// looking along -Z, +Y up, laser 1 to the left): the vision library's camera frame (x right,
// y down, z forward) with y and z reversed, so a camera-space point (x, y, z) is kept as
// (x, -y, -z). Intrinsics are pixels of the 1280 x 960 image.
// Values are kept as floats and computed with in double precision. Normals are meant as unit
// vectors; the record does not normalise them. A record is filled right after it is made and
// not changed afterwards, so it is shared as a const object and needs no lock.
class QVSCalibrationDetails {
public:
  // The error code (in qv::kScanErrorDomain) of a bed-aligned copy asked of a record whose bed
  // normal is zero or not finite: such a record has no bed frame.
  static constexpr int kNoBedFrameErrorCode = 20;

  // Camera looking along -Z with +Y up at the origin, the two lasers' nominal origins, every
  // other value 0 and no identifier.
  QVSCalibrationDetails() = default;

  // The record of a calibration read from a scanner: its 29 values and identifier. The scanner
  // stores no camera pose, so camera normal, origin and up keep their defaults. Nothing when
  // given nothing.
  static std::shared_ptr<QVSCalibrationDetails> calibrationDetailsFromDeviceCalibration(
      const QVLICalibrationDetails* device);

  // The reader of the JSON text form. Nothing when the text is not a JSON object. Members read
  // are the identifier and every value but camera normal and up, which keep their defaults (the
  // stored files rely on that). An absent member, null, a boolean, an array, an object, or a
  // number that no float can hold all read as 0; text reads as its leading decimal number.
  static std::shared_ptr<QVSCalibrationDetails> calibrationDetailsFromJsonString(std::string_view text);

  // The JSON text form, pretty-printed: "CalibrationVersion" 2, "UniqueId" (the identifier, or a
  // fresh upper-case UUID when it is none or empty, not kept) and the 38 values under their
  // capitalised names. A value that is not finite is written as null.
  std::string jsonString() const;

  // The dictionary form: the 38 values under their property names and "uniqueId" (null when
  // there is none); no version and no fresh identifier. Values that are not finite are null.
  qv::Dictionary jsonDictionary() const;

  // The plain structure triangulation works from, every value widened to double.
  QVLScannerCalibration scannerCalibration() const;

  // The same calibration in the bed frame: +Y along the bed normal, origin at the bed origin.
  // Points move by one rigid motion, directions are rotated and made unit length, the camera
  // model is copied and the identifier is not. Nothing (and the error kNoBedFrameErrorCode)
  // when the bed normal is zero or not finite.
  std::shared_ptr<QVSCalibrationDetails> calibrationAdjustedToBedOrientation(qv::Error* error = nullptr) const;

  // Each group of three values as a vector of doubles; read-only views of the float storage.
  Eigen::Vector3d cameraNormal() const { return {cameraNormalX_, cameraNormalY_, cameraNormalZ_}; }
  Eigen::Vector3d cameraOrigin() const { return {cameraOriginX_, cameraOriginY_, cameraOriginZ_}; }
  Eigen::Vector3d cameraUp() const { return {cameraUpX_, cameraUpY_, cameraUpZ_}; }
  Eigen::Vector3d bedNormal() const { return {bedNormalX_, bedNormalY_, bedNormalZ_}; }
  Eigen::Vector3d bedOrigin() const { return {bedOriginX_, bedOriginY_, bedOriginZ_}; }
  Eigen::Vector3d laser1Normal() const { return {laser1NormalX_, laser1NormalY_, laser1NormalZ_}; }
  Eigen::Vector3d laser1Origin() const { return {laser1OriginX_, laser1OriginY_, laser1OriginZ_}; }
  Eigen::Vector3d laser2Normal() const { return {laser2NormalX_, laser2NormalY_, laser2NormalZ_}; }
  Eigen::Vector3d laser2Origin() const { return {laser2OriginX_, laser2OriginY_, laser2OriginZ_}; }
  Eigen::Vector3d leadScrewNormal() const {
    return {leadScrewNormalX_, leadScrewNormalY_, leadScrewNormalZ_};
  }

  float cameraNormalX() const { return cameraNormalX_; }
  void setCameraNormalX(float value) { cameraNormalX_ = value; }
  float cameraNormalY() const { return cameraNormalY_; }
  void setCameraNormalY(float value) { cameraNormalY_ = value; }
  float cameraNormalZ() const { return cameraNormalZ_; }
  void setCameraNormalZ(float value) { cameraNormalZ_ = value; }
  float cameraOriginX() const { return cameraOriginX_; }
  void setCameraOriginX(float value) { cameraOriginX_ = value; }
  float cameraOriginY() const { return cameraOriginY_; }
  void setCameraOriginY(float value) { cameraOriginY_ = value; }
  float cameraOriginZ() const { return cameraOriginZ_; }
  void setCameraOriginZ(float value) { cameraOriginZ_ = value; }
  float cameraUpX() const { return cameraUpX_; }
  void setCameraUpX(float value) { cameraUpX_ = value; }
  float cameraUpY() const { return cameraUpY_; }
  void setCameraUpY(float value) { cameraUpY_ = value; }
  float cameraUpZ() const { return cameraUpZ_; }
  void setCameraUpZ(float value) { cameraUpZ_ = value; }
  float bedNormalX() const { return bedNormalX_; }
  void setBedNormalX(float value) { bedNormalX_ = value; }
  float bedNormalY() const { return bedNormalY_; }
  void setBedNormalY(float value) { bedNormalY_ = value; }
  float bedNormalZ() const { return bedNormalZ_; }
  void setBedNormalZ(float value) { bedNormalZ_ = value; }
  float bedOriginX() const { return bedOriginX_; }
  void setBedOriginX(float value) { bedOriginX_ = value; }
  float bedOriginY() const { return bedOriginY_; }
  void setBedOriginY(float value) { bedOriginY_ = value; }
  float bedOriginZ() const { return bedOriginZ_; }
  void setBedOriginZ(float value) { bedOriginZ_ = value; }
  float distortion0() const { return distortion0_; }
  void setDistortion0(float value) { distortion0_ = value; }
  float distortion1() const { return distortion1_; }
  void setDistortion1(float value) { distortion1_ = value; }
  float distortion2() const { return distortion2_; }
  void setDistortion2(float value) { distortion2_ = value; }
  float distortion3() const { return distortion3_; }
  void setDistortion3(float value) { distortion3_ = value; }
  float intrinsicCX() const { return intrinsicCX_; }
  void setIntrinsicCX(float value) { intrinsicCX_ = value; }
  float intrinsicCY() const { return intrinsicCY_; }
  void setIntrinsicCY(float value) { intrinsicCY_ = value; }
  float intrinsicFX() const { return intrinsicFX_; }
  void setIntrinsicFX(float value) { intrinsicFX_ = value; }
  float intrinsicFY() const { return intrinsicFY_; }
  void setIntrinsicFY(float value) { intrinsicFY_ = value; }
  float laser1NormalX() const { return laser1NormalX_; }
  void setLaser1NormalX(float value) { laser1NormalX_ = value; }
  float laser1NormalY() const { return laser1NormalY_; }
  void setLaser1NormalY(float value) { laser1NormalY_ = value; }
  float laser1NormalZ() const { return laser1NormalZ_; }
  void setLaser1NormalZ(float value) { laser1NormalZ_ = value; }
  float laser1OriginX() const { return laser1OriginX_; }
  void setLaser1OriginX(float value) { laser1OriginX_ = value; }
  float laser1OriginY() const { return laser1OriginY_; }
  void setLaser1OriginY(float value) { laser1OriginY_ = value; }
  float laser1OriginZ() const { return laser1OriginZ_; }
  void setLaser1OriginZ(float value) { laser1OriginZ_ = value; }
  float laser2NormalX() const { return laser2NormalX_; }
  void setLaser2NormalX(float value) { laser2NormalX_ = value; }
  float laser2NormalY() const { return laser2NormalY_; }
  void setLaser2NormalY(float value) { laser2NormalY_ = value; }
  float laser2NormalZ() const { return laser2NormalZ_; }
  void setLaser2NormalZ(float value) { laser2NormalZ_ = value; }
  float laser2OriginX() const { return laser2OriginX_; }
  void setLaser2OriginX(float value) { laser2OriginX_ = value; }
  float laser2OriginY() const { return laser2OriginY_; }
  void setLaser2OriginY(float value) { laser2OriginY_ = value; }
  float laser2OriginZ() const { return laser2OriginZ_; }
  void setLaser2OriginZ(float value) { laser2OriginZ_ = value; }
  float leadScrewNormalX() const { return leadScrewNormalX_; }
  void setLeadScrewNormalX(float value) { leadScrewNormalX_ = value; }
  float leadScrewNormalY() const { return leadScrewNormalY_; }
  void setLeadScrewNormalY(float value) { leadScrewNormalY_ = value; }
  float leadScrewNormalZ() const { return leadScrewNormalZ_; }
  void setLeadScrewNormalZ(float value) { leadScrewNormalZ_ = value; }

  // The identifier of the scanner the calibration belongs to (canonical upper-case UUID).
  const std::optional<std::string>& uniqueId() const { return uniqueId_; }
  void setUniqueId(std::optional<std::string> uniqueId) { uniqueId_ = std::move(uniqueId); }

private:
  float cameraNormalX_ = 0.0f;
  float cameraNormalY_ = 0.0f;
  float cameraNormalZ_ = -1.0f;
  float cameraOriginX_ = 0.0f;
  float cameraOriginY_ = 0.0f;
  float cameraOriginZ_ = 0.0f;
  float cameraUpX_ = 0.0f;
  float cameraUpY_ = 1.0f;
  float cameraUpZ_ = 0.0f;
  float bedNormalX_ = 0.0f;
  float bedNormalY_ = 0.0f;
  float bedNormalZ_ = 0.0f;
  float bedOriginX_ = 0.0f;
  float bedOriginY_ = 0.0f;
  float bedOriginZ_ = 0.0f;
  float distortion0_ = 0.0f;
  float distortion1_ = 0.0f;
  float distortion2_ = 0.0f;
  float distortion3_ = 0.0f;
  float intrinsicCX_ = 0.0f;
  float intrinsicCY_ = 0.0f;
  float intrinsicFX_ = 0.0f;
  float intrinsicFY_ = 0.0f;
  float laser1NormalX_ = 0.0f;
  float laser1NormalY_ = 0.0f;
  float laser1NormalZ_ = 0.0f;
  float laser1OriginX_ = -66.7249f;
  float laser1OriginY_ = 0.0f;
  float laser1OriginZ_ = -7.085746f;
  float laser2NormalX_ = 0.0f;
  float laser2NormalY_ = 0.0f;
  float laser2NormalZ_ = 0.0f;
  float laser2OriginX_ = 32.53269f;
  float laser2OriginY_ = 0.0f;
  float laser2OriginZ_ = 3.3051884f;
  float leadScrewNormalX_ = 0.0f;
  float leadScrewNormalY_ = 0.0f;
  float leadScrewNormalZ_ = 0.0f;
  std::optional<std::string> uniqueId_;
};

// R * p - t: a point moved by the bed-aligning motion (rotation about the scanner origin, then
// the shift that brings the bed origin onto the origin).
Eigen::Vector3d TransformCalibrationPoint(const Eigen::Vector3d& point, const Eigen::Matrix3d& rotation,
                                          const Eigen::Vector3d& translation);

// R * v made unit length; a zero direction stays zero rather than becoming not-a-number.
Eigen::Vector3d TransformCalibrationDirection(const Eigen::Vector3d& direction, const Eigen::Matrix3d& rotation);

namespace qv {

// The rotation taking the bed normal (of any non-zero length) onto +Y by the shortest turn: the
// identity for a normal along +Y, a half turn about X for one along -Y. Nothing for a zero or
// non-finite normal.
std::optional<Eigen::Matrix3d> bedFromCameraRotation(const Eigen::Vector3d& bed_normal);

}  // namespace qv
