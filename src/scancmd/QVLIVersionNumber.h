// A firmware version held by value: major, minor and patch.
#pragma once

#include <cstdint>
#include <string>

struct QVLIVersionNumber {
  std::int64_t major = 0;
  std::int64_t minor = 0;
  std::int64_t patch = 0;

  friend bool operator==(const QVLIVersionNumber&, const QVLIVersionNumber&) = default;

  // "1.7.0"
  std::string description() const;
};
