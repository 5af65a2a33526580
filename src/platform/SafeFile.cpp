// Whole-file replacement and keeping damaged files aside.
#include "platform/SafeFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>

namespace qv {

namespace fs = std::filesystem;

int replaceTextFile(const fs::path& file, std::string_view text) {
  fs::path temporary = file;
  temporary += ".tmp-" + std::to_string(::getpid());
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return errno;
  int failed = 0;
  for (std::size_t written = 0; written < text.size() && !failed;) {
    const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
    if (n >= 0) {
      written += static_cast<std::size_t>(n);
    } else if (errno != EINTR) {
      failed = errno;
    }
  }
  if (!failed && ::fsync(fd) != 0) failed = errno;
  if (::close(fd) != 0 && !failed) failed = errno;
  if (!failed && ::rename(temporary.c_str(), file.c_str()) != 0) failed = errno;
  if (failed) ::unlink(temporary.c_str());
  return failed;
}

std::string DamagedFileAside::outcome() const {
  if (path) return "was moved to " + path->string();
  return std::string("could not be set aside (") + std::strerror(error) + ")";
}

DamagedFileAside keepDamagedFileAside(const fs::path& file) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
  for (int n = 1; n < 1000; ++n) {
    fs::path aside = file;
    aside += std::string(".corrupt-") + stamp + (n == 1 ? std::string() : "-" + std::to_string(n));
    // link() refuses an existing name where rename() would overwrite it.
    if (::link(file.c_str(), aside.c_str()) == 0) {
      ::unlink(file.c_str());
      return {aside, 0};
    }
    if (errno != EEXIST) return {std::nullopt, errno};
  }
  return {std::nullopt, EEXIST};
}

}  // namespace qv
