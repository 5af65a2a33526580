// printf semantics of qv::format, which the protocol's and the logs' texts rely on.
#include <gtest/gtest.h>

#include "platform/Format.h"

TEST(Format, FollowsPrintfForTheFormatsTheProtocolUses) {
  EXPECT_EQ(qv::format("%f", 1.5), "1.500000");
  EXPECT_EQ(qv::format("%f", -0.0000004), "-0.000000");
  EXPECT_EQ(qv::format("%0.1f", 2.25), "2.2");  // round half to even on the binary value
  EXPECT_EQ(qv::format("%0.1f", 2.35), "2.4");
  EXPECT_EQ(qv::format("%0.1f", 185.0), "185.0");
  EXPECT_EQ(qv::format("%d", -42), "-42");
  EXPECT_EQ(qv::format("%d%%", 7), "7%");
}

TEST(Format, GrowsBeyondItsFirstBuffer) {
  const std::string long_text(1000, 'x');
  const std::string out = qv::format("[%s] %d", long_text.c_str(), 12);
  EXPECT_EQ(out.size(), 1000u + 5u);
  EXPECT_EQ(out.substr(out.size() - 4), "] 12");
}
