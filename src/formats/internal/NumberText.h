// Numbers as file text in the C locale's form, whatever locale the process runs in.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qv::text {

// As printf's "%.<decimals>f" prints the value in the C locale ("-0.000" keeps its sign, NaN
// prints "nan" or "-nan", infinities "inf" or "-inf").
void appendFixed(std::string& out, double value, int decimals);
std::string fixed(double value, int decimals);

// The same for a float with at most six decimals, several times faster: a float times 10^6 is
// exact in a double, so rounding that product to an integer rounds exactly as printf does.
void appendFixed(std::string& out, float value, int decimals);

// The shortest text that reads back to the same double ("0.1", "1e-07", "1280").
void appendShortest(std::string& out, double value);
std::string shortest(double value);

// The whole token read as a number (a leading "+" allowed); nothing for any other text. A value
// beyond the type's range reads as the infinity or zero it rounds to, as the C library reads it.
std::optional<double> parseDouble(std::string_view token);
std::optional<float> parseFloat(std::string_view token);

}  // namespace qv::text
