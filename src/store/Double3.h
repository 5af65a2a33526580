// A plain triple of doubles: the form a scan object's view position and centre are handed in.
#pragma once

namespace qv {

struct Double3 {
  double x = 0, y = 0, z = 0;
  friend bool operator==(const Double3&, const Double3&) = default;
};

}  // namespace qv
