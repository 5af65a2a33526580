// Copying a file with the system's own reason when it fails.
#pragma once

#include <filesystem>

namespace qv {

// Copies the regular file `from` (its bytes and permission bits) to the new file `to`, which must
// not exist yet. False, with the system's code in `err`, when it cannot; whatever was written of
// `to` is then removed. A disk that fills up during the copy is ENOSPC here, where
// std::filesystem::copy_file tells only EIO. The bytes are copied within the kernel where it can.
bool copyFileExclusively(const std::filesystem::path& from, const std::filesystem::path& to, int& err);

}  // namespace qv
