// Accessors of the device calibration record, kept out of line so that the library's interface
// stays the same when the record's storage changes.
#include "scancmd/QVLICalibrationDetails.h"

#include <utility>

#define QVLI_FLOAT_ACCESSORS(name, Name)                                   \
  float QVLICalibrationDetails::name() const { return values_.name; }      \
  void QVLICalibrationDetails::set##Name(float value) { values_.name = value; }

QVLI_FLOAT_ACCESSORS(bedNormalX, BedNormalX)
QVLI_FLOAT_ACCESSORS(bedNormalY, BedNormalY)
QVLI_FLOAT_ACCESSORS(bedNormalZ, BedNormalZ)
QVLI_FLOAT_ACCESSORS(bedOriginX, BedOriginX)
QVLI_FLOAT_ACCESSORS(bedOriginY, BedOriginY)
QVLI_FLOAT_ACCESSORS(bedOriginZ, BedOriginZ)
QVLI_FLOAT_ACCESSORS(distortion0, Distortion0)
QVLI_FLOAT_ACCESSORS(distortion1, Distortion1)
QVLI_FLOAT_ACCESSORS(distortion2, Distortion2)
QVLI_FLOAT_ACCESSORS(distortion3, Distortion3)
QVLI_FLOAT_ACCESSORS(intrinsicCX, IntrinsicCX)
QVLI_FLOAT_ACCESSORS(intrinsicCY, IntrinsicCY)
QVLI_FLOAT_ACCESSORS(intrinsicFX, IntrinsicFX)
QVLI_FLOAT_ACCESSORS(intrinsicFY, IntrinsicFY)
QVLI_FLOAT_ACCESSORS(laser1NormalX, Laser1NormalX)
QVLI_FLOAT_ACCESSORS(laser1NormalY, Laser1NormalY)
QVLI_FLOAT_ACCESSORS(laser1NormalZ, Laser1NormalZ)
QVLI_FLOAT_ACCESSORS(laser1OriginX, Laser1OriginX)
QVLI_FLOAT_ACCESSORS(laser1OriginY, Laser1OriginY)
QVLI_FLOAT_ACCESSORS(laser1OriginZ, Laser1OriginZ)
QVLI_FLOAT_ACCESSORS(laser2NormalX, Laser2NormalX)
QVLI_FLOAT_ACCESSORS(laser2NormalY, Laser2NormalY)
QVLI_FLOAT_ACCESSORS(laser2NormalZ, Laser2NormalZ)
QVLI_FLOAT_ACCESSORS(laser2OriginX, Laser2OriginX)
QVLI_FLOAT_ACCESSORS(laser2OriginY, Laser2OriginY)
QVLI_FLOAT_ACCESSORS(laser2OriginZ, Laser2OriginZ)
QVLI_FLOAT_ACCESSORS(leadScrewNormalX, LeadScrewNormalX)
QVLI_FLOAT_ACCESSORS(leadScrewNormalY, LeadScrewNormalY)
QVLI_FLOAT_ACCESSORS(leadScrewNormalZ, LeadScrewNormalZ)

#undef QVLI_FLOAT_ACCESSORS

const std::optional<std::string>& QVLICalibrationDetails::uniqueId() const { return uniqueId_; }

void QVLICalibrationDetails::setUniqueId(std::optional<std::string> uniqueId) {
  uniqueId_ = std::move(uniqueId);
}

const qv::StoredCalibrationValues& QVLICalibrationDetails::values() const { return values_; }

void QVLICalibrationDetails::setValues(const qv::StoredCalibrationValues& values) { values_ = values; }
