// Rigid registration of two sets of reference points: a coarse search by local surface
// descriptors and sample consensus over nine voxel sizes, then iterative closest point.
#pragma once

#include <cstdint>
#include <iosfwd>

// One reference point: a position in the scan's units and a colour on a 0 to 255 scale; the last
// three floats are written as zero and never read. Arrays of them lie back to back.
struct QVLAlignmentPoint {
  float x = 0, y = 0, z = 0;
  float red = 0, green = 0, blue = 0;
  float unused[3] = {0, 0, 0};
};
static_assert(sizeof(QVLAlignmentPoint) == 36, "a reference point is nine floats");

// What the fine step found, so that its caller can refuse a refinement that went astray: PCL's
// own convergence flag, and how much of the moved set ended up on the fixed one.
struct QVLIcpOutcome {
  bool converged = false;
  int iterations = 0;
  // The share of the moved, downsampled points within the correspondence distance of a fixed
  // point after the final transform, and the root mean square of those distances.
  double fitness = 0;
  double inlierRmse = 0;
  std::int64_t inliers = 0;
};

// The matrices are 16 floats in row-major order (row r, column c at 4r + c) carrying source
// coordinates onto the target: p' = M (x, y, z, 1). Progress lines go to `log` (standard output
// unless given), one pass after the other.

// Tries the leaf sizes 2 to 10 and keeps the rejector's transformation of the pass with the most
// remaining correspondences; writes it (or the identity when no pass was taken) into `matrix`.
void coarseAlignPointClouds(const QVLAlignmentPoint* sourcePoints, const std::int32_t* sourceCount,
                            const QVLAlignmentPoint* targetPoints, const std::int32_t* targetCount, float matrix[16],
                            std::int32_t maximumIterations, float* bestLeaf, std::int32_t* bestCount, float ratio);
void coarseAlignPointClouds(const QVLAlignmentPoint* sourcePoints, const std::int32_t* sourceCount,
                            const QVLAlignmentPoint* targetPoints, const std::int32_t* targetCount, float matrix[16],
                            std::int32_t maximumIterations, float* bestLeaf, std::int32_t* bestCount, float ratio,
                            std::ostream& log);

// Refines the coarse matrix with ICP on both sets downsampled at the leaf size, with ratio x leaf
// as the correspondence distance; `matrix` becomes the refinement times the coarse matrix.
QVLIcpOutcome refineAlignmentWithIcp(const QVLAlignmentPoint* sourcePoints, const std::int32_t* sourceCount,
                                     const QVLAlignmentPoint* targetPoints, const std::int32_t* targetCount,
                                     float matrix[16], std::int32_t maximumIterations, float ratio, float leafSize);
QVLIcpOutcome refineAlignmentWithIcp(const QVLAlignmentPoint* sourcePoints, const std::int32_t* sourceCount,
                                     const QVLAlignmentPoint* targetPoints, const std::int32_t* targetCount,
                                     float matrix[16], std::int32_t maximumIterations, float ratio, float leafSize,
                                     std::ostream& log);
