// Contexts: the objects of one queue, their pending changes, fetches over store and memory, saves
// with their notifications, roll-back, and merging the other context's saves.
#include "store/ObjectContext.h"

#include <algorithm>

#include "platform/Log.h"
#include "platform/NotificationCenter.h"
#include "store/StoreErrors.h"
#include "store/internal/StoreCoordinator.h"

namespace qv {

ObjectContext::ObjectContext(ConcurrencyType type, QueuePtr queue, std::shared_ptr<StoreCoordinator> coordinator,
                             std::filesystem::path libraryFolder, std::filesystem::path filesFolder)
    : type_(type), queue_(std::move(queue)), coordinator_(std::move(coordinator)),
      libraryFolder_(std::move(libraryFolder)), filesFolder_(std::move(filesFolder)) {}

ObjectContext::~ObjectContext() = default;

const ModelPtr& ObjectContext::model() const { return coordinator_->model(); }

bool ObjectContext::hasStore() const { return coordinator_->isOpen(); }

std::optional<Error> ObjectContext::storeWriteProblem() const { return coordinator_->writeProblem(); }

std::optional<Error> ObjectContext::performReadsAndWait(const std::function<void()>& reads) {
  std::optional<Error> failed;
  performAndWait([&] {
    // Only this block's failures count; one from before stays for whoever reads it, and one of
    // this block also reaches an enclosing block of reads.
    std::optional<Error> earlier;
    earlier.swap(readError_);
    if (reads) reads();
    failed = readError_;
    if (earlier) readError_ = std::move(earlier);
  });
  if (!failed && !coordinator_->isOpen()) failed = coordinator_->writeProblem();
  return failed;
}

void ObjectContext::checkQueue(const char* operation) const {
  if (queue_->isCurrent()) return;
  // Said once per context: a context used off its queue races with its own queue's work.
  if (!warnedOffQueue_.exchange(true))
    QVLogWarn("Object context of queue %s used off its queue (%s)", queue_->label().c_str(), operation);
}

void ObjectContext::perform(std::function<void()> block) {
  if (!block) return;
  // The task keeps the context alive until it has run.
  queue_->async([self = shared_from_this(), block = std::move(block)] { block(); });
}

void ObjectContext::performAndWait(const std::function<void()>& block) {
  if (!block) return;
  queue_->sync(block);
}

ManagedObjectPtr ObjectContext::registered(std::int64_t number) const {
  if (auto it = pending_.find(number); it != pending_.end()) return it->second;
  if (auto it = registry_.find(number); it != registry_.end()) {
    if (auto o = it->second.lock()) return o;
    registry_.erase(it);
  }
  return nullptr;
}

void ObjectContext::registerObject(const ManagedObjectPtr& object) {
  registry_[object->id_.number()] = object;
  if (registry_.size() >= sweepAt_) {
    std::erase_if(registry_, [](const auto& entry) { return entry.second.expired(); });
    sweepAt_ = std::max<std::size_t>(1024, registry_.size() * 2);
  }
}

void ObjectContext::addPending(const ManagedObjectPtr& object) {
  const auto number = object->id_.number();
  if (!pending_.emplace(number, object).second) return;
  ++pendingVersion_;
  const std::size_t entity = object->id_.entity()->index();
  if (pendingByEntity_.size() <= entity) pendingByEntity_.resize(model()->entities().size());
  pendingByEntity_[entity].insert(number);
}

void ObjectContext::erasePending(std::int64_t number) {
  auto it = pending_.find(number);
  if (it == pending_.end()) return;
  pendingByEntity_[it->second->id_.entity()->index()].erase(number);
  pending_.erase(it);
  ++pendingVersion_;
}

void ObjectContext::clearPending() {
  ++pendingVersion_;
  pending_.clear();
  for (auto& numbers : pendingByEntity_) numbers.clear();
}

const std::unordered_set<std::int64_t>& ObjectContext::pendingOf(std::size_t entityIndex) const {
  static const std::unordered_set<std::int64_t> kNone;
  return entityIndex < pendingByEntity_.size() ? pendingByEntity_[entityIndex] : kNone;
}

std::size_t ObjectContext::registeredObjectCount() const {
  std::size_t n = 0;
  for (const auto& [number, weak] : registry_)
    if (!weak.expired() || pending_.count(number)) ++n;
  return n;
}

ManagedObjectPtr ObjectContext::materialise(const EntityPtr& entity, StoredRow&& row) {
  if (auto existing = registered(row.number)) return existing;
  auto object = entity->makeObject();
  object->context_ = weak_from_this();
  object->id_ = ObjectID(coordinator_->storeIdentifier(), entity, row.number);
  const std::size_t nAttributes = entity->attributes().size();
  object->values_ = std::move(row.values);
  object->values_.resize(nAttributes);
  object->loaded_ = std::move(row.loaded);
  object->loaded_.resize(nAttributes, false);
  object->committed_ = object->values_;
  object->committedKnown_ = object->loaded_;
  object->changedAttributes_.assign(nAttributes, false);
  object->toOne_ = std::move(row.toOne);
  object->toOne_.resize(entity->toOneRelationships().size());
  object->committedToOne_ = object->toOne_;
  object->changedToOne_.assign(object->toOne_.size(), false);
  object->toMany_.assign(entity->toManyRelationships().size(), std::nullopt);
  object->changedToMany_.assign(object->toMany_.size(), false);
  registerObject(object);
  return object;
}

ManagedObjectPtr ObjectContext::objectWithNumber(const EntityPtr& entity, std::int64_t number) {
  if (auto o = registered(number)) return o->id_.entity()->index() == entity->index() ? o : nullptr;
  Error error;
  auto row = coordinator_->readRow(*entity, number, &error);
  if (!row) {
    if (!error.description.empty()) readFailed(error);
    return nullptr;
  }
  return materialise(entity, std::move(*row));
}

ManagedObjectPtr ObjectContext::insertNewObject(const std::string& entityName) {
  checkQueue("insertNewObject");
  auto entity = model()->entity(entityName);
  if (!entity) {
    QVLogError("No entity named %s in the store's model", entityName.c_str());
    return nullptr;
  }
  auto object = entity->makeObject();
  object->context_ = weak_from_this();
  object->id_ = ObjectID(coordinator_->storeIdentifier(), entity, coordinator_->allocateNumber());
  const std::size_t nAttributes = entity->attributes().size();
  object->values_.assign(nAttributes, AttributeValue());
  object->committed_.assign(nAttributes, AttributeValue());
  object->loaded_.assign(nAttributes, true);
  object->committedKnown_.assign(nAttributes, true);
  object->changedAttributes_.assign(nAttributes, false);
  object->toOne_.assign(entity->toOneRelationships().size(), std::nullopt);
  object->committedToOne_ = object->toOne_;
  object->changedToOne_.assign(object->toOne_.size(), false);
  // A new object owns nothing yet, in the store or elsewhere.
  object->toMany_.assign(entity->toManyRelationships().size(), std::set<std::int64_t>());
  object->changedToMany_.assign(object->toMany_.size(), false);
  object->inserted_ = true;
  registerObject(object);
  addPending(object);
  return object;
}

std::optional<ObjectID> ObjectContext::objectIDFromString(const std::string& text) const {
  auto parts = ObjectID::parse(text);
  if (!parts || parts->storeIdentifier != *coordinator_->storeIdentifier()) return std::nullopt;
  auto entity = model()->entity(parts->entityName);
  if (!entity) return std::nullopt;
  return ObjectID(coordinator_->storeIdentifier(), entity, parts->number);
}

ManagedObjectPtr ObjectContext::objectWithID(const ObjectID& id) {
  checkQueue("objectWithID");
  if (id.isNull() || id.storeIdentifier() != *coordinator_->storeIdentifier()) return nullptr;
  auto entity = model()->entity(id.entityName());
  if (!entity) return nullptr;
  return objectWithNumber(entity, id.number());
}

std::optional<std::vector<ManagedObjectPtr>> ObjectContext::objectsWithObjectIDs(
    const std::vector<std::optional<ObjectID>>& ids) {
  if (ids.empty()) return std::nullopt;
  std::vector<ManagedObjectPtr> out;
  performAndWait([&] {
    for (const auto& id : ids) {
      if (!id || id->isNull()) continue;
      if (auto o = objectWithID(*id)) out.push_back(std::move(o));
    }
  });
  return out;
}

void ObjectContext::objectHasChanges(ManagedObject& object) {
  if (!object.inserted_ && !pending_.count(object.id_.number())) addPending(object.shared_from_this());
}

void ObjectContext::objectChanged(ManagedObject& object) {
  // An inserted object is pending from its insertion until it is saved or deleted.
  if (object.inserted_) return;
  const auto number = object.id_.number();
  if (object.hasChanges()) {
    if (!pending_.count(number)) addPending(object.shared_from_this());
  } else {
    erasePending(number);
  }
}

void ObjectContext::loadAttribute(const ManagedObject& object, std::size_t index) const {
  if (object.inserted_) {
    object.loaded_[index] = true;
    return;
  }
  Error error;
  auto value = coordinator_->readAttribute(object.entity(), object.id_.number(), index, &error);
  if (!value) {
    if (!error.description.empty()) readFailed(error);
    return;  // the row is gone or unreadable: the attribute reads as unset, and is tried again later
  }
  object.values_[index] = *value;
  object.loaded_[index] = true;
  if (!object.changedAttributes_[index]) {
    object.committed_[index] = std::move(*value);
    object.committedKnown_[index] = true;
  }
}

std::optional<std::size_t> ObjectContext::storedDataLength(const ManagedObject& object, std::size_t index) const {
  Error error;
  auto length = coordinator_->dataLength(object.entity(), object.id_.number(), index, &error);
  if (!length) {
    if (!error.description.empty()) readFailed(error);
    return std::nullopt;
  }
  return *length;
}

std::optional<std::set<std::int64_t>> ObjectContext::loadToMany(const ManagedObject& object, std::size_t index) const {
  const auto& r = object.entity().toManyRelationships()[index];
  std::set<std::int64_t> numbers;
  if (!object.inserted_) {
    Error error;
    const auto& dest = *model()->entityAt(r.destinationIndex);
    const auto stored = coordinator_->relatedNumbers(dest, r.inverseIndex, object.id_.number(), &error);
    if (!error.description.empty()) {
      // A list cut short by a failed read would be taken as the whole relationship.
      readFailed(error);
      return std::nullopt;
    }
    numbers.insert(stored.begin(), stored.end());
  }
  // The store knows the saved state; the pending changes of this context come on top.
  for (const auto number : pendingOf(r.destinationIndex)) {
    const auto& other = pending_.find(number)->second;
    const bool pointsHere = !other->deleted_ && other->toOne_[r.inverseIndex] == object.id_.number();
    if (pointsHere) numbers.insert(number);
    else numbers.erase(number);
  }
  return numbers;
}

void ObjectContext::readFailed(const Error& error) const {
  QVLogError("%s", error.text().c_str());
  if (!readError_) readError_ = error;
}

std::optional<Error> ObjectContext::takeReadError() {
  std::optional<Error> error;
  error.swap(readError_);
  return error;
}

namespace {

bool conditionHolds(const Condition& c, const AttributeValue& v) {
  const bool conditionUnset = isUnset(c.value);
  if (conditionUnset) {
    if (c.op == Comparison::Equal) return isUnset(v);
    if (c.op == Comparison::NotEqual) return !isUnset(v);
    return false;
  }
  if (isUnset(v)) return false;
  const int order = compareAttributeValues(v, c.value);
  switch (c.op) {
    case Comparison::Equal: return order == 0;
    case Comparison::NotEqual: return order != 0;
    case Comparison::Less: return order < 0;
    case Comparison::LessOrEqual: return order <= 0;
    case Comparison::Greater: return order > 0;
    case Comparison::GreaterOrEqual: return order >= 0;
  }
  return false;
}

AttributeValue toOneAsValue(const std::optional<std::int64_t>& n) {
  return n ? AttributeValue(*n) : AttributeValue();
}

}  // namespace

bool ObjectContext::matches(const ManagedObject& object, const FetchRequest& request) const {
  const auto& entity = object.entity();
  for (const auto& c : request.conditions) {
    const auto p = entity.property(c.key);
    if (!p || p->kind == PropertyKind::ToMany) return false;
    if (p->kind == PropertyKind::ToOne) {
      Condition numeric = c;
      numeric.value = c.isRelationship ? (c.object && !c.object->isNull() ? AttributeValue(c.object->number()) : AttributeValue())
                                       : c.value;
      if (!conditionHolds(numeric, toOneAsValue(object.toOne_[p->index]))) return false;
    } else if (c.isRelationship) {
      return false;
    } else if (!conditionHolds(c, object.attributeAt(p->index))) {
      return false;
    }
  }
  return true;
}

std::vector<ManagedObjectPtr> ObjectContext::executeFetchRequest(const FetchRequest& request, Error* error) {
  checkQueue("executeFetchRequest");
  std::vector<ManagedObjectPtr> result;
  auto entity = model()->entity(request.entityName);
  if (!entity) {
    if (error) *error = Error(kScanErrorDomain, kStoreOperationError, "No entity named " + request.entityName);
    return result;
  }
  std::vector<ManagedObjectPtr> pendingOfEntity;
  for (const auto number : pendingOf(entity->index())) pendingOfEntity.push_back(pending_.find(number)->second);
  // Pending objects may fall out of the stored rows' order; fetch enough rows to make up for them.
  const std::size_t limit = request.fetchLimit ? request.fetchLimit + pendingOfEntity.size() : 0;
  Error fetchError;
  auto rows = coordinator_->fetchRows(*entity, request, limit, &fetchError);
  if (!fetchError.description.empty()) {
    readFailed(fetchError);  // also for callers that only look at what the fetch found
    if (error) *error = fetchError;
    return result;
  }
  result.reserve(rows.size() + pendingOfEntity.size());
  for (auto& row : rows) {
    if (pending_.count(row.number)) continue;
    if (auto o = materialise(entity, std::move(row))) result.push_back(std::move(o));
  }
  bool addedPending = false;
  for (auto& object : pendingOfEntity) {
    if (object->deleted_ || !matches(*object, request)) continue;
    result.push_back(object);
    addedPending = true;
  }
  if (addedPending) {
    auto less = [&](const ManagedObjectPtr& a, const ManagedObjectPtr& b) {
      for (const auto& s : request.sortDescriptors) {
        const auto p = entity->property(s.key);
        if (!p || p->kind == PropertyKind::ToMany) continue;
        const int order = p->kind == PropertyKind::ToOne
                              ? compareAttributeValues(toOneAsValue(a->toOne_[p->index]), toOneAsValue(b->toOne_[p->index]))
                              : compareAttributeValues(a->attributeAt(p->index), b->attributeAt(p->index));
        if (order != 0) return s.ascending ? order < 0 : order > 0;
      }
      return a->id_.number() < b->id_.number();
    };
    std::stable_sort(result.begin(), result.end(), less);
  }
  if (request.fetchLimit && result.size() > request.fetchLimit) result.resize(request.fetchLimit);
  return result;
}

void ObjectContext::deleteObject(const ManagedObjectPtr& object) {
  if (!object || object->deleted_ || object->context_.lock().get() != this) return;
  checkQueue("deleteObject");
  object->deleted_ = true;
  const auto& entity = object->entity();
  // What the object owns goes with it.
  for (std::size_t i = 0; i < entity.toManyRelationships().size(); ++i) {
    for (auto& child : object->toMany(entity.toManyRelationships()[i].name)) deleteObject(child);
  }
  // Its owners no longer list it.
  for (std::size_t i = 0; i < entity.toOneRelationships().size(); ++i) {
    if (!object->toOne_[i]) continue;
    if (auto owner = registered(*object->toOne_[i])) {
      const auto inverse = entity.toOneRelationships()[i].inverseIndex;
      if (owner->toMany_[inverse]) owner->toMany_[inverse]->erase(object->id_.number());
      if (!owner->deleted_) owner->markToManyChanged(inverse);
    }
  }
  if (object->inserted_) {
    // Never saved: it simply leaves the context.
    object->inserted_ = false;
    erasePending(object->id_.number());
    registry_.erase(object->id_.number());
    object->context_.reset();
  } else {
    addPending(object);
  }
}

std::vector<ManagedObjectPtr> ObjectContext::pendingSorted() const {
  std::vector<ManagedObjectPtr> out;
  out.reserve(pending_.size());
  for (const auto& [n, o] : pending_) out.push_back(o);
  std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a->id_.number() < b->id_.number(); });
  return out;
}

namespace {

bool isInsertedChange(const ManagedObject& o) { return o.isInserted() && !o.isDeleted(); }
bool isDeletedChange(const ManagedObject& o) { return o.isDeleted() && !o.isInserted(); }

}  // namespace

std::vector<ManagedObjectPtr> ObjectContext::insertedObjects() const {
  std::vector<ManagedObjectPtr> out;
  for (auto& o : pendingSorted())
    if (isInsertedChange(*o)) out.push_back(o);
  return out;
}

std::vector<ManagedObjectPtr> ObjectContext::updatedObjects() const {
  std::vector<ManagedObjectPtr> out;
  for (auto& o : pendingSorted())
    if (o->isUpdated()) out.push_back(o);
  return out;
}

std::vector<ManagedObjectPtr> ObjectContext::deletedObjects() const {
  std::vector<ManagedObjectPtr> out;
  for (auto& o : pendingSorted())
    if (isDeletedChange(*o)) out.push_back(o);
  return out;
}

ObjectSnapshot ObjectContext::snapshotOf(const ManagedObject& object, SnapshotPart part) const {
  ObjectSnapshot s;
  s.objectID = object.id_;
  if (part == SnapshotPart::Identifier) return s;
  const auto& entity = object.entity();
  s.toOne.resize(object.toOne_.size());
  for (std::size_t i = 0; i < object.toOne_.size(); ++i)
    if (object.toOne_[i])
      s.toOne[i] = object.id_.sibling(model()->entityAt(entity.toOneRelationships()[i].destinationIndex), *object.toOne_[i]);
  if (part == SnapshotPart::Relationships) return s;
  s.values.resize(object.values_.size());
  for (std::size_t i = 0; i < object.values_.size(); ++i)
    if (object.loaded_[i]) s.values[i] = object.values_[i];
  s.changedKeys = object.changedKeys();
  return s;
}

Dictionary ObjectContext::postSaveNotification(const char* name, const std::shared_ptr<ContextSave>& save,
                                               const ContextSave* earlier, Dictionary earlierIds) {
  // A save's two notifications mostly list the same objects: the lists of text forms made for the
  // first serve the second, rather than making thousands of strings again.
  auto idStrings = [&](const char* key, const std::vector<ManagedObjectPtr>& objects,
                       const std::vector<ManagedObjectPtr>* before) {
    if (before && *before == objects)
      if (auto it = earlierIds.find(key); it != earlierIds.end()) return std::move(it->second);
    Array out;
    out.reserve(objects.size());
    for (const auto& o : objects) out.emplace_back(o->objectID().stringRepresentation());
    return Value(std::move(out));
  };
  Notification notification{name, this, {}};
  auto& info = notification.userInfo;
  info[ContextSave::kInsertedKey] =
      idStrings(ContextSave::kInsertedKey, save->insertedObjects, earlier ? &earlier->insertedObjects : nullptr);
  info[ContextSave::kUpdatedKey] =
      idStrings(ContextSave::kUpdatedKey, save->updatedObjects, earlier ? &earlier->updatedObjects : nullptr);
  info[ContextSave::kDeletedKey] =
      idStrings(ContextSave::kDeletedKey, save->deletedObjects, earlier ? &earlier->deletedObjects : nullptr);
  info[ContextSave::kChangesKey] = Value::object(std::shared_ptr<const ContextSave>(save));
  NotificationCenter::defaultCenter().post(notification);
  info.erase(ContextSave::kChangesKey);
  return std::move(info);
}

bool ObjectContext::save(Error* error) {
  checkQueue("save");
  if (pending_.empty()) return true;
  auto before = std::make_shared<ContextSave>();
  Dictionary beforeIds;
  auto objects = pendingSorted();
  const std::uint64_t listed = pendingVersion_;
  {
    before->context = this;
    // One sorted pass, the same lists as insertedObjects(), updatedObjects() and deletedObjects().
    for (const auto& o : objects) {
      if (isInsertedChange(*o)) before->insertedObjects.push_back(o);
      else if (o->isUpdated()) before->updatedObjects.push_back(o);
      else if (isDeletedChange(*o)) before->deletedObjects.push_back(o);
    }
    beforeIds = postSaveNotification(kWillSaveNotification, before, nullptr, {});
  }
  if (pending_.empty()) return true;  // the observers undid every change
  // The observers may have changed which objects are pending; sorting thousands again is
  // needed only then.
  if (pendingVersion_ != listed) objects = pendingSorted();
  SaveBatch batch;
  auto changes = std::make_shared<SavedChanges>();
  auto after = std::make_shared<ContextSave>();
  after->context = this;
  // The lists as the will-save notification counted them: exact unless its observers changed things.
  batch.inserts.reserve(before->insertedObjects.size());
  changes->inserted.reserve(before->insertedObjects.size());
  after->insertedObjects.reserve(before->insertedObjects.size());
  batch.deletes.reserve(before->deletedObjects.size());
  changes->deleted.reserve(before->deletedObjects.size());
  after->deletedObjects.reserve(before->deletedObjects.size());
  for (const auto& o : objects) {
    const auto& entity = o->entity();
    if (o->inserted_) {
      batch.inserts.push_back({&entity, o->id_.number(), &o->values_, &o->toOne_, nullptr, nullptr});
      changes->inserted.push_back(snapshotOf(*o, SnapshotPart::Relationships));
      after->insertedObjects.push_back(o);
    } else if (o->deleted_) {
      batch.deletes.emplace_back(&entity, o->id_.number());
      changes->deleted.push_back(snapshotOf(*o, SnapshotPart::Identifier));
      after->deletedObjects.push_back(o);
    } else {
      batch.updates.push_back(
          {&entity, o->id_.number(), &o->values_, &o->toOne_, &o->changedAttributes_, &o->changedToOne_});
      changes->updated.push_back(snapshotOf(*o, SnapshotPart::Everything));
      after->updatedObjects.push_back(o);
    }
  }
  if (!coordinator_->save(batch, error)) {
    if (error) QVLogError("Could not save the object context: %s", error->text().c_str());
    return false;
  }
  for (const auto& o : objects) {
    if (o->deleted_) {
      registry_.erase(o->id_.number());
      continue;
    }
    o->inserted_ = false;
    o->committed_ = o->values_;
    o->committedKnown_ = o->loaded_;
    o->committedToOne_ = o->toOne_;
    o->changedAttributes_.fill(false);
    o->changedToOne_.fill(false);
    o->changedToMany_.fill(false);
  }
  clearPending();
  after->saved = changes;
  postSaveNotification(kDidSaveNotification, after, before.get(), std::move(beforeIds));
  before.reset();
  return true;
}

void ObjectContext::rollback() {
  checkQueue("rollback");
  for (const auto& o : pendingSorted()) {
    if (o->inserted_) {
      o->inserted_ = false;
      o->deleted_ = true;
      registry_.erase(o->id_.number());
      o->context_.reset();
      continue;
    }
    o->deleted_ = false;
    for (std::size_t i = 0; i < o->values_.size(); ++i) {
      if (!o->changedAttributes_[i]) continue;
      o->values_[i] = o->committed_[i];
      o->loaded_[i] = o->committedKnown_[i];
    }
    o->toOne_ = o->committedToOne_;
    o->changedAttributes_.fill(false);
    o->changedToOne_.fill(false);
    o->changedToMany_.fill(false);
  }
  clearPending();
  // Relationship lists may hold undone members: read them again when next asked.
  for (auto& [number, weak] : registry_)
    if (auto o = weak.lock()) std::fill(o->toMany_.begin(), o->toMany_.end(), std::nullopt);
}

void ObjectContext::mergeChangesFromSave(const SavedChanges& changes) {
  checkQueue("mergeChangesFromSave");
  auto removeFromOwners = [&](std::int64_t number, const EntityDescription& entity,
                              const std::vector<std::optional<std::int64_t>>& owners) {
    for (std::size_t i = 0; i < owners.size() && i < entity.toOneRelationships().size(); ++i) {
      if (!owners[i]) continue;
      if (auto owner = registered(*owners[i])) {
        auto& set = owner->toMany_[entity.toOneRelationships()[i].inverseIndex];
        if (set) set->erase(number);
      }
    }
  };
  for (const auto& s : changes.deleted) {
    auto o = registered(s.objectID.number());
    if (!o) continue;
    removeFromOwners(o->id_.number(), o->entity(), o->toOne_);
    o->deleted_ = true;
    o->inserted_ = false;
    erasePending(o->id_.number());
    registry_.erase(o->id_.number());
  }
  for (const auto& s : changes.inserted) {
    const auto& entity = *s.objectID.entity();
    for (std::size_t i = 0; i < s.toOne.size() && i < entity.toOneRelationships().size(); ++i) {
      if (!s.toOne[i]) continue;
      if (auto owner = registered(s.toOne[i]->number())) {
        auto& set = owner->toMany_[entity.toOneRelationships()[i].inverseIndex];
        if (set) set->insert(s.objectID.number());
      }
    }
  }
  for (const auto& s : changes.updated) {
    const auto& entity = *s.objectID.entity();
    const auto number = s.objectID.number();
    auto o = registered(number);
    std::vector<std::string> applied;
    for (const auto& key : s.changedKeys) {
      const auto p = entity.property(key);
      if (!p) continue;
      if (p->kind == PropertyKind::Attribute) {
        if (!o) continue;
        const auto i = p->index;
        if (i < s.values.size() && s.values[i]) {
          o->committed_[i] = *s.values[i];
          o->committedKnown_[i] = true;
          if (!o->changedAttributes_[i]) {
            o->values_[i] = *s.values[i];
            o->loaded_[i] = true;
          } else {
            o->changedAttributes_[i] = !attributeValuesEqual(o->values_[i], o->committed_[i]);
          }
        } else if (!o->changedAttributes_[i]) {
          o->loaded_[i] = false;  // read again on next use
          o->committedKnown_[i] = false;
        }
        applied.push_back(key);
      } else if (p->kind == PropertyKind::ToOne) {
        const auto i = p->index;
        const auto& r = entity.toOneRelationships()[i];
        const std::optional<std::int64_t> next =
            i < s.toOne.size() && s.toOne[i] ? std::optional(s.toOne[i]->number()) : std::nullopt;
        if (o && o->changedToOne_[i]) {
          o->committedToOne_[i] = next;
          continue;
        }
        // Move the object between the owners' lists this context has read.
        for (auto& [n, weak] : registry_) {
          auto owner = weak.lock();
          if (!owner || owner->id_.entity()->index() != r.destinationIndex) continue;
          auto& set = owner->toMany_[r.inverseIndex];
          if (!set) continue;
          if (next && n == *next) set->insert(number);
          else set->erase(number);
        }
        if (o) {
          o->toOne_[i] = next;
          o->committedToOne_[i] = next;
          applied.push_back(key);
        }
      }
    }
    if (o) {
      objectChanged(*o);
      for (const auto& key : applied) o->notifyKey(key);
    }
  }
}

}  // namespace qv
