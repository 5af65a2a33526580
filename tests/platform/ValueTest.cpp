// Values, identifiers and base64.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>

#include "platform/Base64.h"
#include "platform/UUID.h"
#include "platform/Value.h"
#include "support/DecimalCommaLocale.h"

TEST(Value, ComparesNumbersAcrossTheirKindsAndObjectsByIdentity) {
  EXPECT_EQ(qv::Value(2), qv::Value(2.0));
  EXPECT_EQ(qv::Value(true), qv::Value(1));
  EXPECT_NE(qv::Value("2"), qv::Value(2));
  EXPECT_EQ(qv::Value(qv::Array{1, "a"}), qv::Value(qv::Array{1.0, "a"}));
  qv::Value object = qv::Value::object(std::string("port"));
  EXPECT_EQ(object, object);
  EXPECT_NE(object, qv::Value::object(std::string("port")));
  EXPECT_EQ(*object.object<std::string>(), "port");
  EXPECT_EQ(object.object<int>(), nullptr);
}

TEST(Value, ReadsIntegersFromTextByTheirLeadingInteger) {
  EXPECT_EQ(qv::Value("3.9").toInt64(), 3);
  EXPECT_EQ(qv::Value("  -7x").toInt64(), -7);
  EXPECT_EQ(qv::Value("").toInt64(), 0);
  EXPECT_EQ(qv::Value(1e300).toInt64(), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(qv::Value(std::nan("")).toInt64(), 0);
  EXPECT_DOUBLE_EQ(qv::Value("1e2 degrees").toDouble(), 100.0);
  EXPECT_FALSE(qv::Value(qv::Data{1}).toString());
  // Text is read without the locale: under a decimal-comma one "2.5" is still two and a half.
  qv::test::DecimalCommaLocale german;
  EXPECT_DOUBLE_EQ(qv::Value("2.5").toDouble(), 2.5);
  EXPECT_DOUBLE_EQ(qv::Value("2,5").toDouble(), 2.0);
}

TEST(UUID, IsUpperCaseRandomAndWellFormed) {
  std::set<std::string> seen;
  for (int i = 0; i < 100; ++i) {
    const std::string id = qv::makeUUIDString();
    ASSERT_EQ(id.size(), 36u);
    EXPECT_TRUE(qv::isUUIDString(id));
    for (char c : id) EXPECT_FALSE(c >= 'a' && c <= 'z') << id;
    EXPECT_EQ(id[14], '4');  // version 4
    seen.insert(id);
  }
  EXPECT_EQ(seen.size(), 100u);
  EXPECT_FALSE(qv::isUUIDString("not-a-uuid"));
  EXPECT_TRUE(qv::isUUIDString("6ba7b810-9dad-11d1-80b4-00c04fd430c8"));
}

TEST(Base64, RoundTripsEveryLengthAndRejectsGarbage) {
  qv::Data data;
  for (int n = 0; n < 40; ++n) {
    EXPECT_EQ(qv::base64Decode(qv::base64Encode(data)), data);
    data.push_back(static_cast<std::uint8_t>(n * 37 + 5));
  }
  EXPECT_EQ(qv::base64Encode(qv::Data{'M', 'a', 'n'}), "TWFu");
  EXPECT_EQ(qv::base64Encode(qv::Data{'M'}), "TQ==");
  EXPECT_FALSE(qv::base64Decode("TQ=a"));
  EXPECT_FALSE(qv::base64Decode("T"));
  EXPECT_FALSE(qv::base64Decode("TQ==="));
}
