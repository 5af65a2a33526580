// The calibration record: defaults, conversion from the device record, both JSON forms and the reader.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <limits>
#include <nlohmann/json.hpp>

#include "platform/Settings.h"
#include "platform/UUID.h"
#include "records/QVSCalibrationDetails.h"
#include "scancmd/QVLICalibrationDetails.h"

namespace {

using Getter = float (QVSCalibrationDetails::*)() const;
using Setter = void (QVSCalibrationDetails::*)(float);

struct Member {
  const char* textKey;
  const char* dictionaryKey;
  Getter get;
  Setter set;
};

#define MEMBER(name, Name) \
  Member { #Name, #name, &QVSCalibrationDetails::name, &QVSCalibrationDetails::set##Name }

const Member kMembers[] = {
    MEMBER(cameraNormalX, CameraNormalX),       MEMBER(cameraNormalY, CameraNormalY),
    MEMBER(cameraNormalZ, CameraNormalZ),       MEMBER(cameraOriginX, CameraOriginX),
    MEMBER(cameraOriginY, CameraOriginY),       MEMBER(cameraOriginZ, CameraOriginZ),
    MEMBER(cameraUpX, CameraUpX),               MEMBER(cameraUpY, CameraUpY),
    MEMBER(cameraUpZ, CameraUpZ),               MEMBER(bedNormalX, BedNormalX),
    MEMBER(bedNormalY, BedNormalY),             MEMBER(bedNormalZ, BedNormalZ),
    MEMBER(bedOriginX, BedOriginX),             MEMBER(bedOriginY, BedOriginY),
    MEMBER(bedOriginZ, BedOriginZ),             MEMBER(distortion0, Distortion0),
    MEMBER(distortion1, Distortion1),           MEMBER(distortion2, Distortion2),
    MEMBER(distortion3, Distortion3),           MEMBER(intrinsicCX, IntrinsicCX),
    MEMBER(intrinsicCY, IntrinsicCY),           MEMBER(intrinsicFX, IntrinsicFX),
    MEMBER(intrinsicFY, IntrinsicFY),           MEMBER(laser1NormalX, Laser1NormalX),
    MEMBER(laser1NormalY, Laser1NormalY),       MEMBER(laser1NormalZ, Laser1NormalZ),
    MEMBER(laser1OriginX, Laser1OriginX),       MEMBER(laser1OriginY, Laser1OriginY),
    MEMBER(laser1OriginZ, Laser1OriginZ),       MEMBER(laser2NormalX, Laser2NormalX),
    MEMBER(laser2NormalY, Laser2NormalY),       MEMBER(laser2NormalZ, Laser2NormalZ),
    MEMBER(laser2OriginX, Laser2OriginX),       MEMBER(laser2OriginY, Laser2OriginY),
    MEMBER(laser2OriginZ, Laser2OriginZ),       MEMBER(leadScrewNormalX, LeadScrewNormalX),
    MEMBER(leadScrewNormalY, LeadScrewNormalY), MEMBER(leadScrewNormalZ, LeadScrewNormalZ),
};

#undef MEMBER

bool isCameraPose(const Member& m) {
  const std::string key = m.textKey;
  return key.rfind("CameraNormal", 0) == 0 || key.rfind("CameraUp", 0) == 0;
}

// Every value distinct, awkward to print in decimal, some negative and some tiny.
QVSCalibrationDetails fullyFilledRecord() {
  QVSCalibrationDetails record;
  float value = 0.1f;
  for (const Member& m : kMembers) {
    (record.*m.set)(value);
    value = -value * 1.7f + 0.013f;
  }
  record.setIntrinsicFX(1234.5678f);
  record.setDistortion3(-1.0e-7f);
  record.setUniqueId("0F8E1C55-7D1B-4E4A-9A0E-3C21B7D40A11");
  return record;
}

// The 29 values a scanner stores, paired with where the record keeps them.
struct DeviceValue {
  void (QVLICalibrationDetails::*set)(float);
  Getter get;
};

#define DEVICE(name, Name) \
  DeviceValue { &QVLICalibrationDetails::set##Name, &QVSCalibrationDetails::name }

const DeviceValue kDeviceValues[] = {
    DEVICE(bedNormalX, BedNormalX),       DEVICE(bedNormalY, BedNormalY),
    DEVICE(bedNormalZ, BedNormalZ),       DEVICE(bedOriginX, BedOriginX),
    DEVICE(bedOriginY, BedOriginY),       DEVICE(bedOriginZ, BedOriginZ),
    DEVICE(distortion0, Distortion0),     DEVICE(distortion1, Distortion1),
    DEVICE(distortion2, Distortion2),     DEVICE(distortion3, Distortion3),
    DEVICE(intrinsicCX, IntrinsicCX),     DEVICE(intrinsicCY, IntrinsicCY),
    DEVICE(intrinsicFX, IntrinsicFX),     DEVICE(intrinsicFY, IntrinsicFY),
    DEVICE(laser1NormalX, Laser1NormalX), DEVICE(laser1NormalY, Laser1NormalY),
    DEVICE(laser1NormalZ, Laser1NormalZ), DEVICE(laser1OriginX, Laser1OriginX),
    DEVICE(laser1OriginY, Laser1OriginY), DEVICE(laser1OriginZ, Laser1OriginZ),
    DEVICE(laser2NormalX, Laser2NormalX), DEVICE(laser2NormalY, Laser2NormalY),
    DEVICE(laser2NormalZ, Laser2NormalZ), DEVICE(laser2OriginX, Laser2OriginX),
    DEVICE(laser2OriginY, Laser2OriginY), DEVICE(laser2OriginZ, Laser2OriginZ),
    DEVICE(leadScrewNormalX, LeadScrewNormalX), DEVICE(leadScrewNormalY, LeadScrewNormalY),
    DEVICE(leadScrewNormalZ, LeadScrewNormalZ),
};

#undef DEVICE

// Every value distinct, so that two fields swapped on the way show.
float deviceValue(std::size_t i) { return (i % 2 ? -1.0f : 1.0f) * (static_cast<float>(i) + 0.25f); }

QVLICalibrationDetails deviceRecord() {
  QVLICalibrationDetails device;
  for (std::size_t i = 0; i < std::size(kDeviceValues); ++i) (device.*kDeviceValues[i].set)(deviceValue(i));
  device.setUniqueId("6BA7B810-9DAD-11D1-80B4-00C04FD430C8");
  return device;
}

void expectDefaultCameraPose(const QVSCalibrationDetails& r) {
  EXPECT_EQ(r.cameraNormal(), Eigen::Vector3d(0, 0, -1));
  EXPECT_EQ(r.cameraOrigin(), Eigen::Vector3d(0, 0, 0));
  EXPECT_EQ(r.cameraUp(), Eigen::Vector3d(0, 1, 0));
}

}  // namespace

TEST(CalibrationDetails, FreshRecordHasTheNominalScanner) {
  const QVSCalibrationDetails r;
  expectDefaultCameraPose(r);
  EXPECT_EQ(r.laser1OriginX(), -66.7249f);
  EXPECT_EQ(r.laser1OriginY(), 0.0f);
  EXPECT_EQ(r.laser1OriginZ(), -7.085746f);
  EXPECT_EQ(r.laser2OriginX(), 32.53269f);
  EXPECT_EQ(r.laser2OriginY(), 0.0f);
  EXPECT_EQ(r.laser2OriginZ(), 3.3051884f);
  int nonZero = 0;
  for (const Member& m : kMembers) nonZero += (r.*m.get)() != 0.0f;
  EXPECT_EQ(nonZero, 6);  // camera normal Z, camera up Y and four laser origin values
  EXPECT_FALSE(r.uniqueId().has_value());
}

TEST(CalibrationDetails, ConvertsTheDeviceRecordOneToOne) {
  EXPECT_EQ(QVSCalibrationDetails::calibrationDetailsFromDeviceCalibration(nullptr), nullptr);

  const QVLICalibrationDetails fresh;
  EXPECT_EQ(fresh.bedNormalY(), 0.0f);
  EXPECT_EQ(fresh.laser1OriginX(), 0.0f);
  EXPECT_FALSE(fresh.uniqueId().has_value());

  const QVLICalibrationDetails device = deviceRecord();
  const auto r = QVSCalibrationDetails::calibrationDetailsFromDeviceCalibration(&device);
  ASSERT_NE(r, nullptr);
  expectDefaultCameraPose(*r);
  for (std::size_t i = 0; i < std::size(kDeviceValues); ++i) {
    EXPECT_EQ((r.get()->*kDeviceValues[i].get)(), deviceValue(i)) << i;
  }
  EXPECT_EQ(r->uniqueId(), device.uniqueId());

  // A device record with zero laser origins (an older firmware generation) stays zero: the
  // nominal defaults of a fresh record must not leak through.
  QVLICalibrationDetails older;
  older.setUniqueId("A");
  const auto fromOlder = QVSCalibrationDetails::calibrationDetailsFromDeviceCalibration(&older);
  EXPECT_EQ(fromOlder->laser1Origin(), Eigen::Vector3d::Zero());
  EXPECT_EQ(fromOlder->laser2Origin(), Eigen::Vector3d::Zero());
}

TEST(CalibrationDetails, ScannerCalibrationTagsLasersAndOrdersIntrinsics) {
  const QVLICalibrationDetails device = deviceRecord();
  const auto r = QVSCalibrationDetails::calibrationDetailsFromDeviceCalibration(&device);
  r->setCameraOriginX(4.0f);
  const QVLScannerCalibration c = r->scannerCalibration();
  EXPECT_EQ(c.laser1.tag, 2);
  EXPECT_EQ(c.laser2.tag, 3);
  EXPECT_EQ(c.laser1.normal, r->laser1Normal());
  EXPECT_EQ(c.laser1.origin, r->laser1Origin());
  EXPECT_EQ(c.laser2.normal, r->laser2Normal());
  EXPECT_EQ(c.laser2.origin, r->laser2Origin());
  EXPECT_EQ(c.bedNormal, r->bedNormal());
  EXPECT_EQ(c.bedOrigin, r->bedOrigin());
  EXPECT_EQ(c.leadScrewNormal, r->leadScrewNormal());
  EXPECT_EQ(c.cameraOrigin, Eigen::Vector3d(4, 0, 0));
  EXPECT_EQ(c.intrinsics, Eigen::Vector4d(r->intrinsicFX(), r->intrinsicFY(), r->intrinsicCX(), r->intrinsicCY()));
  EXPECT_EQ(c.distortion, Eigen::Vector4d(r->distortion0(), r->distortion1(), r->distortion2(), r->distortion3()));

  // The structure holds vectorisable members; heap copies must be aligned.
  auto* onHeap = new QVLScannerCalibration(c);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(onHeap) % 16, 0u);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(&onHeap->intrinsics) % 16, 0u);
  delete onHeap;
}

TEST(CalibrationDetails, JsonStringHasVersionAndFortyMembers) {
  const QVSCalibrationDetails record = fullyFilledRecord();
  const auto json = nlohmann::json::parse(record.jsonString());
  ASSERT_TRUE(json.is_object());
  EXPECT_EQ(json.size(), 40u);
  EXPECT_EQ(json.at("CalibrationVersion"), 2);
  EXPECT_TRUE(json.at("CalibrationVersion").is_number_integer());
  EXPECT_EQ(json.at("UniqueId"), "0F8E1C55-7D1B-4E4A-9A0E-3C21B7D40A11");
  for (const Member& m : kMembers) {
    ASSERT_TRUE(json.contains(m.textKey)) << m.textKey;
    EXPECT_EQ(static_cast<float>(json.at(m.textKey).get<double>()), (record.*m.get)()) << m.textKey;
  }
  // Pretty-printed: one member a line.
  const std::string text = record.jsonString();
  EXPECT_GE(std::count(text.begin(), text.end(), '\n'), 40);
  // Floats are written by their own shortest decimal form, not the widened double's digits.
  EXPECT_NE(QVSCalibrationDetails().jsonString().find("-66.7249,"), std::string::npos);
}

TEST(CalibrationDetails, JsonStringInventsAnIdentifierWithoutKeepingIt) {
  for (const std::optional<std::string>& id : {std::optional<std::string>(), std::optional<std::string>("")}) {
    QVSCalibrationDetails record;
    record.setUniqueId(id);
    const auto first = nlohmann::json::parse(record.jsonString()).at("UniqueId").get<std::string>();
    const auto second = nlohmann::json::parse(record.jsonString()).at("UniqueId").get<std::string>();
    EXPECT_TRUE(qv::isUUIDString(first));
    EXPECT_EQ(first.find_first_of("abcdef"), std::string::npos) << "upper case";
    EXPECT_NE(first, second);
    EXPECT_EQ(record.uniqueId(), id);
  }
}

TEST(CalibrationDetails, JsonStringRoundTripsEveryReadField) {
  const QVSCalibrationDetails record = fullyFilledRecord();
  const auto back = QVSCalibrationDetails::calibrationDetailsFromJsonString(record.jsonString());
  ASSERT_NE(back, nullptr);
  for (const Member& m : kMembers) {
    if (isCameraPose(m)) continue;
    EXPECT_EQ((back.get()->*m.get)(), (record.*m.get)()) << m.textKey;  // bit for bit
  }
  EXPECT_EQ(back->uniqueId(), record.uniqueId());
  // Camera normal and up are written but come back as the defaults.
  EXPECT_EQ(back->cameraNormal(), Eigen::Vector3d(0, 0, -1));
  EXPECT_EQ(back->cameraUp(), Eigen::Vector3d(0, 1, 0));
  EXPECT_EQ(back->cameraOrigin(), record.cameraOrigin());
}

TEST(CalibrationDetails, DictionaryFormHasPropertyNamesAndNoVersion) {
  const QVSCalibrationDetails record = fullyFilledRecord();
  const qv::Dictionary dictionary = record.jsonDictionary();
  EXPECT_EQ(dictionary.size(), 39u);
  EXPECT_EQ(qv::find(dictionary, "CalibrationVersion"), nullptr);
  for (const Member& m : kMembers) {
    const qv::Value* value = qv::find(dictionary, m.dictionaryKey);
    ASSERT_NE(value, nullptr) << m.dictionaryKey;
    EXPECT_EQ(static_cast<float>(value->toDouble()), (record.*m.get)()) << m.dictionaryKey;
  }
  EXPECT_EQ(*qv::find(dictionary, "uniqueId"), qv::Value("0F8E1C55-7D1B-4E4A-9A0E-3C21B7D40A11"));

  // Without an identifier the entry is null, and no identifier is invented.
  const qv::Dictionary bare = QVSCalibrationDetails().jsonDictionary();
  EXPECT_EQ(bare.size(), 39u);
  EXPECT_TRUE(qv::find(bare, "uniqueId")->isNull());
}

TEST(CalibrationDetails, NonFiniteValuesAreWrittenAsNullAndReadAsAbsent) {
  QVSCalibrationDetails record = fullyFilledRecord();
  record.setBedOriginX(std::numeric_limits<float>::quiet_NaN());
  record.setIntrinsicFX(std::numeric_limits<float>::infinity());
  record.setDistortion1(-std::numeric_limits<float>::infinity());

  const std::string text = record.jsonString();
  const auto json = nlohmann::json::parse(text);  // would throw on "nan" or "inf"
  EXPECT_TRUE(json.at("BedOriginX").is_null());
  EXPECT_TRUE(json.at("IntrinsicFX").is_null());
  EXPECT_TRUE(json.at("Distortion1").is_null());
  EXPECT_EQ(json.size(), 40u);

  const auto back = QVSCalibrationDetails::calibrationDetailsFromJsonString(text);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->bedOriginX(), 0.0f);
  EXPECT_EQ(back->intrinsicFX(), 0.0f);
  EXPECT_EQ(back->distortion1(), 0.0f);
  EXPECT_EQ(back->bedOriginY(), record.bedOriginY());

  const qv::Dictionary dictionary = record.jsonDictionary();
  EXPECT_TRUE(qv::find(dictionary, "bedOriginX")->isNull());
  EXPECT_TRUE(qv::find(dictionary, "intrinsicFX")->isNull());
  // The dictionary serialises to valid JSON as the scan driver writes it.
  const auto written = nlohmann::json::parse(qv::Settings::toJSON(dictionary));
  EXPECT_TRUE(written.at("bedOriginX").is_null());
}

TEST(CalibrationDetails, ReaderTakesOnlyWhatIsThere) {
  const auto r = QVSCalibrationDetails::calibrationDetailsFromJsonString(R"({"BedNormalY": 1})");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->bedNormal(), Eigen::Vector3d(0, 1, 0));
  expectDefaultCameraPose(*r);
  // Absent members read as 0, not as the nominal laser origins of a fresh record.
  EXPECT_EQ(r->laser1Origin(), Eigen::Vector3d::Zero());
  EXPECT_EQ(r->laser2Origin(), Eigen::Vector3d::Zero());
  EXPECT_FALSE(r->uniqueId().has_value());

  const auto ignored = QVSCalibrationDetails::calibrationDetailsFromJsonString(
      R"({"CameraNormalZ": 5, "CameraUpY": -3, "CameraNormalX": 2, "CameraOriginZ": 7, "Other": 1})");
  ASSERT_NE(ignored, nullptr);
  EXPECT_EQ(ignored->cameraNormal(), Eigen::Vector3d(0, 0, -1));
  EXPECT_EQ(ignored->cameraUp(), Eigen::Vector3d(0, 1, 0));
  EXPECT_EQ(ignored->cameraOriginZ(), 7.0f);
}

TEST(CalibrationDetails, ReaderRefusesWhatIsNotAnObject) {
  for (const char* text : {"", "[]", "[{\"BedNormalY\": 1}]", "not json", "{\"BedNormalY\": 1", "42", "\"text\"",
                           "null", "{\"a\":1} trailing"}) {
    EXPECT_EQ(QVSCalibrationDetails::calibrationDetailsFromJsonString(text), nullptr) << text;
  }
  EXPECT_NE(QVSCalibrationDetails::calibrationDetailsFromJsonString("{}"), nullptr);
}

TEST(CalibrationDetails, ReaderCoercesMemberValues) {
  const auto r = QVSCalibrationDetails::calibrationDetailsFromJsonString(R"({
    "BedOriginX": "12.5mm", "BedOriginY": "  -3e2 and more", "BedOriginZ": "none",
    "IntrinsicFX": null, "IntrinsicFY": true, "IntrinsicCX": [1], "IntrinsicCY": {"v": 2},
    "Distortion0": "nan", "Distortion1": "inf", "Distortion2": 1e300, "Distortion3": -1e-300,
    "Laser1OriginX": 17, "Laser1OriginY": "0x10", "Laser1OriginZ": 18446744073709551615,
    "UniqueId": 12
  })");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->bedOriginX(), 12.5f);
  EXPECT_EQ(r->bedOriginY(), -300.0f);
  EXPECT_EQ(r->bedOriginZ(), 0.0f);
  EXPECT_EQ(r->intrinsicFX(), 0.0f);
  EXPECT_EQ(r->intrinsicFY(), 0.0f);
  EXPECT_EQ(r->intrinsicCX(), 0.0f);
  EXPECT_EQ(r->intrinsicCY(), 0.0f);
  // Text spellings of non-finite numbers and values no float can hold never become NaN or inf.
  EXPECT_EQ(r->distortion0(), 0.0f);
  EXPECT_EQ(r->distortion1(), 0.0f);
  EXPECT_EQ(r->distortion2(), 0.0f);
  EXPECT_EQ(r->distortion3(), 0.0f);
  EXPECT_EQ(r->laser1OriginX(), 17.0f);
  EXPECT_EQ(r->laser1OriginY(), 0.0f);
  EXPECT_FLOAT_EQ(r->laser1OriginZ(), 1.8446744e19f);
  EXPECT_FALSE(r->uniqueId().has_value());
}

TEST(CalibrationDetails, IdentifierThatIsNotUtf8DoesNotBreakTheText) {
  QVSCalibrationDetails record;
  record.setUniqueId(std::string("GUID\xff\xfe", 6));
  std::string text;
  ASSERT_NO_THROW(text = record.jsonString());
  const auto json = nlohmann::json::parse(text);
  EXPECT_EQ(json.at("UniqueId").get<std::string>().substr(0, 4), "GUID");
}
