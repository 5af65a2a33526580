// The adaptive bed step and the end-of-pass decision.
#include "acquisition/AdaptiveRotation.h"

#include <algorithm>
#include <cmath>

namespace qv {

float adaptiveAverageDistanceMax(float minimum_deg, float maximum_deg) {
  return static_cast<float>((static_cast<double>(maximum_deg) - minimum_deg) * 0.3391304348 + minimum_deg);
}

float adaptiveAverageDistanceMin(float minimum_deg, float maximum_deg) {
  return static_cast<float>((static_cast<double>(maximum_deg) - minimum_deg) * 0.2173913043 + minimum_deg);
}

SliceDistance sliceBlockDistance(std::span<const QVLSliceVertex> block, std::span<const QVLSliceVertex> previous) {
  SliceDistance d;
  const std::size_t rows = std::min(block.size(), previous.size());
  for (std::size_t r = 0; r < rows; ++r) {
    const QVLSliceVertex& a = block[r];
    const QVLSliceVertex& b = previous[r];
    if (!a.hasPoint() || !b.hasPoint()) continue;
    const double dx = static_cast<double>(a.point3DX) - b.point3DX;
    const double dy = static_cast<double>(a.point3DY) - b.point3DY;
    const double dz = static_cast<double>(a.point3DZ) - b.point3DZ;
    d.sum_mm += std::sqrt(dx * dx + dy * dy + dz * dz);
    ++d.rows;
  }
  return d;
}

namespace {

RotationStep notZero(RotationStep step, const AdaptiveLimits& limits) {
  if (step.rotation_deg == 0.0f) return {limits.default_deg, limits.default_deg};
  return step;
}

}  // namespace

RotationStep adaptiveStep(std::optional<double> averageDistance_mm, float lastStep_deg, const AdaptiveLimits& limits) {
  if (!averageDistance_mm) return {limits.default_deg, limits.default_deg};
  const float average = static_cast<float>(*averageDistance_mm);
  const float dMax = adaptiveAverageDistanceMax(limits.minimum_deg, limits.maximum_deg);
  const float dMin = adaptiveAverageDistanceMin(limits.minimum_deg, limits.maximum_deg);
  const float mid = (dMax + dMin) * 0.5f;
  const float last = lastStep_deg;
  RotationStep step{last, last};
  if (average < dMin) {
    float s = last * (mid / average);
    s = std::max(s, limits.minimum_deg);
    s = std::min(s, limits.maximum_deg);
    step = {s, s};
  } else if (average > dMax) {
    const float n = std::ceil(average / mid);
    float s = last / std::max(2.0f, n);
    s = std::min(s, limits.maximum_deg);
    s = std::max(s, limits.minimum_deg);
    step = {s - last, s};
  }
  return notZero(step, limits);
}

RotationStep stepPastSliceAhead(float currentRotation_deg, float lastStep_deg, float aheadRotation_deg,
                                const AdaptiveLimits& limits) {
  const float gap = std::fabs(currentRotation_deg + lastStep_deg - aheadRotation_deg);
  RotationStep step{gap >= limits.minimum_deg ? lastStep_deg : 2.0f * lastStep_deg, lastStep_deg};
  return notZero(step, limits);
}

float clampHeadRaise(float headHeight_mm, float raise_mm) {
  if (headHeight_mm + raise_mm > kHeadLimit_mm) return kHeadLimit_mm - headHeight_mm;
  return raise_mm;
}

PassDecision decidePassEnd(std::optional<float> averageTop_mm, float lowest_mm, float highest_mm, float headHeight_mm,
                           float heightInterval_mm) {
  PassDecision decision;
  if (!averageTop_mm || !std::isfinite(*averageTop_mm)) return decision;
  const double avg = *averageTop_mm;
  const double lo = lowest_mm;
  const double hi = highest_mm;
  const double head = headHeight_mm;
  float raise = 0.0f;
  if (avg >= (lo + hi) * 0.5) {
    if (head >= kHeadLimit_mm) return decision;
    raise = heightInterval_mm;
  } else if (avg >= lo + (hi - lo) / 3.0 && head < kHeadLimit_mm) {
    raise = std::round(*averageTop_mm) + 25.0f - headHeight_mm;
  } else {
    return decision;
  }
  raise = clampHeadRaise(headHeight_mm, raise);
  if (!(raise > 0.0f)) return decision;
  decision.anotherPass = true;
  decision.raise_mm = raise;
  return decision;
}

}  // namespace qv
