// The update feed: an RSS "appcast" whose items each offer one version of the program.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Error.h"

// One offered version. The version string is the build number ("305") the chooser compares; the
// display version is what users read ("1.3", "1.4b" for a beta).
struct QVLAppcastItem {
  std::string title;
  std::string versionString;
  std::string displayVersionString;
  std::string fileURL;
  std::string releaseNotesURL;
};

namespace QVLAppcast {

// The items of an appcast, in feed order. Each item's versions come from its enclosure's
// "sparkle:version" and "sparkle:shortVersionString" attributes, or from elements of those names
// in the item. Nothing (and `error`, code 130 of the application's domain) when the text is not
// an RSS document.
std::optional<std::vector<QVLAppcastItem>> parse(std::string_view xml, qv::Error* error = nullptr);

// The integer value of a version string: its leading decimal integer after white space and an
// optional sign, 0 when there is none (and clamped to the 64-bit range).
std::int64_t integerValue(std::string_view text);

// The item to offer: items whose display version ends in "b" are skipped; of the others the one
// with the largest integer version wins, the earlier one on a tie; a value of 0 or less never
// wins. Its index, or nothing when no item qualifies.
std::optional<std::size_t> bestValidUpdate(const std::vector<QVLAppcastItem>& items);

}  // namespace QVLAppcast
