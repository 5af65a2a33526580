// The About window's text and its acknowledgements document.
#include "screens/AboutPresenter.h"

#include <system_error>

#include "platform/Log.h"

namespace qv::screens {

namespace fs = std::filesystem;

std::string aboutVersionText(const std::string& shortVersion, const std::string& buildVersion) {
  return "Version " + shortVersion + " (" + buildVersion + ")";
}

std::optional<fs::path> openCredits(const fs::path& libraryFolder, const std::optional<fs::path>& creditsResource,
                                    const std::function<void(const fs::path&)>& open) {
  const fs::path path = libraryFolder / "Credits.rtf";
  std::error_code ec;
  if (!fs::exists(path, ec)) {
    if (!creditsResource) {
      QVLogError("The acknowledgements document is not among the resources");
      return std::nullopt;
    }
    fs::create_directories(libraryFolder, ec);
    if (!fs::copy_file(*creditsResource, path, ec)) {
      QVLogError("Could not copy the acknowledgements to %s: %s", path.c_str(), ec.message().c_str());
      std::error_code ignored;
      fs::remove(path, ignored);  // a half-written copy would be opened next time
      return std::nullopt;
    }
    fs::permissions(path, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read, ec);
    if (ec) QVLogWarn("Could not make %s read-only: %s", path.c_str(), ec.message().c_str());
  }
  if (!fs::exists(path, ec)) return std::nullopt;
  if (open) open(path);
  return path;
}

}  // namespace qv::screens
