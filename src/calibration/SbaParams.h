// The settings of one bundle adjustment: what is refined, how long, and which intrinsics are held.
#pragma once

#include <cstdint>

enum class SbaMode : std::int32_t {
  motionAndStructure = 0,  // camera poses and points
  motionOnly = 1,          // camera parameters only
  structureOnly = 2,       // points only
};

struct SbaParams {
  SbaMode mode = SbaMode::motionAndStructure;
  std::int32_t iterations = 150;  // most Levenberg-Marquardt iterations; at least 1
  // The solver stops once the sum of squared residuals is at most (minimumError × visible projections)².
  double minimumError = 1e-10;
  // How many of (fx, cx, cy, aspect, skew) are held, counted from the end; 0..5.
  std::int32_t fixedIntrinsicCount = 5;
  // How many of (k1, k2, p1, p2, k3) are held, counted from the end; 0..5.
  std::int32_t fixedDistortionCount = 5;
  bool verbose = false;
};
