// Keeping only the laser points that two laser-off frames agree on, and merging several exposures.
#pragma once

#include <vector>

#include "acquisition/QVSImageLaserPoint.h"

namespace qv {

struct ConfirmedLaserPoints {
  std::vector<QVSImageLaserPoint> kept;
  int missed = 0;  // points of the verification detection the reference detection did not confirm
};

// For every point of the verification detection, in order: confirmed when the reference
// detection's first point on the same row lies less than one pixel away; dropped without being
// counted when an earlier exposure of the step already has a point less than 3 rows away.
ConfirmedLaserPoints confirmLaserPoints(const std::vector<QVSImageLaserPoint>& reference,
                                        const std::vector<QVSImageLaserPoint>& verification,
                                        const std::vector<QVSImageLaserPoint>& earlierExposures);

}  // namespace qv
