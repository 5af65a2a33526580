// The exposure field's typing rule: at most four decimal digits.
#pragma once

#include <string_view>

class QVLNumberFormatter {
public:
  // Whether the text the user is about to have in the field may stand: five or more characters
  // or anything but decimal digits is refused.
  static bool isPartialStringValid(std::string_view proposed);
};
