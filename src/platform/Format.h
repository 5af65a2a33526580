// printf-style formatting into a std::string, with C printf semantics ("%f" prints six decimals).
//
// The formatting always runs in the C locale, whatever locale the process has set (the user
// interface toolkit sets the user's): these texts go on the wire, into files and into JSON, where
// a decimal comma would be read as the end of a number.
#pragma once

#include <cstdarg>
#include <string>

namespace qv {

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string vformat(const char* fmt, std::va_list args);

}  // namespace qv
