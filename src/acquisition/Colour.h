// A device-RGB colour with components from 0 to 1, in place of the platform's colour object.
#pragma once

namespace qv {

struct Colour {
  double red = 0.0;
  double green = 0.0;
  double blue = 0.0;
  double alpha = 1.0;

  static constexpr Colour black() { return {0.0, 0.0, 0.0, 1.0}; }
  static constexpr Colour white() { return {1.0, 1.0, 1.0, 1.0}; }
  // The platform's named light grey: two thirds white.
  static constexpr Colour lightGrey() { return {2.0 / 3.0, 2.0 / 3.0, 2.0 / 3.0, 1.0}; }

  friend bool operator==(const Colour&, const Colour&) = default;
};

}  // namespace qv
