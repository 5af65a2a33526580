// A small random stream that is the same on every platform and can be started anywhere along it.
#pragma once

#include <cstdint>

namespace qv::sim {

// A splitmix64 stream. Its state only counts up, so a block of rows can start where the stream
// would be after the rows before it.
class RandomStream {
public:
  static constexpr std::uint64_t kIncrement = 0x9e3779b97f4a7c15ULL;
  explicit RandomStream(std::uint64_t seed) : state_(seed) {}
  void skip(std::uint64_t draws) { state_ += draws * kIncrement; }
  std::uint64_t next() {
    std::uint64_t z = (state_ += kIncrement);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }
  // Uniform in [0, 1), 53 bits.
  double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }

private:
  std::uint64_t state_;
};

}  // namespace qv::sim
