// The stored library: the owner of every scan object.
#pragma once

#include <memory>
#include <vector>

#include "store/ManagedObject.h"
#include "store/ObjectContext.h"

class QVSDScanObject;

class QVSDLibrary : public qv::ManagedObject {
public:
  static constexpr const char* kEntityName = "QVSDLibrary";

  std::vector<std::shared_ptr<QVSDScanObject>> scanObjects() const;

  // The first library of the store as the context sees it; when there is none, a new one is
  // inserted (not saved). Nothing stops two contexts from each inserting one before either saves.
  static std::shared_ptr<QVSDLibrary> defaultLibraryInContext(qv::ObjectContext& context);
};
