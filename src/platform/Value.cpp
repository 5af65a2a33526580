// Coercions and printing of dynamically typed values.
#include "platform/Value.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "platform/Format.h"
#include "platform/Text.h"

namespace qv {

namespace {

// The leading decimal number of a text, skipping leading white space: "12abc" is 12, "abc" is 0.
// Read without the locale (strtod would stop at the point of "1.5" under a decimal-comma one).
double leadingNumber(const std::string& s) { return text::leadingNumber(s); }

}  // namespace

std::int64_t Value::toInt64() const {
  return std::visit(
      [](const auto& v) -> std::int64_t {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, bool>) {
          return v ? 1 : 0;
        } else if constexpr (std::is_same_v<T, std::int64_t>) {
          return v;
        } else if constexpr (std::is_same_v<T, double>) {
          if (!std::isfinite(v)) return 0;
          if (v >= 9.2e18) return std::numeric_limits<std::int64_t>::max();
          if (v <= -9.2e18) return std::numeric_limits<std::int64_t>::min();
          return static_cast<std::int64_t>(v);
        } else if constexpr (std::is_same_v<T, std::string>) {
          // Integers are read by their leading integer, so "3.9" reads as 3 and "-7x" as -7.
          const char* begin = v.c_str();
          char* end = nullptr;
          errno = 0;
          long long i = std::strtoll(begin, &end, 10);
          if (end == begin) return 0;
          return static_cast<std::int64_t>(i);
        } else {
          return 0;
        }
      },
      storage_);
}

double Value::toDouble() const {
  return std::visit(
      [](const auto& v) -> double {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, bool>) {
          return v ? 1.0 : 0.0;
        } else if constexpr (std::is_same_v<T, std::int64_t>) {
          return static_cast<double>(v);
        } else if constexpr (std::is_same_v<T, double>) {
          return v;
        } else if constexpr (std::is_same_v<T, std::string>) {
          return leadingNumber(v);
        } else {
          return 0.0;
        }
      },
      storage_);
}

bool Value::toBool() const {
  return std::visit(
      [](const auto& v) -> bool {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, bool>) {
          return v;
        } else if constexpr (std::is_same_v<T, std::int64_t>) {
          return v != 0;
        } else if constexpr (std::is_same_v<T, double>) {
          return v != 0.0;
        } else if constexpr (std::is_same_v<T, std::string>) {
          // "YES", "yes", "true" and any text starting with a nonzero number read as true.
          std::size_t i = 0;
          while (i < v.size() && std::isspace(static_cast<unsigned char>(v[i]))) ++i;
          if (i == v.size()) return false;
          char c = v[i];
          if (c == 'Y' || c == 'y' || c == 'T' || c == 't') return true;
          return leadingNumber(v) != 0.0;
        } else {
          return false;
        }
      },
      storage_);
}

std::optional<std::string> Value::toString() const {
  if (const auto* s = string()) return *s;
  if (isBool()) return std::string(std::get<bool>(storage_) ? "1" : "0");
  if (isInteger()) return std::to_string(std::get<std::int64_t>(storage_));
  if (isDouble()) return format("%.17g", std::get<double>(storage_));
  return std::nullopt;
}

bool operator==(const Value& a, const Value& b) {
  if (a.isNumber() && b.isNumber()) {
    if (a.isDouble() || b.isDouble()) return a.toDouble() == b.toDouble();
    return a.toInt64() == b.toInt64();
  }
  if (a.storage_.index() != b.storage_.index()) return false;
  return std::visit(
      [&](const auto& left) -> bool {
        using T = std::decay_t<decltype(left)>;
        if constexpr (std::is_same_v<T, std::any>) {
          return &a == &b;  // objects have no value equality
        } else if constexpr (std::is_same_v<T, std::monostate>) {
          return true;
        } else {
          return left == std::get<T>(b.storage_);
        }
      },
      a.storage_);
}

std::string Value::description() const {
  return std::visit(
      [](const auto& v) -> std::string {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::monostate>) {
          return "(null)";
        } else if constexpr (std::is_same_v<T, bool>) {
          return v ? "1" : "0";
        } else if constexpr (std::is_same_v<T, std::int64_t>) {
          return std::to_string(v);
        } else if constexpr (std::is_same_v<T, double>) {
          return format("%g", v);
        } else if constexpr (std::is_same_v<T, std::string>) {
          return v;
        } else if constexpr (std::is_same_v<T, Data>) {
          return format("<%zu bytes>", v.size());
        } else if constexpr (std::is_same_v<T, Array>) {
          std::string out = "(";
          for (std::size_t i = 0; i < v.size(); ++i) {
            if (i) out += ", ";
            out += v[i].description();
          }
          return out + ")";
        } else if constexpr (std::is_same_v<T, Dictionary>) {
          std::string out = "{";
          bool first = true;
          for (const auto& [k, val] : v) {
            if (!first) out += "; ";
            first = false;
            out += k + " = " + val.description();
          }
          return out + "}";
        } else {
          return "<object>";
        }
      },
      storage_);
}

const Value* find(const Dictionary& dict, const std::string& key) {
  auto it = dict.find(key);
  return it == dict.end() ? nullptr : &it->second;
}

}  // namespace qv
