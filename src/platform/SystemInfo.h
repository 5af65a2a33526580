// What the start-up banner tells about the computer.
#pragma once

#include <optional>
#include <string>

namespace qv::systemInfo {

// The processor architecture ("x86_64"), or "Just an Apple Computer" when it cannot be read.
std::string machine();
// The computer's product name from its firmware tables, with the same fallback.
std::string model();
// The distribution's name and the kernel release ("Debian GNU/Linux 12 (bookworm), Linux 6.1.0").
std::string osVersion();
// "<free MB>MB, <free + inactive GB>GB, <resident MB>MB", one decimal each; nothing when the
// memory statistics cannot be read.
std::optional<std::string> memory();

// The same figure from given statistics (bytes), for tests.
std::string formatMemory(unsigned long long freeBytes, unsigned long long inactiveBytes,
                         unsigned long long residentBytes);

}  // namespace qv::systemInfo
