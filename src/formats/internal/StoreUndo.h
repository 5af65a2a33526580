// The final save of a reader, and undoing what the reader did to the store when it fails.
#pragma once

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "formats/FormatErrors.h"
#include "platform/Error.h"
#include "platform/Log.h"
#include "store/AttributeValue.h"
#include "store/ManagedObject.h"
#include "store/ObjectContext.h"

namespace qv {

// Made before a reader changes the object: remembers the named attributes and the objects the
// reader creates. With no other unsaved work in the context a rollback is exact; otherwise only
// what this reader did is undone, so other code's pending changes survive.
class StoreUndo {
public:
  StoreUndo(ObjectContext& context, ManagedObjectPtr object, std::initializer_list<const char*> keys)
      : context_(context), object_(std::move(object)), hadChanges_(context.hasChanges()) {
    for (const char* key : keys) before_.emplace_back(key, object_->value(key));
  }
  void created(ManagedObjectPtr object) { created_.push_back(std::move(object)); }
  void undo() {
    if (!hadChanges_) {
      context_.rollback();
      return;
    }
    for (const auto& object : created_) context_.deleteObject(object);
    for (auto& [key, value] : before_) object_->setValue(key, std::move(value));
  }
  // The reader's final save of what it read from `file`. When it fails, what the reader did is
  // undone and the save's error handed on; a library folder without room is told as such, not
  // as a fault of the file.
  bool save(Error* error, const std::string& file) {
    Error saveError;
    if (context_.save(&saveError)) return true;
    QVLogInfo("Save failed: %s", saveError.text().c_str());
    undo();
    if (error) *error = isOutOfSpace(saveError) ? readerOutOfSpaceError(file, saveError, context_.libraryFolder()) : saveError;
    return false;
  }

private:
  ObjectContext& context_;
  ManagedObjectPtr object_;
  bool hadChanges_;
  std::vector<std::pair<std::string, AttributeValue>> before_;
  std::vector<ManagedObjectPtr> created_;
};

}  // namespace qv
