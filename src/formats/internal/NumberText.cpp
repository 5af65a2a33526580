// Locale-free number text: std::to_chars and std::from_chars, which never consult the locale.
#include "formats/internal/NumberText.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <system_error>

namespace qv::text {

namespace {

char* writeNonFinite(char* out, double value) {
  if (std::signbit(value)) *out++ = '-';
  const char* word = std::isnan(value) ? "nan" : "inf";
  for (int i = 0; i < 3; ++i) *out++ = word[i];
  return out;
}

// The longest text of the float path: a sign, 18 integer digits, a point and 6 decimals, rounded up.
constexpr std::size_t kFixedFloatChars = 32;
static_assert(kFixedFloatChars <= kMaxNumberChars);

// Puts the last two decimal digits of `digits` just before `p`, takes them off, and answers the new start.
char* putLastPair(char* p, std::uint64_t& digits) {
  static constexpr char kPairs[] =
      "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
      "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
      "8081828384858687888990919293949596979899";
  const auto pair = static_cast<unsigned>(digits % 100) * 2;
  digits /= 100;
  p -= 2;
  p[0] = kPairs[pair];
  p[1] = kPairs[pair + 1];
  return p;
}

// The shortest text of a finite double or float; a value that is not finite as printf prints it.
template <typename T>
char* writeShortestOf(char* out, T value) {
  if (!std::isfinite(value)) return writeNonFinite(out, value);
  const auto [end, ec] = std::to_chars(out, out + kMaxNumberChars, value);
  return ec == std::errc() ? end : out;
}

// Runs a writer into a buffer of kMaxNumberChars and appends what it wrote.
template <typename Write>
void appendWith(std::string& out, Write write) {
  char buffer[kMaxNumberChars];
  out.append(buffer, write(buffer));
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

char* writeFixed(char* out, double value, int decimals) {
  if (!std::isfinite(value)) return writeNonFinite(out, value);
  const auto [end, ec] = std::to_chars(out, out + kMaxNumberChars, value, std::chars_format::fixed, decimals);
  return ec == std::errc() ? end : out;
}

char* writeFixed(char* out, float value, int decimals) {
  static constexpr double kScale[] = {1, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6};
  if (decimals < 0 || decimals > 6 || !std::isfinite(value) || std::fabs(value) >= 1e12f) {
    return writeFixed(out, static_cast<double>(value), decimals);
  }
  // 24 bits of the float times the 14 bits of 5^6 (the rest of 10^6 is a power of two) fit the
  // 53 bits of a double, so the product is exact, and rounding it to an integer half to even
  // rounds as printf rounds the exact value. Below 2^52, adding and taking away 2^52 is that
  // rounding (in the default rounding mode), without a call into the maths library.
  const double product = std::fabs(static_cast<double>(value)) * kScale[decimals];
  constexpr double kTwoTo52 = 4503599627370496.0;
  const double scaled = product < kTwoTo52 ? (product + kTwoTo52) - kTwoTo52 : std::nearbyint(product);
  auto digits = static_cast<std::uint64_t>(scaled);
  // Digits are made from the right, two at a time, into the first half of a small buffer; the
  // half that follows lets them move into place as one block of a fixed size.
  char buffer[2 * kFixedFloatChars] = {};
  char* const end = buffer + kFixedFloatChars;
  char* p = end;
  int left = decimals;
  for (; left >= 2; left -= 2) p = putLastPair(p, digits);
  if (left == 1) {
    *--p = static_cast<char>('0' + digits % 10);
    digits /= 10;
  }
  if (decimals > 0) *--p = '.';
  // The integer part has at least one digit.
  while (digits >= 100) p = putLastPair(p, digits);
  if (digits >= 10) p = putLastPair(p, digits);
  else *--p = static_cast<char>('0' + digits);
  if (std::signbit(value)) *--p = '-';  // "-0.000000" for a small negative, as printf prints it
  std::memcpy(out, p, kFixedFloatChars);
  return out + (end - p);
}

char* writeShortest(char* out, double value) { return writeShortestOf(out, value); }

char* writeShortest(char* out, float value) { return writeShortestOf(out, value); }

void appendFixed(std::string& out, double value, int decimals) {
  appendWith(out, [&](char* at) { return writeFixed(at, value, decimals); });
}

void appendFixed(std::string& out, float value, int decimals) {
  appendWith(out, [&](char* at) { return writeFixed(at, value, decimals); });
}

std::string fixed(double value, int decimals) {
  std::string out;
  appendFixed(out, value, decimals);
  return out;
}

void appendShortest(std::string& out, double value) {
  appendWith(out, [&](char* at) { return writeShortest(at, value); });
}

std::string shortest(double value) {
  std::string out;
  appendShortest(out, value);
  return out;
}

std::optional<double> parseDouble(std::string_view token) { return parse<double>(token); }
std::optional<float> parseFloat(std::string_view token) { return parse<float>(token); }

}  // namespace qv::text
