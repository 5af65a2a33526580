// The recent-scan list of the main screen: which stored scans it offers, under which names, and
// how many tiles fit.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "store/ObjectContext.h"
#include "store/ObjectID.h"

namespace qv::screens {

// One tile (`QVLMainViewControllerMruItem`).
struct MruItem {
  std::string filename;
  // The file the scan came from or was last saved to: two scans of one name tell apart by it.
  std::string sourceFilePath;
  qv::ObjectID objectId;
  // The scan's thumbnail; nothing means the "TileBackground" image.
  std::optional<std::filesystem::path> thumbnail;
};

// A tile slot is this wide; the row never holds more tiles than fit.
constexpr double kTileSlotWidth = 150.0;

// The file name of a scan's source without its extension, or "Scan" when that is empty.
std::string scanDisplayName(const std::string& sourceFilePath);
// How many of `count` items show in a row `width` points wide; nothing when not even one fits
// (the shown tiles are then left as they are).
std::optional<std::size_t> visibleTileCount(double width, std::size_t count);

// Reads the library's scans newest-opened first, skipping those without a source file or without
// vertices (counted from the stored length, never by loading the vertex data). Runs on the
// context's queue. `isValidImage` decides whether an existing thumbnail file can be shown.
std::vector<MruItem> buildMruItems(qv::ObjectContext& context,
                                   const std::function<bool(const std::filesystem::path&)>& isValidImage);

// Titles of the recent-scans menu: the source paths of at most five scans, newest first. Runs on
// the context's queue.
std::vector<std::string> recentScanMenuTitles(qv::ObjectContext& context);
constexpr std::size_t kRecentMenuLimit = 5;

}  // namespace qv::screens
