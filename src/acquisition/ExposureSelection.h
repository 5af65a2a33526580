// The choice rules of exposure tuning: plain functions over the per-exposure results.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "acquisition/QVLExposureQuality.h"

namespace qv {

// The list extended, after its own entries, by one combined result per pair i < j of entries
// that each hold a single exposure: i's found points win a shared row, j's over-exposed rows
// win, rows with a found point are no longer over-exposed; width, frame and white balance of j.
std::vector<QVLExposureQuality> withCombinedExposures(const std::vector<QVLExposureQuality>& results);

// Single rule: the first result that beats the best so far by more than 5 % of its own points,
// with fewer than 10 over-exposed rows.
std::optional<std::size_t> chooseSingleExposure(const std::vector<QVLExposureQuality>& results);
// Complementary rule: entries of the same index of both lists together, at most 20 over-exposed
// rows between them, beating the best total by more than 5 %.
std::optional<std::size_t> chooseComplementaryExposure(const std::vector<QVLExposureQuality>& laser1,
                                                       const std::vector<QVLExposureQuality>& laser2);
// Calibration rule: the first index where both lasers together find 751 points or more.
std::optional<std::size_t> chooseCalibrationExposure(const std::vector<QVLExposureQuality>& laser1,
                                                     const std::vector<QVLExposureQuality>& laser2);
// The laser-off result whose frame is closest to grey 157 under the chosen laser points (the mean
// of the averages of the lasers whose choice holds points; 0 when neither does); the earlier
// result wins a tie.
std::optional<std::size_t> chooseNonLaserExposure(const std::vector<QVLExposureQuality>& nonLaser,
                                                  const QVLExposureQuality* bestLaser1,
                                                  const QVLExposureQuality* bestLaser2);

}  // namespace qv
