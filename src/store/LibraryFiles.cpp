#include "store/LibraryFiles.h"

#include <cctype>
#include <string>
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

bool startsWithIgnoringCase(std::string_view name, std::string_view prefix) {
  if (name.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(name[i])) != std::tolower(static_cast<unsigned char>(prefix[i])))
      return false;
  return true;
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
  // A row may name the store or a kept library (an edited or foreign library, an upgrade that
  // took a row's name beside the store): removing one would lose the library, or leave the open
  // store's writes going to a file no name reaches.
  if (isLibraryStoreOrFilesFolderName(path.filename().string()) ||
      isLibraryStoreOrFilesFolderName(resolved.filename().string()))
    return "it is what the library is made of (its store, a companion of it, a kept library or a files folder)";
  if (fs::is_directory(resolved, ec)) return "it is a folder";
  const fs::path parent = resolved.parent_path();
  if (parent == root) return nullptr;
  // The files folder is judged as the folder of its name inside the library folder: a files
  // folder that is a link to elsewhere holds no file of the library's.
  const fs::path files = withoutTrailingSeparator(filesFolder);
  if (files.parent_path() == folder && files.has_filename() && parent == root / files.filename()) return nullptr;
  return "it lies outside the library";
}

}  // namespace

bool isLibraryStoreOrFilesFolderName(std::string_view name) {
  return startsWithIgnoringCase(name, kLibraryStoreFileName) || startsWithIgnoringCase(name, kFilesFolderPrefix);
}

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
