// Saving a new calibration into the scanner, and the test of whether a calibration is usable.
#include <charconv>
#include <cmath>

#include "core/QVLAppDelegate.h"
#include "platform/Log.h"
#include "platform/UUID.h"
#include "scancmd/QVLICalibrationDetails.h"

namespace {

constexpr const char* kCalibrationResultsKey = "CalibrationResultsForLastScanner";
// Compared as floats: the length is a float, and a unit normal stored as 0.9 or 1.1 exactly must
// pass (as doubles the float nearest 0.9 lies below 0.9, the one nearest 1.1 above 1.1).
constexpr float kMinimumNormalLength = 0.9f;
constexpr float kMaximumNormalLength = 1.1f;
constexpr float kLargestBedOriginZ = 0.0f;

// The 29 values the scanner stores, copied one to one.
QVLICalibrationDetails deviceRecord(const QVSCalibrationDetails& c) {
  QVLICalibrationDetails d;
  d.setValues(c.storedValues());
  return d;
}

bool allFinite(std::initializer_list<float> values) {
  for (float v : values) {
    if (!std::isfinite(v)) return false;
  }
  return true;
}

bool writtenValuesFinite(const QVLICalibrationDetails& d) {
  return allFinite({d.bedNormalX(), d.bedNormalY(), d.bedNormalZ(), d.bedOriginX(), d.bedOriginY(), d.bedOriginZ(),
                    d.distortion0(), d.distortion1(), d.distortion2(), d.distortion3(), d.intrinsicCX(),
                    d.intrinsicCY(), d.intrinsicFX(), d.intrinsicFY(), d.laser1NormalX(), d.laser1NormalY(),
                    d.laser1NormalZ(), d.laser1OriginX(), d.laser1OriginY(), d.laser1OriginZ(), d.laser2NormalX(),
                    d.laser2NormalY(), d.laser2NormalZ(), d.laser2OriginX(), d.laser2OriginY(), d.laser2OriginZ(),
                    d.leadScrewNormalX(), d.leadScrewNormalY(), d.leadScrewNormalZ()});
}

// The length is computed in single precision.
bool unitLength(float x, float y, float z) {
  const float length = std::sqrt(x * x + y * y + z * z);
  return length >= kMinimumNormalLength && length <= kMaximumNormalLength;
}

// A float in its shortest exact decimal form, whatever the locale.
std::string number(float value) {
  char text[32];
  const auto result = std::to_chars(text, text + sizeof text, value);
  return std::string(text, result.ptr);
}

// A read or write of the save that failed: the error as the interpreter gave it, with the reason
// the user is told.
qv::ErrorCallback notSaved(qv::ErrorCallback error) {
  return [error = std::move(error)](const qv::Error& failure) {
    QVLogError("The calibration was not saved in the scanner: %s", failure.text().c_str());
    qv::Error told = failure;
    told.userInfo["Reason"] = qv::Value(std::string(QVLAppDelegate::kCalibrationNotSavedReason));
    if (error) error(told);
  };
}

void logVector(const char* label, float x, float y, float z) {
  QVLogInfo("%s:(%f,%f,%f)", label, x, y, z);
}

}  // namespace

bool QVLAppDelegate::isCalibrationUsable(const QVSCalibrationDetails* c) {
  if (!c) return false;
  if (!allFinite({c->bedNormalX(), c->bedNormalY(), c->bedNormalZ(), c->leadScrewNormalX(), c->leadScrewNormalY(),
                  c->leadScrewNormalZ(), c->laser1NormalX(), c->laser1NormalY(), c->laser1NormalZ(),
                  c->laser2NormalX(), c->laser2NormalY(), c->laser2NormalZ(), c->intrinsicFX(), c->intrinsicFY(),
                  c->intrinsicCX(), c->intrinsicCY(), c->distortion0(), c->distortion1(), c->distortion2(),
                  c->distortion3()})) {
    return false;
  }
  if (!(c->intrinsicFX() > 0 && c->intrinsicFY() > 0 && c->intrinsicCX() > 0 && c->intrinsicCY() > 0)) return false;
  if (!unitLength(c->bedNormalX(), c->bedNormalY(), c->bedNormalZ()) ||
      !unitLength(c->leadScrewNormalX(), c->leadScrewNormalY(), c->leadScrewNormalZ()) ||
      !unitLength(c->laser1NormalX(), c->laser1NormalY(), c->laser1NormalZ()) ||
      !unitLength(c->laser2NormalX(), c->laser2NormalY(), c->laser2NormalZ())) {
    return false;
  }
  return c->bedOriginZ() <= kLargestBedOriginZ;  // a NaN fails
}

bool QVLAppDelegate::isCalibrated() const { return isCalibrationUsable(calibrationDetails().get()); }

std::string QVLAppDelegate::calibrationResultsJSON(const QVSCalibrationDetails& c) {
  const std::pair<const char*, float> members[] = {
      {"BedNormalX", c.bedNormalX()},         {"BedNormalY", c.bedNormalY()},
      {"BedNormalZ", c.bedNormalZ()},         {"BedOriginX", c.bedOriginX()},
      {"BedOriginY", c.bedOriginY()},         {"BedOriginZ", c.bedOriginZ()},
      {"Laser1NormalX", c.laser1NormalX()},   {"Laser1NormalY", c.laser1NormalY()},
      {"Laser1NormalZ", c.laser1NormalZ()},   {"Laser2NormalX", c.laser2NormalX()},
      {"Laser2NormalY", c.laser2NormalY()},   {"Laser2NormalZ", c.laser2NormalZ()},
      {"LeadScrewNormalX", c.leadScrewNormalX()}, {"LeadScrewNormalY", c.leadScrewNormalY()},
      {"LeadScrewNormalZ", c.leadScrewNormalZ()},
  };
  std::string json = "{\n  \"CalibrationVersion\" : 1";
  for (const auto& [key, value] : members) {
    json += ",\n  \"";
    json += key;
    json += "\" : ";
    json += number(value);
  }
  json += "\n}";
  return json;
}

void QVLAppDelegate::saveCalibration(std::shared_ptr<const QVSCalibrationDetails> calibration,
                                     qv::Completion completion, qv::ErrorCallback error) {
  const auto interpreter = deviceInterpreter();
  if (!interpreter || !calibration) {
    // Without a scanner nothing can be written; the caller must not be left waiting.
    if (error) error(qv::Error(qv::kScanErrorDomain, QVLAppErrorNoScanner, "No scanner is connected to save the calibration to"));
    return;
  }
  QVLICalibrationDetails record = deviceRecord(*calibration);
  if (!writtenValuesFinite(record)) {
    QVLogError("Refusing to save a calibration that holds a value that is not a finite number");
    if (error) {
      error(qv::Error(qv::kScanErrorDomain, QVLAppErrorCalibrationNotFinite,
                      "The calibration holds a value that is not a finite number"));
    }
    return;
  }

  std::weak_ptr<QVLAppDelegate> weak = weak_from_this();
  error = notSaved(std::move(error));
  interpreter->readCalibrationValues(
      [weak, interpreter, calibration, record, completion, error](const QVLICalibrationDetails& stored) mutable {
        const auto& storedId = stored.uniqueId();
        record.setUniqueId(storedId && !storedId->empty() ? *storedId : qv::makeUUIDString());

        const QVSCalibrationDetails& n = *calibration;
        QVLogInfo("====================================");
        QVLogInfo("Saving calibration details to device");
        logVector("       bedNormal", n.bedNormalX(), n.bedNormalY(), n.bedNormalZ());
        logVector("       bedOrigin", n.bedOriginX(), n.bedOriginY(), n.bedOriginZ());
        logVector("    laser1Normal", n.laser1NormalX(), n.laser1NormalY(), n.laser1NormalZ());
        logVector("    laser1Origin", n.laser1OriginX(), n.laser1OriginY(), n.laser1OriginZ());
        logVector("    laser2Normal", n.laser2NormalX(), n.laser2NormalY(), n.laser2NormalZ());
        logVector("    laser2Origin", n.laser2OriginX(), n.laser2OriginY(), n.laser2OriginZ());
        logVector(" leadScrewNormal", n.leadScrewNormalX(), n.leadScrewNormalY(), n.leadScrewNormalZ());
        QVLogInfo("-------------------------------------");

        interpreter->writeCalibration(
            record,
            [weak, calibration, completion] {
              auto self = weak.lock();
              if (self) {
                // The settings copy follows the scanner: written only once the scanner holds it.
                if (auto failure = self->settings_.setValue(kCalibrationResultsKey, calibrationResultsJSON(*calibration))) {
                  QVLogWarn("The calibration copy could not be stored: %s", failure->text().c_str());
                }
                self->setCalibrationDetails(calibration);
              }
              if (completion) completion();
            },
            error);
      },
      error);
}
