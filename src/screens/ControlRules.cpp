// The drawing rules of the shared controls.
#include "screens/ControlRules.h"

#include <algorithm>
#include <cmath>

namespace qv::screens {

SquareButtonColours squareButtonColours(int style, bool pressed) {
  const Rgba pressedWhite = Rgba::white(0.9);
  switch (style) {
    case 1: return {Rgba::white(1.0), kAccentGreen};
    case 2: return {Rgba::white(0.25), pressed ? pressedWhite : Rgba::white(1.0)};
    case 3: return {kAccentGreen, pressed ? pressedWhite : Rgba::white(1.0)};
    case 4: return {Rgba::white(0.25), pressed ? pressedWhite : Rgba::white(0.87)};
    default: return {};
  }
}

double levelIndicatorBarWidth(double value, double maxValue, double boundsWidth) {
  const double inner = std::max(0.0, boundsWidth - 8.0);
  if (!(maxValue > 0) || !(value > 0)) return 0.0;
  const double v = std::min(value, maxValue);
  return std::ceil(v / maxValue * inner);
}

int waitingCounterAfter(int counter) {
  const int next = counter + 1;
  return next >= 7 ? 1 : next;
}

WaitingSides waitingSidesLit(int c) {
  return {c >= 2 && c <= 4, c >= 3 && c <= 5, c >= 1 && c <= 3};
}

}  // namespace qv::screens
