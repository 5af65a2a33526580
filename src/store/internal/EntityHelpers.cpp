// The entity classes' copies of the files their objects name.
#include "store/internal/EntityHelpers.h"

#include <filesystem>

#include "store/LibraryFiles.h"
#include "store/ObjectContext.h"
#include "store/StoreErrors.h"
#include "store/VertexRecords.h"

namespace qv::entity {

bool copyFileAttribute(ManagedObject& to, const ManagedObject& from, const char* key, Error* error) {
  const auto context = to.managedObjectContext();
  if (!context) {
    if (error) *error = Error(kScanErrorDomain, kVertexFileError, "The copy is in no context to copy its files into");
    return false;
  }
  Error failure;
  auto copy = copyFileIntoFolder(from.stringValue(key).value_or(""), context->filesFolder(), &failure);
  // Nothing without an error: there was no file to copy.
  if (!copy && !failure.domain.empty()) {
    if (error) *error = std::move(failure);
    return false;
  }
  to.setValue(key, copy ? AttributeValue(std::move(*copy)) : AttributeValue());
  return true;
}

void removeFileAttribute(ManagedObject& object, const char* key) {
  const auto path = object.stringValue(key);
  if (!path) return;
  if (const auto context = object.managedObjectContext()) removeLibraryFile(*context, *path, "copied file");
  object.setValue(key, AttributeValue());
}

}  // namespace qv::entity
