// Locale-free reading of the numbers at the start of texts.
#include "platform/Text.h"

#include <cctype>
#include <charconv>
#include <limits>
#include <string_view>
#include <system_error>

namespace qv::text {

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Leading white space as the C library's number scanners skip it.
std::size_t skipSpace(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  return i;
}

}  // namespace

namespace {

// Where the number at the start of the text lies: its mantissa's first character (past white
// space and sign) and the end of the whole number; end 0 when there is none.
struct NumberSpan {
  std::size_t mantissa = 0, end = 0;
  bool negative = false;
};

NumberSpan scanNumber(std::string_view text) {
  NumberSpan span;
  std::size_t i = skipSpace(text);
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    span.negative = text[i] == '-';
    ++i;
  }
  span.mantissa = i;
  std::size_t digits = 0;
  while (i < text.size() && isDigit(text[i])) ++i, ++digits;
  if (i < text.size() && text[i] == '.') {
    std::size_t j = i + 1;
    std::size_t fraction = 0;
    while (j < text.size() && isDigit(text[j])) ++j, ++fraction;
    if (digits + fraction > 0) {
      i = j;
      digits += fraction;
    }
  }
  if (digits == 0) return span;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    std::size_t j = i + 1;
    if (j < text.size() && (text[j] == '+' || text[j] == '-')) ++j;
    if (j < text.size() && isDigit(text[j])) {
      while (j < text.size() && isDigit(text[j])) ++j;
      i = j;
    }
  }
  span.end = i;
  return span;
}

}  // namespace

double leadingNumber(std::string_view text) {
  const NumberSpan span = scanNumber(text);
  if (span.end == 0) return 0.0;
  const std::size_t mantissa = span.mantissa, i = span.end;
  double value = 0.0;
  const auto result = std::from_chars(text.data() + mantissa, text.data() + i, value);
  if (result.ec == std::errc::result_out_of_range) {
    // Out of a double's range: too small reads as zero, too large as infinity.
    const std::string_view number = text.substr(mantissa, i - mantissa);
    const std::size_t e = number.find_first_of("eE");
    const bool tooSmall = e != std::string_view::npos && e + 1 < number.size() && number[e + 1] == '-';
    value = tooSmall ? 0.0 : std::numeric_limits<double>::infinity();
  }
  return span.negative ? -value : value;
}

std::size_t leadingNumberLength(std::string_view text) { return scanNumber(text).end; }

std::size_t leadingIntegerLength(std::string_view text) {
  std::size_t i = skipSpace(text);
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  const std::size_t begin = i;
  while (i < text.size() && isDigit(text[i])) ++i;
  return i == begin ? 0 : i;
}

std::int64_t leadingInteger(std::string_view text) {
  std::size_t i = skipSpace(text);
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  const std::size_t begin = i;
  while (i < text.size() && isDigit(text[i])) ++i;
  if (i == begin) return 0;
  std::uint64_t magnitude = 0;
  const auto result = std::from_chars(text.data() + begin, text.data() + i, magnitude);
  constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  if (result.ec == std::errc::result_out_of_range || magnitude > kMax) {
    return negative ? std::numeric_limits<std::int64_t>::min() : std::numeric_limits<std::int64_t>::max();
  }
  const auto value = static_cast<std::int64_t>(magnitude);
  return negative ? -value : value;
}

}  // namespace qv::text
