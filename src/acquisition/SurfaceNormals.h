// Surface normals of a point cloud's slice grid, from each point's neighbours in slice and row.
#pragma once

#include <Eigen/Core>
#include <cstddef>
#include <span>

#include "store/QVLSliceVertex.h"

namespace qv {

// The unit normal of the triangle (a, b, c): ((a - c) x (b - c)) made unit length; zero when a
// corner is empty (every component within 1e-5 of 0) or the triangle has no area.
Eigen::Vector3f normalOfThreePoints(const Eigen::Vector3f& a, const Eigen::Vector3f& b, const Eigen::Vector3f& c);

// Replaces the normal of every point of a grid of `slices` blocks of 960 rows (slices in ascending
// rotation, wrapping around) by the weighted mean of the eight triangles it forms with its nearest
// neighbours up, down, left, right and along the diagonals, nearer neighbours weighing more.
// The normal is negated where the point's unwrapped depth is below 0, the orientation the mesher
// and the STL reader expect (the record's own normal on entry, the laser's direction, is not used).
// A point with no usable triangle (a cloud of one slice, an isolated point) gets the zero normal,
// which exporters leave out, never a value that is not a number.
void computeSliceGridNormals(std::span<QVLSliceVertex> grid, std::size_t slices);

}  // namespace qv
