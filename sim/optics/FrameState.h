// What the simulated camera is asked to take: bed angle, head height, lasers, exposure and noise.
#pragma once

#include <array>
#include <cstdint>

namespace qv::sim {

struct FrameState {
  double bedAngle_deg = 0.0;
  double headHeight_mm = 0.0;
  std::array<bool, 2> laserOn{false, false};  // laser 1, laser 2

  // Every light scales with the exposure; 1 is the reference exposure. Values saturate at 255.
  double exposure = 1.0;
  // The fraction of full scale a white surface facing the camera reaches at exposure 1.
  double ambient = 0.55;
  // Grey levels the line's centre adds in red on a white surface lit squarely, at exposure 1.
  double laserPeak = 150.0;
  // The laser sheet's thickness: a Gaussian cross-section of this standard deviation across the
  // plane (mm), integrated over each pixel's width.
  double laserSigma_mm = 0.4;
  int subsamples = 8;  // samples across a pixel for the line's profile

  // A sensor's pixel records the light over its whole area: wherever the image changes within a
  // pixel (an edge between surfaces or colours, a silhouette) its light is averaged over it. One
  // straight edge across the pixel is located where it crosses the pixel's sides, to a thousandth
  // of a pixel; anything else (a corner, a thin part, three surfaces) is averaged over one jittered
  // point in each cell of an n x n grid, which keeps it within a few hundredths of a pixel.
  // 1: every pixel sampled at its centre.
  int areaSamples = 6;
  // The lens spreads each point's light a little: a Gaussian of this standard deviation (px) over
  // the whole image, lasers included, before the sensor saturates. 0: a perfectly sharp lens.
  double lensBlur_px = 0.8;

  // Sensor noise: a normal deviate of this many grey levels per channel, repeatable by seed.
  double noiseSigma = 0.0;
  std::uint64_t noiseSeed = 1;
};

}  // namespace qv::sim
