// Command lines, reply parsing and the calibration key tables of the scanner's line protocol.
#include "scancmd/CommandProtocol.h"

#include <cctype>
#include <cmath>

#include "platform/Format.h"
#include "platform/Text.h"
#include "platform/UUID.h"

namespace qv::protocol {

namespace {

using Getter = float (QVLICalibrationDetails::*)() const;
using Setter = void (QVLICalibrationDetails::*)(float);

struct FloatKey {
  const char* key;
  Getter get;
  Setter set;
};

// Every key that fills a float field of the record.
const FloatKey kFloatKeys[] = {
    {"BEDX", &QVLICalibrationDetails::bedOriginX, &QVLICalibrationDetails::setBedOriginX},
    {"BEDY", &QVLICalibrationDetails::bedOriginY, &QVLICalibrationDetails::setBedOriginY},
    {"BEDZ", &QVLICalibrationDetails::bedOriginZ, &QVLICalibrationDetails::setBedOriginZ},
    {"BDNX", &QVLICalibrationDetails::bedNormalX, &QVLICalibrationDetails::setBedNormalX},
    {"BDNY", &QVLICalibrationDetails::bedNormalY, &QVLICalibrationDetails::setBedNormalY},
    {"BDNZ", &QVLICalibrationDetails::bedNormalZ, &QVLICalibrationDetails::setBedNormalZ},
    {"LSNX", &QVLICalibrationDetails::leadScrewNormalX, &QVLICalibrationDetails::setLeadScrewNormalX},
    {"LSNY", &QVLICalibrationDetails::leadScrewNormalY, &QVLICalibrationDetails::setLeadScrewNormalY},
    {"LSNZ", &QVLICalibrationDetails::leadScrewNormalZ, &QVLICalibrationDetails::setLeadScrewNormalZ},
    {"L1NX", &QVLICalibrationDetails::laser1NormalX, &QVLICalibrationDetails::setLaser1NormalX},
    {"L1NY", &QVLICalibrationDetails::laser1NormalY, &QVLICalibrationDetails::setLaser1NormalY},
    {"L1NZ", &QVLICalibrationDetails::laser1NormalZ, &QVLICalibrationDetails::setLaser1NormalZ},
    {"L2NX", &QVLICalibrationDetails::laser2NormalX, &QVLICalibrationDetails::setLaser2NormalX},
    {"L2NY", &QVLICalibrationDetails::laser2NormalY, &QVLICalibrationDetails::setLaser2NormalY},
    {"L2NZ", &QVLICalibrationDetails::laser2NormalZ, &QVLICalibrationDetails::setLaser2NormalZ},
    {"L1OX", &QVLICalibrationDetails::laser1OriginX, &QVLICalibrationDetails::setLaser1OriginX},
    {"L1OY", &QVLICalibrationDetails::laser1OriginY, &QVLICalibrationDetails::setLaser1OriginY},
    {"L1OZ", &QVLICalibrationDetails::laser1OriginZ, &QVLICalibrationDetails::setLaser1OriginZ},
    {"L2OX", &QVLICalibrationDetails::laser2OriginX, &QVLICalibrationDetails::setLaser2OriginX},
    {"L2OY", &QVLICalibrationDetails::laser2OriginY, &QVLICalibrationDetails::setLaser2OriginY},
    {"L2OZ", &QVLICalibrationDetails::laser2OriginZ, &QVLICalibrationDetails::setLaser2OriginZ},
    {"CI00", &QVLICalibrationDetails::intrinsicFX, &QVLICalibrationDetails::setIntrinsicFX},
    {"CI11", &QVLICalibrationDetails::intrinsicFY, &QVLICalibrationDetails::setIntrinsicFY},
    {"CI02", &QVLICalibrationDetails::intrinsicCX, &QVLICalibrationDetails::setIntrinsicCX},
    {"CI12", &QVLICalibrationDetails::intrinsicCY, &QVLICalibrationDetails::setIntrinsicCY},
    {"CDM0", &QVLICalibrationDetails::distortion0, &QVLICalibrationDetails::setDistortion0},
    {"CDM1", &QVLICalibrationDetails::distortion1, &QVLICalibrationDetails::setDistortion1},
    {"CDM2", &QVLICalibrationDetails::distortion2, &QVLICalibrationDetails::setDistortion2},
    {"CDM3", &QVLICalibrationDetails::distortion3, &QVLICalibrationDetails::setDistortion3},
};

const FloatKey* floatKey(std::string_view key) {
  for (const auto& k : kFloatKeys) {
    if (key == k.key) return &k;
  }
  return nullptr;
}

constexpr const char* kGuidKey = "GUID";

// The write order after BEDX, which goes with the request.
const char* const kWriteOrder[] = {"BEDX", "CDM3", "CDM2", "CDM1", "CDM0", "CI12", "CI02", "CI11",
                                   "CI00", "L2OZ", "L2OY", "L2OX", "L1OZ", "L1OY", "L1OX", "GUID",
                                   "L2NZ", "L2NY", "L2NX", "L1NZ", "L1NY", "L1NX", "LSNZ", "LSNY",
                                   "LSNX", "BDNZ", "BDNY", "BDNX", "BEDZ", "BEDY"};

const std::vector<std::string> kKeys170 = {
    "BEDX", "BEDY", "BEDZ", "BDNX", "BDNY", "BDNZ", "LSNX", "LSNY", "LSNZ", "L1NX",
    "L1NY", "L1NZ", "L2NX", "L2NY", "L2NZ", "GUID", "L1UT", "L1OF", "L2UT", "L2OF",
    "XUT",  "YUT",  "TUT",  "HALL", "TMP1", "TMP2", "TMP3", "TMP4", "TMP5", "TMP6"};

const std::vector<std::string> kKeys160 = {"L1X1", "L1Y1", "L1X2", "L1Y2", "L2X1", "L2Y1", "L2X2",
                                           "L2Y2", "ROTY", "ROTZ", "ROTX", "GUID", "L1UT", "L1OF",
                                           "L2UT", "L2OF", "XUT",  "YUT",  "TUT"};

const std::vector<std::string> kKeys200 = [] {
  std::vector<std::string> keys = kKeys170;
  for (const char* k : {"L1OX", "L1OY", "L1OZ", "L2OX", "L2OY", "L2OZ", "CI00", "CI11", "CI02", "CI12",
                        "CDM0", "CDM1", "CDM2", "CDM3"}) {
    keys.emplace_back(k);
  }
  return keys;
}();

const std::vector<std::string> kNoKeys;

std::string upperCased(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

std::string moveLine(float distance_mm) { return qv::format("Y%0.1f", static_cast<double>(distance_mm)); }

std::string rotationLine(float written_deg) { return qv::format("X%f", static_cast<double>(written_deg)); }

float rotationWithBacklash(float requested_deg, float previous_deg) {
  if (requested_deg >= 0.0f && previous_deg < 0.0f) return requested_deg + kBacklashAllowance_deg;
  if (requested_deg < 0.0f && previous_deg >= 0.0f) return requested_deg - kBacklashAllowance_deg;
  return requested_deg;
}

float wrapDegrees(float angle_deg) { return std::fmod(angle_deg, 360.0f); }

double leadingNumber(std::string_view text) { return qv::text::leadingNumber(text); }

std::int64_t leadingInteger(std::string_view text) { return qv::text::leadingInteger(text); }

bool isBanner(std::string_view line) {
  return line.starts_with("Quorvel Firmware v") || line.starts_with("Quorvix Firmware v");
}

QVLIFirmwareVersion firmwareVersionFromBanner(std::string_view banner) {
  if (banner.ends_with("v1.5.0")) return QVLIFirmwareVersion150;
  if (banner.ends_with("v1.6.0")) return QVLIFirmwareVersion160;
  if (banner.ends_with("v1.6.1")) return QVLIFirmwareVersion161;
  if (banner.ends_with("v1.7.0")) return QVLIFirmwareVersion170;
  if (banner.ends_with("v2.0.0")) return QVLIFirmwareVersion200;
  return QVLIFirmwareVersionOther;
}

const std::vector<std::string>& expectedKeys(QVLIFirmwareVersion version) {
  switch (version) {
    case QVLIFirmwareVersion170: return kKeys170;
    case QVLIFirmwareVersion160:
    case QVLIFirmwareVersion161: return kKeys160;
    case QVLIFirmwareVersionOther:
    case QVLIFirmwareVersion200: return kKeys200;
    case QVLIFirmwareVersionUnknown:
    case QVLIFirmwareVersion150: break;
  }
  return kNoKeys;
}

std::optional<std::pair<std::string, std::string>> splitKeyLine(std::string_view line) {
  const std::size_t space = line.find(' ');
  if (space == std::string_view::npos) return std::nullopt;
  return std::make_pair(std::string(line.substr(0, space)), std::string(line.substr(space + 1)));
}

QVLICalibrationDetails calibrationFromValues(const std::map<std::string, std::string>& values,
                                             const std::vector<std::string>& keys) {
  QVLICalibrationDetails details;
  std::string guid;
  for (const auto& key : keys) {
    const auto it = values.find(key);
    if (it == values.end()) continue;
    if (key == kGuidKey) {
      guid = it->second;
    } else if (const FloatKey* field = floatKey(key)) {
      (details.*field->set)(static_cast<float>(leadingNumber(it->second)));
    }
  }
  // Only the canonical 36-character form is taken; anything else gets a fresh identifier, so that
  // every record read from a scanner has one.
  details.setUniqueId(isUUIDString(guid) ? upperCased(guid) : makeUUIDString());
  return details;
}

std::vector<std::string> calibrationWriteLines(const QVLICalibrationDetails& details) {
  std::vector<std::string> lines;
  lines.reserve(std::size(kWriteOrder));
  for (const char* key : kWriteOrder) {
    if (std::string_view(key) == kGuidKey) {
      lines.push_back(std::string(">>>GUID") + details.uniqueId().value_or(""));
    } else {
      const FloatKey* field = floatKey(key);
      lines.push_back(qv::format(">>>%s%f", key, static_cast<double>((details.*field->get)())));
    }
  }
  return lines;
}

std::vector<std::string> calibrationLogLines(const QVLICalibrationDetails& d, bool forWrite) {
  auto f = [](float v) { return static_cast<double>(v); };
  // The write table joins some triples without a space after the comma; both forms are kept as
  // they have always been logged.
  const char* triple = forWrite ? "%s%f,%f,%f" : "%s%f, %f, %f";
  const std::string frame(60, forWrite ? '<' : '>');
  return {
      frame,
      "           Device:" + d.uniqueId().value_or("(null)"),
      qv::format(triple, "       Bed Normal:", f(d.bedNormalX()), f(d.bedNormalY()), f(d.bedNormalZ())),
      qv::format(triple, "       Bed Origin:", f(d.bedOriginX()), f(d.bedOriginY()), f(d.bedOriginZ())),
      qv::format(triple, "   Laser 1 Normal:", f(d.laser1NormalX()), f(d.laser1NormalY()), f(d.laser1NormalZ())),
      qv::format("   Laser 1 Origin:%f, %f, %f", f(d.laser1OriginX()), f(d.laser1OriginY()), f(d.laser1OriginZ())),
      qv::format("   Laser 2 Normal:%f, %f, %f", f(d.laser2NormalX()), f(d.laser2NormalY()), f(d.laser2NormalZ())),
      qv::format("   Laser 2 Origin:%f, %f, %f", f(d.laser2OriginX()), f(d.laser2OriginY()), f(d.laser2OriginZ())),
      qv::format(triple, "Lead Screw Normal:", f(d.leadScrewNormalX()), f(d.leadScrewNormalY()),
                 f(d.leadScrewNormalZ())),
      qv::format("Distortion Values:%f, %f, %f, %f", f(d.distortion0()), f(d.distortion1()), f(d.distortion2()),
                 f(d.distortion3())),
      qv::format(" Intrinsic Values:%f, %f, %f, %f", f(d.intrinsicCX()), f(d.intrinsicCY()), f(d.intrinsicFX()),
                 f(d.intrinsicFY())),
      frame,
  };
}

}  // namespace qv::protocol
