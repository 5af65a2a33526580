// Number reading and writing shared by the calibration and texture records.
#include "records/RecordNumbers.h"

#include <array>
#include <charconv>
#include <cmath>
#include <string>

namespace qv {

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

}  // namespace

std::optional<double> leadingDecimalNumber(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && isSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  const std::size_t start = i;
  // The decimal magnitude of the mantissa, to tell overflow from underflow below.
  long magnitude = 0;
  bool seenNonZero = false;
  std::size_t digits = 0;
  while (i < text.size() && isDigit(text[i])) {
    if (seenNonZero) ++magnitude;
    else if (text[i] != '0') seenNonZero = true;
    ++i, ++digits;
  }
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && isDigit(text[i])) {
      if (!seenNonZero) {
        --magnitude;
        if (text[i] != '0') seenNonZero = true;
      }
      ++i, ++digits;
    }
  }
  if (digits == 0) return std::nullopt;
  // An exponent counts only when digits follow it: "2e" is 2.
  long exponent = 0;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    std::size_t j = i + 1;
    bool negativeExponent = false;
    if (j < text.size() && (text[j] == '+' || text[j] == '-')) negativeExponent = text[j++] == '-';
    if (j < text.size() && isDigit(text[j])) {
      while (j < text.size() && isDigit(text[j])) {
        if (exponent < 1000000) exponent = exponent * 10 + (text[j] - '0');
        ++j;
      }
      if (negativeExponent) exponent = -exponent;
      i = j;
    }
  }
  // from_chars takes no sign of its own and ignores the locale, which is what a file needs.
  double value = 0.0;
  const auto [end, ec] = std::from_chars(text.data() + start, text.data() + i, value,
                                         std::chars_format::general);
  if (ec == std::errc::result_out_of_range) {
    // Too small to hold is zero; too large is no usable number.
    if (!seenNonZero || magnitude + exponent < 0) return negative ? -0.0 : 0.0;
    return std::nullopt;
  }
  if (ec != std::errc() || end != text.data() + i || !std::isfinite(value)) return std::nullopt;
  return negative ? -value : value;
}

double doubleForFloat(float value) {
  if (!std::isfinite(value)) return static_cast<double>(value);
  std::array<char, 64> buffer{};
  const auto written = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
  if (written.ec != std::errc()) return static_cast<double>(value);
  double shortest = 0.0;
  const auto read = std::from_chars(buffer.data(), written.ptr, shortest);
  // Keep the exact widening in the rare case where rounding twice would land on another float.
  if (read.ec != std::errc() || static_cast<float>(shortest) != value) return static_cast<double>(value);
  return shortest;
}

std::optional<double> numberFromValue(const Value& value) {
  std::optional<double> number;
  if (value.isInteger() || value.isDouble()) {
    number = value.toDouble();
  } else if (const auto* text = value.string()) {
    number = leadingDecimalNumber(*text).value_or(0.0);
  }
  if (number && !std::isfinite(*number)) return std::nullopt;
  return number;
}

Value valueForNumber(double value) {
  if (!std::isfinite(value)) return Value();
  return Value(value);
}

}  // namespace qv
