// What every benchmark needs: the median of repeated runs, a clock, and a temporary folder that is
// removed when the benchmark ends.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace qv::bench {

// The middle value (the mean of the two middle ones for an even count); 0 for none.
inline double median(std::vector<double> values) {
  if (values.empty()) return 0.0;
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
}

using Clock = std::chrono::steady_clock;

inline double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A fresh folder "<base>/quorvel-<name>-XXXXXX" (base: the system's temporary folder unless
// given), removed with everything in it when the object goes.
class TempFolder {
public:
  explicit TempFolder(const std::string& name, std::filesystem::path base = {}) {
    if (base.empty()) base = std::filesystem::temp_directory_path();
    std::string pattern = (base / ("quorvel-" + name + "-XXXXXX")).string();
    if (!::mkdtemp(pattern.data())) {
      std::perror("mkdtemp");
      std::exit(1);
    }
    path_ = pattern;
  }
  ~TempFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }

private:
  std::filesystem::path path_;
};

// While it lives, what the libraries print on standard output (PCL's Poisson prints there and on
// standard error) goes to standard error, so that standard output carries the RESULT lines
// alone: print them once it is gone.
class LibraryOutputToStderr {
public:
  LibraryOutputToStderr() {
    std::fflush(stdout);
    saved_ = ::dup(STDOUT_FILENO);
    if (saved_ >= 0) ::dup2(STDERR_FILENO, STDOUT_FILENO);
  }
  ~LibraryOutputToStderr() {
    std::fflush(stdout);
    if (saved_ < 0) return;
    ::dup2(saved_, STDOUT_FILENO);
    ::close(saved_);
  }
  LibraryOutputToStderr(const LibraryOutputToStderr&) = delete;
  LibraryOutputToStderr& operator=(const LibraryOutputToStderr&) = delete;

private:
  int saved_ = -1;
};

}  // namespace qv::bench
