// A fresh folder under the temporary folder for one test, removed with everything in it.
#pragma once

#include <filesystem>

namespace qv::test {

class TempFolder {
public:
  // Throws when no folder can be made, so a test never writes into a path that is not its own.
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::filesystem::path& path() const { return path_; }

private:
  std::filesystem::path path_;
};

}  // namespace qv::test
