// Files replaced whole or not at all, and damaged files kept for inspection.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace qv {

// Replaces `file` with `text` so that a reader, or a crash, finds the old contents or the new ones,
// never a part: written to "<file>.tmp-<pid>" beside it, flushed to the disk and renamed over it.
// Answers 0, or the errno of the step that failed (the temporary file is then removed and the file
// is left as it was).
int replaceTextFile(const std::filesystem::path& file, std::string_view text);

// What became of a damaged file set aside: where it now is, or why it could not be set aside.
struct DamagedFileAside {
  std::optional<std::filesystem::path> path;  // the new name; nothing when it stayed where it was
  int error = 0;                              // then the errno of the failure
  // For the log: "was moved to <path>", or "could not be set aside (<the system's reason>)".
  std::string outcome() const;
};

// Moves a damaged file to "<file>.corrupt-<yyyymmdd-hhmmss>" (with "-2", "-3"... when that name is
// taken, as it is for a second damaged file within the same second). A kept copy is never
// replaced.
DamagedFileAside keepDamagedFileAside(const std::filesystem::path& file);

}  // namespace qv
