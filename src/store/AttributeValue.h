// The values a stored attribute holds, with the order and equality the store sorts and compares by.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <variant>

#include "platform/Value.h"

namespace qv {

// A calendar date, kept to the microsecond so that it reads back from the store exactly as written.
using Date = std::chrono::time_point<std::chrono::system_clock, std::chrono::microseconds>;
Date dateNow();
inline Date dateFromMicroseconds(std::int64_t us) { return Date(std::chrono::microseconds(us)); }
inline std::int64_t microsecondsOf(Date d) { return d.time_since_epoch().count(); }

// Unset, an integer, a double, text, a date, bytes (shared, never changed once stored: vertex
// buffers run to tens of megabytes and are handed around without copying) or a serialised value.
using AttributeValue =
    std::variant<std::monostate, std::int64_t, double, std::string, Date, SharedData, Value>;

inline bool isUnset(const AttributeValue& v) { return std::holds_alternative<std::monostate>(v); }

// Bytes are equal by content, everything else by value; integers and doubles of the same number
// are equal.
bool attributeValuesEqual(const AttributeValue& a, const AttributeValue& b);

// The store's order: unset first, then numbers and dates by value, then text byte by byte, then
// bytes. Negative, zero or positive.
int compareAttributeValues(const AttributeValue& a, const AttributeValue& b);

// A short form for logs and test messages.
std::string describeAttributeValue(const AttributeValue& v);

}  // namespace qv
