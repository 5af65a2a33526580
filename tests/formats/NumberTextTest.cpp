// File numbers in the C locale: the fast float path prints exactly what printf prints, in any locale.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>

#include "formats/internal/NumberText.h"
#include "support/DecimalCommaLocale.h"

namespace {

std::string printfFixed(double v, int decimals) {
  char buffer[512];
  std::snprintf(buffer, sizeof buffer, "%.*f", decimals, v);
  return buffer;
}

}  // namespace

TEST(NumberTextTest, FloatsPrintAsPrintfPrintsThemInTheCLocale) {
  std::vector<float> values = {0.0f, -0.0f, -1e-9f, 0.5f, 1.5f, 2.5f, 0.0000005f, 0.0000015f, 123456.789f, -98765.4321f,
                               1e11f, 9.999999e11f, 1e12f, 3e38f, INFINITY, -INFINITY, std::nanf("")};
  std::mt19937 random(7);
  std::uniform_int_distribution<std::uint32_t> bits;
  while (values.size() < 20000) {
    const std::uint32_t b = bits(random);
    float f;
    std::memcpy(&f, &b, 4);
    values.push_back(std::ldexp(f, 0));  // every exponent, the subnormals and the halves included
  }
  // Halves at 3 and 6 decimals that only exact arithmetic rounds right (ties go to even).
  for (int i = 0; i < 2000; ++i) values.push_back(static_cast<float>((i + 0.5) / 1024.0));
  // Every number of decimals the fast path takes: its digits come in pairs, so odd and even counts differ.
  for (int decimals = 0; decimals <= 6; ++decimals) {
    for (float v : values) {
      if (std::isnan(v)) continue;  // printf's sign of a NaN depends on how it was made
      const std::string expected = printfFixed(v, decimals);
      std::string fast;
      qv::text::appendFixed(fast, v, decimals);
      ASSERT_EQ(fast, expected) << "bits of the float: " << std::hexfloat << v;
    }
  }
  // And none of it follows a decimal-comma locale.
  qv::test::DecimalCommaLocale german;
  std::string text;
  qv::text::appendFixed(text, 1.5f, 6);
  qv::text::appendFixed(text += ' ', 2.25, 8);
  qv::text::appendShortest(text += ' ', 0.1);
  EXPECT_EQ(text, "1.500000 2.25000000 0.1");
  EXPECT_EQ(qv::text::parseDouble("2.5"), 2.5);
  EXPECT_EQ(qv::text::parseFloat("+1e-50"), 0.0f);
  EXPECT_FALSE(qv::text::parseDouble("2,5").has_value());
  EXPECT_FALSE(qv::text::parseDouble("").has_value());
  // Beyond the range, read as the C library reads in the C locale: the infinity or the zero the
  // value rounds to, with its sign, and never a prefix up to the point the locale stops at.
  EXPECT_EQ(qv::text::parseDouble("1.5e-999"), 0.0);
  EXPECT_EQ(qv::text::parseDouble("2.5e999"), INFINITY);
  EXPECT_EQ(qv::text::parseDouble("-2.5e999"), -INFINITY);
  EXPECT_EQ(qv::text::parseDouble("0.000123e-320"), 0.0);
  EXPECT_EQ(qv::text::parseDouble("123456e+99999999999999999999"), INFINITY);
  // Exponents at the very ends of 64 bits, where the digits before them must not wrap the sum.
  EXPECT_EQ(qv::text::parseDouble("100e9223372036854775807"), INFINITY);
  EXPECT_EQ(qv::text::parseDouble("-0.01e-9223372036854775807"), -0.0);
  EXPECT_EQ(qv::text::parseFloat("1e39"), INFINITY);
  EXPECT_EQ(qv::text::parseFloat("340282357000000000000000000000000000000"), INFINITY);
  const auto tiny = qv::text::parseFloat("-1e-50");
  ASSERT_TRUE(tiny.has_value());
  EXPECT_EQ(*tiny, 0.0f);
  EXPECT_TRUE(std::signbit(*tiny));
  EXPECT_EQ(qv::text::parseFloat("1e-40"), std::strtof("1e-40", nullptr));  // a subnormal is in range
}
