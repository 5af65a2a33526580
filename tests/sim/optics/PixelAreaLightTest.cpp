// A pixel's light over its area: exact across a straight edge, nearly so at a corner, and the same
// whatever pixels were asked before.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "sim/optics/PixelAreaLight.h"

namespace qv::sim {
namespace {

constexpr int kWidth = 40;
constexpr int kRows = 30;

// An image of two flat colours: light (key 1, level 100) where `isLight`, dark (key 2) elsewhere.
template <typename Pattern>
PixelAreaLight::See twoColours(Pattern isLight) {
  return [isLight](double x, double y) {
    return isLight(x, y) ? SeenPoint{1, Eigen::Vector3f::Constant(100.0f)} : SeenPoint{2, Eigen::Vector3f::Zero()};
  };
}

// The light share of pixel (u, v) counted on a fine grid of its area, the slow way.
template <typename Pattern>
double countedShare(Pattern isLight, int u, int v) {
  constexpr int n = 400;
  int light = 0;
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) light += isLight(u - 0.5 + (j + 0.5) / n, v - 0.5 + (i + 0.5) / n);
  return static_cast<double>(light) / (n * n);
}

// What the renderer tells the sampler: whether the neighbours' centres change at most twice round it.
template <typename Pattern>
bool oneEdgeAround(Pattern isLight, int u, int v) {
  const int ring[8][2] = {{-1, -1}, {0, -1}, {1, -1}, {1, 0}, {1, 1}, {0, 1}, {-1, 1}, {-1, 0}};
  int changes = 0;
  for (int k = 0; k < 8; ++k)
    changes += isLight(u + ring[k][0], v + ring[k][1]) != isLight(u + ring[(k + 1) % 8][0], v + ring[(k + 1) % 8][1]);
  return changes <= 2;
}

template <typename Pattern>
SeenPoint centreOf(Pattern isLight, int u, int v) {
  return twoColours(isLight)(u, v);
}

TEST(PixelAreaLight, AStraightEdgeIsMeasuredExactlyAtAnyAngle) {
  std::mt19937 random(3);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  PixelAreaLight area(kWidth);
  int measured = 0;
  for (int trial = 0; trial < 24; ++trial) {
    // A line through a point of the image at any angle, so every pair of sides gets crossed.
    const double angle = 2.0 * M_PI * unit(random);
    const double cx = 10.0 + 20.0 * unit(random), cy = 10.0 + 10.0 * unit(random);
    const auto isLight = [=](double x, double y) { return std::cos(angle) * (x - cx) + std::sin(angle) * (y - cy) < 0.0; };
    area.start(twoColours(isLight), 6);
    for (int v = 1; v < kRows - 1; ++v)
      for (int u = 1; u < kWidth - 1; ++u) {
        // Only pixels the line comes near: counting is slow.
        if (std::fabs(std::cos(angle) * (u - cx) + std::sin(angle) * (v - cy)) > 0.75) continue;
        const double share = countedShare(isLight, u, v);
        if (share == 0.0 || share == 1.0) continue;
        const float light = area.light(u, v, centreOf(isLight, u, v), oneEdgeAround(isLight, u, v)).x();
        // The fine count itself is good to a few thousandths of the pixel.
        ASSERT_NEAR(light, 100.0 * share, 0.4) << "trial " << trial << " pixel " << u << ", " << v;
        ++measured;
      }
  }
  EXPECT_GT(measured, 24 * 25);
}

TEST(PixelAreaLight, AChessboardCornerIsMeasuredNearlyExactly) {
  // Four squares meeting at a point inside pixel (20, 15), their edges turned a little.
  const double cx = 20.3, cy = 14.8, turn = 0.3;
  const auto isLight = [=](double x, double y) {
    const double a = std::cos(turn) * (x - cx) + std::sin(turn) * (y - cy);
    const double b = -std::sin(turn) * (x - cx) + std::cos(turn) * (y - cy);
    return (a < 0.0) == (b < 0.0);
  };
  PixelAreaLight area(kWidth);
  area.start(twoColours(isLight), 8);
  double worst = 0.0;
  for (int v = 12; v <= 18; ++v)
    for (int u = 17; u <= 23; ++u) {
      const float light = area.light(u, v, centreOf(isLight, u, v), oneEdgeAround(isLight, u, v)).x();
      worst = std::max(worst, std::fabs(light - 100.0 * countedShare(isLight, u, v)));
    }
  // The pixel holding the corner is quartered twice; only the sixteenth round the corner is
  // jittered (8 x 8 points over the whole pixel would miss by up to 5).
  EXPECT_LT(worst, 0.5);
}

TEST(PixelAreaLight, APixelsLightDoesNotDependOnWhatWasAskedBefore) {
  // Two edges and a corner, asked for row by row and then in a shuffled order after a fresh start;
  // then another image in the same sampler, which must not reuse anything of the first.
  const auto first = [](double x, double y) { return (x + 0.37 * y < 21.3) != (y - 0.2 * x > 12.6); };
  const auto second = [](double x, double y) { return 0.8 * x - y < 3.1; };
  std::vector<std::pair<int, int>> pixels;
  for (int v = 0; v < kRows; ++v)
    for (int u = 0; u < kWidth; ++u) pixels.emplace_back(u, v);

  PixelAreaLight area(kWidth);
  auto render = [&](auto isLight, const std::vector<std::pair<int, int>>& order) {
    area.start(twoColours(isLight), 4);
    std::vector<Eigen::Vector3f> light(pixels.size());
    for (const auto& [u, v] : order)
      light[static_cast<std::size_t>(v) * kWidth + u] = area.light(u, v, centreOf(isLight, u, v), oneEdgeAround(isLight, u, v));
    return light;
  };
  const auto inOrder = render(first, pixels);
  std::vector<std::pair<int, int>> shuffled = pixels;
  std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(5));
  EXPECT_EQ(render(first, shuffled), inOrder);
  const auto other = render(second, pixels);
  PixelAreaLight fresh(kWidth);
  fresh.start(twoColours(second), 4);
  for (const auto& [u, v] : pixels)
    ASSERT_EQ(other[static_cast<std::size_t>(v) * kWidth + u],
              fresh.light(u, v, centreOf(second, u, v), oneEdgeAround(second, u, v)))
        << u << ", " << v;
}

}  // namespace
}  // namespace qv::sim
