// Runs a shell command for the tests that hand our files to outside readers.
#pragma once

#include <array>
#include <cstdio>
#include <string>
#include <utility>

namespace qv::test {

// What the command printed (both streams), and whether it exited with 0.
inline std::pair<bool, std::string> runCommand(const std::string& command) {
  std::string out;
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return {false, out};
  std::array<char, 4096> buffer;
  while (std::size_t n = std::fread(buffer.data(), 1, buffer.size(), pipe)) out.append(buffer.data(), n);
  return {::pclose(pipe) == 0, out};
}

}  // namespace qv::test
