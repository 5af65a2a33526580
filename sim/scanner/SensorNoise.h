// Gaussian sensor noise for simulated camera frames: fast, repeatable by seed, and shared by every
// simulated camera (a frame has millions of samples, so a library normal distribution would take
// longer than making the frame).
#pragma once

#include <cstdint>

#include "platform/Value.h"

namespace qv::sim {

// Standard normal deviates, drawn by 12 random bits each from a table: plenty for sensor noise.
class SensorNoise {
public:
  explicit SensorNoise(std::uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ULL + 0x632BE59BD9B4E019ULL) {}
  float next();

private:
  std::uint64_t state_;
  std::uint64_t bits_ = 0;
  int left_ = 0;
};

// Adds noise of `sigma` grey levels to the colour bytes of a BGRA frame (every fourth byte carries
// no colour and is left alone), rounding and saturating at 0 and 255.
void addSensorNoise(qv::Data& frame, double sigma, std::uint64_t seed);

}  // namespace qv::sim
