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

// Which columns of a row the camera clipped: the laser frame's red at the frame's own maximum
// (255 on most cameras). Without a row nothing counts as clipped.
struct ClippedColumns {
  const std::uint8_t* red = nullptr;  // the laser frame's row, one red byte every `stride` bytes
  int stride = 4;
  int level = 255;
  bool operator()(int column) const { return red && red[column * stride] >= level; }
};

// A top clipped over this many columns or more is placed by its flanks.
inline constexpr int kClippedTopColumns = 3;

// The line's column from the offset `delta` the steps gave at `peak`: peak + delta, except where
// the line clips. A clipped line has a flat top whose first maximum is one of its ends, and the
// top itself says nothing of where the line is: a top with at least kClippedTopColumns clipped
// columns is measured by its flanks, midway between where they cross half its height. If its
// flanks cannot be found, an offset outside 0..1 (an extrapolation from the top's end) is asked
// again from the middle of the top, and from the column the answer points to, until it falls
// between the two. (The filtered difference never reaches full scale, so a round top of a wide
// line, unclipped, looks just as flat there; only the laser frame tells the two apart.)
float refineSubpixelColumn(const std::uint8_t* row, int width, int peak, float delta, const ClippedColumns& clipped);

}  // namespace qv
