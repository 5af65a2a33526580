// A temporary folder removed at the end of a test.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

class TempFolder {
public:
  TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quorvel-test-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TempFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::filesystem::path& path() const { return path_; }

private:
  std::filesystem::path path_;
};
