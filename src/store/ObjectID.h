// The identity of a stored object: its store, its entity and its number, with a stable text form.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "store/EntityDescription.h"

namespace qv {

// Objects get their number when they are inserted, so an identifier never changes, also not when
// the object is first saved; only identifiers (never objects) cross contexts and threads.
class ObjectID {
public:
  ObjectID() = default;  // names no object
  ObjectID(std::shared_ptr<const std::string> storeIdentifier, EntityPtr entity, std::int64_t number)
      : store_(std::move(storeIdentifier)), entity_(std::move(entity)), number_(number) {}

  bool isNull() const { return !entity_; }
  explicit operator bool() const { return !isNull(); }

  const std::string& storeIdentifier() const;
  const std::string& entityName() const;
  const EntityPtr& entity() const { return entity_; }
  std::int64_t number() const { return number_; }
  // The identifier of another object of the same store.
  ObjectID sibling(EntityPtr entity, std::int64_t number) const { return ObjectID(store_, std::move(entity), number); }

  // "quorvel-store://<store UUID>/<entity>/p<number>": the same text in every run, so it can be
  // kept in settings and files and handed back to the store later.
  std::string stringRepresentation() const;
  // The store, entity and number of a text form, or nothing when it is not one.
  struct Parts {
    std::string storeIdentifier;
    std::string entityName;
    std::int64_t number = 0;
  };
  static std::optional<Parts> parse(const std::string& text);

  friend bool operator==(const ObjectID& a, const ObjectID& b);
  friend bool operator!=(const ObjectID& a, const ObjectID& b) { return !(a == b); }
  // Orders by number (the order of insertion in a store).
  friend bool operator<(const ObjectID& a, const ObjectID& b) { return a.number_ < b.number_; }

private:
  std::shared_ptr<const std::string> store_;
  EntityPtr entity_;
  std::int64_t number_ = 0;
};

}  // namespace qv

template <>
struct std::hash<qv::ObjectID> {
  std::size_t operator()(const qv::ObjectID& id) const noexcept { return std::hash<std::int64_t>()(id.number()); }
};
