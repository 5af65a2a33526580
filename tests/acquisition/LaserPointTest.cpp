// The laser-line point: what a new point holds, its luma and its printed form.
#include <gtest/gtest.h>

#include "acquisition/QVSImageLaserPoint.h"

TEST(LaserPoint, PositionOnlyPointHasNoColourAndZeroFields) {
  const QVSImageLaserPoint p(12.75f, 40);
  EXPECT_FLOAT_EQ(p.x(), 12.75f);
  EXPECT_EQ(p.y(), 40);
  EXPECT_FALSE(p.sourceImagePixelColour().has_value());
  EXPECT_EQ(p.width(), 0.0f);
  EXPECT_EQ(p.leftPixelX(), 0);
  EXPECT_EQ(p.laserBrightness(), 0.0f);
  EXPECT_EQ(p.distanceFromLineOfBestFit(), 0.0f);
  EXPECT_EQ(p.lumina(), 0);
}

TEST(LaserPoint, LuminaTruncatesTheLumaOfTheColour) {
  EXPECT_EQ(QVSImageLaserPoint(0, 0, qv::Colour::white(), 0).lumina(), 255);
  EXPECT_EQ(QVSImageLaserPoint(0, 0, qv::Colour::black(), 0).lumina(), 0);
  // 255 x 0.2126 = 54.2 for pure red, 182.4 for pure green, 18.4 for pure blue.
  EXPECT_EQ(QVSImageLaserPoint(0, 0, qv::Colour{1, 0, 0, 1}, 0).lumina(), 54);
  EXPECT_EQ(QVSImageLaserPoint(0, 0, qv::Colour{0, 1, 0, 1}, 0).lumina(), 182);
  EXPECT_EQ(QVSImageLaserPoint(0, 0, qv::Colour{0, 0, 1, 1}, 0).lumina(), 18);
}

TEST(LaserPoint, DescriptionRoundsTheColumn) {
  EXPECT_EQ(QVSImageLaserPoint(603.5f, 17).description(), "(604,17)");
  EXPECT_EQ(QVSImageLaserPoint(-1.0f, 0).description(), "(-1,0)");
}
