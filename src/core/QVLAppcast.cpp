// Reading the appcast and choosing the version to offer.
#include "core/QVLAppcast.h"

#include <pugixml.hpp>

#include <cctype>
#include <limits>

namespace QVLAppcast {

namespace {

// Text of an attribute or of a child element, whichever the item carries.
std::string itemValue(const pugi::xml_node& item, const pugi::xml_node& enclosure, const char* name) {
  if (enclosure) {
    if (auto attribute = enclosure.attribute(name)) return attribute.value();
  }
  return item.child(name).text().get();
}

}  // namespace

std::optional<std::vector<QVLAppcastItem>> parse(std::string_view xml, qv::Error* error) {
  pugi::xml_document document;
  const auto result = document.load_buffer(xml.data(), xml.size());
  const pugi::xml_node channel = document.child("rss").child("channel");
  if (!result || !channel) {
    if (error) {
      *error = qv::Error(qv::kScanErrorDomain, 130,
                         result ? "The update feed is not an appcast" : std::string("The update feed is not XML: ") + result.description());
    }
    return std::nullopt;
  }
  std::vector<QVLAppcastItem> items;
  for (const pugi::xml_node& node : channel.children("item")) {
    const pugi::xml_node enclosure = node.child("enclosure");
    QVLAppcastItem item;
    item.title = node.child("title").text().get();
    item.versionString = itemValue(node, enclosure, "sparkle:version");
    item.displayVersionString = itemValue(node, enclosure, "sparkle:shortVersionString");
    if (item.displayVersionString.empty()) item.displayVersionString = item.versionString;
    if (enclosure) item.fileURL = enclosure.attribute("url").value();
    item.releaseNotesURL = node.child("sparkle:releaseNotesLink").text().get();
    items.push_back(std::move(item));
  }
  return items;
}

std::int64_t integerValue(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  std::int64_t value = 0;
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
    const int digit = text[i] - '0';
    if (value > (kMax - digit) / 10) return negative ? std::numeric_limits<std::int64_t>::min() : kMax;
    value = value * 10 + digit;
  }
  return negative ? -value : value;
}

std::optional<std::size_t> bestValidUpdate(const std::vector<QVLAppcastItem>& items) {
  std::optional<std::size_t> best;
  std::int64_t bestValue = 0;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (items[i].displayVersionString.ends_with("b")) continue;  // a beta
    const std::int64_t value = integerValue(items[i].versionString);
    if (value > bestValue) {
      best = i;
      bestValue = value;
    }
  }
  return best;
}

}  // namespace QVLAppcast
