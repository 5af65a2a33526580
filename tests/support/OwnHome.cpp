// Gives every test and benchmark process a HOME and XDG folders of its own, made before main and
// removed as the process ends: whatever the code under test falls back to (the standard settings
// file, the scan library, the log folder, Qt's caches) then never reaches the user's folders or
// the checkout. A process started by another that already has such a home keeps the parent's.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace {

constexpr const char* kOwnHomeVariable = "QUORVEL_OWN_HOME";

class OwnHome {
public:
  OwnHome() {
    if (const char* inherited = std::getenv(kOwnHomeVariable); inherited && *inherited) return;
    std::error_code ec;
    std::filesystem::path temp = std::filesystem::temp_directory_path(ec);
    if (ec) temp = "/tmp";
    std::string pattern = (temp / "quorvel-home-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) return;  // the tests still run, in the home they were given
    folder_ = pattern;
    owner_ = ::getpid();
    const std::filesystem::path home = folder_;
    const std::pair<const char*, std::filesystem::path> folders[] = {
        {"HOME", home},
        {"XDG_DATA_HOME", home / ".local/share"},
        {"XDG_CONFIG_HOME", home / ".config"},
        {"XDG_STATE_HOME", home / ".local/state"},
        {"XDG_CACHE_HOME", home / ".cache"},
        {"XDG_RUNTIME_DIR", home / "runtime"},
    };
    for (const auto& [name, path] : folders) {
      std::filesystem::create_directories(path, ec);
      ::setenv(name, path.c_str(), 1);
    }
    ::chmod((home / "runtime").c_str(), 0700);  // what a session's runtime folder is
    ::setenv(kOwnHomeVariable, folder_.c_str(), 1);
  }

  ~OwnHome() {
    // A forked child that ends through exit() runs this too: only the process that made the
    // folder removes it.
    if (folder_.empty() || ::getpid() != owner_) return;
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
  }

private:
  std::string folder_;
  pid_t owner_ = 0;
};

// Made before any other object of the program: the libraries' singletons are made on first use,
// during main, and are gone again before this folder is removed.
__attribute__((init_priority(101))) OwnHome ownHome;

}  // namespace
