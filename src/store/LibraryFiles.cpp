#include "store/LibraryFiles.h"

#include <system_error>

#include "platform/Log.h"
#include "store/ObjectContext.h"

namespace qv {
namespace {

namespace fs = std::filesystem;

fs::path withoutTrailingSeparator(const fs::path& path) {
  fs::path normal = path.lexically_normal();
  return normal.has_filename() || !normal.has_parent_path() ? normal : normal.parent_path();
}

// Why the library may not remove `path`; empty when it may.
const char* refusal(const fs::path& libraryFolder, const fs::path& filesFolder, const fs::path& path) {
  if (!path.is_absolute()) return "the name is not a full path";
  for (const auto& part : path)
    if (part == "." || part == "..") return "the name steps through other folders";
  std::error_code ec;
  const fs::path folder = withoutTrailingSeparator(libraryFolder);
  const fs::path root = fs::weakly_canonical(folder, ec);
  if (ec || root.empty()) return "the library folder cannot be found";
  const fs::path resolved = fs::weakly_canonical(path, ec);
  if (ec || !resolved.has_filename()) return "the name cannot be resolved";
  const fs::path parent = resolved.parent_path();
  if (parent == root) return nullptr;
  // The files folder is judged as the folder of its name inside the library folder: a files
  // folder that is a link to elsewhere holds no file of the library's.
  const fs::path files = withoutTrailingSeparator(filesFolder);
  if (files.parent_path() == folder && files.has_filename() && parent == root / files.filename()) return nullptr;
  return "it lies outside the library";
}

}  // namespace

bool isRemovableLibraryFile(const fs::path& libraryFolder, const fs::path& filesFolder, const fs::path& path) {
  return !path.empty() && !refusal(libraryFolder, filesFolder, path);
}

bool removeLibraryFile(const fs::path& libraryFolder, const fs::path& filesFolder, const fs::path& path,
                       const char* what) {
  if (path.empty()) return false;
  if (const char* why = refusal(libraryFolder, filesFolder, path)) {
    QVLogWarn("Not removing the %s %s for the library in %s: %s", what, path.c_str(), libraryFolder.c_str(), why);
    return false;
  }
  std::error_code ec;
  fs::remove(path, ec);
  if (ec) QVLogWarn("Could not remove the %s %s: %s", what, path.c_str(), ec.message().c_str());
  return !ec;
}

bool removeLibraryFile(const ObjectContext& context, const fs::path& path, const char* what) {
  return removeLibraryFile(context.libraryFolder(), context.filesFolder(), path, what);
}

}  // namespace qv
