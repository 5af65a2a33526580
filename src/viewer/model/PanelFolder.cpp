// The starting folder of the file panels.
#include "viewer/model/PanelFolder.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <system_error>

#include "platform/Log.h"

namespace fs = std::filesystem;

namespace qv::viewer {
namespace {

bool isFolder(const fs::path& path) {
  std::error_code ec;
  return !path.empty() && path.is_absolute() && fs::is_directory(path, ec);
}

}  // namespace

fs::path homeFolder() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  if (const passwd* user = ::getpwuid(::getuid()); user && user->pw_dir) return user->pw_dir;
  return {};
}

fs::path lastPanelFolder(const qv::Settings& settings) {
  std::string folder = settings.stringForKey(kLastPanelFolderKey).value_or("");
  if (!folder.empty() && folder[0] == '~') folder = homeFolder().string() + folder.substr(1);
  // A folder removed since (or a relative one, which would name the working folder) starts at home.
  if (isFolder(folder)) return folder;
  return homeFolder();
}

void rememberPanelFolder(qv::Settings& settings, const fs::path& chosen) {
  if (chosen.empty()) return;
  std::error_code ec;
  const fs::path folder = fs::is_directory(chosen, ec) ? chosen : chosen.parent_path();
  if (!isFolder(folder)) return;
  if (auto error = settings.setValue(kLastPanelFolderKey, qv::Value(folder.string())))
    QVLogWarn("Could not remember the panel's folder %s: %s", folder.c_str(), error->text().c_str());
}

fs::path proposedSavePath(const qv::Settings& settings, const std::string& sourceFilePath, const std::string& name) {
  if (!sourceFilePath.empty()) {
    const fs::path beside = fs::path(sourceFilePath).parent_path();
    if (isFolder(beside)) return beside / name;
  }
  return lastPanelFolder(settings) / name;
}

}  // namespace qv::viewer
