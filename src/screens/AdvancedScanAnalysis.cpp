// The manual scan screen's laser analysis and summary page.
#include "screens/AdvancedScanAnalysis.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <fstream>
#include <sstream>

#include "acquisition/QVSImageUtil.h"
#include "platform/Paths.h"

namespace qv::screens {
namespace {

constexpr double kDetectorThreshold = 60.0;
constexpr float kMatchDistance_px = 1.0f;
constexpr int kEarlierRowSpan = 2;
constexpr float kRejectedMatchDistance_px = 10.0f;

const QVSImageLaserPoint* firstOnRow(const std::vector<QVSImageLaserPoint>& points, int row) {
  auto it = std::find_if(points.begin(), points.end(), [row](const QVSImageLaserPoint& p) { return p.y() == row; });
  return it == points.end() ? nullptr : &*it;
}

// Rejected points seen in both runs near the same column, on a row where no point was accepted.
int countConfirmedRejects(const std::vector<QVSImageLaserPoint>& first, const std::vector<QVSImageLaserPoint>& second,
                          const std::vector<QVSImageLaserPoint>& accepted) {
  int count = 0;
  for (const auto& v : first) {
    const auto* u = firstOnRow(second, v.y());
    if (u && std::fabs(v.x() - u->x()) < kRejectedMatchDistance_px && !firstOnRow(accepted, v.y())) ++count;
  }
  return count;
}

void paintPixel(qv::Data& frame, long column, int row, std::uint8_t b0, std::uint8_t b1, std::uint8_t b2) {
  if (column < 0 || column >= QVSImageUtil::kWidth) return;
  const std::size_t at = static_cast<std::size_t>(row) * QVSImageUtil::kBytesPerRow + static_cast<std::size_t>(column) * 4;
  frame[at] = b0, frame[at + 1] = b1, frame[at + 2] = b2;
}

std::string lowered(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

void replaceAllIgnoringCase(std::string& text, const std::string& marker, const std::string& replacement) {
  const std::string key = lowered(marker);
  std::string folded = lowered(text);
  std::size_t at = 0;
  while ((at = folded.find(key, at)) != std::string::npos) {
    text.replace(at, marker.size(), replacement);
    folded.replace(at, marker.size(), lowered(replacement));
    at += replacement.size();
  }
}

}  // namespace

LaserDetections detectLaserPoints(const QVLScanResultSet& set) {
  const QVSImageUtil reference(set.referenceImage), verification(set.verificationImage), laser(set.laserImage);
  LaserDetections d;
  if (auto points = reference.detectLaserPointsInImage(&laser, nullptr, kDetectorThreshold, &d.overExposed1, &d.wide1, nullptr))
    d.points1 = std::move(*points);
  if (auto points = verification.detectLaserPointsInImage(&laser, nullptr, kDetectorThreshold, &d.overExposed2, &d.wide2, nullptr))
    d.points2 = std::move(*points);
  return d;
}

LaserPointTally tallyLaserPoints(const std::vector<LaserDetections>& sets) {
  LaserPointTally tally;
  for (const auto& set : sets) {
    // A point near a row an earlier set already accepted counts again, for that point's width,
    // but is not drawn twice.
    const std::size_t earlier = tally.accepted.size();
    std::vector<QVSImageLaserPoint> kept;
    for (const auto& p : set.points2) {
      const auto* q = firstOnRow(set.points1, p.y());
      const bool matches = q && std::fabs(p.x() - q->x()) < kMatchDistance_px;
      auto e = std::find_if(tally.accepted.begin(), tally.accepted.begin() + static_cast<std::ptrdiff_t>(earlier),
                            [&](const QVSImageLaserPoint& a) { return std::abs(a.y() - p.y()) <= kEarlierRowSpan; });
      if (e != tally.accepted.begin() + static_cast<std::ptrdiff_t>(earlier)) {
        ++tally.count;
        tally.widthSum += e->width();
      } else if (matches) {
        kept.push_back(p);
        ++tally.count;
        tally.widthSum += p.width();
      }
    }
    tally.accepted.insert(tally.accepted.end(), kept.begin(), kept.end());
    tally.overExposed = countConfirmedRejects(set.overExposed1, set.overExposed2, tally.accepted);
    tally.wide = countConfirmedRejects(set.wide1, set.wide2, tally.accepted);
  }
  return tally;
}

void paintLaserPoints(const std::vector<QVSImageLaserPoint>& points, qv::Data& frame) {
  if (frame.size() != QVSImageUtil::kFrameBytes) return;
  for (const auto& p : points) {
    if (p.y() < 0 || p.y() >= QVSImageUtil::kHeight) continue;
    const float width = p.width();
    const long run = std::isfinite(width) && width > 0.0f ? static_cast<long>(std::ceil(width)) : 0;
    for (long i = 0; i < std::min<long>(run, QVSImageUtil::kWidth); ++i)
      paintPixel(frame, static_cast<long>(p.leftPixelX()) + i, p.y(), 0x22, 0x22, 0xAA);
    if (std::isfinite(p.x())) paintPixel(frame, std::lround(p.x()), p.y(), 0xFF, 0xFF, 0xFF);
  }
}

void extractPointsFromLaserResults(const std::vector<QVLScanResultSet>& sets, qv::Data& frame,
                                   QVLAdvancedScanResult& summary, int laser) {
  std::vector<LaserDetections> detections;
  detections.reserve(sets.size());
  for (const auto& set : sets) detections.push_back(detectLaserPoints(set));
  const LaserPointTally tally = tallyLaserPoints(detections);
  paintLaserPoints(tally.accepted, frame);
  const float average = tally.count != 0 ? tally.widthSum / static_cast<float>(tally.count) : 0.0f;
  if (laser == kSummaryLaser1) {
    summary.numberOfLaser1Points = tally.count, summary.averageLaser1Width = average;
    summary.numberOfLaser1OverexposedPoints = tally.overExposed, summary.numberOfLaser1WidePoints = tally.wide;
  } else if (laser == kSummaryLaser2) {
    summary.numberOfLaser2Points = tally.count, summary.averageLaser2Width = average;
    summary.numberOfLaser2OverexposedPoints = tally.overExposed, summary.numberOfLaser2WidePoints = tally.wide;
  }
}

qv::Data opaqueBlackFrame() {
  qv::Data frame(QVSImageUtil::kFrameBytes, 0);
  for (std::size_t at = 3; at < frame.size(); at += 4) frame[at] = 0xFF;
  return frame;
}

std::string fillSummaryTemplate(std::string page, const QVLAdvancedScanResult& summary) {
  replaceAllIgnoringCase(page, "[Laser1Content]", summary.buildHtmlSummaryForLaser(kSummaryLaser1));
  replaceAllIgnoringCase(page, "[Laser2Content]", summary.buildHtmlSummaryForLaser(kSummaryLaser2));
  replaceAllIgnoringCase(page, "[TotalContent]", summary.buildHtmlSummaryForLaser(kSummaryBothLasers));
  return page;
}

std::optional<std::string> readSummaryTemplate() {
  const auto path = qv::paths::resourcePath("ScanSummaryTemplate.html");
  if (!path) return std::nullopt;
  std::ifstream in(*path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace qv::screens
