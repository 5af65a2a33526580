// The laser-line detector's numeric core: one point per image row from a laser-off and a laser-on frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <vector>

#include "acquisition/QVSImageLaserPoint.h"

namespace qv {

// The camera frame: 1280 x 960 pixels of 4 bytes, rows of 5120 bytes, top row first.
inline constexpr int kFrameWidth = 1280;
inline constexpr int kFrameHeight = 960;
inline constexpr int kFrameBytesPerRow = kFrameWidth * 4;
inline constexpr std::size_t kFrameBytes = static_cast<std::size_t>(kFrameBytesPerRow) * kFrameHeight;

// Rows whose grey value at the green peak reaches this are tested for saturation.
inline constexpr int kSaturatedGrey = 244;
// A saturated stretch this long (right - left) makes an over-exposed point.
inline constexpr int kOverExposedRun = 4;
// Filtered red values from here up count as lit.
inline constexpr int kLitLevel = 48;
// A lit run this long (right - left) is too wide to be a laser line.
inline constexpr int kWideRun = 25;
// Sub-pixel offsets beyond this are not trusted and drop the row.
inline constexpr float kMaximumSubpixelOffset = 4.0f;

struct LaserLineOptions {
  double threshold = 60.0;                    // noise floor on the red difference
  const std::uint8_t* colourFrame = nullptr;  // a full frame accepted points take their colour from
  int redOffset = 2;                          // byte offsets of the colours within a colour-frame pixel
  int greenOffset = 1;
  int blueOffset = 0;
  bool wantMaximumGrey = false;               // measure the largest saturation-test grey of all rows
};

// Which computation gave a detection: the whole-frame chain, or the sparse path.
enum class LaserLineDetectionPath { Chain, Sparse };

struct LaserLineDetection {
  std::vector<QVSImageLaserPoint> points;       // accepted, ascending rows, at most one a row
  std::vector<QVSImageLaserPoint> overExposed;  // saturated rows
  std::vector<QVSImageLaserPoint> wide;         // runs too wide to be the line
  std::vector<QVSImageLaserPoint> noisy;        // peaks too faint to measure
  int maximumGrey = -1;                         // the largest saturation-test grey, when asked for
  LaserLineDetectionPath path = LaserLineDetectionPath::Chain;
  long candidates = -1;                         // pixels whose raw red difference passed (sparse path's count)
};

// Both frames are full frames (kFrameBytes); byte 1 of a pixel is read as green, byte 2 as red.

// The detector as a chain of whole-frame OpenCV operations (median, difference, split, threshold,
// bilateral filter, grey conversion) and plain per-row searches. When `diagnosticsFolder` is not
// empty every intermediate image is written there as it is made.
LaserLineDetection detectLaserLineReference(const std::uint8_t* laserOff, const std::uint8_t* laserOn,
                                            const LaserLineOptions& options,
                                            const std::filesystem::path& diagnosticsFolder = {});

// The same results, computed only where the laser can have left a trace: a red difference above
// the threshold after the median filter needs a raw difference above it within one pixel, and
// the bilateral filter of an all-zero neighbourhood is zero. Rows whose brightest pixels cannot
// reach the saturation grey skip the green search. Falls back to the chain for thresholds outside
// 0..254 and for frames lit almost everywhere.
LaserLineDetection detectLaserLineSparse(const std::uint8_t* laserOff, const std::uint8_t* laserOn,
                                         const LaserLineOptions& options);

// Whether the sparse path's own bilateral filter and grey conversion reproduce those of the OpenCV
// build in use bit for bit, checked once per process on probe images.
bool sparseLaserLineDetectorIsExact();

// The sparse path when it is exact, else the chain.
LaserLineDetection detectLaserLine(const std::uint8_t* laserOff, const std::uint8_t* laserOn,
                                   const LaserLineOptions& options);

}  // namespace qv
