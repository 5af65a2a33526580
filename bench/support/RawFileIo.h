// The raw file figures the format benchmarks compare against: one write with fsync, and one read
// of the whole file, with nothing of ours in between. Any failure aborts the benchmark.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "platform/Value.h"

namespace qv::bench {

inline void rawWrite(const std::filesystem::path& file, const qv::Data& bytes) {
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()) || ::fsync(fd) != 0) std::abort();
  ::close(fd);
}

inline qv::Data rawRead(const std::filesystem::path& file) {
  qv::Data bytes(std::filesystem::file_size(file));
  const int fd = ::open(file.c_str(), O_RDONLY);
  if (fd < 0 || ::read(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) std::abort();
  ::close(fd);
  return bytes;
}

}  // namespace qv::bench
