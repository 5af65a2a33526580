// The launch: its order (banner before the file handed over), crash reporting switched off, the
// command line, and `quorvel --simulator` run as a process, stopped with SIGTERM and launched again
// after one was killed.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "CoreTestSupport.h"
#include "core/QVLCrashReporter.h"
#include "core/QVLLaunch.h"

extern char** environ;

namespace qv::test {
namespace {

namespace fs = std::filesystem;

TEST_F(CoreTest, TheFileHandedOverIsOpenedLastAfterTheBanner) {
  CapturedLog log;
  settings_.setValue("EnableCrashReporting", false);
  const bool installedBefore = QVLCrashReporter::isInstalled();
  bool bannerFirst = false;
  host_->onOpen = [&] { bannerFirst = log.contains("Version: 2.10.305") && log.contains(" Memory: "); };
  launch("/scans/bust.qvk");

  EXPECT_EQ(host_->calls(), (std::vector<std::string>{"hud", "open /scans/bust.qvk"}));
  EXPECT_TRUE(bannerFirst);
  EXPECT_FALSE(delegate_->isConnecting());  // no scanner
  EXPECT_EQ(QVLCrashReporter::isInstalled(), installedBefore);  // switched off: never started
  EXPECT_EQ(settings_.integerForKey("CameraNonLaserWhitebalanceSetting"), 5000);  // defaults registered
}

TEST(CommandLineTest, FlagsAFileAndTheEnvironment) {
  ::unsetenv("QUORVEL_SIMULATOR");
  const char* plain[] = {"quorvel", "scan.qvkx"};
  auto line = QVLCommandLine::parse(2, plain);
  EXPECT_FALSE(line.simulator);
  EXPECT_EQ(line.file, "scan.qvkx");
  const char* flags[] = {"quorvel", "--simulator", "--version", "--bogus"};
  line = QVLCommandLine::parse(4, flags);
  EXPECT_TRUE(line.simulator && line.version);
  EXPECT_EQ(line.unknown, std::vector<std::string>{"--bogus"});
  ::setenv("QUORVEL_SIMULATOR", "0", 1);
  EXPECT_FALSE(QVLCommandLine::parse(1, plain).simulator);
  ::setenv("QUORVEL_SIMULATOR", "1", 1);
  EXPECT_TRUE(QVLCommandLine::parse(1, plain).simulator);
  ::unsetenv("QUORVEL_SIMULATOR");
}

#ifdef QUORVEL_PROGRAM

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Runs the program with its folders in `root` and its output in `root/output`.
pid_t spawnProgram(const fs::path& root, const std::vector<std::string>& args) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    if (entry.rfind("XDG_", 0) == 0 || entry.rfind("QUORVEL_", 0) == 0) continue;
    // With a display the program would open its window; these runs test the headless program.
    if (entry.rfind("DISPLAY=", 0) == 0 || entry.rfind("WAYLAND_DISPLAY=", 0) == 0) continue;
    env.push_back(entry);
  }
  for (const char* name : {"XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_DATA_HOME"}) {
    env.push_back(std::string(name) + "=" + (root / name).string());
  }
  // A runtime folder of its own too: a running Quorvel of the user's is never reached.
  fs::create_directories(root / "run");
  fs::permissions(root / "run", fs::perms::owner_all);
  env.push_back("XDG_RUNTIME_DIR=" + (root / "run").string());
  env.push_back("QUORVEL_SIM_DIR=" + (root / "sim").string());
  env.push_back("QUORVEL_RESOURCES=" + (root / "resources").string());
  fs::create_directories(root / "resources");
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> argStrings{QUORVEL_PROGRAM};
  argStrings.insert(argStrings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argStrings) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const std::string output = (root / "output").string();
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  pid_t pid = -1;
  const int spawned = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  return spawned == 0 ? pid : -1;
}

// Waits in real time for the process to end; its wait status, or nothing.
std::optional<int> waitForExit(pid_t pid, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) return status;
    if (std::chrono::steady_clock::now() > deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

bool eventually(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

TEST(ProgramTest, TheSimulatorIsFoundConnectedAndStoppedCleanlyBySigterm) {
  TempFolder root;
  const pid_t pid = spawnProgram(root.path(), {"--simulator"});
  ASSERT_GT(pid, 0);
  const fs::path output = root.path() / "output";
  const bool connected = eventually(
      [&] { return readFile(output).find("calibration read, port closed") != std::string::npos; },
      kPatience);
  EXPECT_TRUE(connected) << readFile(output);
  std::vector<fs::path> links;
  for (const auto& entry : fs::directory_iterator(root.path() / "sim")) {
    if (entry.path().filename().string().front() != '.') links.push_back(entry.path());  // not its lock file
  }
  ASSERT_EQ(links.size(), 1u);

  ::kill(pid, SIGTERM);
  const auto status = waitForExit(pid, kPatience);
  if (!status) ::kill(pid, SIGKILL), waitForExit(pid, kPatience);
  ASSERT_TRUE(status) << "still running long after SIGTERM";
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
  // The link is gone; the pseudo-terminal went with the process (its number may be reused at once).
  EXPECT_TRUE(fs::is_empty(root.path() / "sim"));
  EXPECT_NE(readFile(output).find("Stopping on signal 15"), std::string::npos);
}

// A run killed with SIGKILL leaves its simulated scanner's link behind, leading nowhere or (its
// pseudo-terminal's number given out again) to the next run's scanner: the next run clears it away
// and connects its own scanner.
TEST(ProgramTest, ALaunchAfterAKilledOneConnectsItsSimulatedScanner) {
  TempFolder root;
  const fs::path output = root.path() / "output";
  const auto connected = [&] { return readFile(output).find("calibration read, port closed") != std::string::npos; };
  const pid_t killed = spawnProgram(root.path(), {"--simulator"});
  ASSERT_GT(killed, 0);
  const bool first = eventually(connected, kPatience);
  ::kill(killed, SIGKILL);
  waitForExit(killed, kPatience);
  ASSERT_TRUE(first) << readFile(output);

  const pid_t pid = spawnProgram(root.path(), {"--simulator"});
  ASSERT_GT(pid, 0);
  const bool second = eventually(connected, kPatience);
  const std::string log = readFile(output);
  ::kill(pid, SIGTERM);
  if (!waitForExit(pid, kPatience)) ::kill(pid, SIGKILL), waitForExit(pid, kPatience);
  EXPECT_TRUE(second) << log;
  EXPECT_TRUE(fs::is_empty(root.path() / "sim"));  // nothing of either run is left
}

TEST(ProgramTest, WithoutAScannerItSaysHowToStartTheSimulator) {
  TempFolder root;
  fs::create_directories(root.path() / "sim");  // watched, and empty
  const pid_t pid = spawnProgram(root.path(), {});
  ASSERT_GT(pid, 0);
  const auto status = waitForExit(pid, kPatience);
  if (!status) ::kill(pid, SIGKILL), waitForExit(pid, kPatience);
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
  EXPECT_NE(readFile(root.path() / "output").find("make run ARGS=--simulator"), std::string::npos);
}

#endif

}  // namespace
}  // namespace qv::test
