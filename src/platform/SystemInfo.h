// What the start-up banner tells about the computer.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace qv::systemInfo {

// The processor architecture ("x86_64"), or "unknown" when it cannot be read.
std::string machine();
// The computer's product name from its firmware tables; when the firmware names no product (as
// in many virtual machines) the board's or the chassis' name, else the device tree's model, else
// "unknown".
std::string model();
// The same, read from the /sys and /proc of the tree under `root` (tests).
std::string modelUnder(const std::filesystem::path& root);
// The distribution's name and the kernel release ("Debian GNU/Linux 12 (bookworm), Linux 6.1.0").
std::string osVersion();
// "<free MB>MB, <free + inactive GB>GB, <resident MB>MB", one decimal each; nothing when the
// memory statistics cannot be read.
std::optional<std::string> memory();

// The same figure from given statistics (bytes), for tests.
std::string formatMemory(unsigned long long freeBytes, unsigned long long inactiveBytes,
                         unsigned long long residentBytes);

}  // namespace qv::systemInfo
