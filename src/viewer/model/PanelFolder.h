// Where the open and save panels start: the folder last chosen in any of them, kept in the
// settings across launches, the home folder the first time; never the program's working folder,
// which is wherever it happened to be started from.
#pragma once

#include <filesystem>
#include <string>

#include "platform/Settings.h"

namespace qv::viewer {

// The desktop's own name for the folder of the last open or save panel.
inline constexpr const char* kLastPanelFolderKey = "NSNavLastRootDirectory";

// The user's home folder ($HOME, else the password database's), or nothing when neither names one.
std::filesystem::path homeFolder();
// The remembered folder (a leading tilde expanded) while it still exists, else the home folder.
std::filesystem::path lastPanelFolder(const qv::Settings& settings);
// Remembers the folder of a file chosen in a panel (or the folder itself, when one was chosen).
void rememberPanelFolder(qv::Settings& settings, const std::filesystem::path& chosen);
// The file a save panel proposes for `name`: beside the file the scan came from while that folder
// exists, so that saving under the same name replaces it (and is asked about); else in the last
// panel folder.
std::filesystem::path proposedSavePath(const qv::Settings& settings, const std::string& sourceFilePath,
                                       const std::string& name);

}  // namespace qv::viewer
