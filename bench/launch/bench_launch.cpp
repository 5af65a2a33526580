// Starts the program several times in fresh user folders (runtime and temporary folders
// included, so that it never meets a Quorvel already running) and measures, from just before the start
// to the line the program prints when its main screen is first painted, the launch time and the
// resident memory then. Runs itself under xvfb-run when there is no display.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

struct Launch {
  double ms = 0;
  double rssMb = 0;
  bool ok = false;
};

Launch launchOnce(const char* program, const std::filesystem::path& home) {
  int out[2];
  if (pipe(out) != 0) return {};
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], STDOUT_FILENO);
    int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, STDERR_FILENO);
    close(out[0]);
    const std::string h = home.string();
    setenv("HOME", h.c_str(), 1);
    setenv("XDG_DATA_HOME", (h + "/data").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (h + "/config").c_str(), 1);
    setenv("XDG_STATE_HOME", (h + "/state").c_str(), 1);
    // A runtime folder of its own (and a temporary folder, where the socket lives when there is
    // no runtime folder): a running instance found there would be handed the launch, which would
    // then show nothing.
    setenv("XDG_RUNTIME_DIR", (h + "/runtime").c_str(), 1);
    setenv("TMPDIR", (h + "/runtime").c_str(), 1);
    setenv("QUORVEL_LAUNCH_PROBE", "1", 1);
    setenv("QUORVEL_QUIT_WHEN", "shown", 1);
    unsetenv("QUORVEL_SIMULATOR");
    execl(program, program, static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  Launch result;
  std::string text;
  char buffer[4096];
  pollfd fd{out[0], POLLIN, 0};
  while (poll(&fd, 1, 30000) > 0) {
    const ssize_t n = read(out[0], buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
    const auto at = text.find("QUORVEL_PROBE shown rss_kb=");
    if (at != std::string::npos && text.find('\n', at) != std::string::npos) {
      result.ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
      result.rssMb = std::strtod(text.c_str() + at + std::strlen("QUORVEL_PROBE shown rss_kb="), nullptr) / 1024.0;
      result.ok = true;
      break;
    }
  }
  close(out[0]);
  int status = 0;
  if (!result.ok) kill(pid, SIGTERM);
  waitpid(pid, &status, 0);
  return result;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (!std::getenv("DISPLAY") && !std::getenv("QUORVEL_BENCH_UNDER_XVFB")) {
    setenv("QUORVEL_BENCH_UNDER_XVFB", "1", 1);
    std::vector<char*> args{const_cast<char*>("xvfb-run"), const_cast<char*>("-a"), argv[0]};
    for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
    args.push_back(nullptr);
    execvp("xvfb-run", args.data());
    std::perror("xvfb-run");
    return 1;
  }
  setenv("QT_QPA_PLATFORM", "xcb", 0);
  setenv("LIBGL_ALWAYS_SOFTWARE", "1", 0);
  const char* program = argc > 1 ? argv[1] : QUORVEL_PROGRAM;
  const int runs = 7;
  std::vector<double> times, memory;
  char pattern[] = "/tmp/quorvel-bench-launch-XXXXXX";
  const char* root = mkdtemp(pattern);
  if (!root) return 1;
  // One warm-up run, so the file cache is the same for every measured one.
  for (int i = 0; i <= runs; ++i) {
    const auto home = std::filesystem::path(root) / std::to_string(i);
    std::filesystem::create_directories(home / "runtime");
    std::filesystem::permissions(home / "runtime", std::filesystem::perms::owner_all);
    Launch l = launchOnce(program, home);
    if (!l.ok) {
      std::fprintf(stderr, "launch %d did not show the main screen\n", i);
      std::filesystem::remove_all(root);
      return 1;
    }
    if (i > 0) {
      times.push_back(l.ms);
      memory.push_back(l.rssMb);
    }
  }
  std::filesystem::remove_all(root);
  std::printf("RESULT launch_ms %.1f ms\n", median(times));
  std::printf("RESULT launch_rss_mb %.1f MB\n", median(memory));
  return 0;
}
