// Hand-made laser-off and laser-on frames for the detector tests.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "acquisition/LaserLineDetector.h"
#include "platform/Value.h"

// Two frames of one plain colour; the tests then light pixels of the laser-on frame. A profile
// laid over several rows with steps of 0 or at least 15 between neighbours, and flat stretches of
// two or more at its highs and lows, passes the median and the bilateral filter unchanged, so the
// detector sees exactly the values written.
struct TestFrames {
  static constexpr std::uint8_t kBlue = 40;
  static constexpr std::uint8_t kGreen = 50;
  static constexpr std::uint8_t kRed = 60;
  // The grey of the plain colour as the detector computes it.
  static constexpr int kGrey = 52;

  qv::Data off = plain();
  qv::Data on = plain();

  static qv::Data plain() {
    qv::Data frame(qv::kFrameBytes);
    for (std::size_t i = 0; i < frame.size(); i += 4) {
      frame[i] = kBlue;
      frame[i + 1] = kGreen;
      frame[i + 2] = kRed;
      frame[i + 3] = 255;
    }
    return frame;
  }

  static std::uint8_t* pixel(qv::Data& frame, int row, int column) {
    return frame.data() + static_cast<std::size_t>(row) * qv::kFrameBytesPerRow + column * 4;
  }

  // Adds the values to the laser-on frame's red in rows [firstRow, endRow) from column `column` on.
  void addRed(int firstRow, int endRow, int column, const std::vector<int>& values) {
    for (int r = firstRow; r < endRow; ++r)
      for (std::size_t k = 0; k < values.size(); ++k)
        pixel(on, r, column + static_cast<int>(k))[2] = static_cast<std::uint8_t>(std::min(255, kRed + values[k]));
  }

  // Sets the laser-on frame's blue, green and red in rows [firstRow, endRow), columns [c0, c1).
  void paint(int firstRow, int endRow, int c0, int c1, std::uint8_t blue, std::uint8_t green, std::uint8_t red) {
    for (int r = firstRow; r < endRow; ++r) {
      for (int c = c0; c < c1; ++c) {
        std::uint8_t* p = pixel(on, r, c);
        p[0] = blue;
        p[1] = green;
        p[2] = red;
      }
    }
  }
};
