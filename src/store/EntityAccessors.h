// Typed getter and setter pairs over a stored entity's named attributes.
#pragma once

#include <optional>
#include <string>

#include "store/ManagedObject.h"

// Each expands to `name()` and `setName(value)` inside an entity class. Unset reads as nothing;
// setting nothing unsets the attribute.
#define QV_DOUBLE_ATTRIBUTE(name, Name)                                                        \
  std::optional<double> name() const { return doubleValue(#name); }                            \
  void set##Name(std::optional<double> v) {                                                    \
    setValue(#name, v ? ::qv::AttributeValue(*v) : ::qv::AttributeValue());                    \
  }

#define QV_INTEGER_ATTRIBUTE(name, Name)                                                       \
  std::optional<std::int64_t> name() const { return integerValue(#name); }                     \
  void set##Name(std::optional<std::int64_t> v) {                                              \
    setValue(#name, v ? ::qv::AttributeValue(*v) : ::qv::AttributeValue());                    \
  }

#define QV_STRING_ATTRIBUTE(name, Name)                                                        \
  std::optional<std::string> name() const { return stringValue(#name); }                       \
  void set##Name(std::optional<std::string> v) {                                               \
    setValue(#name, v ? ::qv::AttributeValue(std::move(*v)) : ::qv::AttributeValue());         \
  }

#define QV_DATE_ATTRIBUTE(name, Name)                                                          \
  std::optional<::qv::Date> name() const { return dateValue(#name); }                          \
  void set##Name(std::optional<::qv::Date> v) {                                                \
    setValue(#name, v ? ::qv::AttributeValue(*v) : ::qv::AttributeValue());                    \
  }

#define QV_DATA_ATTRIBUTE(name, Name)                                                          \
  ::qv::SharedData name() const { return dataValue(#name); }                                   \
  void set##Name(::qv::SharedData v) { setValue(#name, ::qv::AttributeValue(std::move(v))); }

#define QV_OBJECT_ATTRIBUTE(name, Name)                                                        \
  std::optional<::qv::Value> name() const { return objectValue(#name); }                       \
  void set##Name(std::optional<::qv::Value> v) {                                               \
    setValue(#name, v ? ::qv::AttributeValue(std::move(*v)) : ::qv::AttributeValue());         \
  }
