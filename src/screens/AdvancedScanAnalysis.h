// The manual scan screen's analysis of laser frames: the points both laser-off frames confirm,
// painted into a synthetic frame and counted into a summary, and the summary page.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "acquisition/QVSImageLaserPoint.h"
#include "platform/Value.h"
#include "records/QVLScanResultSet.h"
#include "screens/AdvancedScanResult.h"

namespace qv::screens {

// What the laser-line detector found in one result set's laser frame, once against the laser-off
// frame taken before it (1) and once against the one taken after it (2).
struct LaserDetections {
  std::vector<QVSImageLaserPoint> points1, overExposed1, wide1;
  std::vector<QVSImageLaserPoint> points2, overExposed2, wide2;
};

// The two detector runs of one result set (threshold 60, no colour frame); missing or wrongly
// sized frames give empty lists.
LaserDetections detectLaserPoints(const QVLScanResultSet& set);

// The points accepted over a list of result sets, their count and width sum, and the over-exposed
// and wide counts of the last set.
struct LaserPointTally {
  std::vector<QVSImageLaserPoint> accepted;
  int count = 0;
  float widthSum = 0.0f;
  int overExposed = 0;
  int wide = 0;
};
LaserPointTally tallyLaserPoints(const std::vector<LaserDetections>& sets);

// Paints each point's lit run dark red and its centre white into a camera frame, clipped to the
// frame (alpha bytes untouched). A frame of the wrong size is left alone.
void paintLaserPoints(const std::vector<QVSImageLaserPoint>& points, qv::Data& frame);

// The analysis of one laser: detection, tally, painting and the laser's fields of the summary
// (laser 2 or 3; another identifier still paints but fills nothing).
void extractPointsFromLaserResults(const std::vector<QVLScanResultSet>& sets, qv::Data& frame,
                                   QVLAdvancedScanResult& summary, int laser);

// A camera frame of opaque black.
qv::Data opaqueBlackFrame();

// The summary page: "[Laser1Content]", "[Laser2Content]" and "[TotalContent]" replaced, whatever
// their case, by the summary's tables for laser 1, laser 2 and both.
std::string fillSummaryTemplate(std::string page, const QVLAdvancedScanResult& summary);

// The "ScanSummaryTemplate.html" resource; nothing when it is missing or unreadable.
std::optional<std::string> readSummaryTemplate();

}  // namespace qv::screens
