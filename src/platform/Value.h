// A dynamically typed value: what settings, error details and notification payloads carry.
#pragma once

#include <any>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace qv {

// Raw bytes (a frame, a line sent to the scanner, an archived value).
using Data = std::vector<std::uint8_t>;
// Bytes shared without copying and never changed once made (camera frames, encoded images).
using SharedData = std::shared_ptr<const Data>;

class Value;
using Array = std::vector<Value>;
using Dictionary = std::map<std::string, Value>;

// Holds nothing, a boolean, an integer, a double, text, bytes, an array, a dictionary, or any other
// object (kept in a std::any, compared by identity of type only). The typed readers coerce the way
// the settings store always has: text is read as a number by its leading number, numbers are read
// as text, and any nonzero number reads as true.
class Value {
public:
  using Storage = std::variant<std::monostate, bool, std::int64_t, double, std::string, Data, Array,
                               Dictionary, std::any>;

  Value() = default;
  Value(std::nullptr_t) {}
  Value(bool b) : storage_(b) {}
  Value(int i) : storage_(std::int64_t{i}) {}
  Value(unsigned i) : storage_(std::int64_t{i}) {}
  Value(long i) : storage_(std::int64_t{i}) {}
  Value(long long i) : storage_(std::int64_t{i}) {}
  Value(unsigned long i) : storage_(static_cast<std::int64_t>(i)) {}
  Value(unsigned long long i) : storage_(static_cast<std::int64_t>(i)) {}
  Value(float d) : storage_(double{d}) {}
  Value(double d) : storage_(d) {}
  Value(const char* s) : storage_(std::string(s)) {}
  Value(std::string s) : storage_(std::move(s)) {}
  Value(std::string_view s) : storage_(std::string(s)) {}
  Value(Data d) : storage_(std::move(d)) {}
  Value(Array a) : storage_(std::move(a)) {}
  Value(Dictionary d) : storage_(std::move(d)) {}

  // Wraps any other object (a port, a device) so that it can travel in a notification.
  template <typename T>
  static Value object(T value) {
    Value v;
    v.storage_ = std::any(std::move(value));
    return v;
  }

  bool isNull() const { return std::holds_alternative<std::monostate>(storage_); }
  bool isBool() const { return std::holds_alternative<bool>(storage_); }
  bool isInteger() const { return std::holds_alternative<std::int64_t>(storage_); }
  bool isDouble() const { return std::holds_alternative<double>(storage_); }
  bool isNumber() const { return isBool() || isInteger() || isDouble(); }
  bool isString() const { return std::holds_alternative<std::string>(storage_); }
  bool isData() const { return std::holds_alternative<Data>(storage_); }
  bool isArray() const { return std::holds_alternative<Array>(storage_); }
  bool isDictionary() const { return std::holds_alternative<Dictionary>(storage_); }
  bool isObject() const { return std::holds_alternative<std::any>(storage_); }

  // Coercing readers; a value that cannot be read as the type gives 0, false or nothing.
  std::int64_t toInt64() const;
  double toDouble() const;
  bool toBool() const;
  std::optional<std::string> toString() const;

  // Exact accessors: nullptr when the value holds another type.
  const std::string* string() const { return std::get_if<std::string>(&storage_); }
  const Data* data() const { return std::get_if<Data>(&storage_); }
  const Array* array() const { return std::get_if<Array>(&storage_); }
  const Dictionary* dictionary() const { return std::get_if<Dictionary>(&storage_); }
  template <typename T>
  const T* object() const {
    const auto* any = std::get_if<std::any>(&storage_);
    return any ? std::any_cast<T>(any) : nullptr;
  }

  const Storage& storage() const { return storage_; }

  // Objects compare equal only to themselves (never by content); everything else by value,
  // with integers and doubles of the same number equal.
  friend bool operator==(const Value& a, const Value& b);

  // A short printable form for logs ("(null)" for nothing, as the logs have always shown it).
  std::string description() const;

private:
  Storage storage_;
};

// Reads a member of a dictionary; nothing when it is absent.
const Value* find(const Dictionary& dict, const std::string& key);

}  // namespace qv
