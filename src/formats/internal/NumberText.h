// Numbers as file text in the C locale's form, whatever locale the process runs in.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace qv::text {

// The most characters one number below takes (a double's 309 integer digits, a sign, a point and
// up to 60 decimals): the writers that put numbers straight into a buffer keep this much room.
inline constexpr std::size_t kMaxNumberChars = 384;

// As printf's "%.<decimals>f" prints the value in the C locale ("-0.000" keeps its sign, NaN
// prints "nan" or "-nan", infinities "inf" or "-inf"). At most 60 decimals.
void appendFixed(std::string& out, double value, int decimals);
std::string fixed(double value, int decimals);
// The same written at `out`, which has room for kMaxNumberChars; returns the end of the text.
char* writeFixed(char* out, double value, int decimals);

// The same for a float with at most six decimals, several times faster: a float times 10^6 is
// exact in a double, so rounding that product to an integer rounds exactly as printf does.
void appendFixed(std::string& out, float value, int decimals);
char* writeFixed(char* out, float value, int decimals);

// The shortest text that reads back to the same double ("0.1", "1e-07", "1280"), or float.
void appendShortest(std::string& out, double value);
std::string shortest(double value);
char* writeShortest(char* out, double value);
char* writeShortest(char* out, float value);

// The whole token read as a number (a leading "+" allowed); nothing for any other text. A value
// beyond the type's range reads as the infinity or zero it rounds to, as the C library reads it.
std::optional<double> parseDouble(std::string_view token);
std::optional<float> parseFloat(std::string_view token);

}  // namespace qv::text
