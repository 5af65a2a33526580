// Running a program with an argument vector (never through a shell) and collecting its error output.
#pragma once

#include <string>
#include <vector>

namespace qv {

struct SubprocessResult {
  bool started = false;
  int spawnError = 0;   // the error number when it could not be started
  int exitStatus = -1;  // the exit status; -1 when it did not start or was killed by a signal
  std::string standardError;
};

// Runs argv[0] (a path; no search) with the rest as its arguments, its standard error captured and
// its standard output inherited, and waits for it to end.
SubprocessResult runSubprocess(const std::vector<std::string>& argv);

// The command as one line a shell would read back the same (for logs only).
std::string shellQuoted(const std::vector<std::string>& argv);

}  // namespace qv
