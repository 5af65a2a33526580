// Which files the program may remove: only the library's own, wherever a row says a file lies.
#pragma once

#include <filesystem>
#include <string_view>

namespace qv {

class ObjectContext;

// The name of the library's store file in its folder. Its log, the log's index and a rollback
// journal are named after it ("-wal", "-shm", "-journal"), and so is every library kept aside
// beside it ("<store file>.corrupt-<date>") with its own companions.
inline constexpr const char* kLibraryStoreFileName = "Scan.7.storedata";
// How a library's files folder is named in the library folder: the prefix and its identifier.
inline constexpr const char* kFilesFolderPrefix = "Files-";

// Whether a name in the library folder is one of what the library is made of: its store file,
// the store's companions, a kept library or its companions, or a files folder (its own or a kept
// library's). Letter case is ignored, so that no other spelling of one reaches it on a disk that
// folds case.
bool isLibraryStoreOrFilesFolderName(std::string_view name);

// Whether `path` names a file the library may remove: one directly in its folder `libraryFolder`
// or in its own files folder `filesFolder`. The name must be absolute, with no "." or ".." among
// its parts, and it is judged where the system finds it, every link resolved (the last part's
// too): a name that leads out of those two folders, through a link or otherwise, names someone
// else's file, however a row came to hold it. What the library is made of is never removable
// (see isLibraryStoreOrFilesFolderName), whether the name or what it resolves to is one of it, and
// neither is a folder. A hard link is a name of its own: removing it leaves the file under its
// other names, so it is judged by its own name.
bool isRemovableLibraryFile(const std::filesystem::path& libraryFolder, const std::filesystem::path& filesFolder,
                            const std::filesystem::path& path);

// Removes `path` when isRemovableLibraryFile allows it; otherwise leaves it and logs why (`what`
// says what the file is). True when the file went or was not there; an empty path is nothing.
bool removeLibraryFile(const std::filesystem::path& libraryFolder, const std::filesystem::path& filesFolder,
                       const std::filesystem::path& path, const char* what);
// The same for the library the context works on.
bool removeLibraryFile(const ObjectContext& context, const std::filesystem::path& path, const char* what);

}  // namespace qv
