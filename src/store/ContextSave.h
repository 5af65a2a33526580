// What a context's will-save and did-save notifications carry.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/NotificationCenter.h"
#include "store/AttributeValue.h"
#include "store/ManagedObject.h"
#include "store/ObjectID.h"

namespace qv {

class ObjectContext;

// An object as saved, in plain values that any thread may read. An updated object's snapshot
// holds its loaded values and changed keys; an inserted one's only its identifier and to-one
// relationships; a deleted one's only its identifier.
struct ObjectSnapshot {
  ObjectID objectID;
  std::vector<std::optional<AttributeValue>> values;  // nothing where the value was never read
  std::vector<std::optional<ObjectID>> toOne;
  std::vector<std::string> changedKeys;
};

struct SavedChanges {
  std::vector<ObjectSnapshot> inserted;
  std::vector<ObjectSnapshot> updated;
  std::vector<ObjectSnapshot> deleted;
};

// The payload of both notifications, under the user-info key "changes". The live objects may be
// touched only on the saving context's queue (where the observers run); `saved` (did-save only)
// may travel anywhere. The user info also lists the string forms of the object identifiers under
// "inserted", "updated" and "deleted".
struct ContextSave {
  const ObjectContext* context = nullptr;
  std::vector<ManagedObjectPtr> insertedObjects;
  std::vector<ManagedObjectPtr> updatedObjects;
  std::vector<ManagedObjectPtr> deletedObjects;
  std::shared_ptr<const SavedChanges> saved;

  // The keys an updated object changed in this save.
  std::vector<std::string> changedKeys(const ObjectID& id) const;

  static constexpr const char* kChangesKey = "changes";
  static constexpr const char* kInsertedKey = "inserted";
  static constexpr const char* kUpdatedKey = "updated";
  static constexpr const char* kDeletedKey = "deleted";
  // The payload of a save notification, or null for any other notification.
  static std::shared_ptr<const ContextSave> from(const Notification& notification);
};

}  // namespace qv
