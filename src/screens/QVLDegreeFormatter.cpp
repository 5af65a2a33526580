// The rotation step field's rule.
#include "screens/QVLDegreeFormatter.h"

#include <charconv>
#include <cmath>

namespace {

// The number formatter's reading: the whole text (surrounding spaces allowed) must be one decimal
// number, read the same in every locale.
bool parseNumber(std::string_view text, float& out) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  if (text.empty()) return false;
  if (text.front() == '+') text.remove_prefix(1);
  double v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v, std::chars_format::fixed);
  if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(v)) return false;
  out = static_cast<float>(v);
  return true;
}

}  // namespace

bool QVLDegreeFormatter::getObjectValue(std::string_view text, float* value, std::string* error) {
  float v = 0;
  if (!parseNumber(text, v)) return false;
  if (!value) return true;
  *value = v;
  if (v == 0.0f) {
    if (error) *error = kNotPositive;
    return false;
  }
  if (std::fmod(360.0f, v) != 0.0f) {
    if (error) *error = kNotDividing;
    return false;
  }
  return true;
}
