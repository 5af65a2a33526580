// The change-tracking flag sets: one word in the object, more words for entities of many properties.
#include <gtest/gtest.h>

#include "store/FlagSet.h"

namespace {

TEST(FlagSetTest, FlagsOnEitherSideOfAWordBoundaryStayApartThroughResizesAndFills) {
  for (const std::size_t size : {std::size_t{12}, std::size_t{64}, std::size_t{65}, std::size_t{130}}) {
    SCOPED_TRACE(size);
    qv::FlagSet flags(size, false);
    EXPECT_FALSE(flags.any());
    flags[size - 1] = true;
    flags[0] = flags[size - 1];
    if (size > 64) flags[63] = true;
    EXPECT_TRUE(flags[0] && flags[size - 1]);
    EXPECT_EQ(flags.count(), size > 64 ? 3u : 2u);
    EXPECT_FALSE(flags[1]);

    // Growing sets the new flags only; shrinking drops the cut-off ones for good.
    flags.resize(size + 70, true);
    EXPECT_EQ(flags.count(), (size > 64 ? 3u : 2u) + 70u);
    EXPECT_TRUE(flags[size] && flags[size + 69]);
    EXPECT_FALSE(flags[1]) << "an old flag that was never set";
    flags.resize(1, false);
    EXPECT_EQ(flags.count(), 1u);
    flags.resize(size, false);
    EXPECT_EQ(flags.count(), 1u) << "flags beyond a shrunk size come back clear";

    flags.fill(true);
    EXPECT_EQ(flags.count(), size);
    qv::FlagSet copy = flags;
    EXPECT_EQ(copy, flags);
    copy.set(size / 2, false);
    EXPECT_NE(copy, flags);
    copy.fill(false);
    EXPECT_FALSE(copy.any());
  }
}

}  // namespace
