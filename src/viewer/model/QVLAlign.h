// Alignment of one scan's vertex buffer onto another's: reference points from the point clouds'
// index lists, the coarse search over six radius ratios with its ICP refinement, and the moving
// of positions, directions and whole vertex buffers by the matrix found.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "platform/Value.h"
#include "viewer/model/PointCloudRegistration.h"

// Never instantiated. The scan that is moved is called the target, the one that stays the base;
// the matrix (16 floats, row-major) carries the target onto the base.
class QVLAlign {
public:
  // The vertex indices of one scan's point clouds, one unsigned 32-bit list per cloud.
  using ReferenceSet = std::vector<qv::SharedData>;
  using Matrix = std::array<float, 16>;

  // The least share of the moved scan that must lie on the fixed one after the refinement.
  static constexpr double kMinimumFitness = 0.2;

  // True with the matrix written when the coarse search of some ratio kept more than 20 matches
  // and its refinement converged with the moved scan lying on the fixed one; false (identity
  // written) when no ratio got there. A buffer that holds no whole record answers false and
  // leaves the matrix alone.
  static bool alignTargetScanObject(std::span<const std::uint8_t> targetVertexData,
                                    const ReferenceSet& targetReferenceData,
                                    std::span<const std::uint8_t> baseVertexData, const ReferenceSet& baseReferenceData,
                                    Matrix* matrix);

  // The two registration steps the search runs, replaceable so that its decisions can be checked
  // on counts and outcomes chosen at will.
  struct Steps {
    std::function<void(const QVLAlignmentPoint*, const std::int32_t*, const QVLAlignmentPoint*, const std::int32_t*,
                       float*, std::int32_t, float*, std::int32_t*, float)>
        coarse = [](auto... a) { coarseAlignPointClouds(a...); };
    std::function<QVLIcpOutcome(const QVLAlignmentPoint*, const std::int32_t*, const QVLAlignmentPoint*,
                                const std::int32_t*, float*, std::int32_t, float, float)>
        refine = [](auto... a) { return refineAlignmentWithIcp(a...); };
  };
  static bool alignTargetScanObject(std::span<const std::uint8_t> targetVertexData,
                                    const ReferenceSet& targetReferenceData,
                                    std::span<const std::uint8_t> baseVertexData, const ReferenceSet& baseReferenceData,
                                    Matrix* matrix, const Steps& steps);

  // One point per listed index that is in range, not 0, and neither the exact origin nor
  // anything but finite, in list order. False (outputs unset) for a buffer of no whole record.
  static bool buildPointDataFromSourceData(std::span<const std::uint8_t> sourceData, const ReferenceSet& references,
                                           std::int32_t* numberOfPoints, std::vector<QVLAlignmentPoint>* pointData);

  // Moves a position; the exact origin (no point) and non-finite positions stay.
  static void applyMatrixToVertex(const Matrix& matrix, float vertex[3]);
  // Turns a direction by the matrix's rotation part, without rescaling; a zero or NaN one stays.
  static void applyMatrixToNormal(const Matrix& matrix, float normal[3]);
  // A copy of the buffer with every record's position moved and its normal turned to unit length.
  static std::vector<std::uint8_t> applyMatrixToVertexData(const Matrix& matrix, std::span<const std::uint8_t> vertexData);

  static Matrix identity();
};
