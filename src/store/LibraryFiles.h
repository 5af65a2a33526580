// Which files the program may remove: only the library's own, wherever a row says a file lies.
#pragma once

#include <filesystem>

namespace qv {

class ObjectContext;

// Whether `path` names a file the library may remove: one directly in its folder `libraryFolder`
// or in its own files folder `filesFolder`. The name must be absolute, with no "." or ".." among
// its parts, and it is judged where the system finds it, every link resolved (the last part's
// too): a name that leads out of those two folders, through a link or otherwise, names someone
// else's file, however a row came to hold it.
bool isRemovableLibraryFile(const std::filesystem::path& libraryFolder, const std::filesystem::path& filesFolder,
                            const std::filesystem::path& path);

// Removes `path` when isRemovableLibraryFile allows it; otherwise leaves it and logs why (`what`
// says what the file is). True when the file went or was not there; an empty path is nothing.
bool removeLibraryFile(const std::filesystem::path& libraryFolder, const std::filesystem::path& filesFolder,
                       const std::filesystem::path& path, const char* what);
// The same for the library the context works on.
bool removeLibraryFile(const ObjectContext& context, const std::filesystem::path& path, const char* what);

}  // namespace qv
