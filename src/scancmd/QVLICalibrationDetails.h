// The calibration record as the scanner stores it: 29 floats and the scanner's identifier.
#pragma once

#include <optional>
#include <string>

namespace qv {

// The 29 floats of a calibration as a scanner stores them, in the order of the record's
// accessors; every value 0 until set. The application's record keeps the same values in one of
// these, so a record read from a scanner is taken over whole.
struct StoredCalibrationValues {
  float bedNormalX = 0.0f;
  float bedNormalY = 0.0f;
  float bedNormalZ = 0.0f;
  float bedOriginX = 0.0f;
  float bedOriginY = 0.0f;
  float bedOriginZ = 0.0f;
  float distortion0 = 0.0f;
  float distortion1 = 0.0f;
  float distortion2 = 0.0f;
  float distortion3 = 0.0f;
  float intrinsicCX = 0.0f;
  float intrinsicCY = 0.0f;
  float intrinsicFX = 0.0f;
  float intrinsicFY = 0.0f;
  float laser1NormalX = 0.0f;
  float laser1NormalY = 0.0f;
  float laser1NormalZ = 0.0f;
  float laser1OriginX = 0.0f;
  float laser1OriginY = 0.0f;
  float laser1OriginZ = 0.0f;
  float laser2NormalX = 0.0f;
  float laser2NormalY = 0.0f;
  float laser2NormalZ = 0.0f;
  float laser2OriginX = 0.0f;
  float laser2OriginY = 0.0f;
  float laser2OriginZ = 0.0f;
  float leadScrewNormalX = 0.0f;
  float leadScrewNormalY = 0.0f;
  float leadScrewNormalZ = 0.0f;
};

}  // namespace qv

// A plain value holder that the interpreter fills from a calibration read and writes into the
// scanner. Positions and directions are in the scanner's frame as the calibration produced them
// (mm); nothing is normalised or checked. A new record has every float 0 and no identifier.
// Not locked: it is filled on one thread and handed over.
class QVLICalibrationDetails {
public:
  QVLICalibrationDetails() = default;

  // Normal of the bed (turntable) plane: device keys BDNX, BDNY, BDNZ
  float bedNormalX() const;
  void setBedNormalX(float value);
  float bedNormalY() const;
  void setBedNormalY(float value);
  float bedNormalZ() const;
  void setBedNormalZ(float value);

  // A point of the bed plane: BEDX, BEDY, BEDZ
  float bedOriginX() const;
  void setBedOriginX(float value);
  float bedOriginY() const;
  void setBedOriginY(float value);
  float bedOriginZ() const;
  void setBedOriginZ(float value);

  // Lens distortion coefficients 0 to 3: CDM0 to CDM3
  float distortion0() const;
  void setDistortion0(float value);
  float distortion1() const;
  void setDistortion1(float value);
  float distortion2() const;
  void setDistortion2(float value);
  float distortion3() const;
  void setDistortion3(float value);

  // Principal point, px: CI02, CI12
  float intrinsicCX() const;
  void setIntrinsicCX(float value);
  float intrinsicCY() const;
  void setIntrinsicCY(float value);

  // Focal lengths, px: CI00, CI11
  float intrinsicFX() const;
  void setIntrinsicFX(float value);
  float intrinsicFY() const;
  void setIntrinsicFY(float value);

  // Normal of laser 1's light plane: L1NX, L1NY, L1NZ
  float laser1NormalX() const;
  void setLaser1NormalX(float value);
  float laser1NormalY() const;
  void setLaser1NormalY(float value);
  float laser1NormalZ() const;
  void setLaser1NormalZ(float value);

  // A point of laser 1's plane: L1OX, L1OY, L1OZ
  float laser1OriginX() const;
  void setLaser1OriginX(float value);
  float laser1OriginY() const;
  void setLaser1OriginY(float value);
  float laser1OriginZ() const;
  void setLaser1OriginZ(float value);

  // Normal of laser 2's light plane: L2NX, L2NY, L2NZ
  float laser2NormalX() const;
  void setLaser2NormalX(float value);
  float laser2NormalY() const;
  void setLaser2NormalY(float value);
  float laser2NormalZ() const;
  void setLaser2NormalZ(float value);

  // A point of laser 2's plane: L2OX, L2OY, L2OZ
  float laser2OriginX() const;
  void setLaser2OriginX(float value);
  float laser2OriginY() const;
  void setLaser2OriginY(float value);
  float laser2OriginZ() const;
  void setLaser2OriginZ(float value);

  // Direction of the head's lead screw: LSNX, LSNY, LSNZ
  float leadScrewNormalX() const;
  void setLeadScrewNormalX(float value);
  float leadScrewNormalY() const;
  void setLeadScrewNormalY(float value);
  float leadScrewNormalZ() const;
  void setLeadScrewNormalZ(float value);

  // The scanner's identifier (device key GUID): a UUID in canonical upper-case form when read
  // from a scanner; nothing when the record was never given one.
  const std::optional<std::string>& uniqueId() const;
  void setUniqueId(std::optional<std::string> uniqueId);

  // All 29 floats at once.
  const qv::StoredCalibrationValues& values() const;
  void setValues(const qv::StoredCalibrationValues& values);

private:
  qv::StoredCalibrationValues values_;
  std::optional<std::string> uniqueId_;
};
