// What one kind of stored object holds: its attributes and its relationships to other kinds.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace qv {

class ManagedObject;

enum class AttributeType { Integer, Double, String, Date, Data, Object };

struct AttributeDescription {
  std::string name;
  AttributeType type = AttributeType::Double;
  // A string naming a file the library keeps beside its store (an image, a vertex file): such
  // files move with the library when its layout changes. Not part of the model's fingerprint.
  bool libraryFile = false;
};

// A to-one relationship: one object of the destination kind, or none. Deleting the destination
// deletes the objects that refer to it (every owner in this store owns what points to it).
struct ToOneDescription {
  std::string name;
  std::string destination;
  std::string inverse;  // the destination's to-many relationship listing the objects that refer to it
  std::size_t destinationIndex = 0;  // filled in by the model
  std::size_t inverseIndex = 0;
};

// A to-many relationship: the objects of the destination kind whose inverse to-one names this one.
struct ToManyDescription {
  std::string name;
  std::string destination;
  std::string inverse;
  std::size_t destinationIndex = 0;
  std::size_t inverseIndex = 0;
};

enum class PropertyKind { Attribute, ToOne, ToMany };

struct PropertyRef {
  PropertyKind kind;
  std::size_t index;
};

class EntityDescription {
public:
  using Factory = std::function<std::shared_ptr<ManagedObject>()>;

  EntityDescription(std::string name, std::vector<AttributeDescription> attributes,
                    std::vector<ToOneDescription> toOne, std::vector<ToManyDescription> toMany,
                    Factory factory = {});

  const std::string& name() const { return name_; }
  const std::vector<AttributeDescription>& attributes() const { return attributes_; }
  const std::vector<ToOneDescription>& toOneRelationships() const { return toOne_; }
  const std::vector<ToManyDescription>& toManyRelationships() const { return toMany_; }
  std::size_t index() const { return index_; }

  // The property of a name, or nothing when the entity has none.
  std::optional<PropertyRef> property(const std::string& name) const;
  // The attribute of a name; throws std::out_of_range for an unknown name (a programming error).
  std::size_t attributeIndex(const std::string& name) const;
  std::size_t toOneIndex(const std::string& name) const;
  std::size_t toManyIndex(const std::string& name) const;
  const std::string& propertyName(PropertyRef ref) const;

  // A new, detached object of the entity's class.
  std::shared_ptr<ManagedObject> makeObject() const;

private:
  friend class ObjectModel;
  std::string name_;
  std::vector<AttributeDescription> attributes_;
  std::vector<ToOneDescription> toOne_;
  std::vector<ToManyDescription> toMany_;
  Factory factory_;
  std::unordered_map<std::string, PropertyRef> byName_;
  std::size_t index_ = 0;
};

using EntityPtr = std::shared_ptr<const EntityDescription>;

}  // namespace qv
