// How the records' JSON and dictionary forms write and read their numbers.
#pragma once

#include <optional>
#include <string_view>

#include "platform/Value.h"

namespace qv {

// The decimal number at the start of a text, as stored files have always been read: leading
// white space, an optional sign, digits with an optional fraction, an optional exponent. Nothing
// when the text does not start with such a number or it lies beyond the range of a double.
// Spellings of infinity or not-a-number and hexadecimal forms are not numbers here.
std::optional<double> leadingDecimalNumber(std::string_view text);

// The double a float is written as: the one nearest to the float's shortest decimal form, so
// that -66.7249f appears as -66.7249 in a file, and narrowing it gives back the same float.
double doubleForFloat(float value);

// A member's value as a number: numbers as they are, text by its leading decimal number (0 when
// it has none). Nothing for null, booleans, arrays, dictionaries and any non-finite result, so
// that a reader treats them like an absent member.
std::optional<double> numberFromValue(const Value& value);

// A number for a dictionary form: null when it is not finite, since JSON cannot hold it.
Value valueForNumber(double value);

}  // namespace qv
