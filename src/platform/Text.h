// Locale-free reading of numbers at the start of a text: the one parser of the protocol's
// replies, the scan files' headers and the settings' coercions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace qv::text {

// The number at the start of the text: leading white space skipped, an optional sign, digits, an
// optional fraction and exponent; the rest ignored; 0 when there is none. Out of a double's range
// it is 0 (too small) or infinite (too large). Never depends on the locale.
double leadingNumber(std::string_view text);
// The integer at the start of the text: leading white space, an optional sign, decimal digits; the
// rest ignored; 0 when there is none; clamped to the range of 64 bits.
std::int64_t leadingInteger(std::string_view text);
// How many characters of the text those two read (white space and sign included): 0 when the
// text holds no number, less than its length when a tail follows the number.
std::size_t leadingNumberLength(std::string_view text);
std::size_t leadingIntegerLength(std::string_view text);

}  // namespace qv::text
