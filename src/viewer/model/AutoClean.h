// Statistical outlier detection for auto-clean: a point is an outlier when the mean distance to
// its k nearest neighbours (the point itself not counted) exceeds the mean of those distances
// over all points by more than `multiplier` standard deviations. The figures are computed
// exactly as the point-cloud library's statistical filter computes them (float squared
// distances, their roots summed in double in ascending order, a float mean per point, the
// sample standard deviation), so both flag the same points; the neighbour searches run in
// parallel over the points.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "store/QVLScanVertex.h"
#include "viewer/model/QVLSortableIndexEntry.h"
#include "viewer/model/SceneMath.h"

namespace qv::viewer {

// Auto-clean's three strengths by their button identifiers.
struct AutoCleanStrength {
  int meanK = 50;
  double multiplier = 3.0;
};
// "LightAutoClean" (50, 6.0), "MedAutoClean" (50, 3.0), "HeavyAutoClean" (50, 1.0); false for any
// other identifier.
bool autoCleanStrengthFor(const std::string& identifier, AutoCleanStrength* strength);

// The positions in `points` of the outliers, ascending. Points that are not finite take no part
// (they are never neighbours and never outliers). With k or fewer other points each point uses
// all the others; with fewer than two usable points nothing is an outlier. `threads` 0 means one
// per core the process may use.
std::vector<std::size_t> statisticalOutliers(std::span<const scene::Vec3> points, int meanK, double multiplier,
                                             unsigned threads = 0);

// The record numbers auto-clean flags as removed: the outliers among the candidate records
// (present, not hidden or selected; a point beyond the display cap is a candidate like any other).
std::vector<std::uint32_t> autoCleanOutliers(std::span<const QVLScanVertex> vertices,
                                             std::span<const QVLSortableIndexEntry> records, int meanK,
                                             double multiplier, unsigned threads = 0);

}  // namespace qv::viewer
