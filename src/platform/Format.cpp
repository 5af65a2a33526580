// printf-style formatting into a std::string, in the C locale.
#include "platform/Format.h"

#include <locale.h>

#include <cstdio>

namespace qv {

namespace {

// The C locale as a locale object, made once. newlocale only fails for want of memory; the
// process locale is then used, which is the C locale unless something set another.
locale_t cLocale() {
  static const locale_t c = newlocale(LC_ALL_MASK, "C", locale_t{});
  return c;
}

// Switches the calling thread to the C locale for its lifetime (uselocale is per thread, so other
// threads' formatting and the process locale are untouched).
class CLocaleScope {
 public:
  CLocaleScope() : previous_(cLocale() ? uselocale(cLocale()) : locale_t{}) {}
  ~CLocaleScope() {
    if (previous_) uselocale(previous_);
  }
  CLocaleScope(const CLocaleScope&) = delete;
  CLocaleScope& operator=(const CLocaleScope&) = delete;

 private:
  locale_t previous_;
};

}  // namespace

std::string vformat(const char* fmt, std::va_list args) {
  CLocaleScope scope;
  char small[256];
  std::va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(small, sizeof small, fmt, copy);
  va_end(copy);
  if (n < 0) return {};
  if (static_cast<std::size_t>(n) < sizeof small) return std::string(small, static_cast<std::size_t>(n));
  std::string out(static_cast<std::size_t>(n) + 1, '\0');
  std::vsnprintf(out.data(), out.size(), fmt, args);
  out.resize(static_cast<std::size_t>(n));
  return out;
}

std::string format(const char* fmt, ...) {
  std::va_list args;
  va_start(args, fmt);
  std::string out = vformat(fmt, args);
  va_end(args);
  return out;
}

}  // namespace qv
