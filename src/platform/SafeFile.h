// Files replaced whole or not at all, and damaged files kept for inspection.
#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

namespace qv {

// Replaces `file` with `text` so that a reader, or a crash, finds the old contents or the new ones,
// never a part: written to "<file>.tmp-<pid>" beside it, flushed to the disk and renamed over it.
// Answers 0, or the errno of the step that failed (the temporary file is then removed and the file
// is left as it was).
int replaceTextFile(const std::filesystem::path& file, std::string_view text);

// Moves a damaged file to "<file>.corrupt-<yyyymmdd-hhmmss>" (with "-2", "-3"... when that name is
// taken, as it is for a second damaged file within the same second). A kept copy is never
// replaced. Answers the new name, or nothing when the file could not be moved.
std::optional<std::filesystem::path> keepDamagedFileAside(const std::filesystem::path& file);

}  // namespace qv
