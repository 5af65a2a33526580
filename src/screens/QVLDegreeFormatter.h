// The rotation step field's rule: a positive step that divides a full turn evenly.
#pragma once

#include <string>
#include <string_view>

class QVLDegreeFormatter {
public:
  static constexpr const char* kNotPositive = "Please enter a positive rotation value";
  static constexpr const char* kNotDividing = "The value should evenly divide 360";

  // Converts the committed text. False when it is no number (no message) or breaks the rule
  // (the message in `error` when one is given). `value` may be null: the text is then only
  // checked for being a number, as a caller without a place for the result asks.
  static bool getObjectValue(std::string_view text, float* value, std::string* error);
};
