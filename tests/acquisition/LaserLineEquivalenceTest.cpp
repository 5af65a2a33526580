// The sparse detector against the whole-frame chain: identical points and rejects on rendered
// frames of every kind and on frames made to stress its shortcuts.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "acquisition/LaserLineDetector.h"
#include "acquisition/TestFrames.h"
#include "sim/optics/FrameRenderer.h"

namespace {

void expectIdentical(const qv::LaserLineDetection& sparse, const qv::LaserLineDetection& chain) {
  EXPECT_EQ(sparse.points, chain.points);
  EXPECT_EQ(sparse.overExposed, chain.overExposed);
  EXPECT_EQ(sparse.wide, chain.wide);
  EXPECT_EQ(sparse.noisy, chain.noisy);
  EXPECT_EQ(sparse.maximumGrey, chain.maximumGrey);
}

// Compares the two paths; unless the sparse detector is expected to hand the frame to the chain,
// it must really have run (else this would compare the chain with itself).
void compare(const qv::Data& off, const qv::Data& on, qv::LaserLineOptions options, bool sparseRuns = true) {
  for (const bool maximumGrey : {false, true}) {
    options.wantMaximumGrey = maximumGrey;
    const auto chain = qv::detectLaserLineReference(off.data(), on.data(), options);
    const auto sparse = qv::detectLaserLineSparse(off.data(), on.data(), options);
    EXPECT_EQ(chain.path, qv::LaserLineDetectionPath::Chain);
    EXPECT_EQ(sparse.path, sparseRuns ? qv::LaserLineDetectionPath::Sparse : qv::LaserLineDetectionPath::Chain)
        << sparse.candidates << " candidates";
    expectIdentical(sparse, chain);
  }
}

class RenderedFrames : public testing::Test {
protected:
  qv::sim::ScannerModel model{qv::sim::ScannerDesign::standard()};
  qv::sim::Scene scene = qv::sim::Scene::standard();
  qv::sim::FrameRenderer renderer{model, scene};

  // Renders the laser-off and laser-on frames of a state and compares the two detectors on them.
  qv::LaserLineDetection check(qv::sim::FrameState state, std::array<bool, 2> lasers,
                               const qv::Data* colour = nullptr, double threshold = 60.0) {
    state.laserOn = {false, false};
    const qv::Data off = renderer.render(state);
    state.laserOn = lasers;
    state.noiseSeed += 1000;
    const qv::Data on = renderer.render(state);
    qv::LaserLineOptions options;
    options.threshold = threshold;
    if (colour) options.colourFrame = colour->data();
    compare(off, on, options);
    return qv::detectLaserLineReference(off.data(), on.data(), options);
  }
};

}  // namespace

TEST(SparseDetector, MatchesThisOpenCVBuild) { EXPECT_TRUE(qv::sparseLaserLineDetectorIsExact()); }

TEST_F(RenderedFrames, IdenticalWithoutNoise) {
  qv::sim::FrameState state;
  for (int view = 0; view < 3; ++view) {
    state.bedAngle_deg = 25.0 + 120.0 * view;
    state.headHeight_mm = 35.0 * view;
    const auto d = check(state, {view != 1, view == 1});
    // Enough of a line that the comparison means something (the first view, low on the bed, sees
    // only a short stretch of it through the lens's blur).
    EXPECT_GT(d.points.size(), 50u);
  }
}

TEST_F(RenderedFrames, IdenticalWithNoiseBothLasersAndAColourFrame) {
  qv::sim::FrameState state;
  state.bedAngle_deg = 290.0;
  state.headHeight_mm = 60.0;
  state.noiseSigma = 2.0;
  state.noiseSeed = 77;
  const qv::Data colour = renderer.render(state);
  const auto d = check(state, {true, true}, &colour);
  EXPECT_GT(d.points.size(), 100u);
  state.noiseSigma = 6.0;
  check(state, {true, false}, nullptr, 20.0);
}

TEST_F(RenderedFrames, IdenticalWhenOverExposed) {
  qv::sim::FrameState state;
  state.bedAngle_deg = 100.0;
  state.exposure = 2.2;
  state.laserPeak = 400.0;
  state.noiseSigma = 1.0;
  const auto d = check(state, {true, false});
  EXPECT_GT(d.overExposed.size(), 50u);
}

TEST(SparseDetector, IdenticalOnFramesMadeToStressItsShortcuts) {
  std::mt19937 random(4242);
  for (int round = 0; round < 3; ++round) {
    TestFrames frames;
    // Noise everywhere, in both frames: mostly darker with the laser on (differences that clip
    // at 0), with a twentieth of the pixels a little brighter, so that even at thresholds 0 and 5
    // few enough pixels pass for the sparse path to run.
    for (std::size_t i = 0; i < frames.on.size(); i += 4) {
      for (int byte = 0; byte < 3; ++byte) {
        const int n = random() % 20 == 0 ? 1 + static_cast<int>(random() % 8) : -static_cast<int>(random() % 4);
        frames.on[i + byte] = static_cast<std::uint8_t>(frames.on[i + byte] + n);
      }
    }
    // Red blobs of every size and height, some touching the frame's edges and corners.
    for (int blob = 0; blob < 60; ++blob) {
      const int row = static_cast<int>(random() % 960);
      const int column = static_cast<int>(random() % 1280);
      const int height = 1 + static_cast<int>(random() % 12);
      const int width = 1 + static_cast<int>(random() % 30);
      std::vector<int> values(width);
      for (int& v : values) v = static_cast<int>(random() % 196);
      frames.addRed(row, std::min(row + height, 960), column, {values.begin(), values.begin() + std::min(width, 1280 - column)});
    }
    frames.addRed(0, 960, 0, {150, 150, 120});
    frames.addRed(0, 960, 1276, {90, 140, 150, 150});
    frames.addRed(0, 3, 600, {100, 100, 100});
    frames.addRed(957, 960, 700, {100, 100, 100});
    // Saturated patches, some wide enough to be over-exposed.
    for (int patch = 0; patch < 8; ++patch) {
      const int row = static_cast<int>(random() % 950);
      const int column = static_cast<int>(random() % 1270);
      frames.paint(row, row + 1 + static_cast<int>(random() % 9), column,
                   std::min(1280, column + 1 + static_cast<int>(random() % 8)), 255, 255, 255);
    }
    // A brighter laser-off frame in places: the difference saturates at 0.
    for (int r = 300; r < 320; ++r)
      for (int c = 0; c < 1280; ++c) TestFrames::pixel(frames.off, r, c)[2] = 250;
    for (const double threshold : {60.0, 20.0, 5.0, 0.0, 60.7, 254.5}) {
      qv::LaserLineOptions options;
      options.threshold = threshold;
      SCOPED_TRACE(threshold);
      compare(frames.off, frames.on, options);
    }
  }
}

TEST(SparseDetector, ThresholdsOutsideItsRangeFallBackToTheChain) {
  TestFrames frames;
  frames.addRed(100, 120, 596, {70, 90, 110, 130, 150, 150, 130, 110, 90, 70});
  for (const double threshold : {-1.0, 255.0, 300.0, std::numeric_limits<double>::quiet_NaN()}) {
    qv::LaserLineOptions options;
    options.threshold = threshold;
    SCOPED_TRACE(threshold);
    compare(frames.off, frames.on, options, /*sparseRuns=*/false);
  }
  // A frame lit almost everywhere goes to the chain too.
  TestFrames bright;
  for (std::size_t i = 0; i < bright.on.size(); i += 4) bright.on[i + 2] = 200;
  qv::LaserLineOptions options;
  compare(bright.off, bright.on, options, /*sparseRuns=*/false);
}

TEST(SparseDetector, ACallLeavesNothingBehindForTheNext) {
  TestFrames first;
  first.addRed(0, 960, 300, {90, 120, 150, 150, 120, 90});
  TestFrames second;
  second.addRed(0, 960, 900, {45, 45, 45, 45});  // faint: noisy at threshold 40
  qv::LaserLineOptions options;
  options.threshold = 40.0;
  const auto expectedFirst = qv::detectLaserLineReference(first.off.data(), first.on.data(), options);
  const auto expectedSecond = qv::detectLaserLineReference(second.off.data(), second.on.data(), options);
  for (int i = 0; i < 2; ++i) {
    expectIdentical(qv::detectLaserLineSparse(first.off.data(), first.on.data(), options), expectedFirst);
    expectIdentical(qv::detectLaserLineSparse(second.off.data(), second.on.data(), options), expectedSecond);
  }
  EXPECT_EQ(expectedSecond.noisy.size(), 960u);
  EXPECT_TRUE(expectedSecond.points.empty());
}
