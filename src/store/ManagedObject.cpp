// Stored objects: typed access to attributes, relationships kept in step with their inverses.
#include "store/ManagedObject.h"

#include <algorithm>
#include <cmath>

#include "platform/Format.h"
#include "platform/Log.h"
#include "store/ObjectContext.h"

namespace qv {

namespace {

// Converts a value to the attribute's kind; nothing when it cannot be.
std::optional<AttributeValue> coerce(AttributeValue value, AttributeType type) {
  if (isUnset(value)) return value;
  switch (type) {
    case AttributeType::Integer:
      if (auto* d = std::get_if<double>(&value)) {
        if (!std::isfinite(*d)) return std::nullopt;
        return AttributeValue(static_cast<std::int64_t>(*d));
      }
      if (std::holds_alternative<std::int64_t>(value)) return value;
      return std::nullopt;
    case AttributeType::Double:
      if (auto* i = std::get_if<std::int64_t>(&value)) return AttributeValue(static_cast<double>(*i));
      if (std::holds_alternative<double>(value)) return value;
      return std::nullopt;
    case AttributeType::String:
      if (std::holds_alternative<std::string>(value)) return value;
      return std::nullopt;
    case AttributeType::Date:
      if (std::holds_alternative<Date>(value)) return value;
      return std::nullopt;
    case AttributeType::Data:
      if (auto* d = std::get_if<SharedData>(&value)) {
        if (!*d) return AttributeValue();
        return value;
      }
      return std::nullopt;
    case AttributeType::Object:
      if (auto* v = std::get_if<Value>(&value)) {
        if (v->isNull()) return AttributeValue();
        return value;
      }
      return std::nullopt;
  }
  return std::nullopt;
}

const AttributeValue kUnset;

}  // namespace

bool ManagedObject::isUpdated() const {
  if (inserted_ || deleted_) return false;
  return changedAttributes_.any() || changedToOne_.any() || changedToMany_.any();
}

std::vector<std::string> ManagedObject::changedKeys() const {
  std::vector<std::string> keys;
  if (!id_.entity()) return keys;
  const auto& e = entity();
  // Taken for every object of every save: counted first so that the list is allocated once.
  keys.reserve(changedAttributes_.count() + changedToOne_.count() + changedToMany_.count());
  for (std::size_t i = 0; i < changedAttributes_.size(); ++i)
    if (changedAttributes_[i]) keys.push_back(e.attributes()[i].name);
  for (std::size_t i = 0; i < changedToOne_.size(); ++i)
    if (changedToOne_[i]) keys.push_back(e.toOneRelationships()[i].name);
  for (std::size_t i = 0; i < changedToMany_.size(); ++i)
    if (changedToMany_[i]) keys.push_back(e.toManyRelationships()[i].name);
  return keys;
}

bool ManagedObject::hasChangedKey(const std::string& key) const {
  if (!id_.entity()) return false;
  auto p = entity().property(key);
  if (!p) return false;
  switch (p->kind) {
    case PropertyKind::Attribute: return changedAttributes_[p->index];
    case PropertyKind::ToOne: return changedToOne_[p->index];
    case PropertyKind::ToMany: return changedToMany_[p->index];
  }
  return false;
}

const AttributeValue& ManagedObject::attributeAt(std::size_t index) const {
  if (index >= values_.size()) return kUnset;
  if (!loaded_[index]) {
    if (auto ctx = context_.lock()) ctx->loadAttribute(*this, index);
    if (!loaded_[index]) return kUnset;
  }
  return values_[index];
}

void ManagedObject::setAttributeAt(std::size_t index, AttributeValue value) {
  auto ctx = context_.lock();
  if (!ctx || index >= values_.size()) return;
  ctx->checkQueue("setValue");
  const auto& a = entity().attributes()[index];
  auto converted = coerce(std::move(value), a.type);
  if (!converted) {
    QVLogError("Refused a value of the wrong kind for %s.%s", entity().name().c_str(), a.name.c_str());
    return;
  }
  values_[index] = std::move(*converted);
  loaded_[index] = true;
  changedAttributes_[index] = !(committedKnown_[index] && attributeValuesEqual(values_[index], committed_[index]));
  if (changedAttributes_[index]) ctx->objectHasChanges(*this);
  else ctx->objectChanged(*this);
  notifyKey(a.name);
}

void ManagedObject::setNewObjectAttributeAt(std::size_t index, AttributeValue value) {
  if (!inserted_ || deleted_ || index >= values_.size()) {
    setAttributeAt(index, std::move(value));
    return;
  }
  values_[index] = std::move(value);
  loaded_[index] = true;
  // A new object's saved value is unset; it is pending from its insertion on.
  changedAttributes_[index] = !isUnset(values_[index]);
  notifyKey(entity().attributes()[index].name);
}

AttributeValue ManagedObject::value(const std::string& key) const {
  return attributeAt(entity().attributeIndex(key));
}

void ManagedObject::setValue(const std::string& key, AttributeValue value) {
  setAttributeAt(entity().attributeIndex(key), std::move(value));
}

std::optional<double> ManagedObject::doubleValue(const std::string& key) const {
  const auto& v = attributeAt(entity().attributeIndex(key));
  if (auto* d = std::get_if<double>(&v)) return *d;
  if (auto* i = std::get_if<std::int64_t>(&v)) return static_cast<double>(*i);
  return std::nullopt;
}

std::optional<std::int64_t> ManagedObject::integerValue(const std::string& key) const {
  const auto& v = attributeAt(entity().attributeIndex(key));
  if (auto* i = std::get_if<std::int64_t>(&v)) return *i;
  if (auto* d = std::get_if<double>(&v); d && std::isfinite(*d)) return static_cast<std::int64_t>(*d);
  return std::nullopt;
}

std::optional<std::string> ManagedObject::stringValue(const std::string& key) const {
  const auto& v = attributeAt(entity().attributeIndex(key));
  if (auto* s = std::get_if<std::string>(&v)) return *s;
  return std::nullopt;
}

std::optional<Date> ManagedObject::dateValue(const std::string& key) const {
  const auto& v = attributeAt(entity().attributeIndex(key));
  if (auto* d = std::get_if<Date>(&v)) return *d;
  return std::nullopt;
}

SharedData ManagedObject::dataValue(const std::string& key) const {
  const auto& v = attributeAt(entity().attributeIndex(key));
  if (auto* d = std::get_if<SharedData>(&v)) return *d;
  return nullptr;
}

std::optional<Value> ManagedObject::objectValue(const std::string& key) const {
  const auto& v = attributeAt(entity().attributeIndex(key));
  if (auto* o = std::get_if<Value>(&v)) return *o;
  return std::nullopt;
}

std::optional<std::size_t> ManagedObject::dataLength(const std::string& key) const {
  const std::size_t index = entity().attributeIndex(key);
  if (!loaded_[index]) {
    if (auto ctx = context_.lock()) return ctx->storedDataLength(*this, index);
    return std::nullopt;
  }
  if (auto* d = std::get_if<SharedData>(&values_[index]); d && *d) return (*d)->size();
  return std::nullopt;
}

std::shared_ptr<ManagedObject> ManagedObject::toOneAt(std::size_t index) const {
  const auto& target = toOne_.at(index);
  if (!target) return nullptr;
  auto ctx = context_.lock();
  if (!ctx) return nullptr;
  const auto& r = entity().toOneRelationships()[index];
  return ctx->objectWithNumber(ctx->model()->entityAt(r.destinationIndex), *target);
}

std::shared_ptr<ManagedObject> ManagedObject::toOne(const std::string& key) const {
  return toOneAt(entity().toOneIndex(key));
}

std::optional<ObjectID> ManagedObject::toOneID(const std::string& key) const {
  const std::size_t index = entity().toOneIndex(key);
  if (!toOne_[index]) return std::nullopt;
  const auto& r = entity().toOneRelationships()[index];
  auto ctx = context_.lock();
  if (!ctx) return std::nullopt;
  return id_.sibling(ctx->model()->entityAt(r.destinationIndex), *toOne_[index]);
}

void ManagedObject::setToOneAt(std::size_t index, const std::shared_ptr<ManagedObject>& target) {
  auto ctx = context_.lock();
  if (!ctx) return;
  ctx->checkQueue("setToOne");
  const auto& r = entity().toOneRelationships()[index];
  if (target) {
    if (target->context_.lock() != ctx) {
      QVLogError("Refused to relate a %s to an object of another context", entity().name().c_str());
      return;
    }
    if (target->id_.entity()->index() != r.destinationIndex) {
      QVLogError("Refused to set %s.%s to a %s", entity().name().c_str(), r.name.c_str(), target->entity().name().c_str());
      return;
    }
  }
  const std::optional<std::int64_t> next = target ? std::optional(target->id_.number()) : std::nullopt;
  if (toOne_[index] == next) return;
  if (toOne_[index]) {
    if (auto old = ctx->registered(*toOne_[index])) {
      if (old->toMany_[r.inverseIndex]) old->toMany_[r.inverseIndex]->erase(id_.number());
      old->markToManyChanged(r.inverseIndex);
    }
  }
  if (target) {
    if (target->toMany_[r.inverseIndex]) target->toMany_[r.inverseIndex]->insert(id_.number());
    target->markToManyChanged(r.inverseIndex);
  }
  toOne_[index] = next;
  changedToOne_[index] = committedToOne_[index] != next;
  if (changedToOne_[index]) ctx->objectHasChanges(*this);
  else ctx->objectChanged(*this);
  notifyKey(r.name);
}

void ManagedObject::setToOne(const std::string& key, const std::shared_ptr<ManagedObject>& target) {
  setToOneAt(entity().toOneIndex(key), target);
}

const std::set<std::int64_t>& ManagedObject::toManyAt(std::size_t index) const {
  auto& slot = toMany_.at(index);
  if (!slot) {
    auto ctx = context_.lock();
    if (!ctx) {
      slot = std::set<std::int64_t>();
    } else if (auto loaded = ctx->loadToMany(*this, index)) {
      slot = std::move(*loaded);
    } else {
      // A failed read is not kept: the next access asks the store again.
      static const std::set<std::int64_t> kNone;
      return kNone;
    }
  }
  return *slot;
}

std::vector<std::shared_ptr<ManagedObject>> ManagedObject::toMany(const std::string& key) const {
  const std::size_t index = entity().toManyIndex(key);
  std::vector<std::shared_ptr<ManagedObject>> out;
  auto ctx = context_.lock();
  if (!ctx) return out;
  const auto numbers = toManyAt(index);  // a copy: materialising may not disturb the walk
  const auto& dest = ctx->model()->entityAt(entity().toManyRelationships()[index].destinationIndex);
  out.reserve(numbers.size());
  for (auto n : numbers)
    if (auto o = ctx->objectWithNumber(dest, n)) out.push_back(std::move(o));
  return out;
}

std::vector<ObjectID> ManagedObject::toManyIDs(const std::string& key) const {
  const std::size_t index = entity().toManyIndex(key);
  std::vector<ObjectID> out;
  auto ctx = context_.lock();
  if (!ctx) return out;
  const auto& dest = ctx->model()->entityAt(entity().toManyRelationships()[index].destinationIndex);
  for (auto n : toManyAt(index)) out.push_back(id_.sibling(dest, n));
  return out;
}

std::size_t ManagedObject::toManyCount(const std::string& key) const {
  return toManyAt(entity().toManyIndex(key)).size();
}

void ManagedObject::markToManyChanged(std::size_t index) {
  changedToMany_[index] = true;
  if (auto ctx = context_.lock()) ctx->objectHasChanges(*this);
  notifyKey(entity().toManyRelationships()[index].name);
}

std::uint64_t ManagedObject::addKeyObserver(KeyObserver observer) {
  const auto token = nextObserver_++;
  observers_.emplace_back(token, std::move(observer));
  return token;
}

void ManagedObject::removeKeyObserver(std::uint64_t token) {
  std::erase_if(observers_, [&](const auto& o) { return o.first == token; });
}

void ManagedObject::didChangeValueForKey(const std::string& key) { notifyKey(key); }

void ManagedObject::notifyKey(const std::string& key) {
  if (observers_.empty()) return;
  const auto observers = observers_;  // an observer may remove itself
  for (const auto& [token, observer] : observers) observer(*this, key);
}

std::string ManagedObject::description() const {
  return format("<%s %s%s%s>", id_.entity() ? entity().name().c_str() : "?", id_.stringRepresentation().c_str(),
                inserted_ ? " inserted" : "", deleted_ ? " deleted" : (isUpdated() ? " updated" : ""));
}

}  // namespace qv
