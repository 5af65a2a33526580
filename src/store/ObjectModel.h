// The data model of a store: its entities, with every relationship tied to its inverse.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "store/EntityDescription.h"

namespace qv {

class ObjectModel {
public:
  // Resolves destinations and inverses; throws std::invalid_argument when a relationship names an
  // unknown entity or has no matching inverse, or when a name is used twice.
  explicit ObjectModel(std::vector<EntityDescription> entities);

  const std::vector<EntityPtr>& entities() const { return entities_; }
  // Nothing for an unknown name.
  EntityPtr entity(const std::string& name) const;
  const EntityPtr& entityAt(std::size_t index) const { return entities_.at(index); }

  // A fingerprint of every entity, attribute type and relationship: a store file written with
  // another fingerprint cannot be read with this model.
  const std::string& versionHash() const { return versionHash_; }

private:
  std::vector<EntityPtr> entities_;
  std::string versionHash_;
};

using ModelPtr = std::shared_ptr<const ObjectModel>;

}  // namespace qv
