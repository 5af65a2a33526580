// The calibration record's conversions, JSON forms and bed-aligned copy.
#include "records/QVSCalibrationDetails.h"

#include <Eigen/Geometry>
#include <array>
#include <cmath>
#include <nlohmann/json.hpp>

#include "platform/UUID.h"
#include "records/RecordNumbers.h"
#include "scancmd/QVLICalibrationDetails.h"

namespace {

using Getter = float (QVSCalibrationDetails::*)() const;
using Setter = void (QVSCalibrationDetails::*)(float);

// One stored value: its name in the dictionary form (the property name), its name in the text
// form (capitalised), and whether the text reader takes it.
struct Field {
  const char* dictionaryKey;
  const char* textKey;
  Getter get;
  Setter set;
  bool readFromText;
};

#define QVS_FIELD(name, Name, read) \
  Field { #name, #Name, &QVSCalibrationDetails::name, &QVSCalibrationDetails::set##Name, read }

// In declaration order, which is also the order both forms are built in. Camera normal and up are
// written but not read back from text: the scanner stores no camera pose, and records have always
// been read with the default pose, which stored files rely on.
const std::array<Field, 38> kFields = {
    QVS_FIELD(cameraNormalX, CameraNormalX, false),
    QVS_FIELD(cameraNormalY, CameraNormalY, false),
    QVS_FIELD(cameraNormalZ, CameraNormalZ, false),
    QVS_FIELD(cameraOriginX, CameraOriginX, true),
    QVS_FIELD(cameraOriginY, CameraOriginY, true),
    QVS_FIELD(cameraOriginZ, CameraOriginZ, true),
    QVS_FIELD(cameraUpX, CameraUpX, false),
    QVS_FIELD(cameraUpY, CameraUpY, false),
    QVS_FIELD(cameraUpZ, CameraUpZ, false),
    QVS_FIELD(bedNormalX, BedNormalX, true),
    QVS_FIELD(bedNormalY, BedNormalY, true),
    QVS_FIELD(bedNormalZ, BedNormalZ, true),
    QVS_FIELD(bedOriginX, BedOriginX, true),
    QVS_FIELD(bedOriginY, BedOriginY, true),
    QVS_FIELD(bedOriginZ, BedOriginZ, true),
    QVS_FIELD(distortion0, Distortion0, true),
    QVS_FIELD(distortion1, Distortion1, true),
    QVS_FIELD(distortion2, Distortion2, true),
    QVS_FIELD(distortion3, Distortion3, true),
    QVS_FIELD(intrinsicCX, IntrinsicCX, true),
    QVS_FIELD(intrinsicCY, IntrinsicCY, true),
    QVS_FIELD(intrinsicFX, IntrinsicFX, true),
    QVS_FIELD(intrinsicFY, IntrinsicFY, true),
    QVS_FIELD(laser1NormalX, Laser1NormalX, true),
    QVS_FIELD(laser1NormalY, Laser1NormalY, true),
    QVS_FIELD(laser1NormalZ, Laser1NormalZ, true),
    QVS_FIELD(laser1OriginX, Laser1OriginX, true),
    QVS_FIELD(laser1OriginY, Laser1OriginY, true),
    QVS_FIELD(laser1OriginZ, Laser1OriginZ, true),
    QVS_FIELD(laser2NormalX, Laser2NormalX, true),
    QVS_FIELD(laser2NormalY, Laser2NormalY, true),
    QVS_FIELD(laser2NormalZ, Laser2NormalZ, true),
    QVS_FIELD(laser2OriginX, Laser2OriginX, true),
    QVS_FIELD(laser2OriginY, Laser2OriginY, true),
    QVS_FIELD(laser2OriginZ, Laser2OriginZ, true),
    QVS_FIELD(leadScrewNormalX, LeadScrewNormalX, true),
    QVS_FIELD(leadScrewNormalY, LeadScrewNormalY, true),
    QVS_FIELD(leadScrewNormalZ, LeadScrewNormalZ, true),
};

#undef QVS_FIELD

// A JSON member read as a float: numbers as they are, text by its leading decimal number. Null,
// booleans, arrays, objects and values no float can hold read as nothing, like an absent member.
std::optional<float> floatFromJson(const nlohmann::json& value) {
  std::optional<double> number;
  if (value.is_number()) {
    number = value.get<double>();
  } else if (value.is_string()) {
    number = qv::leadingDecimalNumber(value.get_ref<const std::string&>()).value_or(0.0);
  }
  if (!number) return std::nullopt;
  const float narrowed = static_cast<float>(*number);
  if (!std::isfinite(narrowed)) return std::nullopt;
  return narrowed;
}

// A float as a JSON number, or null when it is not finite (JSON has no spelling for it).
nlohmann::ordered_json jsonForFloat(float value) {
  if (!std::isfinite(value)) return nullptr;
  return qv::doubleForFloat(value);
}

using VectorSetters = std::array<Setter, 3>;

void setVector(QVSCalibrationDetails& record, const VectorSetters& setters, const Eigen::Vector3d& v) {
  for (int i = 0; i < 3; ++i) (record.*setters[i])(static_cast<float>(v[i]));
}

}  // namespace

std::shared_ptr<QVSCalibrationDetails> QVSCalibrationDetails::calibrationDetailsFromDeviceCalibration(
    const QVLICalibrationDetails* device) {
  if (!device) return nullptr;
  auto record = std::make_shared<QVSCalibrationDetails>();
  record->stored_ = device->values();
  record->setUniqueId(device->uniqueId());
  return record;
}

std::shared_ptr<QVSCalibrationDetails> QVSCalibrationDetails::calibrationDetailsFromJsonString(
    std::string_view text) {
  const auto json = nlohmann::json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
  if (!json.is_object()) return nullptr;  // also text that does not parse (a discarded value)

  auto record = std::make_shared<QVSCalibrationDetails>();
  if (const auto it = json.find("UniqueId"); it != json.end() && it->is_string()) {
    record->setUniqueId(it->get<std::string>());
  }
  for (const Field& field : kFields) {
    if (!field.readFromText) continue;
    float value = 0.0f;  // an absent member gives 0, not the default
    if (const auto it = json.find(field.textKey); it != json.end()) value = floatFromJson(*it).value_or(0.0f);
    (record.get()->*field.set)(value);
  }
  return record;
}

std::string QVSCalibrationDetails::jsonString() const {
  nlohmann::ordered_json json = nlohmann::ordered_json::object();
  json["CalibrationVersion"] = 2;
  json["UniqueId"] = uniqueId_ && !uniqueId_->empty() ? *uniqueId_ : qv::makeUUIDString();
  for (const Field& field : kFields) json[field.textKey] = jsonForFloat((this->*field.get)());
  // An identifier read from a scanner may hold bytes that are not UTF-8: replace them rather
  // than fail the whole text.
  return json.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

qv::Dictionary QVSCalibrationDetails::jsonDictionary() const {
  qv::Dictionary dictionary;
  for (const Field& field : kFields) {
    const float value = (this->*field.get)();
    dictionary[field.dictionaryKey] = std::isfinite(value) ? qv::Value(qv::doubleForFloat(value)) : qv::Value();
  }
  dictionary["uniqueId"] = uniqueId_ ? qv::Value(*uniqueId_) : qv::Value();
  return dictionary;
}

QVLScannerCalibration QVSCalibrationDetails::scannerCalibration() const {
  QVLScannerCalibration calibration;
  calibration.laser1.tag = 2;
  calibration.laser1.normal = laser1Normal();
  calibration.laser1.origin = laser1Origin();
  calibration.laser2.tag = 3;
  calibration.laser2.normal = laser2Normal();
  calibration.laser2.origin = laser2Origin();
  calibration.bedNormal = bedNormal();
  calibration.bedOrigin = bedOrigin();
  calibration.leadScrewNormal = leadScrewNormal();
  calibration.cameraOrigin = cameraOrigin();
  const qv::StoredCalibrationValues& s = stored_;
  calibration.intrinsics = Eigen::Vector4d(s.intrinsicFX, s.intrinsicFY, s.intrinsicCX, s.intrinsicCY);
  calibration.distortion = Eigen::Vector4d(s.distortion0, s.distortion1, s.distortion2, s.distortion3);
  return calibration;
}

std::shared_ptr<QVSCalibrationDetails> QVSCalibrationDetails::calibrationAdjustedToBedOrientation(
    qv::Error* error) const {
  const auto rotation = qv::bedFromCameraRotation(bedNormal());
  if (!rotation) {
    if (error) {
      *error = qv::Error(qv::kScanErrorDomain, kNoBedFrameErrorCode,
                         "The calibration has no usable bed normal, so it cannot be turned into the bed frame");
    }
    return nullptr;
  }
  const Eigen::Matrix3d& R = *rotation;
  const Eigen::Vector3d t = R * bedOrigin();

  using S = QVSCalibrationDetails;
  auto result = std::make_shared<QVSCalibrationDetails>();
  setVector(*result, {&S::setBedNormalX, &S::setBedNormalY, &S::setBedNormalZ},
            TransformCalibrationDirection(bedNormal(), R));
  setVector(*result, {&S::setBedOriginX, &S::setBedOriginY, &S::setBedOriginZ},
            TransformCalibrationPoint(bedOrigin(), R, t));
  setVector(*result, {&S::setCameraOriginX, &S::setCameraOriginY, &S::setCameraOriginZ},
            TransformCalibrationPoint(cameraOrigin(), R, t));
  setVector(*result, {&S::setCameraNormalX, &S::setCameraNormalY, &S::setCameraNormalZ},
            TransformCalibrationDirection(cameraNormal(), R));
  setVector(*result, {&S::setCameraUpX, &S::setCameraUpY, &S::setCameraUpZ},
            TransformCalibrationDirection(cameraUp(), R));
  setVector(*result, {&S::setLeadScrewNormalX, &S::setLeadScrewNormalY, &S::setLeadScrewNormalZ},
            TransformCalibrationDirection(leadScrewNormal(), R));
  setVector(*result, {&S::setLaser1NormalX, &S::setLaser1NormalY, &S::setLaser1NormalZ},
            TransformCalibrationDirection(laser1Normal(), R));
  setVector(*result, {&S::setLaser1OriginX, &S::setLaser1OriginY, &S::setLaser1OriginZ},
            TransformCalibrationPoint(laser1Origin(), R, t));
  setVector(*result, {&S::setLaser2NormalX, &S::setLaser2NormalY, &S::setLaser2NormalZ},
            TransformCalibrationDirection(laser2Normal(), R));
  setVector(*result, {&S::setLaser2OriginX, &S::setLaser2OriginY, &S::setLaser2OriginZ},
            TransformCalibrationPoint(laser2Origin(), R, t));
  result->setIntrinsicCX(stored_.intrinsicCX);
  result->setIntrinsicCY(stored_.intrinsicCY);
  result->setIntrinsicFX(stored_.intrinsicFX);
  result->setIntrinsicFY(stored_.intrinsicFY);
  result->setDistortion0(stored_.distortion0);
  result->setDistortion1(stored_.distortion1);
  result->setDistortion2(stored_.distortion2);
  result->setDistortion3(stored_.distortion3);
  return result;
}

Eigen::Vector3d TransformCalibrationPoint(const Eigen::Vector3d& point, const Eigen::Matrix3d& rotation,
                                          const Eigen::Vector3d& translation) {
  return rotation * point - translation;
}

Eigen::Vector3d TransformCalibrationDirection(const Eigen::Vector3d& direction, const Eigen::Matrix3d& rotation) {
  // Eigen leaves a zero vector as it is: a direction the calibration never set stays unset.
  return (rotation * direction).normalized();
}

namespace qv {

std::optional<Eigen::Matrix3d> bedFromCameraRotation(const Eigen::Vector3d& bed_normal) {
  if (!bed_normal.allFinite()) return std::nullopt;
  const double length = bed_normal.norm();
  if (!(length > 0.0) || !std::isfinite(length)) return std::nullopt;
  // Normalised first: the angle below is only right for a unit normal.
  const Eigen::Vector3d n = bed_normal / length;
  // n x (0, 1, 0): zero when the normal already lies along the Y axis.
  const Eigen::Vector3d axis(-n.z(), 0.0, n.x());
  const double axis_length = axis.norm();
  if (axis_length == 0.0) {
    if (n.y() > 0.0) return Eigen::Matrix3d::Identity();
    // Upside down: any half turn about an axis in the XZ plane will do; X keeps the choice fixed.
    return Eigen::Vector3d(1.0, -1.0, -1.0).asDiagonal().toDenseMatrix();
  }
  // atan2 keeps the angle accurate near 0 and a half turn, where acos(n.y) loses digits.
  const double angle = std::atan2(axis_length, n.y());
  return Eigen::AngleAxisd(angle, axis / axis_length).toRotationMatrix();
}

}  // namespace qv
