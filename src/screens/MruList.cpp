// The recent-scan list of the main screen.
#include "screens/MruList.h"

#include <cmath>
#include <system_error>

#include "store/QVSDLibrary.h"
#include "store/QVSDScanObject.h"

namespace qv::screens {

std::string scanDisplayName(const std::string& sourceFilePath) {
  // Everything before the last dot of the file name, so "/scans/.qvk" leaves no name at all.
  std::string name = std::filesystem::path(sourceFilePath).filename().string();
  if (auto dot = name.rfind('.'); dot != std::string::npos) name.erase(dot);
  return name.empty() ? std::string("Scan") : name;
}

std::optional<std::size_t> visibleTileCount(double width, std::size_t count) {
  if (!(width >= kTileSlotWidth)) return std::nullopt;
  const double fit = std::floor(width / kTileSlotWidth);
  return std::min<std::size_t>(static_cast<std::size_t>(fit), count);
}

std::vector<MruItem> buildMruItems(qv::ObjectContext& context,
                                   const std::function<bool(const std::filesystem::path&)>& isValidImage) {
  std::vector<MruItem> items;
  auto library = QVSDLibrary::defaultLibraryInContext(context);
  for (const auto& scan : QVSDScanObject::scanObjectsSortedByLastOpenedDateInLibrary(library)) {
    const std::string source = scan->sourceFilePath().value_or("");
    if (source.empty() || scan->numberOfVertices() == 0) continue;
    MruItem item;
    item.filename = scanDisplayName(source);
    item.sourceFilePath = source;
    item.objectId = scan->objectID();
    const std::string snapshot = scan->snapshotFilePath().value_or("");
    std::error_code ec;
    if (!snapshot.empty() && std::filesystem::is_regular_file(snapshot, ec) && (!isValidImage || isValidImage(snapshot)))
      item.thumbnail = std::filesystem::path(snapshot);
    items.push_back(std::move(item));
  }
  return items;
}

std::vector<std::string> recentScanMenuTitles(qv::ObjectContext& context) {
  std::vector<std::string> titles;
  auto library = QVSDLibrary::defaultLibraryInContext(context);
  for (const auto& scan : QVSDScanObject::scanObjectsSortedByLastOpenedDateInLibrary(library)) {
    if (titles.size() == kRecentMenuLimit) break;
    titles.push_back(scan->sourceFilePath().value_or(""));
  }
  return titles;
}

}  // namespace qv::screens
