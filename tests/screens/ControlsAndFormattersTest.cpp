// The formatters' rules and the shared controls' drawing rules.
#include <gtest/gtest.h>

#include "screens/ControlRules.h"
#include "screens/PointSelectionOverlayModel.h"
#include "screens/QVLDegreeFormatter.h"
#include "screens/QVLMultiValueFormatter.h"
#include "screens/QVLNumberFormatter.h"

namespace qv::screens {
namespace {

TEST(Formatters, ExposureFieldsTakeAtMostFourDigits) {
  EXPECT_TRUE(QVLNumberFormatter::isPartialStringValid("1234"));
  EXPECT_TRUE(QVLNumberFormatter::isPartialStringValid(""));
  EXPECT_FALSE(QVLNumberFormatter::isPartialStringValid("12345"));
  EXPECT_FALSE(QVLNumberFormatter::isPartialStringValid("12a"));
  EXPECT_FALSE(QVLNumberFormatter::isPartialStringValid("-12"));
}

TEST(Formatters, ARotationStepMustDivideAFullTurn) {
  for (const char* good : {"0.5", "1", "1.5", "2", "3", "7.5", "360", " 2 "}) {
    float v = 0;
    std::string error;
    EXPECT_TRUE(QVLDegreeFormatter::getObjectValue(good, &v, &error)) << good << ": " << error;
  }
  std::string error;
  float v = 0;
  EXPECT_FALSE(QVLDegreeFormatter::getObjectValue("0", &v, &error));
  EXPECT_EQ(error, QVLDegreeFormatter::kNotPositive);
  for (const char* bad : {"7", "0.7"}) {
    error.clear();
    EXPECT_FALSE(QVLDegreeFormatter::getObjectValue(bad, &v, &error)) << bad;
    EXPECT_EQ(error, QVLDegreeFormatter::kNotDividing);
  }
  // Text that is no number is refused without a message; with no place for the result a number passes.
  error.clear();
  EXPECT_FALSE(QVLDegreeFormatter::getObjectValue("2x", &v, &error));
  EXPECT_TRUE(error.empty());
  EXPECT_TRUE(QVLDegreeFormatter::getObjectValue("7", nullptr, nullptr));
}

TEST(Formatters, ExposureListsAreCommaSeparatedAndWithinRange) {
  std::string normal, error;
  EXPECT_TRUE(QVLMultiValueFormatter::getObjectValue(" 50,100 ,  2000", &normal, &error));
  EXPECT_EQ(normal, "50, 100, 2000");
  EXPECT_TRUE(QVLMultiValueFormatter::getObjectValue("10,20", &normal, &error));
  EXPECT_EQ(normal, "10, 20");
  EXPECT_TRUE(QVLMultiValueFormatter::getObjectValue("1,10000", &normal, &error));

  for (const char* text : {"50;100", "50,", "50 100", "5 0"}) {
    EXPECT_FALSE(QVLMultiValueFormatter::getObjectValue(text, &normal, &error)) << text;
    EXPECT_EQ(error, QVLMultiValueFormatter::kNeedsCommas) << text;
  }
  for (const char* text : {"50,0", "20000", "", "99999999999999999999"}) {
    EXPECT_FALSE(QVLMultiValueFormatter::getObjectValue(text, &normal, &error)) << text;
    EXPECT_EQ(error, QVLMultiValueFormatter::kOutOfRange) << text;
  }
}

TEST(SharedControls, SquareButtonsLevelBarsAndTheWaitingSignFollowTheirRules) {
  auto style2 = squareButtonColours(2, false);
  EXPECT_EQ(style2.background, Rgba::white(1.0));
  EXPECT_EQ(squareButtonColours(2, true).background, Rgba::white(0.9));
  EXPECT_EQ(squareButtonColours(1, true).background, kAccentGreen);
  EXPECT_EQ(squareButtonColours(3, false).title, kAccentGreen);
  EXPECT_EQ(squareButtonColours(4, false).background, Rgba::white(0.87));
  EXPECT_FALSE(squareButtonColours(5, false).title.has_value());
  EXPECT_FALSE(squareButtonColours(5, false).background.has_value());
  EXPECT_DOUBLE_EQ(squareButtonAlpha(false), 0.6);

  EXPECT_DOUBLE_EQ(levelIndicatorBarWidth(150, 100, 100), 92);
  EXPECT_DOUBLE_EQ(levelIndicatorBarWidth(0, 100, 100), 0);
  EXPECT_DOUBLE_EQ(levelIndicatorBarWidth(33.3, 100, 100), 31);
  EXPECT_DOUBLE_EQ(levelIndicatorBarWidth(5, 0, 100), 0);

  // One cycle: right; base and right; all; base and left; left; none.
  int c = 0;
  std::string lit;
  for (int step = 0; step < 6; ++step) {
    c = waitingCounterAfter(c);
    auto s = waitingSidesLit(c);
    lit += std::string(s.base ? "b" : "") + (s.left ? "l" : "") + (s.right ? "r" : "") + "|";
  }
  EXPECT_EQ(lit, "r|br|blr|bl|l||");
  EXPECT_EQ(waitingCounterAfter(6), 1);
  EXPECT_EQ(enableToColour(false), Rgba::white(0.15, 0.25));
}

TEST(SharedControls, TheBrushOverlayKeepsOneCirclePerPoint) {
  PointSelectionOverlayModel overlay;
  auto dirty = overlay.addPoint(10, 20, 3);
  EXPECT_DOUBLE_EQ(dirty.x, 7);
  EXPECT_DOUBLE_EQ(dirty.width, 6);
  overlay.addPoint(10, 20, 5);
  overlay.addPoint(11, 20, 1);
  ASSERT_EQ(overlay.count(), 2u);
  EXPECT_DOUBLE_EQ(overlay.visiblePoints()[0].radius, 5);
  overlay.removeAllPoints();
  EXPECT_EQ(overlay.count(), 0u);
}

}  // namespace
}  // namespace qv::screens
