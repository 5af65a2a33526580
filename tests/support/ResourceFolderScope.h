// Points the resource folder (and so the firmware images the scanner is offered) at an empty
// folder of the test's own while a `ResourceFolderScope` lives; the previous folder comes back after.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "support/TempFolder.h"

namespace qv::test {

class ResourceFolderScope {
public:
  ResourceFolderScope();
  ~ResourceFolderScope();
  ResourceFolderScope(const ResourceFolderScope&) = delete;
  ResourceFolderScope& operator=(const ResourceFolderScope&) = delete;

  const std::filesystem::path& path() const { return folder_.path(); }
  // Writes a made-up firmware image (an Intel-hex end record, not a real image) at `relative`,
  // making the folders on the way, and answers its path.
  std::filesystem::path addImage(const std::string& relative);
  // The image of firmware `version` under the name the firmware check looks for.
  std::filesystem::path addFirmwareImage(const std::string& version) {
    return addImage("Firmware_" + version + ".cpp.hex");
  }

private:
  TempFolder folder_;
  std::optional<std::string> previous_;
};

}  // namespace qv::test
