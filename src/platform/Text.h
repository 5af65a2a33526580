// Locale-free reading of numbers at the start of a text: the one parser of the protocol's
// replies, the scan files' headers and the settings' coercions.
#pragma once

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

}  // namespace qv::text
