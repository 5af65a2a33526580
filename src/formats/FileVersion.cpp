// Prints version texts in the plain decimal form the file headers carry.
#include "formats/FileVersion.h"

#include <cctype>

namespace qv {

std::string canonicalDecimalText(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  std::string sign;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
    if (text[i] == '-') sign = "-";
    ++i;
  }
  std::string whole, fraction;
  while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) whole += text[i++];
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) fraction += text[i++];
  }
  if (whole.empty() && fraction.empty()) return "NaN";
  const auto firstNonZero = whole.find_first_not_of('0');
  whole = firstNonZero == std::string::npos ? "0" : whole.substr(firstNonZero);
  while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();
  if (whole == "0" && fraction.empty()) sign.clear();  // no "-0"
  return sign + whole + (fraction.empty() ? "" : "." + fraction);
}

FileVersion applicationFileVersion() {
#if defined(QUORVEL_SHORT_VERSION) && defined(QUORVEL_BUILD_VERSION)
  return {canonicalDecimalText(QUORVEL_SHORT_VERSION), canonicalDecimalText(QUORVEL_BUILD_VERSION)};
#else
  return {"0", "0"};
#endif
}

}  // namespace qv
