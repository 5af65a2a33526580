// Feeds arbitrary bytes to the unzip as an archive and checks that nothing lands outside the
// destination folder: no file beside it, no link in it that leads out.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "formats/SSZipArchive.h"
#include "formats/internal/SystemLog.h"

namespace fs = std::filesystem;

namespace {

const fs::path& workFolder() {
  // Never destroyed, so that the exit handler below still has it when static objects are gone.
  static const fs::path* folder = [] {
    std::string pattern = (fs::temp_directory_path() / "quorvel-fuzz-zip-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) std::abort();
    return new fs::path(pattern);
  }();
  // Removed when the fuzzer ends (libFuzzer leaves through exit()), so runs leave no folders.
  static const bool cleanUp = [] {
    std::atexit([] {
      std::error_code ec;
      fs::remove_all(*folder, ec);
    });
    return true;
  }();
  (void)cleanUp;
  return *folder;
}

bool inside(const fs::path& path, const fs::path& folder) {
  std::error_code ec;
  const fs::path real = fs::weakly_canonical(path, ec);
  if (ec) return true;  // nothing resolvable: nothing written through it
  const fs::path rel = real.lexically_relative(folder);
  return !rel.empty() && rel.begin()->string() != "..";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  qv::setSystemLogEnabled(false);
  const fs::path work = workFolder();
  // The destination sits two levels down, so that an escape of one or two levels is caught.
  const fs::path destination = work / "a" / "out";
  const fs::path archive = work / "in.zip";
  {
    std::ofstream out(archive, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  std::error_code ec;
  fs::create_directories(destination, ec);
  qv::Error error;
  SSZipArchive::unzipFileAtPath(archive.string(), destination.string(), true, "", &error);

  for (const auto& entry : fs::recursive_directory_iterator(work, ec)) {
    const fs::path p = entry.path();
    if (p == archive || p == work / "a" || p == destination) continue;
    if (p.lexically_relative(destination).begin()->string() == "..") {
      std::fprintf(stderr, "written outside the destination: %s\n", p.c_str());
      std::abort();
    }
    if (entry.is_symlink(ec) && !inside(p, fs::canonical(destination))) {
      std::fprintf(stderr, "a link leads outside the destination: %s\n", p.c_str());
      std::abort();
    }
  }
  fs::remove_all(work / "a", ec);
  return 0;
}
