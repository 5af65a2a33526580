// The manual scan screen's laser analysis and summary: which detected points are accepted and
// counted, how they are painted into a frame (clipped to it), and the summary's rows and key.
#include <gtest/gtest.h>

#include "acquisition/QVSImageUtil.h"
#include "screens/AdvancedScanAnalysis.h"

namespace qv::screens {
namespace {

QVSImageLaserPoint point(float x, int y, float width = 2.0f, int left = -100) {
  QVSImageLaserPoint p(x, y);
  p.setWidth(width);
  p.setLeftPixelX(left == -100 ? static_cast<int>(x) - 1 : left);
  return p;
}

std::array<std::uint8_t, 4> pixel(const qv::Data& frame, int column, int row) {
  const std::size_t at = static_cast<std::size_t>(row) * QVSImageUtil::kBytesPerRow + static_cast<std::size_t>(column) * 4;
  return {frame[at], frame[at + 1], frame[at + 2], frame[at + 3]};
}

constexpr std::array<std::uint8_t, 4> kRun = {0x22, 0x22, 0xAA, 0xFF}, kCentre = {0xFF, 0xFF, 0xFF, 0xFF},
                                      kBlack = {0, 0, 0, 0xFF};

TEST(AdvancedScanAnalysisTest, PointsArePaintedWithinTheFrameOnly) {
  qv::Data frame = opaqueBlackFrame();
  ASSERT_EQ(frame.size(), QVSImageUtil::kFrameBytes);
  paintLaserPoints({point(1277.4f, 10, 7.2f, 1275), point(1279.6f, 20, 1.0f, 1279), point(3.0f, 30, 3.0f, -5),
                    point(-0.6f, 40, 2.0f, -4), point(500.0f, 960), point(500.0f, -1)},
                   frame);
  // A run from column 1275 of width 7.2 asks for 8 columns and gets the 5 the frame has.
  for (int c = 1275; c <= 1279; ++c)
    if (c != 1277) {
      EXPECT_EQ(pixel(frame, c, 10), kRun) << c;
    }
  EXPECT_EQ(pixel(frame, 1277, 10), kCentre);
  EXPECT_EQ(pixel(frame, 1274, 10), kBlack);
  // A centre rounding to column 1280 lies outside: only the run is drawn.
  EXPECT_EQ(pixel(frame, 1279, 20), kRun);
  EXPECT_EQ(pixel(frame, 0, 21), kBlack);  // nothing wrapped into the next row
  // Runs starting left of the frame lose their columns below 0, and nothing is written before it.
  EXPECT_EQ(pixel(frame, 0, 30), kBlack);
  EXPECT_EQ(pixel(frame, 3, 30), kCentre);
  EXPECT_EQ(pixel(frame, 1279, 29), kBlack);
  EXPECT_EQ(pixel(frame, 0, 40), kBlack);
  EXPECT_EQ(pixel(frame, 1279, 39), kBlack);
  // Rows outside the frame are counted elsewhere but never drawn.
  EXPECT_EQ(pixel(frame, 500, 959), kBlack);
  EXPECT_EQ(pixel(frame, 500, 0), kBlack);

  qv::Data shortFrame(100, 0);
  paintLaserPoints({point(10.0f, 0)}, shortFrame);
  EXPECT_EQ(shortFrame, qv::Data(100, 0));
}

TEST(AdvancedScanAnalysisTest, OnlyPointsBothLaserOffFramesConfirmAreAcceptedAndCounted) {
  LaserDetections normal;
  normal.points1 = {point(100.0f, 10, 3.0f), point(200.0f, 20, 3.0f), point(300.0f, 30, 3.0f)};
  // Row 20 moved a whole pixel (not confirmed); row 40 has no partner.
  normal.points2 = {point(100.5f, 10, 4.0f), point(201.0f, 20, 4.0f), point(300.2f, 30, 5.0f), point(400.0f, 40, 5.0f)};
  normal.overExposed1 = {point(10.0f, 30), point(10.0f, 31), point(10.0f, 50)};
  normal.overExposed2 = {point(15.0f, 30), point(19.0f, 31), point(30.0f, 50)};
  LaserDetections alternate;
  alternate.points1 = {point(110.0f, 12, 9.0f), point(600.0f, 60, 6.0f)};
  alternate.points2 = {point(110.0f, 12, 9.0f), point(600.0f, 60, 6.0f), point(700.0f, 70, 6.0f)};
  alternate.wide1 = {point(5.0f, 70)};
  alternate.wide2 = {point(6.0f, 70)};

  const LaserPointTally one = tallyLaserPoints({normal});
  ASSERT_EQ(one.accepted.size(), 2u);
  EXPECT_EQ(one.count, 2);
  EXPECT_FLOAT_EQ(one.widthSum, 9.0f);
  // Row 30 holds an accepted point; row 31 next to it still counts; row 50 is 20 px apart.
  EXPECT_EQ(one.overExposed, 1);

  const LaserPointTally both = tallyLaserPoints({normal, alternate});
  // The alternate point two rows from a normal one counts with the normal point's width, undrawn.
  ASSERT_EQ(both.accepted.size(), 3u);
  EXPECT_EQ(both.accepted[2].y(), 60);
  EXPECT_EQ(both.count, 4);
  EXPECT_FLOAT_EQ(both.widthSum, 9.0f + 4.0f + 6.0f);
  // The rejected counts are those of the last set alone.
  EXPECT_EQ(both.overExposed, 0);
  EXPECT_EQ(both.wide, 1);
  EXPECT_EQ(tallyLaserPoints({}).count, 0);
}

TEST(AdvancedScanAnalysisTest, TheSummaryShowsCountsWidthsAndDashes) {
  QVLAdvancedScanResult empty;
  for (int laser : {1, 2, 3}) {
    const std::string html = empty.buildHtmlSummaryForLaser(laser);
    EXPECT_EQ(html.rfind("<table>", 0), 0u);
    std::size_t dashes = 0;
    for (std::size_t at = html.find("<td>--</td>"); at != std::string::npos; at = html.find("<td>--</td>", at + 1)) ++dashes;
    EXPECT_EQ(dashes, 4u) << laser;
  }
  EXPECT_EQ(empty.buildHtmlSummaryForLaser(0), "");
  EXPECT_EQ(empty.buildHtmlSummaryForLaser(4), "");

  QVLAdvancedScanResult r;
  r.numberOfLaser1Points = 120, r.averageLaser1Width = 3.0f;
  r.numberOfLaser2Points = 80, r.averageLaser2Width = 4.5f, r.numberOfLaser2WidePoints = 7;
  const std::string total = r.buildHtmlSummaryForLaser(1);
  EXPECT_NE(total.find("<tr><td align=\"right\">Number of points:</td><td>200</td></tr>"), std::string::npos);
  EXPECT_NE(total.find("<td>3.60</td>"), std::string::npos);
  EXPECT_NE(total.find("<tr><td align=\"right\">Wide points:</td><td>7</td></tr>"), std::string::npos);
  EXPECT_NE(total.find("<tr><td align=\"right\">Overexposed points:</td><td>--</td></tr>"), std::string::npos);
  r.averageLaser1Width = 0.004f;
  EXPECT_NE(r.buildHtmlSummaryForLaser(2).find("<td>0.00</td>"), std::string::npos);

  r.laser1LowExposure = 40, r.laser1HighExposure = 80, r.laser2LowExposure = 45, r.laser2HighExposure = 90;
  EXPECT_EQ(r.reference(), "40 80 45 90");
  EXPECT_EQ(QVLAdvancedScanResult::referenceForLaser1LowExposure(40, 80, 45, 90), r.reference());

  const std::string page = fillSummaryTemplate("<p>[laser1content]</p>[Laser2Content][TOTALCONTENT][Laser1Content]", r);
  EXPECT_EQ(page.find('['), std::string::npos);
  EXPECT_NE(page.find("<p><table>"), std::string::npos);
  EXPECT_NE(page.find("<td>200</td>"), std::string::npos);
}

}  // namespace
}  // namespace qv::screens
