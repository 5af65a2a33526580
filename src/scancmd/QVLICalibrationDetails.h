// The calibration record as the scanner stores it: 29 floats and the scanner's identifier.
#pragma once

#include <optional>
#include <string>

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

private:
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
  float laser1OriginX_ = 0.0f;
  float laser1OriginY_ = 0.0f;
  float laser1OriginZ_ = 0.0f;
  float laser2NormalX_ = 0.0f;
  float laser2NormalY_ = 0.0f;
  float laser2NormalZ_ = 0.0f;
  float laser2OriginX_ = 0.0f;
  float laser2OriginY_ = 0.0f;
  float laser2OriginZ_ = 0.0f;
  float leadScrewNormalX_ = 0.0f;
  float leadScrewNormalY_ = 0.0f;
  float leadScrewNormalZ_ = 0.0f;
  std::optional<std::string> uniqueId_;
};
