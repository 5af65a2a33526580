// Unique identifiers in their upper-case text form ("6BA7B810-9DAD-11D1-80B4-00C04FD430C8").
#pragma once

#include <string>

namespace qv {

// A new random (version 4) identifier as 36 upper-case characters.
std::string makeUUIDString();

// True when the text is a well-formed identifier in either case.
bool isUUIDString(const std::string& text);

}  // namespace qv
