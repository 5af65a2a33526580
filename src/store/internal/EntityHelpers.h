// Small helpers the entity classes share: casting relationship lists, one-line fetches, copies.
#pragma once

#include <memory>
#include <vector>

#include "platform/Error.h"
#include "store/FetchRequest.h"
#include "store/ManagedObject.h"
#include "store/ObjectContext.h"

namespace qv::entity {

template <class T>
std::vector<std::shared_ptr<T>> cast(const std::vector<ManagedObjectPtr>& objects) {
  std::vector<std::shared_ptr<T>> out;
  out.reserve(objects.size());
  for (const auto& o : objects)
    if (auto t = std::dynamic_pointer_cast<T>(o)) out.push_back(std::move(t));
  return out;
}

template <class T>
std::vector<std::shared_ptr<T>> fetchAll(const ManagedObject& anchor, const FetchRequest& request) {
  auto context = anchor.managedObjectContext();
  if (!context) return {};
  return context->fetch<T>(request);
}

template <class T>
std::shared_ptr<T> fetchFirst(ObjectContext& context, FetchRequest request) {
  request.fetchLimit = 1;
  auto all = context.fetch<T>(request);
  return all.empty() ? nullptr : all.front();
}

template <class T>
std::shared_ptr<T> fetchFirst(const ManagedObject& anchor, FetchRequest request) {
  auto context = anchor.managedObjectContext();
  if (!context) return nullptr;
  return fetchFirst<T>(*context, std::move(request));
}

// Copies named attributes as they are (unset stays unset).
inline void copyAttributes(ManagedObject& to, const ManagedObject& from, std::initializer_list<const char*> keys) {
  for (const char* key : keys) to.setValue(key, from.value(key));
}

// Sets the attribute `key` of `to` to a copy, in the library folder under a fresh name, of the file
// the same attribute of `from` names, or to nothing when it names none or the file is gone. False,
// with the error (code kVertexFileError, the system's code under "UnderlyingError"), when the file
// is there but cannot be copied: a copy silently without its file would lose what the file holds.
bool copyFileAttribute(ManagedObject& to, const ManagedObject& from, const char* key, Error* error);

// Removes the file the attribute names and unsets it: for the copies of a copy that is given up.
void removeFileAttribute(ManagedObject& object, const char* key);

}  // namespace qv::entity
