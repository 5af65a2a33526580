// posix_spawn with a pipe for standard error.
#include "scanlink/internal/Subprocess.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

namespace qv {

SubprocessResult runSubprocess(const std::vector<std::string>& argv) {
  SubprocessResult result;
  if (argv.empty()) {
    result.spawnError = EINVAL;
    return result;
  }
  int errorPipe[2];
  if (::pipe2(errorPipe, O_CLOEXEC) != 0) {
    result.spawnError = errno;
    return result;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, errorPipe[1], STDERR_FILENO);

  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  pid_t pid = 0;
  const int spawned = ::posix_spawn(&pid, argv[0].c_str(), &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(errorPipe[1]);
  if (spawned != 0) {
    ::close(errorPipe[0]);
    result.spawnError = spawned;
    return result;
  }
  result.started = true;

  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(errorPipe[0], buffer, sizeof buffer);
    if (n > 0) {
      result.standardError.append(buffer, static_cast<std::size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
  ::close(errorPipe[0]);

  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return result;
  }
  if (WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
  return result;
}

std::string shellQuoted(const std::vector<std::string>& argv) {
  std::string line;
  for (const auto& arg : argv) {
    if (!line.empty()) line += ' ';
    const bool plain = !arg.empty() && arg.find_first_not_of(
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_./:=+,@%") == std::string::npos;
    if (plain) {
      line += arg;
      continue;
    }
    line += '\'';
    for (char c : arg) {
      if (c == '\'') {
        line += "'\\''";
      } else {
        line += c;
      }
    }
    line += '\'';
  }
  return line;
}

}  // namespace qv
