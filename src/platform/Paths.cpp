// Application library and resource folders.
#include "platform/Paths.h"

#include <unistd.h>

#include <cstdlib>

namespace qv::paths {

namespace fs = std::filesystem;

fs::path xdgFolder(const char* variable, const fs::path& homeDefault) {
  if (const char* xdg = std::getenv(variable); xdg && fs::path(xdg).is_absolute()) return fs::path(xdg);
  if (const char* home = std::getenv("HOME"); home && *home) return fs::path(home) / homeDefault;
  return fs::temp_directory_path();
}

fs::path applicationLibraryPath() { return xdgFolder("XDG_DATA_HOME", fs::path(".local") / "share") / "Quorvel"; }

std::optional<fs::path> applicationLibraryFolder(Error* error) {
  const fs::path folder = applicationLibraryPath();
  std::error_code ec;
  if (fs::is_directory(folder, ec)) return folder;
  if (fs::exists(folder, ec)) {
    if (error) *error = Error(kPosixErrorDomain, EEXIST, "A file stands where the application library folder should be",
                              {{Error::kFilePathKey, folder.string()}});
    return std::nullopt;
  }
  fs::create_directories(folder, ec);
  if (ec) {
    if (error) *error = Error(kPosixErrorDomain, ec.value(), "The application library folder cannot be created: " + ec.message(),
                              {{Error::kFilePathKey, folder.string()}});
    return std::nullopt;
  }
  return folder;
}

fs::path stateHome() { return xdgFolder("XDG_STATE_HOME", fs::path(".local") / "state"); }

fs::path logFolder() { return stateHome() / "Quorvel" / "Logs"; }

fs::path resourceFolder() {
  if (const char* env = std::getenv("QUORVEL_RESOURCES"); env && *env) return env;
  std::error_code ec;
  const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    const fs::path installed = exe.parent_path().parent_path() / "share" / "quorvel";
    if (fs::is_directory(installed, ec)) return installed;
  }
#ifdef QUORVEL_SOURCE_RESOURCES
  return QUORVEL_SOURCE_RESOURCES;
#else
  return fs::path("resources");
#endif
}

std::optional<fs::path> resourcePath(const std::string& name) {
  const fs::path p = resourceFolder() / name;
  std::error_code ec;
  if (fs::exists(p, ec)) return p;
  return std::nullopt;
}

}  // namespace qv::paths
