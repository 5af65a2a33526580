// The exposure field's typing rule.
#include "screens/QVLNumberFormatter.h"

bool QVLNumberFormatter::isPartialStringValid(std::string_view proposed) {
  if (proposed.size() >= 5) return false;
  for (char c : proposed)
    if (c < '0' || c > '9') return false;
  return true;
}
