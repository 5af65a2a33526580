#include "support/ResourceFolderScope.h"

#include <stdlib.h>

#include <cstdlib>
#include <fstream>

namespace qv::test {

namespace {
constexpr const char* kResourcesVariable = "QUORVEL_RESOURCES";
}

ResourceFolderScope::ResourceFolderScope() {
  if (const char* old = std::getenv(kResourcesVariable)) previous_ = old;
  ::setenv(kResourcesVariable, folder_.path().c_str(), 1);
}

ResourceFolderScope::~ResourceFolderScope() {
  if (previous_) {
    ::setenv(kResourcesVariable, previous_->c_str(), 1);
  } else {
    ::unsetenv(kResourcesVariable);
  }
}

std::filesystem::path ResourceFolderScope::addImage(const std::string& relative) {
  const auto path = folder_.path() / relative;
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path) << ":00000001FF\n";
  return path;
}

}  // namespace qv::test
