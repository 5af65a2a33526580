// A workspace of stored objects bound to one queue: insert, fetch, delete, save, roll back, merge.
#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/Error.h"
#include "platform/Queue.h"
#include "store/ContextSave.h"
#include "store/FetchRequest.h"
#include "store/ManagedObject.h"
#include "store/ObjectModel.h"

namespace qv {

class StoreCoordinator;
struct StoredRow;

// Every operation but perform, performAndWait and the plain getters must run on the context's
// queue: the main queue for a main-queue context, a serial queue of its own for a private one.
// Objects never cross contexts; their identifiers do. A context holds the objects it has handed
// out only while someone else holds them too, and those with unsaved changes always.
class ObjectContext : public std::enable_shared_from_this<ObjectContext> {
public:
  enum class ConcurrencyType { MainQueue, PrivateQueue };

  // Posted on the saving context's queue, with the context as the sender and a ContextSave as
  // the payload: before a save writes anything (observers may still change objects), and after
  // it succeeded. A save with nothing to write posts neither.
  static constexpr const char* kWillSaveNotification = "QVObjectContextWillSaveNotification";
  static constexpr const char* kDidSaveNotification = "QVObjectContextDidSaveNotification";

  ObjectContext(ConcurrencyType type, QueuePtr queue, std::shared_ptr<StoreCoordinator> coordinator,
                std::filesystem::path libraryFolder, std::filesystem::path filesFolder);
  ~ObjectContext();
  ObjectContext(const ObjectContext&) = delete;
  ObjectContext& operator=(const ObjectContext&) = delete;

  ConcurrencyType concurrencyType() const { return type_; }
  const QueuePtr& queue() const { return queue_; }
  // The folder the store file lies in, with the temporary folders of imports and exports.
  const std::filesystem::path& libraryFolder() const { return libraryFolder_; }
  // The folder the library's own files go in (images, thumbnails, vertex files, copies): the
  // store's `filesFolder()`.
  const std::filesystem::path& filesFolder() const { return filesFolder_; }
  const ModelPtr& model() const;
  // False when the store file could not be opened: fetches find nothing and saves fail.
  bool hasStore() const;
  // Why a save cannot succeed now: the store could not be opened (and why), or its file can only
  // be read. Nothing when saves can be written.
  std::optional<Error> storeWriteProblem() const;
  // Runs `reads` on the context's queue and waits for them; answers the first store read that
  // failed during them, or why the store could not be opened. A save or an export made of what
  // was read stops on this error: the values of a failed read read as unset or empty.
  std::optional<Error> performReadsAndWait(const std::function<void()>& reads);

  // Runs the block on the context's queue, later / now (at once when already on it).
  void perform(std::function<void()> block);
  void performAndWait(const std::function<void()>& block);

  ManagedObjectPtr insertNewObject(const std::string& entityName);
  template <class T>
  std::shared_ptr<T> insertNewObject() {
    return std::dynamic_pointer_cast<T>(insertNewObject(T::kEntityName));
  }

  // The object of an identifier: the one this context holds, else read from the store; nothing
  // when the identifier belongs to another store or no such object was ever saved.
  ManagedObjectPtr objectWithID(const ObjectID& id);
  template <class T>
  std::shared_ptr<T> objectWithIDAs(const ObjectID& id) {
    return std::dynamic_pointer_cast<T>(objectWithID(id));
  }
  // The objects of a list of identifiers, in order, skipping empty entries and identifiers with
  // no object; nothing for an empty list. Runs on the context's queue and waits for it.
  std::optional<std::vector<ManagedObjectPtr>> objectsWithObjectIDs(const std::vector<std::optional<ObjectID>>& ids);
  // The identifier of a string form made by this store; nothing for any other text.
  std::optional<ObjectID> objectIDFromString(const std::string& text) const;

  // Matches the conditions against the objects as this context sees them, unsaved changes
  // included; nothing (and the error) when the store cannot be read.
  std::vector<ManagedObjectPtr> executeFetchRequest(const FetchRequest& request, Error* error = nullptr);
  template <class T>
  std::vector<std::shared_ptr<T>> fetch(const FetchRequest& request, Error* error = nullptr) {
    std::vector<std::shared_ptr<T>> out;
    for (auto& o : executeFetchRequest(request, error))
      if (auto t = std::dynamic_pointer_cast<T>(o)) out.push_back(std::move(t));
    return out;
  }

  // Marks the object deleted, with everything it owns (its to-many relationships, recursively).
  void deleteObject(const ManagedObjectPtr& object);

  bool hasChanges() const { return !pending_.empty(); }
  std::vector<ManagedObjectPtr> insertedObjects() const;
  std::vector<ManagedObjectPtr> updatedObjects() const;
  std::vector<ManagedObjectPtr> deletedObjects() const;

  // Writes every change in one transaction. On failure nothing is written, the changes stay in
  // the context, and the error says why.
  bool save(Error* error = nullptr);
  // Forgets every unsaved change: inserted objects leave the context, deleted and changed ones
  // return to their saved state.
  void rollback();
  // Applies another context's save to the objects this context holds (run on this context's queue).
  void mergeChangesFromSave(const SavedChanges& changes);

  // The first store read that failed since the last call (a fetch, an attribute, a byte length, a
  // relationship list or an object read on first use), and forgets it. Such a read is logged, the
  // value reads as unset or empty, and nothing of it is kept: the next access reads again.
  std::optional<Error> takeReadError();

  // How many objects the context holds right now (for tests and diagnostics).
  std::size_t registeredObjectCount() const;

private:
  friend class ManagedObject;

  void checkQueue(const char* operation) const;
  ManagedObjectPtr registered(std::int64_t number) const;
  void registerObject(const ManagedObjectPtr& object);
  ManagedObjectPtr materialise(const EntityPtr& entity, StoredRow&& row);
  ManagedObjectPtr objectWithNumber(const EntityPtr& entity, std::int64_t number);
  void objectChanged(ManagedObject& object);
  // The same for an object known to have a change (a flag just set): no need to look for one.
  void objectHasChanges(ManagedObject& object);
  void loadAttribute(const ManagedObject& object, std::size_t index) const;
  std::optional<std::size_t> storedDataLength(const ManagedObject& object, std::size_t index) const;
  std::optional<std::set<std::int64_t>> loadToMany(const ManagedObject& object, std::size_t index) const;
  void readFailed(const Error& error) const;
  bool matches(const ManagedObject& object, const FetchRequest& request) const;
  // What a saved object's snapshot carries: a merge needs only the identifier of a deleted object
  // and the owners of an inserted one, and a step's save holds thousands of both.
  enum class SnapshotPart { Identifier, Relationships, Everything };
  ObjectSnapshot snapshotOf(const ManagedObject& object, SnapshotPart part) const;
  // Posts one of the save notifications and hands back its lists of identifier texts, which a
  // later one listing the same objects as `earlier` takes over instead of making them again.
  Dictionary postSaveNotification(const char* name, const std::shared_ptr<ContextSave>& save, const ContextSave* earlier,
                                  Dictionary earlierIds);
  std::vector<ManagedObjectPtr> pendingSorted() const;
  // Every change of pending_ goes through these, which keep the per-entity index in step.
  void addPending(const ManagedObjectPtr& object);
  void erasePending(std::int64_t number);
  void clearPending();
  // The numbers of the pending objects of one entity.
  const std::unordered_set<std::int64_t>& pendingOf(std::size_t entityIndex) const;

  ConcurrencyType type_;
  QueuePtr queue_;
  std::shared_ptr<StoreCoordinator> coordinator_;
  std::filesystem::path libraryFolder_;
  std::filesystem::path filesFolder_;
  mutable std::unordered_map<std::int64_t, std::weak_ptr<ManagedObject>> registry_;
  std::unordered_map<std::int64_t, ManagedObjectPtr> pending_;  // inserted, changed or deleted
  // pending_ by entity index: fetches and relationship reads of one entity look at its own
  // pending objects, not at the thousands of points a scan step inserts and deletes.
  std::vector<std::unordered_set<std::int64_t>> pendingByEntity_;
  std::uint64_t pendingVersion_ = 0;  // counts every change of pending_'s members
  std::size_t sweepAt_ = 1024;
  mutable std::atomic<bool> warnedOffQueue_{false};
  mutable std::optional<Error> readError_;  // used on the context's queue only
};

using ObjectContextPtr = std::shared_ptr<ObjectContext>;

}  // namespace qv
