// Object identifiers and their text form.
#include "store/ObjectID.h"

#include <charconv>

namespace qv {

namespace {
const std::string kEmpty;
constexpr std::string_view kScheme = "quorvel-store://";
}  // namespace

const std::string& ObjectID::storeIdentifier() const { return store_ ? *store_ : kEmpty; }
const std::string& ObjectID::entityName() const { return entity_ ? entity_->name() : kEmpty; }

std::string ObjectID::stringRepresentation() const {
  if (isNull()) return {};
  // Made for every object of every save's notifications: one allocation, no temporaries.
  const std::string& store = storeIdentifier();
  const std::string& entity = entityName();
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, number_).ptr;
  std::string text;
  text.reserve(kScheme.size() + store.size() + entity.size() + 3 + static_cast<std::size_t>(end - digits));
  text.append(kScheme).append(store).append(1, '/').append(entity).append("/p").append(digits, end);
  return text;
}

std::optional<ObjectID::Parts> ObjectID::parse(const std::string& text) {
  if (text.compare(0, kScheme.size(), kScheme) != 0) return std::nullopt;
  const std::string rest = text.substr(kScheme.size());
  const auto slash1 = rest.find('/');
  if (slash1 == std::string::npos || slash1 == 0) return std::nullopt;
  const auto slash2 = rest.find('/', slash1 + 1);
  if (slash2 == std::string::npos || slash2 == slash1 + 1) return std::nullopt;
  if (slash2 + 2 > rest.size() || rest[slash2 + 1] != 'p') return std::nullopt;
  Parts parts;
  parts.storeIdentifier = rest.substr(0, slash1);
  parts.entityName = rest.substr(slash1 + 1, slash2 - slash1 - 1);
  const char* first = rest.data() + slash2 + 2;
  const char* last = rest.data() + rest.size();
  auto [ptr, ec] = std::from_chars(first, last, parts.number);
  if (ec != std::errc() || ptr != last || parts.number <= 0) return std::nullopt;
  return parts;
}

bool operator==(const ObjectID& a, const ObjectID& b) {
  if (a.number_ != b.number_) return false;
  if (a.isNull() || b.isNull()) return a.isNull() && b.isNull();
  if (a.entity_ != b.entity_ && a.entity_->name() != b.entity_->name()) return false;
  return a.store_ == b.store_ || a.storeIdentifier() == b.storeIdentifier();
}

}  // namespace qv
