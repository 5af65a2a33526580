// Building entity descriptions and tying each relationship to its inverse.
#include "store/ObjectModel.h"

#include <stdexcept>

#include "platform/Format.h"
#include "store/ManagedObject.h"

namespace qv {

EntityDescription::EntityDescription(std::string name, std::vector<AttributeDescription> attributes,
                                     std::vector<ToOneDescription> toOne,
                                     std::vector<ToManyDescription> toMany, Factory factory)
    : name_(std::move(name)), attributes_(std::move(attributes)), toOne_(std::move(toOne)),
      toMany_(std::move(toMany)), factory_(std::move(factory)) {
  auto add = [this](const std::string& n, PropertyKind kind, std::size_t i) {
    if (n.empty() || n == "id" || !byName_.emplace(n, PropertyRef{kind, i}).second)
      throw std::invalid_argument("Entity " + name_ + ": property name \"" + n + "\" is empty, reserved or used twice");
  };
  for (std::size_t i = 0; i < attributes_.size(); ++i) add(attributes_[i].name, PropertyKind::Attribute, i);
  for (std::size_t i = 0; i < toOne_.size(); ++i) add(toOne_[i].name, PropertyKind::ToOne, i);
  for (std::size_t i = 0; i < toMany_.size(); ++i) add(toMany_[i].name, PropertyKind::ToMany, i);
}

std::optional<PropertyRef> EntityDescription::property(const std::string& name) const {
  auto it = byName_.find(name);
  if (it == byName_.end()) return std::nullopt;
  return it->second;
}

namespace {
std::size_t indexOf(const EntityDescription& e, const std::string& name, PropertyKind kind) {
  auto p = e.property(name);
  if (!p || p->kind != kind) throw std::out_of_range("Entity " + e.name() + " has no such property: " + name);
  return p->index;
}
}  // namespace

std::size_t EntityDescription::attributeIndex(const std::string& name) const {
  return indexOf(*this, name, PropertyKind::Attribute);
}
std::size_t EntityDescription::toOneIndex(const std::string& name) const {
  return indexOf(*this, name, PropertyKind::ToOne);
}
std::size_t EntityDescription::toManyIndex(const std::string& name) const {
  return indexOf(*this, name, PropertyKind::ToMany);
}

const std::string& EntityDescription::propertyName(PropertyRef ref) const {
  switch (ref.kind) {
    case PropertyKind::Attribute: return attributes_.at(ref.index).name;
    case PropertyKind::ToOne: return toOne_.at(ref.index).name;
    case PropertyKind::ToMany: return toMany_.at(ref.index).name;
  }
  return name_;
}

std::shared_ptr<ManagedObject> EntityDescription::makeObject() const {
  if (factory_) return factory_();
  return std::make_shared<ManagedObject>();
}

ObjectModel::ObjectModel(std::vector<EntityDescription> entities) {
  std::vector<std::shared_ptr<EntityDescription>> owned;
  for (auto& e : entities) owned.push_back(std::make_shared<EntityDescription>(std::move(e)));
  auto find = [&](const std::string& name) -> std::size_t {
    for (std::size_t i = 0; i < owned.size(); ++i)
      if (owned[i]->name_ == name) return i;
    throw std::invalid_argument("Unknown entity in a relationship: " + name);
  };
  for (std::size_t i = 0; i < owned.size(); ++i) {
    owned[i]->index_ = i;
    for (std::size_t j = 0; j < i; ++j)
      if (owned[j]->name_ == owned[i]->name_) throw std::invalid_argument("Entity named twice: " + owned[i]->name_);
  }
  for (auto& e : owned) {
    for (auto& r : e->toOne_) {
      r.destinationIndex = find(r.destination);
      const auto& dest = *owned[r.destinationIndex];
      auto inv = dest.property(r.inverse);
      if (!inv || inv->kind != PropertyKind::ToMany || dest.toMany_[inv->index].inverse != r.name ||
          dest.toMany_[inv->index].destination != e->name_)
        throw std::invalid_argument("Relationship " + e->name_ + "." + r.name + " has no matching inverse");
      r.inverseIndex = inv->index;
    }
    for (auto& r : e->toMany_) {
      r.destinationIndex = find(r.destination);
      const auto& dest = *owned[r.destinationIndex];
      auto inv = dest.property(r.inverse);
      if (!inv || inv->kind != PropertyKind::ToOne || dest.toOne_[inv->index].inverse != r.name ||
          dest.toOne_[inv->index].destination != e->name_)
        throw std::invalid_argument("Relationship " + e->name_ + "." + r.name + " has no matching inverse");
      r.inverseIndex = inv->index;
    }
  }
  // FNV-1a over a canonical text of the whole model.
  std::string text;
  for (const auto& e : owned) {
    text += "E:" + e->name_ + ";";
    for (const auto& a : e->attributes_) text += "A:" + a.name + "=" + std::to_string(static_cast<int>(a.type)) + ";";
    for (const auto& r : e->toOne_) text += "O:" + r.name + ">" + r.destination + "/" + r.inverse + ";";
    for (const auto& r : e->toMany_) text += "M:" + r.name + ">" + r.destination + "/" + r.inverse + ";";
  }
  std::uint64_t h = 1469598103934665603ull;
  for (unsigned char c : text) {
    h ^= c;
    h *= 1099511628211ull;
  }
  versionHash_ = format("%016llx", static_cast<unsigned long long>(h));
  for (auto& e : owned) entities_.push_back(std::move(e));
}

EntityPtr ObjectModel::entity(const std::string& name) const {
  for (const auto& e : entities_)
    if (e->name() == name) return e;
  return nullptr;
}

}  // namespace qv
