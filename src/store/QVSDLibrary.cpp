// The library entity: its scan objects and the one library a store uses.
#include "store/QVSDLibrary.h"

#include "store/QVSDScanObject.h"
#include "store/internal/EntityHelpers.h"

std::vector<std::shared_ptr<QVSDScanObject>> QVSDLibrary::scanObjects() const {
  return qv::entity::cast<QVSDScanObject>(toMany("scanObjects"));
}

std::shared_ptr<QVSDLibrary> QVSDLibrary::defaultLibraryInContext(qv::ObjectContext& context) {
  if (auto library = qv::entity::fetchFirst<QVSDLibrary>(context, qv::FetchRequest(kEntityName))) return library;
  return context.insertNewObject<QVSDLibrary>();
}
