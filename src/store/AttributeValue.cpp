// Equality, order and printing of attribute values.
#include "store/AttributeValue.h"

#include <cstring>

#include "platform/Format.h"

namespace qv {

Date dateNow() {
  return std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now());
}

namespace {

// Rank of a value's class in the store's order; numbers and dates share one rank.
int rankOf(const AttributeValue& v) {
  switch (v.index()) {
    case 0: return 0;
    case 1: case 2: case 4: return 1;
    case 3: case 6: return 2;
    case 5: return 3;
  }
  return 4;
}

// Numbers compare as the store compares them: integers exactly, mixed kinds as doubles.
int compareNumbers(const AttributeValue& a, const AttributeValue& b) {
  auto asInt = [](const AttributeValue& v, std::int64_t& out) {
    if (auto* i = std::get_if<std::int64_t>(&v)) { out = *i; return true; }
    if (auto* d = std::get_if<Date>(&v)) { out = microsecondsOf(*d); return true; }
    return false;
  };
  std::int64_t ia = 0, ib = 0;
  if (asInt(a, ia) && asInt(b, ib)) return ia < ib ? -1 : (ia > ib ? 1 : 0);
  auto asDouble = [](const AttributeValue& v) {
    if (auto* i = std::get_if<std::int64_t>(&v)) return static_cast<double>(*i);
    if (auto* d = std::get_if<Date>(&v)) return static_cast<double>(microsecondsOf(*d));
    return std::get<double>(v);
  };
  const double da = asDouble(a), db = asDouble(b);
  return da < db ? -1 : (da > db ? 1 : 0);
}

std::string textOf(const AttributeValue& v) {
  if (auto* s = std::get_if<std::string>(&v)) return *s;
  return std::get<Value>(v).description();
}

}  // namespace

bool attributeValuesEqual(const AttributeValue& a, const AttributeValue& b) {
  if (auto* da = std::get_if<SharedData>(&a)) {
    auto* db = std::get_if<SharedData>(&b);
    if (!db) return false;
    if (*da == *db) return true;
    return *da && *db && **da == **db;
  }
  if (auto* va = std::get_if<Value>(&a)) {
    auto* vb = std::get_if<Value>(&b);
    return vb && *va == *vb;
  }
  if (rankOf(a) == 1 && rankOf(b) == 1) return compareNumbers(a, b) == 0;
  return a == b;
}

int compareAttributeValues(const AttributeValue& a, const AttributeValue& b) {
  const int ra = rankOf(a), rb = rankOf(b);
  if (ra != rb) return ra < rb ? -1 : 1;
  switch (ra) {
    case 0: return 0;
    case 1: return compareNumbers(a, b);
    case 2: {
      const int c = textOf(a).compare(textOf(b));
      return c < 0 ? -1 : (c > 0 ? 1 : 0);
    }
    case 3: {
      const auto& da = std::get<SharedData>(a);
      const auto& db = std::get<SharedData>(b);
      const std::size_t na = da ? da->size() : 0, nb = db ? db->size() : 0;
      const std::size_t n = std::min(na, nb);
      const int c = n ? std::memcmp(da->data(), db->data(), n) : 0;
      if (c != 0) return c < 0 ? -1 : 1;
      return na < nb ? -1 : (na > nb ? 1 : 0);
    }
  }
  return 0;
}

std::string describeAttributeValue(const AttributeValue& v) {
  return std::visit(
      [](const auto& x) -> std::string {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, std::monostate>) return "(unset)";
        else if constexpr (std::is_same_v<T, std::int64_t>) return format("%lld", static_cast<long long>(x));
        else if constexpr (std::is_same_v<T, double>) return format("%.17g", x);
        else if constexpr (std::is_same_v<T, std::string>) return "\"" + x + "\"";
        else if constexpr (std::is_same_v<T, Date>) return format("date %lld us", static_cast<long long>(microsecondsOf(x)));
        else if constexpr (std::is_same_v<T, SharedData>) return x ? format("%zu bytes", x->size()) : "(no bytes)";
        else return x.description();
      },
      v);
}

}  // namespace qv
