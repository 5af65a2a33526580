// The sensor noise table and its splitmix64 bit source.
#include "sim/scanner/SensorNoise.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <random>

namespace qv::sim {

namespace {

const std::array<float, 4096>& normalTable() {
  static const std::array<float, 4096> table = [] {
    std::array<float, 4096> t{};
    std::mt19937_64 engine(12345);
    std::normal_distribution<float> normal;
    for (float& v : t) v = normal(engine);
    return t;
  }();
  return table;
}

}  // namespace

float SensorNoise::next() {
  if (left_ == 0) {
    std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    bits_ = z ^ (z >> 31);
    left_ = 5;
  }
  const float n = normalTable()[bits_ & 4095];
  bits_ >>= 12;
  --left_;
  return n;
}

void addSensorNoise(qv::Data& frame, double sigma, std::uint64_t seed) {
  if (!(sigma > 0.0)) return;
  SensorNoise noise(seed);
  const float s = static_cast<float>(sigma);
  for (std::size_t i = 0; i < frame.size(); ++i) {
    if (i % 4 == 3) continue;
    const float value = frame[i] + noise.next() * s;
    frame[i] = static_cast<std::uint8_t>(std::clamp(std::nearbyint(value), 0.0f, 255.0f));
  }
}

}  // namespace qv::sim
