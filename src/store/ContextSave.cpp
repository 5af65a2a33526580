// Reading the payload of a context's save notifications.
#include "store/ContextSave.h"

namespace qv {

std::vector<std::string> ContextSave::changedKeys(const ObjectID& id) const {
  if (saved) {
    for (const auto& s : saved->updated)
      if (s.objectID == id) return s.changedKeys;
    return {};
  }
  for (const auto& o : updatedObjects)
    if (o->objectID() == id) return o->changedKeys();
  return {};
}

std::shared_ptr<const ContextSave> ContextSave::from(const Notification& notification) {
  const Value* v = find(notification.userInfo, kChangesKey);
  if (!v) return nullptr;
  const auto* save = v->object<std::shared_ptr<const ContextSave>>();
  return save ? *save : nullptr;
}

}  // namespace qv
