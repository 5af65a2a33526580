// Files replaced whole or not at all, and damaged files kept for inspection.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// Told before (`done` false) and after (`done` true) each rename a move makes, moves back
// included: what a crash between two renames would leave can be seen there.
using RenameStep = std::function<void(const std::filesystem::path& from, const std::filesystem::path& to, bool done)>;

// The same for a file that has companions named "<file><suffix>" (a database's log and index):
// those that exist go with it, under the same dated name and their own suffixes, all or none.
// Answers the file's new name; nothing, with the errno in `error`, when it stays where it was.
std::optional<std::filesystem::path> keepDamagedFileAside(const std::filesystem::path& file,
                                                          const std::vector<std::string>& companionSuffixes,
                                                          int* error, const RenameStep& step = {});

// Moves `file` to `target`, and each companion "<file><suffix>" that exists to
// "<target><suffix>". A name that is taken is never replaced (EEXIST), and when one move fails
// those made before it are taken back: everything ends under the old names or under the new
// ones. The file goes first, so that a crash between the moves never leaves one file's log
// beside another file. Answers 0, or the errno of the move that failed.
int moveFileWithCompanions(const std::filesystem::path& file, const std::filesystem::path& target,
                           const std::vector<std::string>& companionSuffixes, const RenameStep& step = {});

}  // namespace qv
