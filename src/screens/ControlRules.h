// The drawing rules of the shared controls as plain values, so the widgets stay thin and the rules
// are tested without a display.
#pragma once

#include <optional>

namespace qv::screens {

struct Rgba {
  double red = 0, green = 0, blue = 0, alpha = 1;
  static constexpr Rgba white(double w, double a = 1.0) { return {w, w, w, a}; }
  bool operator==(const Rgba&) const = default;
};

// Red 17, green 217, blue 127 out of 255.
constexpr Rgba kAccentGreen{17 / 255.0, 217 / 255.0, 127 / 255.0, 1.0};
constexpr Rgba accentGreen(double alpha) { return {kAccentGreen.red, kAccentGreen.green, kAccentGreen.blue, alpha}; }

// A square button's colours by style (1 white on green, 2 grey on white, 3 green on white, the
// default, 4 grey on light grey). Nothing where the style leaves the colour unchanged.
struct SquareButtonColours {
  std::optional<Rgba> title;
  std::optional<Rgba> background;
};
SquareButtonColours squareButtonColours(int style, bool pressed);
constexpr int kDefaultSquareButtonStyle = 3;
// The whole button is drawn at this alpha when disabled, whatever its style.
constexpr double squareButtonAlpha(bool enabled) { return enabled ? 1.0 : 0.6; }

// The white bar of the level indicator: ceil(min(value, max) / max × inner width), inside the
// bounds inset by 4 on each side. Zero for a non-positive maximum or value.
double levelIndicatorBarWidth(double value, double maxValue, double boundsWidth);

// The waiting sign's counter after a step (it cycles 1 … 6) and which sides of its triangle are
// lit for a counter value.
int waitingCounterAfter(int counter);
struct WaitingSides {
  bool base = false, left = false, right = false;
};
WaitingSides waitingSidesLit(int counter);

// The label colour of a flag: white 0.15, at full strength when on, at 0.25 when off.
constexpr Rgba enableToColour(bool enabled) { return Rgba::white(0.15, enabled ? 1.0 : 0.25); }

}  // namespace qv::screens
