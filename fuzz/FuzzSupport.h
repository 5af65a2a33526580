// What the fuzz targets share: quiet readers, a work folder that goes when the fuzzer ends, and
// the input written to a file for the readers that open one.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "formats/internal/SystemLog.h"
#include "platform/Log.h"

namespace qv::fuzz {

// Nothing on the console or in the system log: a run feeds the readers millions of inputs. Their
// informational lines are dropped before they are formatted, as nobody reads them and the qvk
// header's dump of its collections alone costs more than reading the header; warnings and errors,
// which the damaged inputs reach, are still formatted.
inline void quietLogs() {
  static const bool quiet = [] {
    qv::log::Setup setup;
    setup.console = false;
    setup.systemLog = false;
    qv::log::setup(setup);
    qv::log::setThreshold(qv::log::Level::Warning);
    qv::setSystemLogEnabled(false);
    return true;
  }();
  (void)quiet;
}

// Where the work folders go: $TMPDIR when it is set, otherwise shared memory where the system has
// it, since every execution writes its input and commits to a store there and a disk makes that
// the larger part of an execution's time.
inline std::filesystem::path workParent() {
  std::error_code ec;
  if (!::getenv("TMPDIR") && std::filesystem::is_directory("/dev/shm", ec) && ::access("/dev/shm", W_OK) == 0) return "/dev/shm";
  return std::filesystem::temp_directory_path();
}

// "quorvel-fuzz-<name>-XXXXXX" in the work parent, made on the first call and removed when
// the fuzzer ends (libFuzzer leaves through exit()). Never destroyed, so that the exit handler
// still has it when static objects are gone; exit handlers registered after the first call run
// before the removal.
inline const std::filesystem::path& workFolder(const char* name) {
  static const std::filesystem::path* folder = [name] {
    std::string pattern = (workParent() / (std::string("quorvel-fuzz-") + name + "-XXXXXX")).string();
    if (!::mkdtemp(pattern.data())) std::abort();
    auto* made = new std::filesystem::path(pattern);
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(*folder, ec);
    });
    return made;
  }();
  return *folder;
}

inline void writeInput(const std::filesystem::path& file, const std::uint8_t* data, std::size_t size) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

}  // namespace qv::fuzz
