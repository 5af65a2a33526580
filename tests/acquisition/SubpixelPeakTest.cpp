// The three sub-pixel steps: exact answers on symmetric profiles, their window rules, and accuracy
// over a sweep of line positions and widths.
#include <gtest/gtest.h>

#include <cmath>
#include <opencv2/core.hpp>
#include <vector>

#include "acquisition/QVSImageUtil.h"
#include "acquisition/SubpixelPeak.h"

namespace {

constexpr int kWidth = 1280;

// A row of zeros with `values` written from column `start` on. Exactly one row wide, so that a
// read past either end is caught by the address sanitizer.
std::vector<std::uint8_t> rowWith(int start, const std::vector<int>& values) {
  std::vector<std::uint8_t> row(kWidth, 0);
  for (std::size_t k = 0; k < values.size(); ++k) row[start + k] = static_cast<std::uint8_t>(values[k]);
  return row;
}

}  // namespace

TEST(SubpixelPeak, ProfilesSymmetricAboutTheirPeakColumnGiveNoOffset) {
  // Ten lit samples or more: the eight-sample step.
  auto wide = rowWith(595, {30, 50, 80, 120, 160, 200, 160, 120, 80, 50, 30});
  float delta = 9.0f;
  ASSERT_TRUE(qv::subpixelDeltaBR8(wide.data(), kWidth, 600, delta));
  EXPECT_EQ(delta, 0.0f);
  EXPECT_EQ(qv::subpixelDelta(wide.data(), kWidth, 600), 0.0f);

  // Six to nine: the four-sample step.
  auto middle = rowWith(597, {80, 120, 160, 200, 160, 120, 80});
  EXPECT_FALSE(qv::subpixelDeltaBR8(middle.data(), kWidth, 600, delta));
  delta = 9.0f;
  ASSERT_TRUE(qv::subpixelDeltaBR4(middle.data(), kWidth, 600, delta));
  EXPECT_EQ(delta, 0.0f);

  // Three lit samples: the parabola, each sample at its own column.
  auto narrow = rowWith(599, {120, 200, 120});
  EXPECT_FALSE(qv::subpixelDeltaBR4(narrow.data(), kWidth, 600, delta));
  ASSERT_TRUE(qv::subpixelDeltaParabola(narrow.data(), kWidth, 600, delta));
  EXPECT_NEAR(delta, 0.0f, 1e-5f);
  EXPECT_NEAR(qv::subpixelDelta(narrow.data(), kWidth, 600), 0.0f, 1e-5f);
}

TEST(SubpixelPeak, ProfilesSymmetricAboutAHalfPixelGiveExactlyHalf) {
  auto wide = rowWith(596, {40, 70, 110, 150, 190, 190, 150, 110, 70, 40});
  float delta = 0.0f;
  ASSERT_TRUE(qv::subpixelDeltaBR8(wide.data(), kWidth, 600, delta));
  EXPECT_EQ(delta, 0.5f);

  auto middle = rowWith(598, {110, 150, 190, 190, 150, 110});
  ASSERT_TRUE(qv::subpixelDeltaBR4(middle.data(), kWidth, 600, delta));
  EXPECT_EQ(delta, 0.5f);

  auto narrow = rowWith(599, {120, 200, 200, 120});
  EXPECT_FALSE(qv::subpixelDeltaBR4(narrow.data(), kWidth, 600, delta));
  ASSERT_TRUE(qv::subpixelDeltaParabola(narrow.data(), kWidth, 600, delta));
  EXPECT_NEAR(delta, 0.5f, 1e-5f);
}

TEST(SubpixelPeak, ParabolaPairsEachSampleWithItsOwnColumn) {
  // Three lit samples 100, 200, 160 at p-1, p, p+1: the parabola through them peaks at p + 3/14.
  // Pairing the samples p-2 .. p+3 with the columns p .. p+5 would put it 2 px further right.
  auto row = rowWith(599, {100, 200, 160});
  float delta = 0.0f;
  ASSERT_TRUE(qv::subpixelDeltaParabola(row.data(), kWidth, 600, delta));
  EXPECT_NEAR(delta, 3.0f / 14.0f, 1e-5f);
  // Four lit samples: the least-squares parabola, checked against its closed form.
  auto four = rowWith(599, {90, 200, 180, 70});
  ASSERT_TRUE(qv::subpixelDeltaParabola(four.data(), kWidth, 600, delta));
  // Over t = -1, 0, 1, 2 the normal equations give y = 194 + 47 t - 55 t^2: vertex 47 / 110.
  EXPECT_NEAR(delta, 47.0f / 110.0f, 1e-5f);
}

TEST(SubpixelPeak, ParabolaNeedsThreeLitSamplesAndABendDown) {
  float delta = 7.0f;
  auto two = rowWith(600, {200, 150});
  EXPECT_FALSE(qv::subpixelDeltaParabola(two.data(), kWidth, 600, delta));
  auto flat = rowWith(600, {150, 150, 150, 150});
  EXPECT_FALSE(qv::subpixelDeltaParabola(flat.data(), kWidth, 600, delta));
  auto valley = rowWith(599, {200, 100, 200});
  EXPECT_FALSE(qv::subpixelDeltaParabola(valley.data(), kWidth, 600, delta));
  EXPECT_EQ(delta, 7.0f);
  EXPECT_EQ(qv::subpixelDelta(two.data(), kWidth, 600), 0.0f);
}

TEST(SubpixelPeak, DifferenceOfSumsStepsAnswerYesWithoutOffsetWhenTheirSumsAgree) {
  // A long plateau: both sums are 0, the denominator vanishes, the offset is left as it was.
  auto plateau = rowWith(590, std::vector<int>(20, 100));
  float delta = 7.0f;
  EXPECT_TRUE(qv::subpixelDeltaBR8(plateau.data(), kWidth, 600, delta));
  EXPECT_EQ(delta, 7.0f);
  EXPECT_TRUE(qv::subpixelDeltaBR4(plateau.data(), kWidth, 600, delta));
  EXPECT_EQ(delta, 7.0f);
  // Through the chain of steps the untouched offset starts at 0: the point lies on the peak.
  EXPECT_EQ(qv::subpixelDelta(plateau.data(), kWidth, 600), 0.0f);
}

TEST(SubpixelPeak, AWindowReachingPastEitherEndOfTheRowAnswersNo) {
  auto left = rowWith(0, std::vector<int>(16, 100));
  auto right = rowWith(kWidth - 16, std::vector<int>(16, 100));
  float delta = 7.0f;
  for (int peak = 0; peak < 4; ++peak) EXPECT_FALSE(qv::subpixelDeltaBR8(left.data(), kWidth, peak, delta)) << peak;
  EXPECT_TRUE(qv::subpixelDeltaBR8(left.data(), kWidth, 4, delta));
  for (int peak = kWidth - 5; peak < kWidth; ++peak)
    EXPECT_FALSE(qv::subpixelDeltaBR8(right.data(), kWidth, peak, delta)) << peak;
  EXPECT_TRUE(qv::subpixelDeltaBR8(right.data(), kWidth, kWidth - 6, delta));

  for (int peak = 0; peak < 2; ++peak) {
    EXPECT_FALSE(qv::subpixelDeltaBR4(left.data(), kWidth, peak, delta)) << peak;
    EXPECT_FALSE(qv::subpixelDeltaParabola(left.data(), kWidth, peak, delta)) << peak;
  }
  for (int peak = kWidth - 3; peak < kWidth; ++peak) {
    EXPECT_FALSE(qv::subpixelDeltaBR4(right.data(), kWidth, peak, delta)) << peak;
    EXPECT_FALSE(qv::subpixelDeltaParabola(right.data(), kWidth, peak, delta)) << peak;
  }
  EXPECT_EQ(delta, 7.0f);
  EXPECT_EQ(qv::subpixelDelta(right.data(), kWidth, kWidth - 1), 0.0f);
}

// Pixel-integrated Gaussian lines of several widths and heights at positions swept across a
// pixel, over a background that falls by one grey level across the line, 8-bit (bright ones clip
// at 255, as the sensor does) and cut at the usual noise floor, as the filtered red difference
// would hold them. Each is measured as the detector does: steps at the first maximum, refined.
namespace {

struct SweepResult {
  double rms = 0.0;
  double worst = 0.0;
};

SweepResult sweep(double sigma, double amplitude) {
  double sumSquares = 0.0;
  SweepResult result;
  const int steps = 40;
  for (int step = 0; step < steps; ++step) {
    const double centre = 600.0 + static_cast<double>(step) / steps;
    std::vector<std::uint8_t> row(kWidth, 0);
    std::vector<std::uint8_t> laserFrame(kWidth, 0);  // the laser frame's red: 255 where it clips
    for (int c = 570; c < 630; ++c) {
      const double a = (c - 0.5 - centre) / (sigma * std::sqrt(2.0));
      const double b = (c + 0.5 - centre) / (sigma * std::sqrt(2.0));
      const double v = amplitude * sigma * std::sqrt(M_PI / 2.0) * (std::erf(b) - std::erf(a));
      const double background = c < 603 ? 44.0 : 43.0;
      const long value = std::lround(std::min(v + background, 255.0) - background);
      row[c] = static_cast<std::uint8_t>(value > 60 ? value : 0);
      laserFrame[c] = static_cast<std::uint8_t>(std::lround(std::min(v + background, 255.0)));
    }
    int peak = 0;
    for (int c = 1; c < kWidth; ++c)
      if (row[c] > row[peak]) peak = c;
    const float delta = qv::subpixelDelta(row.data(), kWidth, peak);
    const double error = qv::refineSubpixelColumn(row.data(), kWidth, peak, delta, {laserFrame.data(), 1, 255}) - centre;
    sumSquares += error * error;
    result.worst = std::max(result.worst, std::fabs(error));
  }
  result.rms = std::sqrt(sumSquares / steps);
  return result;
}

}  // namespace

TEST(SubpixelPeak, StaysWithinATenthOfAPixelOverASweepOfPositionsWidthsAndClippedLines) {
  // 120 and 200 stay below full scale; 500 and 900 clip into a flat top a few pixels wide, whose
  // first maximum is one of its ends.
  for (const double sigma : {1.3, 1.6, 2.0, 2.5, 3.0, 4.0}) {
    for (const double amplitude : {120.0, 200.0, 500.0, 900.0}) {
      const SweepResult r = sweep(sigma, amplitude);
      EXPECT_LT(r.rms, 0.05) << "sigma " << sigma << " amplitude " << amplitude;
      EXPECT_LT(r.worst, 0.12) << "sigma " << sigma << " amplitude " << amplitude;
    }
  }
  // Lines so narrow that fewer than three samples clear the floor cannot be placed between
  // pixels; they still land on the nearest whole pixel.
  for (const double sigma : {0.5, 0.7, 0.9}) {
    const SweepResult r = sweep(sigma, 120.0);
    EXPECT_LE(r.worst, 0.5 + 1e-9) << "sigma " << sigma;
  }
}

TEST(SubpixelPeak, OnlyATopTheLaserFrameClipsIsPlacedByItsFlanks) {
  // A flat top of four, its flanks crossing half its height at 597 and 602.
  auto flat = rowWith(596, {40, 100, 200, 200, 200, 200, 100, 40});
  auto clipped = rowWith(598, {255, 255, 255, 255});
  auto twoClipped = rowWith(599, {255, 255});
  EXPECT_EQ(qv::refineSubpixelColumn(flat.data(), kWidth, 598, 0.25f, {clipped.data(), 1, 255}), 599.5f);
  // Where the laser frame clips at its own maximum, say 250, that counts as clipping.
  auto dimmer = rowWith(598, {250, 250, 250, 250});
  EXPECT_EQ(qv::refineSubpixelColumn(flat.data(), kWidth, 598, 0.25f, {dimmer.data(), 1, 250}), 599.5f);
  // The same filtered top where the laser frame does not clip, or clips over two columns only,
  // is a round top: the steps' offset stands, whatever it is.
  EXPECT_EQ(qv::refineSubpixelColumn(flat.data(), kWidth, 598, 0.25f, {}), 598.25f);
  EXPECT_EQ(qv::refineSubpixelColumn(flat.data(), kWidth, 598, -1.5f, {twoClipped.data(), 1, 255}), 596.5f);
  EXPECT_EQ(qv::refineSubpixelColumn(flat.data(), kWidth, 598, 0.25f, {dimmer.data(), 1, 255}), 598.25f);
}

TEST(SubpixelPeak, AClippedTopWithoutFlanksIsAskedAgainFromItsMiddleAndReadsNothingPastTheRow) {
  // A clipped top that ends at the row's end has no right flank: an offset that reaches out of
  // its pixel is asked again from the top, and nothing past the row's end is read.
  auto clippedEdge = rowWith(kWidth - 6, {100, 200, 200, 200, 200, 200});
  auto clipped = rowWith(kWidth - 5, {255, 255, 255, 255, 255});
  const float x = qv::refineSubpixelColumn(clippedEdge.data(), kWidth, kWidth - 5, -1.5f, {clipped.data(), 1, 255});
  EXPECT_GE(x, kWidth - 6.0f);
  EXPECT_LE(x, kWidth - 1.0f);
}

TEST(SubpixelPeak, TheFrameMethodsMeasureARowOfAGreyImage) {
  cv::Mat image(4, kWidth, CV_8UC1, cv::Scalar(0));
  const std::vector<int> values = {40, 70, 110, 150, 190, 190, 150, 110, 70, 40};
  for (std::size_t k = 0; k < values.size(); ++k) image.at<std::uint8_t>(2, 596 + static_cast<int>(k)) = values[k];
  const QVSImageUtil frame;
  EXPECT_EQ(frame.calculateDeltaForImage(image, 2, 600), 0.5f);
  float delta = 0.0f;
  EXPECT_TRUE(frame.calculateBR8DeltaForImage(image, 2, 600, delta));
  EXPECT_FALSE(frame.calculateBR8DeltaForImage(image, 1, 600, delta));
  // Rows outside the image and images that are not one 8-bit channel are not read.
  EXPECT_EQ(frame.calculateDeltaForImage(image, 4, 600), 0.0f);
  EXPECT_EQ(frame.calculateDeltaForImage(image, -1, 600), 0.0f);
  EXPECT_EQ(frame.calculateDeltaForImage(cv::Mat(4, kWidth, CV_8UC4, cv::Scalar::all(100)), 2, 600), 0.0f);
}
