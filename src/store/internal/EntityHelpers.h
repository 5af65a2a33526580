// Small helpers the entity classes share: casting relationship lists and one-line fetches.
#pragma once

#include <memory>
#include <vector>

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

}  // namespace qv::entity
