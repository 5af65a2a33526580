// A stored object: attribute values and relationships, tracked for changes by its context.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "store/AttributeValue.h"
#include "store/EntityDescription.h"
#include "store/FlagSet.h"
#include "store/ObjectID.h"

namespace qv {

class ObjectContext;

// Made by its context (insert, fetch, look-up); every call must run on that context's queue.
// Reading an object whose context has gone returns what it last held and changes nothing.
class ManagedObject : public std::enable_shared_from_this<ManagedObject> {
public:
  ManagedObject() = default;
  virtual ~ManagedObject() = default;
  ManagedObject(const ManagedObject&) = delete;
  ManagedObject& operator=(const ManagedObject&) = delete;

  const ObjectID& objectID() const { return id_; }
  const EntityDescription& entity() const { return *id_.entity(); }
  std::shared_ptr<ObjectContext> managedObjectContext() const { return context_.lock(); }

  // Inserted and not yet saved; changed since loaded or saved; deleted (pending a save, or by a save).
  bool isInserted() const { return inserted_; }
  bool isUpdated() const;
  bool isDeleted() const { return deleted_; }
  bool hasChanges() const { return inserted_ || deleted_ || isUpdated(); }
  // The attributes and relationships changed since the object was loaded or last saved.
  std::vector<std::string> changedKeys() const;
  bool hasChangedKey(const std::string& key) const;

  // Attributes by name. Setting converts numbers to the attribute's kind (an integer attribute
  // drops a fraction); a value of the wrong kind is refused and logged.
  AttributeValue value(const std::string& key) const;
  void setValue(const std::string& key, AttributeValue value);
  std::optional<double> doubleValue(const std::string& key) const;
  std::optional<std::int64_t> integerValue(const std::string& key) const;
  std::optional<std::string> stringValue(const std::string& key) const;
  std::optional<Date> dateValue(const std::string& key) const;
  SharedData dataValue(const std::string& key) const;  // null when unset
  std::optional<Value> objectValue(const std::string& key) const;
  // The byte length of a bytes attribute (nothing when unset), without reading the bytes.
  std::optional<std::size_t> dataLength(const std::string& key) const;

  // Relationships by name. Setting a to-one also updates the destination's to-many side.
  std::shared_ptr<ManagedObject> toOne(const std::string& key) const;
  std::optional<ObjectID> toOneID(const std::string& key) const;
  void setToOne(const std::string& key, const std::shared_ptr<ManagedObject>& target);
  // Unordered by meaning; handed out in insertion order so that runs repeat.
  std::vector<std::shared_ptr<ManagedObject>> toMany(const std::string& key) const;
  std::vector<ObjectID> toManyIDs(const std::string& key) const;
  std::size_t toManyCount(const std::string& key) const;

  // Observers of changes by key, called on the context's queue after every change of an attribute
  // or relationship (also one merged in from the other context) and for keys announced with
  // didChangeValueForKey.
  using KeyObserver = std::function<void(ManagedObject& object, const std::string& key)>;
  std::uint64_t addKeyObserver(KeyObserver observer);
  void removeKeyObserver(std::uint64_t token);
  void didChangeValueForKey(const std::string& key);

  std::string description() const;

protected:
  // Index-based forms for the entity classes.
  const AttributeValue& attributeAt(std::size_t index) const;
  void setAttributeAt(std::size_t index, AttributeValue value);
  // setAttributeAt for an object the caller has just inserted, with a value of the attribute's
  // own kind: without the checks and conversions each call of the other makes, for entity classes
  // filling thousands of new objects. Any other object takes the ordinary way.
  void setNewObjectAttributeAt(std::size_t index, AttributeValue value);
  void setToOneAt(std::size_t index, const std::shared_ptr<ManagedObject>& target);

private:
  friend class ObjectContext;

  std::shared_ptr<ManagedObject> toOneAt(std::size_t index) const;
  const std::set<std::int64_t>& toManyAt(std::size_t index) const;
  void markToManyChanged(std::size_t index);
  void notifyKey(const std::string& key);

  std::weak_ptr<ObjectContext> context_;
  ObjectID id_;
  mutable std::vector<AttributeValue> values_;
  mutable std::vector<AttributeValue> committed_;  // as last loaded or saved
  mutable FlagSet loaded_;  // value read (bytes are read on first use)
  mutable FlagSet committedKnown_;
  FlagSet changedAttributes_;
  std::vector<std::optional<std::int64_t>> toOne_;
  std::vector<std::optional<std::int64_t>> committedToOne_;
  FlagSet changedToOne_;
  mutable std::vector<std::optional<std::set<std::int64_t>>> toMany_;  // loaded on first use
  FlagSet changedToMany_;
  bool inserted_ = false;
  bool deleted_ = false;
  std::vector<std::pair<std::uint64_t, KeyObserver>> observers_;
  std::uint64_t nextObserver_ = 1;
};

using ManagedObjectPtr = std::shared_ptr<ManagedObject>;

}  // namespace qv
