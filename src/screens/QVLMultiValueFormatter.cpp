// The exposure list field's rule.
#include "screens/QVLMultiValueFormatter.h"

#include <regex>

namespace {

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

bool fail(std::string* error, const char* message) {
  if (error) *error = message;
  return false;
}

}  // namespace

bool QVLMultiValueFormatter::parseValues(std::string_view text, std::vector<int>* values, std::string* error) {
  static const std::regex shape("^ *(?:(?:, *)?\\d+ *)* *$");
  if (!std::regex_match(text.begin(), text.end(), shape)) return fail(error, kNeedsCommas);

  std::vector<int> out;
  std::size_t start = 0;
  for (;;) {
    std::size_t comma = text.find(',', start);
    std::string_view piece = trimmed(text.substr(start, comma == std::string_view::npos ? text.npos : comma - start));
    // The shape lets digits follow spaces without a comma; such a piece holds two numbers and
    // would silently lose the second.
    if (piece.find(' ') != std::string_view::npos) return fail(error, kNeedsCommas);
    long value = 0;
    for (char c : piece) {
      value = value * 10 + (c - '0');
      if (value > 10000) break;  // out of range already; stop before it can overflow
    }
    if (value < 1 || value > 10000) return fail(error, kOutOfRange);
    out.push_back(static_cast<int>(value));
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  if (values) *values = std::move(out);
  return true;
}

bool QVLMultiValueFormatter::getObjectValue(std::string_view text, std::string* normalised, std::string* error) {
  std::vector<int> values;
  if (!parseValues(text, &values, error)) return false;
  if (normalised) {
    std::string joined;
    for (std::size_t i = 0; i < values.size(); ++i) {
      if (i) joined += ", ";
      joined += std::to_string(values[i]);
    }
    *normalised = std::move(joined);
  }
  return true;
}
