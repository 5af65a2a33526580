// What the Clean panel and the brush show: the open sub-panels, the buttons' states, the brush
// cursor and the stroke's points. The viewer's rules decide them; the screen draws them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qv::viewer {

// The Clean panel's sub-panels (each opened alone) and its layer table.
struct CleaningPanels {
  bool layerTable = false, cropping = false, autoClean = false, brush = false;
  bool anyOpen() const { return layerTable || cropping || autoClean || brush; }
  friend bool operator==(const CleaningPanels&, const CleaningPanels&) = default;
};

struct CleaningButtons {
  bool clean = true, autoClean = true, apply = true;
  friend bool operator==(const CleaningButtons&, const CleaningButtons&) = default;
};

// A point of a stroke, in view points (origin top left).
struct BrushPoint {
  float x = 0, y = 0;
  friend bool operator==(const BrushPoint&, const BrushPoint&) = default;
};

// What the scene view's cursor looks like: the closed hand, the default, or the drawn brush.
struct BrushCursor {
  enum class Kind { Default, ClosedHand, Brush };
  Kind kind = Kind::Default;
  // The drawn brush, in image points with the origin at the top left: a transparent square
  // image, the circle's box (stroked 3 wide in half-transparent black, then 1 wide in white),
  // the sign ("+" adds, "-" removes, nothing replaces) with its box's left and bottom edge.
  double imageSize = 0;
  double circleX = 0, circleY = 0, circleSize = 0;
  std::string sign;
  double signLeft = 0, signBottom = 0;
  double fontSize = 20;
  double hotSpotX = 0, hotSpotY = 0;
  friend bool operator==(const BrushCursor&, const BrushCursor&) = default;
};

}  // namespace qv::viewer
