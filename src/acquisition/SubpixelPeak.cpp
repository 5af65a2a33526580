// The three sub-pixel steps of the laser-line detector.
#include "acquisition/SubpixelPeak.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <opencv2/core.hpp>

namespace qv {

namespace {

// Grey levels below the peak that still count as its flat top.
constexpr int kTopTolerance = 4;

// g(k) = (sum of the n samples left of k) - (sum of the n samples right of k); its zero crossing
// between the peak and the next column is where the line's centre lies.
bool differenceOfSums(const std::uint8_t* row, int width, int peak, int n, float& delta) {
  if (peak - n < 0 || peak + n + 1 >= width) return false;
  for (int k = peak - n; k <= peak + n + 1; ++k)
    if (row[k] == 0) return false;
  int g0 = 0;
  int g1 = 0;
  for (int i = 1; i <= n; ++i) {
    g0 += row[peak - i] - row[peak + i];
    g1 += row[peak + 1 - i] - row[peak + 1 + i];
  }
  const float d = static_cast<float>(g0) - static_cast<float>(g1);
  if (std::fabs(d) >= 0.1f) delta = static_cast<float>(g0) / d;
  return true;
}

}  // namespace

bool subpixelDeltaBR8(const std::uint8_t* row, int width, int peak, float& delta) {
  return differenceOfSums(row, width, peak, 4, delta);
}

bool subpixelDeltaBR4(const std::uint8_t* row, int width, int peak, float& delta) {
  return differenceOfSums(row, width, peak, 2, delta);
}

bool subpixelDeltaParabola(const std::uint8_t* row, int width, int peak, float& delta) {
  if (peak - 2 < 0 || peak + 3 >= width) return false;
  // Zero samples lie below the noise floor: they say where the line is not, not how bright it is,
  // so only the lit samples enter the fit, each at its own offset from the peak. (A fit through
  // all six would be lopsided for a narrow line: the window reaches two samples left of the peak
  // and three right, so a line symmetric about its peak would come out a quarter pixel off.)
  float aData[6 * 3];
  float bData[6];
  float xData[3];
  int n = 0;
  int first = 0;
  int last = 0;
  for (int t = -2; t <= 3; ++t) {
    const std::uint8_t v = row[peak + t];
    if (v == 0) continue;
    if (n == 0) first = t;
    last = t;
    aData[3 * n + 0] = 1.0f;
    aData[3 * n + 1] = static_cast<float>(t);
    aData[3 * n + 2] = static_cast<float>(t * t);
    bData[n] = static_cast<float>(v);
    ++n;
  }
  if (n < 3) return false;
  // Headers over stack arrays: nothing to release, whatever OpenCV raises.
  const cv::Mat a(n, 3, CV_32F, aData);
  const cv::Mat b(n, 1, CV_32F, bData);
  cv::Mat x(3, 1, CV_32F, xData);
  if (!cv::solve(a, b, x, cv::DECOMP_QR)) return false;
  const double slope = xData[1];
  const double curvature = xData[2];
  // A peak bends down; a flat or upward fit has no vertex that could be the line's centre. Flat
  // samples leave a single-precision curvature of rounding noise, hence the small margin.
  if (!(curvature < -1e-3)) return false;
  const double vertex = -slope / (2.0 * curvature);
  if (std::isnan(vertex)) return false;
  // The vertex must lie within the lit samples' window, widened to half their count.
  const double centre = 0.5 * (first + last);
  const double halfWidth = std::round(n / 2.0);
  if (!(std::fabs(vertex - centre) <= halfWidth)) return false;
  delta = static_cast<float>(vertex);
  return true;
}

float subpixelDelta(const std::uint8_t* row, int width, int peak) {
  float delta = 0.0f;
  if (subpixelDeltaBR8(row, width, peak, delta)) return delta;
  if (subpixelDeltaBR4(row, width, peak, delta)) return delta;
  if (subpixelDeltaParabola(row, width, peak, delta)) return delta;
  return 0.0f;
}

float refineSubpixelColumn(const std::uint8_t* row, int width, int peak, float delta, const ClippedColumns& clipped) {
  // The top: the columns around the peak within a few grey levels of it (the background under a
  // clipped top is not quite flat, so the top is not quite either).
  // Noise in the laser-off frame leaves the filtered top of a clipped line ragged where the laser
  // frame is flat, so the top also takes in the clipped columns next to it that are bright.
  const int top = std::max(int{row[peak]} - kTopTolerance, 1);
  const auto inTop = [&](int c) { return row[c] >= top || (clipped(c) && 2 * row[c] > row[peak]); };
  int first = peak;
  while (first > 0 && inTop(first - 1)) --first;
  int last = peak;
  while (last + 1 < width && inTop(last + 1)) ++last;
  int clippedColumns = 0;
  for (int c = first; c <= last; ++c) clippedColumns += clipped(c) ? 1 : 0;
  if (clippedColumns < kClippedTopColumns) return static_cast<float>(peak) + delta;
  // A clipped top says nothing of where the line is; its two flanks do. The centre is midway
  // between where they cross half the top's height.
  const double level = 0.5 * row[peak];
  int l = first;
  while (l > 0 && row[l] >= level) --l;
  int r = last;
  while (r + 1 < width && row[r] >= level) ++r;
  if (row[l] < level && row[r] < level) {
    const double left = l + (level - row[l]) / (row[l + 1] - row[l]);
    const double right = r - (level - row[r]) / (row[r - 1] - row[r]);
    return static_cast<float>(0.5 * (left + right));
  }
  if (delta >= 0.0f && delta <= 1.0f) return static_cast<float>(peak) + delta;
  // Otherwise the steps are asked again from the middle of the top and then from the column their
  // answer points to.
  int column = first + (last - first) / 2;
  delta = subpixelDelta(row, width, column);
  for (int attempt = 0; attempt < 3 && (delta < 0.0f || delta > 1.0f); ++attempt) {
    const int next = column + static_cast<int>(std::floor(delta));
    if (next < first || next > last) break;
    const float nextDelta = subpixelDelta(row, width, next);
    // The two answers point at each other: the centre lies between them; keep the first.
    if ((next < column) != (nextDelta < 0.0f)) break;
    column = next;
    delta = nextDelta;
  }
  return static_cast<float>(column) + std::clamp(delta, -1.0f, 2.0f);
}

}  // namespace qv
