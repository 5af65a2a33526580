// How far the bed turns next and whether another pass follows: plain functions of the scan's numbers.
#pragma once

#include <cstddef>
#include <optional>
#include <span>

#include "store/QVLSliceVertex.h"

namespace qv {

struct AdaptiveLimits {
  float minimum_deg = 0.125f;  // smallest step
  float maximum_deg = 3.0f;    // largest step
  float default_deg = 1.0f;    // the step when no estimate can be made
};

// The band of average slice distances (mm) that keeps the step as it is, from the step limits.
float adaptiveAverageDistanceMax(float minimum_deg, float maximum_deg);
float adaptiveAverageDistanceMin(float minimum_deg, float maximum_deg);

// The mean distance between two slice blocks over the rows where both have a point.
struct SliceDistance {
  double sum_mm = 0.0;
  std::size_t rows = 0;
  std::optional<double> average() const { return rows ? std::optional<double>(sum_mm / rows) : std::nullopt; }
};
SliceDistance sliceBlockDistance(std::span<const QVLSliceVertex> block, std::span<const QVLSliceVertex> previous);

// The bed turn to make next (may be negative: back to one step after the previous slice) and the
// step to remember as the last one.
struct RotationStep {
  float rotation_deg = 0.0f;
  float interval_deg = 0.0f;
};

// The adaptive rule on the average distance to the previous slice: closer than the band widens
// the step, farther narrows it and turns back, within the band keeps it. No average: the default.
// A step of exactly 0 becomes the default too.
RotationStep adaptiveStep(std::optional<double> averageDistance_mm, float lastStep_deg, const AdaptiveLimits& limits);

// When a slice already lies just ahead (a pass over ground a resumed or turned-back scan covered):
// keep the last step unless that lands within the minimum step of it, then step over it.
RotationStep stepPastSliceAhead(float currentRotation_deg, float lastStep_deg, float aheadRotation_deg,
                                const AdaptiveLimits& limits);

// The end of a pass. With the average top height of its slices (nothing when none added one) and
// the heights the camera sees at the current head, the head either rises for another pass or the
// scan completes. The raise never takes the head above 185 mm, and a raise that would not lift the
// head at all (zero or negative) completes the scan rather than repeating the same pass.
inline constexpr float kHeadLimit_mm = 185.0f;
struct PassDecision {
  bool anotherPass = false;
  float raise_mm = 0.0f;
};
PassDecision decidePassEnd(std::optional<float> averageTop_mm, float lowest_mm, float highest_mm, float headHeight_mm,
                           float heightInterval_mm);
// A raise cut so that the head ends at 185 mm at most.
float clampHeadRaise(float headHeight_mm, float raise_mm);

}  // namespace qv
