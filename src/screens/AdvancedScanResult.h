// The record of one analysis of the manual scan screen: per laser, the accepted, over-exposed and
// too-wide laser-line points and their average width, with the four laser exposures it was made at.
#pragma once

#include <cstdint>
#include <string>

namespace qv::screens {

// Laser identifiers of the analysis and the summary.
inline constexpr int kSummaryBothLasers = 1;
inline constexpr int kSummaryLaser1 = 2;
inline constexpr int kSummaryLaser2 = 3;

// A number with a fixed count of decimals, rounded as printf rounds, never in the user's locale.
std::string fixedDecimals(double value, int decimals);

}  // namespace qv::screens

class QVLAdvancedScanResult {
public:
  float averageLaser1Width = 0.0f;
  float averageLaser2Width = 0.0f;
  int numberOfLaser1OverexposedPoints = 0;
  int numberOfLaser1Points = 0;
  int numberOfLaser1WidePoints = 0;
  int numberOfLaser2OverexposedPoints = 0;
  int numberOfLaser2Points = 0;
  int numberOfLaser2WidePoints = 0;
  std::int64_t laser1LowExposure = 0;
  std::int64_t laser1HighExposure = 0;
  std::int64_t laser2LowExposure = 0;
  std::int64_t laser2HighExposure = 0;

  // "40 80 45 90": the key of the screen's cache of analyses.
  static std::string referenceForLaser1LowExposure(std::int64_t laser1Low, std::int64_t laser1High,
                                                   std::int64_t laser2Low, std::int64_t laser2High);
  std::string reference() const;

  // A four-row HTML table for laser 2, 3 or both (1); the empty string for any other identifier.
  // A value of 0 shows as "--".
  std::string buildHtmlSummaryForLaser(int laser) const;
};
