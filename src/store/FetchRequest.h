// What a fetch asks for: an entity, a conjunction of comparisons, a sort order and a limit.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "store/AttributeValue.h"
#include "store/ObjectID.h"

namespace qv {

enum class Comparison { Equal, NotEqual, Less, LessOrEqual, Greater, GreaterOrEqual };

// One comparison of an attribute with a value, or of a to-one relationship with an object (or
// with none). Comparing with an unset value matches only unset attributes (Equal) or only set
// ones (NotEqual); ordering comparisons never match an unset side.
struct Condition {
  std::string key;
  Comparison op = Comparison::Equal;
  AttributeValue value;
  bool isRelationship = false;
  std::optional<ObjectID> object;
};

struct SortDescriptor {
  std::string key;
  bool ascending = true;
};

struct FetchRequest {
  std::string entityName;
  std::vector<Condition> conditions;  // all must hold
  std::vector<SortDescriptor> sortDescriptors;  // ties fall back to insertion order
  std::size_t fetchLimit = 0;  // 0: no limit

  explicit FetchRequest(std::string entity) : entityName(std::move(entity)) {}

  FetchRequest& where(std::string key, Comparison op, AttributeValue value) {
    conditions.push_back(Condition{std::move(key), op, std::move(value), false, std::nullopt});
    return *this;
  }
  FetchRequest& whereRelated(std::string key, std::optional<ObjectID> object) {
    conditions.push_back(Condition{std::move(key), Comparison::Equal, {}, true, std::move(object)});
    return *this;
  }
  FetchRequest& sortedBy(std::string key, bool ascending = true) {
    sortDescriptors.push_back(SortDescriptor{std::move(key), ascending});
    return *this;
  }
  FetchRequest& limit(std::size_t n) {
    fetchLimit = n;
    return *this;
  }
};

}  // namespace qv
