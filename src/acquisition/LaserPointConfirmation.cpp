// The two-detection confirmation of a scan step.
#include "acquisition/LaserPointConfirmation.h"

#include <cmath>
#include <unordered_map>

namespace qv {

ConfirmedLaserPoints confirmLaserPoints(const std::vector<QVSImageLaserPoint>& reference,
                                        const std::vector<QVSImageLaserPoint>& verification,
                                        const std::vector<QVSImageLaserPoint>& earlierExposures) {
  std::unordered_map<int, float> firstOnRow;
  for (const auto& q : reference) firstOnRow.emplace(q.y(), q.x());
  ConfirmedLaserPoints out;
  for (const auto& p : verification) {
    const auto it = firstOnRow.find(p.y());
    const bool confirmed = it != firstOnRow.end() && std::fabs(p.x() - it->second) < 1.0f;
    bool covered = false;
    for (const auto& r : earlierExposures) {
      if (std::abs(r.y() - p.y()) < 3) {
        covered = true;
        break;
      }
    }
    if (covered) continue;
    if (confirmed) out.kept.push_back(p);
    else ++out.missed;
  }
  return out;
}

}  // namespace qv
