// Feeds arbitrary bytes to the unzip as an archive and checks that nothing lands outside the
// destination folder: no file beside it, no link in it that leads out.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "FuzzSupport.h"
#include "formats/SSZipArchive.h"

namespace fs = std::filesystem;

namespace {

bool inside(const fs::path& path, const fs::path& folder) {
  std::error_code ec;
  const fs::path real = fs::weakly_canonical(path, ec);
  if (ec) return true;  // nothing resolvable: nothing written through it
  const fs::path rel = real.lexically_relative(folder);
  return !rel.empty() && rel.begin()->string() != "..";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  qv::fuzz::quietLogs();
  const fs::path work = qv::fuzz::workFolder("zip");
  // The destination sits two levels down, so that an escape of one or two levels is caught.
  const fs::path destination = work / "a" / "out";
  const fs::path archive = work / "in.zip";
  qv::fuzz::writeInput(archive, data, size);
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
