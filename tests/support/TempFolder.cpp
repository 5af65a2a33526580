// The temporary folder of one test.
#include "support/TempFolder.h"

#include <stdlib.h>

#include <cerrno>
#include <string>
#include <system_error>

namespace qv::test {

TempFolder::TempFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "quorvel-test-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::system_error(errno, std::generic_category(), "mkdtemp " + pattern);
  path_ = pattern;
}

TempFolder::~TempFolder() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

}  // namespace qv::test
