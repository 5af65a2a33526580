// The laser-line detector's rules at their edges, run through both the whole-frame chain and the
// sparse path, and the camera frame's entry point with its input checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <functional>
#include <vector>

#include "acquisition/LaserLineDetector.h"
#include "acquisition/QVSImageUtil.h"
#include "acquisition/TestFrames.h"
#include "acquisition/internal/SparseFilters.h"
#include "support/TempFolder.h"

namespace {

using Detector = std::function<qv::LaserLineDetection(const TestFrames&, const qv::LaserLineOptions&)>;

struct NamedDetector {
  const char* name;
  Detector detect;
};

std::string detectorName(const testing::TestParamInfo<NamedDetector>& info) { return info.param.name; }
void PrintTo(const NamedDetector& detector, std::ostream* os) { *os << detector.name; }

const NamedDetector kChain{"Chain", [](const TestFrames& f, const qv::LaserLineOptions& o) {
                             return qv::detectLaserLineReference(f.off.data(), f.on.data(), o);
                           }};
const NamedDetector kSparse{"Sparse", [](const TestFrames& f, const qv::LaserLineOptions& o) {
                              return qv::detectLaserLineSparse(f.off.data(), f.on.data(), o);
                            }};

const QVSImageLaserPoint* inRow(const std::vector<QVSImageLaserPoint>& points, int row) {
  for (const auto& p : points)
    if (p.y() == row) return &p;
  return nullptr;
}

qv::LaserLineOptions withThreshold(double threshold) {
  qv::LaserLineOptions options;
  options.threshold = threshold;
  return options;
}

class DetectorRules : public testing::TestWithParam<NamedDetector> {
protected:
  qv::LaserLineDetection detect(const TestFrames& frames, double threshold = 60.0, bool maximumGrey = false) {
    qv::LaserLineOptions options = withThreshold(threshold);
    options.wantMaximumGrey = maximumGrey;
    return GetParam().detect(frames, options);
  }
  TestFrames frames;
};

}  // namespace

TEST_P(DetectorRules, EqualFramesGiveNothingAtAll) {
  const auto d = detect(frames, 60.0, true);
  EXPECT_TRUE(d.points.empty());
  EXPECT_TRUE(d.overExposed.empty());
  EXPECT_TRUE(d.wide.empty());
  EXPECT_TRUE(d.noisy.empty());
  EXPECT_EQ(d.maximumGrey, TestFrames::kGrey);
}

TEST_P(DetectorRules, ARedDifferenceNeverAboveTheThresholdGivesNoPointNotANoisyOne) {
  frames.addRed(100, 120, 500, {60, 60, 60, 60});
  const auto d = detect(frames);
  EXPECT_TRUE(d.points.empty());
  EXPECT_TRUE(d.noisy.empty());
}

// Blocks of rows 100 .. 119 are used below; the median trims the ends of a block's first and
// last row, so the rules are read on the rows inside.
TEST_P(DetectorRules, APeakOf47IsNoisyAndOf48IsMeasured) {
  frames.addRed(100, 120, 500, {47, 47, 47, 47, 47, 47});
  frames.addRed(200, 220, 700, {48, 48, 48, 48, 48, 48});
  const auto d = detect(frames, 40.0);
  EXPECT_EQ(d.noisy.size(), 20u);
  const QVSImageLaserPoint* noisy = inRow(d.noisy, 105);
  ASSERT_TRUE(noisy);
  EXPECT_EQ(noisy->x(), 500.0f);
  EXPECT_EQ(noisy->width(), 1.0f);
  EXPECT_FLOAT_EQ(noisy->laserBrightness(), 47.0f / 255.0f);
  EXPECT_EQ(noisy->sourceImagePixelColour(), qv::Colour::white());
  EXPECT_EQ(noisy->leftPixelX(), 0);

  EXPECT_EQ(d.points.size(), 20u);
  const QVSImageLaserPoint* lit = inRow(d.points, 205);
  ASSERT_TRUE(lit);
  // A flat top at the laser frame's brightest red, where this camera clips, is placed by its
  // flanks, which cross half its height at 699.5 and 705.5, not at its first maximum.
  EXPECT_EQ(lit->x(), 702.5f);
  EXPECT_EQ(lit->width(), 7.0f);
  EXPECT_EQ(lit->leftPixelX(), 699);
  EXPECT_EQ(lit->sourceImagePixelColour(), qv::Colour::lightGrey());
}

TEST_P(DetectorRules, ALitRunOf23PixelsIsAcceptedAnd24IsTooWide) {
  frames.addRed(100, 120, 300, std::vector<int>(23, 100));
  frames.addRed(200, 220, 300, std::vector<int>(24, 100));
  const auto d = detect(frames);
  const QVSImageLaserPoint* accepted = inRow(d.points, 110);
  ASSERT_TRUE(accepted);
  EXPECT_EQ(accepted->width(), 24.0f);
  EXPECT_FALSE(inRow(d.wide, 110));
  EXPECT_FALSE(inRow(d.points, 210));
  const QVSImageLaserPoint* wide = inRow(d.wide, 210);
  ASSERT_TRUE(wide);
  EXPECT_EQ(wide->x(), 300.0f);
  EXPECT_EQ(wide->width(), 0.0f);             // not measured for wide points
  EXPECT_EQ(wide->laserBrightness(), 0.0f);   // the filtered value left of the run
  EXPECT_EQ(wide->sourceImagePixelColour(), qv::Colour::white());
  EXPECT_EQ(wide->leftPixelX(), 0);
}

TEST_P(DetectorRules, ASaturatedStretchOfTwoFallsThroughAndOfThreeIsOverExposed) {
  frames.paint(100, 120, 500, 502, 255, 255, 255);
  frames.paint(200, 220, 500, 503, 255, 255, 255);
  const auto d = detect(frames);
  EXPECT_FALSE(inRow(d.overExposed, 110));
  const QVSImageLaserPoint* fellThrough = inRow(d.points, 110);
  ASSERT_TRUE(fellThrough);
  EXPECT_EQ(fellThrough->width(), 3.0f);
  EXPECT_EQ(fellThrough->x(), 500.0f);

  const QVSImageLaserPoint* over = inRow(d.overExposed, 210);
  ASSERT_TRUE(over);
  EXPECT_FALSE(inRow(d.points, 210));
  EXPECT_EQ(over->x(), 499.0f);  // the unsaturated column left of the stretch
  EXPECT_EQ(over->width(), 4.0f);
  EXPECT_FLOAT_EQ(over->laserBrightness(), TestFrames::kGrey / 255.0f);
  EXPECT_EQ(over->sourceImagePixelColour(), qv::Colour::black());
}

TEST_P(DetectorRules, AStretchAtTheLeftEdgeReportsColumnMinusOne) {
  frames.paint(100, 120, 0, 6, 255, 255, 255);
  const auto d = detect(frames, 60.0, true);
  const QVSImageLaserPoint* over = inRow(d.overExposed, 110);
  ASSERT_TRUE(over);
  EXPECT_EQ(over->x(), -1.0f);
  EXPECT_EQ(over->width(), 7.0f);
  EXPECT_FLOAT_EQ(over->laserBrightness(), 1.0f);  // read at column 0
  EXPECT_EQ(d.maximumGrey, 255);
}

TEST_P(DetectorRules, AnOffsetOfExactlyFourIsKeptAndMoreDropsTheRowSilently) {
  // a a a a T T T T T T: the eight-sample step answers 4 exactly.
  frames.addRed(100, 120, 396, {80, 80, 80, 80, 160, 160, 160, 160, 160, 160});
  // b b a a a T T T T T T: the step answers 1 + 3 (T - a) / (T - b) = 4.47.
  frames.addRed(200, 220, 395, {100, 100, 85, 85, 85, 195, 195, 195, 195, 195, 195});
  const auto d = detect(frames);
  const QVSImageLaserPoint* kept = inRow(d.points, 110);
  ASSERT_TRUE(kept);
  // Kept where the step puts it: the laser frame does not clip there, so the flat top is not
  // placed by its flanks.
  EXPECT_EQ(kept->x(), 404.0f);
  EXPECT_EQ(kept->width(), 11.0f);
  EXPECT_EQ(kept->leftPixelX(), 395);
  for (int r = 201; r < 219; ++r) {
    EXPECT_FALSE(inRow(d.points, r)) << r;
    EXPECT_FALSE(inRow(d.noisy, r)) << r;
    EXPECT_FALSE(inRow(d.wide, r)) << r;
  }
}

TEST_P(DetectorRules, ALineSymmetricAboutAHalfPixelLandsExactlyOnIt) {
  frames.addRed(100, 120, 596, {70, 90, 110, 130, 150, 150, 130, 110, 90, 70});
  const auto d = detect(frames);
  const QVSImageLaserPoint* p = inRow(d.points, 110);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->x(), 600.5f);
  EXPECT_EQ(p->width(), 11.0f);
  // Read at the run's left end, not at the peak.
  EXPECT_EQ(p->laserBrightness(), 0.0f);
}

TEST_P(DetectorRules, BrightnessOfARunReachingColumnZeroIsReadThere) {
  frames.addRed(100, 120, 0, {150, 150, 150, 120, 90, 0});
  const auto d = detect(frames);
  const QVSImageLaserPoint* p = inRow(d.points, 110);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->x(), 0.0f);
  EXPECT_EQ(p->leftPixelX(), -1);
  EXPECT_FLOAT_EQ(p->laserBrightness(), 150.0f / 255.0f);
  EXPECT_EQ(p->width(), 6.0f);
}

TEST_P(DetectorRules, PointsComeInRowOrderOnePerRow) {
  // Two lines in the same rows: the brighter one wins each row.
  frames.addRed(0, 960, 200, {100, 100, 100, 100});
  frames.addRed(0, 960, 900, {140, 140, 140, 140});
  const auto d = detect(frames);
  ASSERT_EQ(d.points.size(), 960u);
  for (int r = 0; r < 960; ++r) {
    EXPECT_EQ(d.points[r].y(), r);
    EXPECT_EQ(d.points[r].x(), 901.5f);  // the middle of its flat top, columns 900 to 903
  }
}

TEST_P(DetectorRules, AcceptedPointsTakeTheColourFrameAtTheirPeak) {
  frames.addRed(100, 120, 596, {70, 90, 110, 130, 150, 150, 130, 110, 90, 70});
  qv::Data colour = TestFrames::plain();
  std::uint8_t* p = TestFrames::pixel(colour, 110, 600);
  p[0] = 10;   // blue
  p[1] = 128;  // green
  p[2] = 255;  // red
  qv::LaserLineOptions options = withThreshold(60.0);
  options.colourFrame = colour.data();
  auto d = GetParam().detect(frames, options);
  ASSERT_TRUE(inRow(d.points, 110));
  EXPECT_EQ(inRow(d.points, 110)->sourceImagePixelColour(), (qv::Colour{1.0, 128 / 255.0, 10 / 255.0, 1.0}));
  // Offsets of a red-first colour space read the same bytes the other way round.
  options.redOffset = 0;
  options.blueOffset = 2;
  d = GetParam().detect(frames, options);
  EXPECT_EQ(inRow(d.points, 110)->sourceImagePixelColour(), (qv::Colour{10 / 255.0, 128 / 255.0, 1.0, 1.0}));
}

INSTANTIATE_TEST_SUITE_P(BothPaths, DetectorRules, testing::Values(kChain, kSparse), detectorName);

// ---- The camera frame's entry point ----

namespace {

QVSImageUtil frameOf(qv::Data data) { return QVSImageUtil(std::make_shared<const qv::Data>(std::move(data))); }

}  // namespace

TEST(DetectLaserPoints, MissingOrMisSizedFramesGiveNothingAndTouchNoList) {
  const QVSImageUtil off = frameOf(TestFrames::plain());
  const QVSImageUtil on = frameOf(TestFrames::plain());
  const QVSImageUtil empty;
  const QVSImageUtil shortFrame = frameOf(qv::Data(qv::kFrameBytes - 4, 0));
  std::vector<QVSImageLaserPoint> over{QVSImageLaserPoint(1, 1)};
  EXPECT_FALSE(off.detectLaserPointsInImage(nullptr, nullptr, 60.0, &over, nullptr, nullptr));
  EXPECT_FALSE(off.detectLaserPointsInImage(&empty, nullptr, 60.0, &over, nullptr, nullptr));
  EXPECT_FALSE(empty.detectLaserPointsInImage(&on, nullptr, 60.0, &over, nullptr, nullptr));
  EXPECT_FALSE(off.detectLaserPointsInImage(&shortFrame, nullptr, 60.0, &over, nullptr, nullptr));
  EXPECT_FALSE(shortFrame.detectLaserPointsInImage(&on, nullptr, 60.0, &over, nullptr, nullptr));
  // Only accepted points would use the colour frame, yet a wrong one fails the whole call.
  EXPECT_FALSE(off.detectLaserPointsInImage(&on, &shortFrame, 60.0, &over, nullptr, nullptr));
  EXPECT_FALSE(off.detectLaserPointsInImage(&on, &empty, 60.0, &over, nullptr, nullptr));
  EXPECT_EQ(over.size(), 1u);
  const auto points = off.detectLaserPointsInImage(&on, &on, 60.0, &over, nullptr, nullptr);
  ASSERT_TRUE(points);
  EXPECT_TRUE(points->empty());
}

TEST(DetectLaserPoints, RejectsAreAppendedToTheListsGivenAndTheRestSkipped) {
  TestFrames frames;
  frames.paint(100, 120, 500, 505, 255, 255, 255);          // over-exposed
  frames.addRed(300, 320, 300, std::vector<int>(30, 100));  // wide
  frames.addRed(500, 520, 300, {30, 30, 30, 30});           // noisy at threshold 20
  frames.addRed(700, 720, 596, {70, 90, 110, 130, 150, 150, 130, 110, 90, 70});
  const auto core = qv::detectLaserLineReference(frames.off.data(), frames.on.data(), withThreshold(20.0));
  ASSERT_FALSE(core.points.empty());
  ASSERT_FALSE(core.overExposed.empty());
  ASSERT_FALSE(core.wide.empty());
  ASSERT_FALSE(core.noisy.empty());

  const QVSImageUtil off = frameOf(frames.off);
  const QVSImageUtil on = frameOf(frames.on);
  const QVSImageLaserPoint earlier(5, 5);
  std::vector<QVSImageLaserPoint> over{earlier};
  std::vector<QVSImageLaserPoint> wide;
  std::vector<QVSImageLaserPoint> noisy;
  const auto points = off.detectLaserPointsInImage(&on, nullptr, 20.0, &over, &wide, &noisy);
  ASSERT_TRUE(points);
  EXPECT_EQ(*points, core.points);
  ASSERT_EQ(over.size(), core.overExposed.size() + 1);
  EXPECT_EQ(over.front(), earlier);
  EXPECT_TRUE(std::equal(core.overExposed.begin(), core.overExposed.end(), over.begin() + 1));
  EXPECT_EQ(wide, core.wide);
  EXPECT_EQ(noisy, core.noisy);
  const auto again = off.detectLaserPointsInImage(&on, nullptr, 20.0, nullptr, nullptr, nullptr);
  ASSERT_TRUE(again);
  EXPECT_EQ(*again, core.points);
}

TEST(DetectLaserPoints, ADiagnosticFolderGetsEveryIntermediateImage) {
  qv::test::TempFolder folder;
  TestFrames frames;
  frames.addRed(100, 120, 596, {70, 90, 110, 130, 150, 150, 130, 110, 90, 70});
  QVSImageUtil off = frameOf(frames.off);
  const QVSImageUtil on = frameOf(frames.on);
  off.setRootImageLogFolder(folder.path());
  const auto points = off.detectLaserPointsInImage(&on, nullptr, 60.0, nullptr, nullptr, nullptr);
  ASSERT_TRUE(points);
  EXPECT_EQ(*points, qv::detectLaserLineReference(frames.off.data(), frames.on.data(), withThreshold(60.0)).points);
  for (const char* name :
       {"LineDetectionLaserOff.png", "LineDetectionLaserOn.png", "LineDetectionSmoothOn.png",
        "LineDetectionSmoothOff.png", "LineDetectionLaserDiff.png", "LineDetectionChannelGreen.png",
        "LineDetectionChannelRed.png", "LineDetectionRedThreshold.png", "LineDetectionRedThresholdBlurred.png",
        "GreyscaleLaserImage.png"})
    EXPECT_TRUE(std::filesystem::is_regular_file(folder.path() / name)) << name;
  const cv::Mat filtered = cv::imread((folder.path() / "LineDetectionRedThresholdBlurred.png").string(), cv::IMREAD_UNCHANGED);
  ASSERT_EQ(filtered.type(), CV_8UC1);
  EXPECT_EQ(filtered.at<std::uint8_t>(110, 600), 150);
}

TEST(DetectLaserPoints, ColoursFollowTheReceiversColourSpace) {
  TestFrames frames;
  frames.addRed(100, 120, 596, {70, 90, 110, 130, 150, 150, 130, 110, 90, 70});
  qv::Data colour = TestFrames::plain();
  std::uint8_t* p = TestFrames::pixel(colour, 110, 600);
  p[0] = 0;
  p[2] = 255;
  QVSImageUtil off = frameOf(frames.off);
  const QVSImageUtil on = frameOf(frames.on);
  const QVSImageUtil colourFrame = frameOf(colour);
  auto points = off.detectLaserPointsInImage(&on, &colourFrame, 60.0, nullptr, nullptr, nullptr);
  ASSERT_TRUE(points);
  ASSERT_TRUE(inRow(*points, 110));
  EXPECT_EQ(inRow(*points, 110)->sourceImagePixelColour()->red, 1.0);
  off.setColourSpace(1);
  points = off.detectLaserPointsInImage(&on, &colourFrame, 60.0, nullptr, nullptr, nullptr);
  ASSERT_TRUE(points && inRow(*points, 110));
  EXPECT_EQ(inRow(*points, 110)->sourceImagePixelColour()->red, 0.0);
  EXPECT_EQ(inRow(*points, 110)->sourceImagePixelColour()->blue, 1.0);
}

// The sparse path's kernels against the OpenCV steps they stand in for, on noise (where every
// comparison of the sorting networks matters) and at the frame's edges. The bilateral filter and
// the grey conversion are also checked once per process; the medians only here.
TEST(SparseFilters, MediansBilateralAndGreyMatchOpenCVBitForBit) {
  cv::Mat frame(qv::kFrameHeight, qv::kFrameWidth, CV_8UC4);
  cv::randu(frame, 0, 256);
  cv::Mat median;
  cv::medianBlur(frame, median, 3);
  std::vector<std::uint8_t> row(qv::kFrameBytesPerRow);
  std::vector<std::uint8_t> scratch(3 * (qv::kFrameBytesPerRow + 8));
  std::vector<std::uint8_t> run(qv::kFrameWidth);
  for (const int r : {0, 1, 2, 480, 957, 958, 959}) {
    qv::sparse::medianRow(frame.data, r, scratch.data(), row.data());
    EXPECT_EQ(std::memcmp(row.data(), median.ptr(r), row.size()), 0) << "row " << r;
    for (const auto& [begin, end] : {std::pair{0, 7}, std::pair{600, 663}, std::pair{1275, 1280}, std::pair{0, 1280}}) {
      qv::sparse::medianRun(frame.data, 2, r, begin, end, run.data());
      for (int c = begin; c < end; ++c)
        ASSERT_EQ(run[c - begin], median.at<cv::Vec4b>(r, c)[2]) << "row " << r << " column " << c;
    }
  }

  cv::Mat red(64, qv::kFrameWidth, CV_8U);
  cv::randu(red, 0, 256);
  red.rowRange(0, 32).setTo(0, red.rowRange(0, 32) < 128);  // zeros beside values, as thresholding leaves
  cv::Mat bilateral;
  cv::bilateralFilter(red, bilateral, 3, 0, 0, cv::BORDER_REPLICATE);
  cv::Mat grey;
  cv::cvtColor(frame.rowRange(0, 64), grey, cv::COLOR_BGRA2GRAY);
  for (int r = 0; r < 64; ++r) {
    for (int c = 0; c < qv::kFrameWidth; ++c) {
      ASSERT_EQ(qv::sparse::bilateralAt(red.data, red.rows, red.cols, red.step, r, c), bilateral.at<std::uint8_t>(r, c))
          << "row " << r << " column " << c;
      const cv::Vec4b p = frame.at<cv::Vec4b>(r, c);
      ASSERT_EQ(qv::sparse::greyOf(p[0], p[1], p[2]), grey.at<std::uint8_t>(r, c)) << "row " << r << " column " << c;
    }
  }
}
