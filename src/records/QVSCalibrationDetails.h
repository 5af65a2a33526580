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
#include "scancmd/QVLICalibrationDetails.h"

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
  Eigen::Vector3d bedNormal() const { return {stored_.bedNormalX, stored_.bedNormalY, stored_.bedNormalZ}; }
  Eigen::Vector3d bedOrigin() const { return {stored_.bedOriginX, stored_.bedOriginY, stored_.bedOriginZ}; }
  Eigen::Vector3d laser1Normal() const { return {stored_.laser1NormalX, stored_.laser1NormalY, stored_.laser1NormalZ}; }
  Eigen::Vector3d laser1Origin() const { return {stored_.laser1OriginX, stored_.laser1OriginY, stored_.laser1OriginZ}; }
  Eigen::Vector3d laser2Normal() const { return {stored_.laser2NormalX, stored_.laser2NormalY, stored_.laser2NormalZ}; }
  Eigen::Vector3d laser2Origin() const { return {stored_.laser2OriginX, stored_.laser2OriginY, stored_.laser2OriginZ}; }
  Eigen::Vector3d leadScrewNormal() const {
    return {stored_.leadScrewNormalX, stored_.leadScrewNormalY, stored_.leadScrewNormalZ};
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
  float bedNormalX() const { return stored_.bedNormalX; }
  void setBedNormalX(float value) { stored_.bedNormalX = value; }
  float bedNormalY() const { return stored_.bedNormalY; }
  void setBedNormalY(float value) { stored_.bedNormalY = value; }
  float bedNormalZ() const { return stored_.bedNormalZ; }
  void setBedNormalZ(float value) { stored_.bedNormalZ = value; }
  float bedOriginX() const { return stored_.bedOriginX; }
  void setBedOriginX(float value) { stored_.bedOriginX = value; }
  float bedOriginY() const { return stored_.bedOriginY; }
  void setBedOriginY(float value) { stored_.bedOriginY = value; }
  float bedOriginZ() const { return stored_.bedOriginZ; }
  void setBedOriginZ(float value) { stored_.bedOriginZ = value; }
  float distortion0() const { return stored_.distortion0; }
  void setDistortion0(float value) { stored_.distortion0 = value; }
  float distortion1() const { return stored_.distortion1; }
  void setDistortion1(float value) { stored_.distortion1 = value; }
  float distortion2() const { return stored_.distortion2; }
  void setDistortion2(float value) { stored_.distortion2 = value; }
  float distortion3() const { return stored_.distortion3; }
  void setDistortion3(float value) { stored_.distortion3 = value; }
  float intrinsicCX() const { return stored_.intrinsicCX; }
  void setIntrinsicCX(float value) { stored_.intrinsicCX = value; }
  float intrinsicCY() const { return stored_.intrinsicCY; }
  void setIntrinsicCY(float value) { stored_.intrinsicCY = value; }
  float intrinsicFX() const { return stored_.intrinsicFX; }
  void setIntrinsicFX(float value) { stored_.intrinsicFX = value; }
  float intrinsicFY() const { return stored_.intrinsicFY; }
  void setIntrinsicFY(float value) { stored_.intrinsicFY = value; }
  float laser1NormalX() const { return stored_.laser1NormalX; }
  void setLaser1NormalX(float value) { stored_.laser1NormalX = value; }
  float laser1NormalY() const { return stored_.laser1NormalY; }
  void setLaser1NormalY(float value) { stored_.laser1NormalY = value; }
  float laser1NormalZ() const { return stored_.laser1NormalZ; }
  void setLaser1NormalZ(float value) { stored_.laser1NormalZ = value; }
  float laser1OriginX() const { return stored_.laser1OriginX; }
  void setLaser1OriginX(float value) { stored_.laser1OriginX = value; }
  float laser1OriginY() const { return stored_.laser1OriginY; }
  void setLaser1OriginY(float value) { stored_.laser1OriginY = value; }
  float laser1OriginZ() const { return stored_.laser1OriginZ; }
  void setLaser1OriginZ(float value) { stored_.laser1OriginZ = value; }
  float laser2NormalX() const { return stored_.laser2NormalX; }
  void setLaser2NormalX(float value) { stored_.laser2NormalX = value; }
  float laser2NormalY() const { return stored_.laser2NormalY; }
  void setLaser2NormalY(float value) { stored_.laser2NormalY = value; }
  float laser2NormalZ() const { return stored_.laser2NormalZ; }
  void setLaser2NormalZ(float value) { stored_.laser2NormalZ = value; }
  float laser2OriginX() const { return stored_.laser2OriginX; }
  void setLaser2OriginX(float value) { stored_.laser2OriginX = value; }
  float laser2OriginY() const { return stored_.laser2OriginY; }
  void setLaser2OriginY(float value) { stored_.laser2OriginY = value; }
  float laser2OriginZ() const { return stored_.laser2OriginZ; }
  void setLaser2OriginZ(float value) { stored_.laser2OriginZ = value; }
  float leadScrewNormalX() const { return stored_.leadScrewNormalX; }
  void setLeadScrewNormalX(float value) { stored_.leadScrewNormalX = value; }
  float leadScrewNormalY() const { return stored_.leadScrewNormalY; }
  void setLeadScrewNormalY(float value) { stored_.leadScrewNormalY = value; }
  float leadScrewNormalZ() const { return stored_.leadScrewNormalZ; }
  void setLeadScrewNormalZ(float value) { stored_.leadScrewNormalZ = value; }

  // The identifier of the scanner the calibration belongs to (canonical upper-case UUID).
  const std::optional<std::string>& uniqueId() const { return uniqueId_; }
  void setUniqueId(std::optional<std::string> uniqueId) { uniqueId_ = std::move(uniqueId); }

  // The 29 values a scanner stores, all at once.
  const qv::StoredCalibrationValues& storedValues() const { return stored_; }

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
  // The lasers' nominal origins; every other stored value 0.
  qv::StoredCalibrationValues stored_{.laser1OriginX = -66.7249f,
                                      .laser1OriginZ = -7.085746f,
                                      .laser2OriginX = 32.53269f,
                                      .laser2OriginZ = 3.3051884f};
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
