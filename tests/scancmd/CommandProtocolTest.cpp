// The line protocol's plain functions: banners and generations, leading numbers, key lines, the
// calibration write order, the logged tables and the bed's backlash allowance.
#include <algorithm>
#include <cmath>
#include <limits>
#include <set>

#include "ScancmdTestSupport.h"
#include "support/DecimalCommaLocale.h"
#include "platform/UUID.h"
#include "scancmd/CommandProtocol.h"

namespace qv::test {
namespace {

using namespace qv::protocol;

TEST(Banner, GenerationIsTheFirstMatchingSuffixOfTheWholeLine) {
  EXPECT_TRUE(isBanner("Quorvel Firmware v1.7.0"));
  EXPECT_TRUE(isBanner("Quorvix Firmware v1.6.1"));
  EXPECT_FALSE(isBanner("Firmware v1.7.0"));
  EXPECT_FALSE(isBanner(" Quorvel Firmware v1.7.0"));
  EXPECT_FALSE(isBanner("quorvel firmware v1.7.0"));

  EXPECT_EQ(firmwareVersionFromBanner("Quorvel Firmware v1.5.0"), QVLIFirmwareVersion150);
  EXPECT_EQ(firmwareVersionFromBanner("Quorvix Firmware v1.6.0"), QVLIFirmwareVersion160);
  EXPECT_EQ(firmwareVersionFromBanner("Quorvix Firmware v1.6.1"), QVLIFirmwareVersion161);
  EXPECT_EQ(firmwareVersionFromBanner("Quorvel Firmware v1.7.0"), QVLIFirmwareVersion170);
  EXPECT_EQ(firmwareVersionFromBanner("Quorvel Firmware v2.0.0"), QVLIFirmwareVersion200);
  // A trailing space matches no suffix; an unknown version is "other" with the longest key list.
  EXPECT_EQ(firmwareVersionFromBanner("Quorvel Firmware v1.7.0 "), QVLIFirmwareVersionOther);
  EXPECT_EQ(firmwareVersionFromBanner("Quorvel Firmware v2.1.3"), QVLIFirmwareVersionOther);
  EXPECT_EQ(firmwareVersionFromBanner("Quorvel Firmware v11.7.0"), QVLIFirmwareVersionOther);
  EXPECT_EQ(firmwareVersionFromBanner("Quorvel Firmware 2.0 v1.6.1"), QVLIFirmwareVersion161);
}

TEST(ExpectedKeys, EachGenerationWaitsForItsOwnList) {
  EXPECT_EQ(expectedKeys(QVLIFirmwareVersion170).size(), 30u);
  EXPECT_EQ(expectedKeys(QVLIFirmwareVersion160).size(), 19u);
  EXPECT_EQ(expectedKeys(QVLIFirmwareVersion161), expectedKeys(QVLIFirmwareVersion160));
  EXPECT_EQ(expectedKeys(QVLIFirmwareVersion200).size(), 44u);
  EXPECT_EQ(expectedKeys(QVLIFirmwareVersionOther), expectedKeys(QVLIFirmwareVersion200));
  EXPECT_TRUE(expectedKeys(QVLIFirmwareVersion150).empty());
  EXPECT_TRUE(expectedKeys(QVLIFirmwareVersionUnknown).empty());
  // The long list is the generation-5 list followed by the camera and laser origin keys.
  const auto& longList = expectedKeys(QVLIFirmwareVersion200);
  EXPECT_TRUE(std::equal(expectedKeys(QVLIFirmwareVersion170).begin(), expectedKeys(QVLIFirmwareVersion170).end(),
                         longList.begin()));
  EXPECT_EQ(longList.back(), "CDM3");
  EXPECT_EQ(expectedKeys(QVLIFirmwareVersion160).front(), "L1X1");
}

TEST(LeadingNumber, ReadsTheNumberAtTheStartAndIgnoresTheRest) {
  EXPECT_DOUBLE_EQ(leadingNumber("5000"), 5000.0);
  EXPECT_DOUBLE_EQ(leadingNumber("  -12.5mm"), -12.5);
  EXPECT_DOUBLE_EQ(leadingNumber(".5"), 0.5);
  EXPECT_DOUBLE_EQ(leadingNumber("1.5e2x"), 150.0);
  EXPECT_DOUBLE_EQ(leadingNumber("2e"), 2.0);    // an exponent without digits is not one
  EXPECT_DOUBLE_EQ(leadingNumber("2e+"), 2.0);
  EXPECT_DOUBLE_EQ(leadingNumber(""), 0.0);
  EXPECT_DOUBLE_EQ(leadingNumber("abc"), 0.0);
  EXPECT_DOUBLE_EQ(leadingNumber("-."), 0.0);
  EXPECT_DOUBLE_EQ(leadingNumber("nan"), 0.0);   // no words, whatever strtod would say
  EXPECT_DOUBLE_EQ(leadingNumber("0x10"), 0.0);
  EXPECT_DOUBLE_EQ(leadingNumber("1e-400"), 0.0);
  EXPECT_TRUE(std::isinf(leadingNumber("1e400")));
}

TEST(LeadingInteger, ReadsDigitsOnlyAndClampsToSixtyFourBits) {
  EXPECT_EQ(leadingInteger("7"), 7);
  EXPECT_EQ(leadingInteger(" -3rc"), -3);
  EXPECT_EQ(leadingInteger("0-rc1"), 0);
  EXPECT_EQ(leadingInteger("1.9"), 1);
  EXPECT_EQ(leadingInteger("rc"), 0);
  EXPECT_EQ(leadingInteger("99999999999999999999999"), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(leadingInteger("-99999999999999999999999"), std::numeric_limits<std::int64_t>::min());
}

TEST(KeyLine, KeyBeforeTheFirstSpaceAndEverythingAfterIt) {
  EXPECT_EQ(splitKeyLine("BEDX 12.5"), std::make_pair(std::string("BEDX"), std::string("12.5")));
  EXPECT_EQ(splitKeyLine("BEDX  12.5"), std::make_pair(std::string("BEDX"), std::string(" 12.5")));
  EXPECT_EQ(splitKeyLine("GUID "), std::make_pair(std::string("GUID"), std::string()));
  EXPECT_EQ(splitKeyLine(" BEDX 1"), std::make_pair(std::string(), std::string("BEDX 1")));
  EXPECT_EQ(splitKeyLine("NOTE two words"), std::make_pair(std::string("NOTE"), std::string("two words")));
  EXPECT_FALSE(splitKeyLine("BEDX12.5"));
}

TEST(CalibrationRecord, FieldsFromTheirKeysOnlyWhenListedAndTheIdentifierCanonical) {
  std::map<std::string, std::string> values;
  for (const auto& key : expectedKeys(QVLIFirmwareVersion200)) values[key] = "1.5";
  values["BEDX"] = " 12.5";
  values["CI00"] = "1450.25 px";
  values["GUID"] = "3f2a9c4e-7b1d-4e8a-9c0f-5d6e7a8b9c01";

  const auto full = calibrationFromValues(values, expectedKeys(QVLIFirmwareVersion200));
  EXPECT_FLOAT_EQ(full.bedOriginX(), 12.5f);
  EXPECT_FLOAT_EQ(full.intrinsicFX(), 1450.25f);
  EXPECT_FLOAT_EQ(full.distortion3(), 1.5f);
  EXPECT_EQ(full.uniqueId(), "3F2A9C4E-7B1D-4E8A-9C0F-5D6E7A8B9C01");

  // Generation 5 has no laser origins, intrinsics or distortion, whatever else was collected.
  const auto shorter = calibrationFromValues(values, expectedKeys(QVLIFirmwareVersion170));
  EXPECT_FLOAT_EQ(shorter.bedOriginX(), 12.5f);
  EXPECT_FLOAT_EQ(shorter.laser2NormalZ(), 1.5f);
  EXPECT_EQ(shorter.laser1OriginX(), 0.0f);
  EXPECT_EQ(shorter.intrinsicCY(), 0.0f);
  EXPECT_EQ(shorter.distortion0(), 0.0f);

  // Generations 3 and 4 store only the identifier among the record's fields.
  const auto oldest = calibrationFromValues(values, expectedKeys(QVLIFirmwareVersion161));
  EXPECT_EQ(oldest.bedOriginX(), 0.0f);
  EXPECT_EQ(oldest.uniqueId(), "3F2A9C4E-7B1D-4E8A-9C0F-5D6E7A8B9C01");

  // An identifier that is not one (or is missing) is replaced by a fresh one, never kept as is.
  for (const char* bad : {"", "not-a-uuid", "3f2a9c4e7b1d4e8a9c0f5d6e7a8b9c01", "{3f2a9c4e-7b1d-4e8a-9c0f-5d6e7a8b9c01}"}) {
    values["GUID"] = bad;
    const auto id = calibrationFromValues(values, expectedKeys(QVLIFirmwareVersion200)).uniqueId().value_or("");
    EXPECT_TRUE(isUUIDString(id)) << bad;
    EXPECT_EQ(id.find_first_of("abcdef"), std::string::npos) << id;
  }
}

QVLICalibrationDetails distinctRecord() {
  QVLICalibrationDetails d;
  d.setBedOriginX(1);  d.setBedOriginY(2);  d.setBedOriginZ(3);
  d.setBedNormalX(4);  d.setBedNormalY(5);  d.setBedNormalZ(6);
  d.setLeadScrewNormalX(7);  d.setLeadScrewNormalY(8);  d.setLeadScrewNormalZ(9);
  d.setLaser1NormalX(10);  d.setLaser1NormalY(11);  d.setLaser1NormalZ(12);
  d.setLaser2NormalX(13);  d.setLaser2NormalY(14);  d.setLaser2NormalZ(15);
  d.setLaser1OriginX(16);  d.setLaser1OriginY(17);  d.setLaser1OriginZ(18);
  d.setLaser2OriginX(19);  d.setLaser2OriginY(20);  d.setLaser2OriginZ(21);
  d.setIntrinsicFX(22);  d.setIntrinsicFY(23);  d.setIntrinsicCX(24);  d.setIntrinsicCY(25);
  d.setDistortion0(26);  d.setDistortion1(27);  d.setDistortion2(28);  d.setDistortion3(-0.125f);
  d.setUniqueId("3F2A9C4E-7B1D-4E8A-9C0F-5D6E7A8B9C01");
  return d;
}

TEST(CalibrationWrite, ThirtyLinesInTheFixedOrderEachCarryingItsField) {
  const auto lines = calibrationWriteLines(distinctRecord());
  ASSERT_EQ(lines.size(), 30u);
  EXPECT_EQ(lines.front(), ">>>BEDX1.000000");
  EXPECT_EQ(lines[1], ">>>CDM3-0.125000");
  EXPECT_EQ(lines[5], ">>>CI1225.000000");
  EXPECT_EQ(lines[8], ">>>CI0022.000000");
  EXPECT_EQ(lines[15], ">>>GUID3F2A9C4E-7B1D-4E8A-9C0F-5D6E7A8B9C01");
  EXPECT_EQ(lines[28], ">>>BEDZ3.000000");
  EXPECT_EQ(lines.back(), ">>>BEDY2.000000");
  // Every field is written exactly once: 29 numbers and the identifier, under 30 distinct keys.
  std::set<std::string> keys;
  for (const auto& line : lines) keys.insert(line.substr(3, 4));
  EXPECT_EQ(keys.size(), 30u);
  std::set<std::string> expected(expectedKeys(QVLIFirmwareVersion200).begin(),
                                 expectedKeys(QVLIFirmwareVersion200).end());
  for (const auto& key : keys) EXPECT_TRUE(expected.count(key)) << key;

  QVLICalibrationDetails anonymous;
  EXPECT_EQ(calibrationWriteLines(anonymous)[15], ">>>GUID");
}

TEST(CalibrationLog, TwelveLinesFramedWithEveryColonInColumnEighteen) {
  for (bool forWrite : {true, false}) {
    const auto lines = calibrationLogLines(distinctRecord(), forWrite);
    ASSERT_EQ(lines.size(), 12u);
    EXPECT_EQ(lines.front(), std::string(60, forWrite ? '<' : '>'));
    EXPECT_EQ(lines.back(), lines.front());
    for (std::size_t i = 1; i + 1 < lines.size(); ++i) EXPECT_EQ(lines[i].find(':'), 17u) << lines[i];
  }
  const auto written = calibrationLogLines(distinctRecord(), true);
  const auto read = calibrationLogLines(distinctRecord(), false);
  EXPECT_EQ(written[2], "       Bed Normal:4.000000,5.000000,6.000000");
  EXPECT_EQ(read[2], "       Bed Normal:4.000000, 5.000000, 6.000000");
  EXPECT_EQ(read[10], " Intrinsic Values:24.000000, 25.000000, 22.000000, 23.000000");
  EXPECT_EQ(read[1], "           Device:3F2A9C4E-7B1D-4E8A-9C0F-5D6E7A8B9C01");
}

TEST(Motion, LinesBacklashAndWrapping) {
  EXPECT_EQ(moveLine(10.0f), "Y10.0");
  EXPECT_EQ(moveLine(-12.34f), "Y-12.3");
  EXPECT_EQ(moveLine(0.05f), "Y0.1");
  EXPECT_EQ(rotationLine(90.0f), "X90.000000");

  // Added in the new direction only when the direction changes; no previous turn counts as positive.
  EXPECT_EQ(rotationWithBacklash(10.0f, 0.0f), 10.0f);
  EXPECT_EQ(rotationLine(rotationWithBacklash(-10.0f, 10.0f)), "X-10.001571");
  EXPECT_EQ(rotationWithBacklash(-10.0f, -10.0f), -10.0f);
  EXPECT_EQ(rotationLine(rotationWithBacklash(10.0f, -10.0f)), "X10.001571");
  EXPECT_EQ(rotationLine(rotationWithBacklash(-5.0f, 0.0f)), "X-5.001571");
  EXPECT_EQ(rotationLine(rotationWithBacklash(0.0f, -3.0f)), "X0.001571");

  EXPECT_FLOAT_EQ(wrapDegrees(370.0f), 10.0f);
  EXPECT_FLOAT_EQ(wrapDegrees(-10.0f), -10.0f);
  EXPECT_FLOAT_EQ(wrapDegrees(-370.0f), -10.0f);
  EXPECT_FLOAT_EQ(wrapDegrees(720.0f), 0.0f);
}

// A user interface toolkit sets the user's locale; the scanner must still read "Y10.0", not "Y10,0".
TEST(Motion, LinesAndTheCalibrationRecordIgnoreTheProcessLocale) {
  DecimalCommaLocale german;
  ASSERT_TRUE(german.active());
  EXPECT_EQ(moveLine(10.0f), "Y10.0");
  EXPECT_EQ(moveLine(-1234.5f), "Y-1234.5");
  EXPECT_EQ(rotationLine(1234.5f), "X1234.500000");
  const auto lines = calibrationWriteLines(distinctRecord());
  ASSERT_EQ(lines.size(), 30u);
  EXPECT_EQ(lines.front(), ">>>BEDX1.000000");
  EXPECT_EQ(lines[1], ">>>CDM3-0.125000");
  EXPECT_EQ(calibrationLogLines(distinctRecord(), false)[10],
            " Intrinsic Values:24.000000, 25.000000, 22.000000, 23.000000");
}

}  // namespace
}  // namespace qv::test
