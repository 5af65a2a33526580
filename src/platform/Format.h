// printf-style formatting into a std::string, with C printf semantics ("%f" prints six decimals).
#pragma once

#include <cstdarg>
#include <string>

namespace qv {

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string vformat(const char* fmt, std::va_list args);

}  // namespace qv
