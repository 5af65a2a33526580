// Locale-free number text: std::to_chars and std::from_chars, which never consult the locale.
#include "formats/internal/NumberText.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <system_error>

namespace qv::text {

namespace {

void appendNonFinite(std::string& out, double value) {
  if (std::signbit(value)) out += '-';
  out += std::isnan(value) ? "nan" : "inf";
}

// Whether a decimal number that from_chars found out of range lies above the range (rather than
// below it): the power of ten of its first significant digit is at least 0. Worked out from the
// text alone, so that no locale has a say in it.
bool isAboveRange(std::string_view token) {
  std::size_t i = (!token.empty() && (token.front() == '-' || token.front() == '+')) ? 1 : 0;
  long long position = 0;  // the power of ten of the first significant digit, before the exponent
  bool significant = false, point = false;
  long long integerDigits = 0, leadingFractionZeros = 0;
  for (; i < token.size(); ++i) {
    const char c = token[i];
    if (c == '.') {
      point = true;
    } else if (c >= '0' && c <= '9') {
      if (!significant && c == '0') {
        if (point) ++leadingFractionZeros;
        continue;
      }
      if (!significant) significant = true;
      if (!point) ++integerDigits;
    } else {
      break;
    }
  }
  position = integerDigits > 0 ? integerDigits - 1 : -(leadingFractionZeros + 1);
  long long exponent = 0;
  if (i < token.size() && (token[i] == 'e' || token[i] == 'E')) {
    std::string_view digits = token.substr(i + 1);
    const bool negative = !digits.empty() && digits.front() == '-';
    if (!digits.empty() && (digits.front() == '-' || digits.front() == '+')) digits.remove_prefix(1);
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), exponent);
    // An exponent too long for 64 bits, or near their end, is far beyond either end of the range;
    // held well inside them, adding the place of the first digit cannot wrap around.
    constexpr long long kFarBeyond = std::numeric_limits<long long>::max() / 4;
    if (ec == std::errc::result_out_of_range || exponent > kFarBeyond) exponent = kFarBeyond;
    if (negative) exponent = -exponent;
  }
  return position + exponent >= 0;
}

template <typename T>
std::optional<T> parse(std::string_view token) {
  if (!token.empty() && token.front() == '+') token.remove_prefix(1);
  if (token.empty()) return std::nullopt;
  T value{};
  const auto [end, ec] = std::from_chars(token.data(), token.data() + token.size(), value);
  if (end != token.data() + token.size()) return std::nullopt;
  if (ec == std::errc::result_out_of_range) {
    // from_chars leaves the value alone out of range; files expect what the C library reads in
    // the C locale: the infinity above the range, zero below it, each with the number's sign.
    const bool negative = token.front() == '-';
    const T magnitude = isAboveRange(token) ? std::numeric_limits<T>::infinity() : T(0);
    return negative ? -magnitude : magnitude;
  }
  if (ec != std::errc()) return std::nullopt;
  return value;
}

}  // namespace

void appendFixed(std::string& out, double value, int decimals) {
  if (!std::isfinite(value)) return appendNonFinite(out, value);
  // 309 integer digits, a sign, a point and the decimals fit in this.
  char buffer[std::numeric_limits<double>::max_exponent10 + 64];
  const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
  if (ec == std::errc()) out.append(buffer, end);
}

void appendFixed(std::string& out, float value, int decimals) {
  static constexpr double kScale[] = {1, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6};
  if (decimals < 0 || decimals > 6 || !std::isfinite(value) || std::fabs(value) >= 1e12f) {
    return appendFixed(out, static_cast<double>(value), decimals);
  }
  // 24 bits of the float times the 14 bits of 5^6 (the rest of 10^6 is a power of two) fit the
  // 53 bits of a double, so the product is exact and nearbyint rounds it half to even, as printf
  // rounds the exact value.
  const double scaled = std::nearbyint(std::fabs(static_cast<double>(value)) * kScale[decimals]);
  auto digits = static_cast<std::uint64_t>(scaled);
  char buffer[32];
  char* end = buffer + sizeof buffer;
  char* p = end;
  for (int i = 0; i < decimals; ++i) {
    *--p = static_cast<char>('0' + digits % 10);
    digits /= 10;
  }
  if (decimals > 0) *--p = '.';
  do {
    *--p = static_cast<char>('0' + digits % 10);
    digits /= 10;
  } while (digits != 0);
  if (std::signbit(value)) *--p = '-';  // "-0.000000" for a small negative, as printf prints it
  out.append(p, end);
}

std::string fixed(double value, int decimals) {
  std::string out;
  appendFixed(out, value, decimals);
  return out;
}

void appendShortest(std::string& out, double value) {
  if (!std::isfinite(value)) return appendNonFinite(out, value);
  char buffer[64];
  const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  if (ec == std::errc()) out.append(buffer, end);
}

std::string shortest(double value) {
  std::string out;
  appendShortest(out, value);
  return out;
}

std::optional<double> parseDouble(std::string_view token) { return parse<double>(token); }
std::optional<float> parseFloat(std::string_view token) { return parse<float>(token); }

}  // namespace qv::text
