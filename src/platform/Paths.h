// Where the application keeps its data and finds its resources.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "platform/Error.h"

namespace qv::paths {

// A folder named by an XDG base-directory variable ("XDG_DATA_HOME"...): its value when that is
// an absolute path; else (unset, empty or relative, which the XDG rule says to pass over) the
// default below $HOME (`homeDefault`, such as ".local/share"), or the temporary folder without HOME.
std::filesystem::path xdgFolder(const char* variable, const std::filesystem::path& homeDefault);

// The application library folder, $XDG_DATA_HOME/Quorvel (~/.local/share/Quorvel when unset),
// created on demand. Fails when it cannot be created or a file stands where it should be; the
// caller decides which error to report.
std::optional<std::filesystem::path> applicationLibraryFolder(Error* error = nullptr);
// The same folder's path, whether or not it exists.
std::filesystem::path applicationLibraryPath();

// Where programs keep state that outlives a run: $XDG_STATE_HOME (~/.local/state when unset).
std::filesystem::path stateHome();

// The folder of the log files, $XDG_STATE_HOME/Quorvel/Logs (~/.local/state/Quorvel/Logs when unset).
std::filesystem::path logFolder();

// The folder of installed resources: $QUORVEL_RESOURCES when set, else share/quorvel beside the
// program's installation prefix, else the source tree's resources folder (for builds run in place).
std::filesystem::path resourceFolder();
// A resource by name, or nothing when it is not there.
std::optional<std::filesystem::path> resourcePath(const std::string& name);

}  // namespace qv::paths
