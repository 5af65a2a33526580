// Sub-pixel position of a laser line's peak within one row of the filtered red difference.
#pragma once

#include <cstdint>

namespace qv {

// Each step looks at the samples around the peak column `peak` of a row of `width` samples and
// answers whether it could measure. On YES the offset to add to the peak column is written to
// `delta` (the two difference-of-sums steps leave it untouched, hence as the caller set it, when
// their denominator is too small). A window reaching past either end of the row answers NO and
// nothing outside the row is read.

// Ten samples peak-4 .. peak+5, all non-zero: zero crossing of an eight-sample difference of sums.
bool subpixelDeltaBR8(const std::uint8_t* row, int width, int peak, float& delta);
// Six samples peak-2 .. peak+3, all non-zero: the same with four-sample sums.
bool subpixelDeltaBR4(const std::uint8_t* row, int width, int peak, float& delta);
// Six samples peak-2 .. peak+3, at least three non-zero: vertex of the least-squares parabola
// through the non-zero ones, each at its own column.
bool subpixelDeltaParabola(const std::uint8_t* row, int width, int peak, float& delta);

// Tries the three steps in that order; the first YES gives the offset, 0 when none answers YES.
float subpixelDelta(const std::uint8_t* row, int width, int peak);

// The line's column from the offset `delta` the steps gave at `peak`. A line clipped at full
// scale has a flat top whose first maximum is one of its ends, and the top itself says nothing of
// where the line is: a top three columns wide or more is measured by its flanks, midway between
// where they cross half its height. Otherwise each step interpolates between its column and the
// next, so an offset outside 0..1 is an extrapolation: the steps are asked again from the middle
// of the top, and from the column their answer points to, until it falls between the two.
float refineSubpixelColumn(const std::uint8_t* row, int width, int peak, float delta);

}  // namespace qv
