// The manual scan screen's analysis record and its HTML rows.
#include "screens/AdvancedScanResult.h"

#include <charconv>
#include <string_view>

namespace qv::screens {

std::string fixedDecimals(double value, int decimals) {
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
  if (result.ec != std::errc()) return "0";
  return std::string(buffer, result.ptr);
}

namespace {

// The rows' texts are keys of the string table; there is no table but English, so a key is its
// own text.
std::string localizedString(std::string_view key) { return std::string(key); }

// The value goes into the translated text in place of its marker: the text itself is never used
// as a format, so a translation holding '%' cannot misread the arguments.
std::string row(std::string_view withValue, std::string_view marker, std::string_view withoutValue, bool shown,
                const std::string& value) {
  if (!shown) return localizedString(withoutValue);
  std::string text = localizedString(withValue);
  if (const auto at = text.find(marker); at != std::string::npos) text.replace(at, marker.size(), value);
  return text;
}

}  // namespace
}  // namespace qv::screens

using namespace qv::screens;

std::string QVLAdvancedScanResult::referenceForLaser1LowExposure(std::int64_t laser1Low, std::int64_t laser1High,
                                                                 std::int64_t laser2Low, std::int64_t laser2High) {
  return std::to_string(laser1Low) + ' ' + std::to_string(laser1High) + ' ' + std::to_string(laser2Low) + ' ' +
         std::to_string(laser2High);
}

std::string QVLAdvancedScanResult::reference() const {
  return referenceForLaser1LowExposure(laser1LowExposure, laser1HighExposure, laser2LowExposure, laser2HighExposure);
}

std::string QVLAdvancedScanResult::buildHtmlSummaryForLaser(int laser) const {
  int points = 0, overexposed = 0, wide = 0;
  float width = 0.0f;
  switch (laser) {
    case kSummaryLaser1:
      points = numberOfLaser1Points, width = averageLaser1Width;
      overexposed = numberOfLaser1OverexposedPoints, wide = numberOfLaser1WidePoints;
      break;
    case kSummaryLaser2:
      points = numberOfLaser2Points, width = averageLaser2Width;
      overexposed = numberOfLaser2OverexposedPoints, wide = numberOfLaser2WidePoints;
      break;
    case kSummaryBothLasers:
      points = numberOfLaser1Points + numberOfLaser2Points;
      overexposed = numberOfLaser1OverexposedPoints + numberOfLaser2OverexposedPoints;
      wide = numberOfLaser1WidePoints + numberOfLaser2WidePoints;
      // The mean width of every point of both lasers.
      width = points != 0 ? (static_cast<float>(numberOfLaser1Points) * averageLaser1Width +
                             static_cast<float>(numberOfLaser2Points) * averageLaser2Width) /
                                static_cast<float>(points)
                          : 0.0f;
      break;
    default:
      return {};
  }
  std::string html = "<table>";
  html += row(R"(<tr><td align="right">Number of points:</td><td>%d</td></tr>)", "%d",
              R"(<tr><td align="right">Number of points:</td><td>--</td></tr>)", points != 0, std::to_string(points));
  html += row(R"(<tr><td align="right">Average width:</td><td>%0.2f</td></tr>)", "%0.2f",
              R"(<tr><td align="right">Average width:</td><td>--</td></tr>)", width != 0.0f, fixedDecimals(width, 2));
  html += row(R"(<tr><td align="right">Overexposed points:</td><td>%d</td></tr>)", "%d",
              R"(<tr><td align="right">Overexposed points:</td><td>--</td></tr>)", overexposed != 0,
              std::to_string(overexposed));
  html += row(R"(<tr><td align="right">Wide points:</td><td>%d</td></tr>)", "%d",
              R"(<tr><td align="right">Wide points:</td><td>--</td></tr>)", wide != 0, std::to_string(wide));
  html += "</table>";
  return html;
}
