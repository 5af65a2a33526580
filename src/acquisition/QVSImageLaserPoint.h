// One laser-line point found in an image row.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "acquisition/Colour.h"

class QVSImageLaserPoint {
public:
  QVSImageLaserPoint() = default;
  // Sets only the position; no colour, every other field 0.
  QVSImageLaserPoint(float x, int y) : x_(x), y_(y) {}
  QVSImageLaserPoint(float x, int y, std::optional<qv::Colour> colour, float laserBrightness)
      : x_(x), y_(y), laserBrightness_(laserBrightness), sourceImagePixelColour_(colour) {}

  // Image column of the line in this row (sub-pixel for accepted points).
  float x() const { return x_; }
  void setX(float x) { x_ = x; }
  int y() const { return y_; }
  void setY(int y) { y_ = y; }
  // Length in pixels of the lit (or saturated) run around the peak.
  float width() const { return width_; }
  void setWidth(float width) { width_ = width; }
  // Column of the first pixel left of the peak below the run threshold; -1 when the run reaches
  // column 0. Set for accepted points only.
  int leftPixelX() const { return leftPixelX_; }
  void setLeftPixelX(int x) { leftPixelX_ = x; }
  // A filtered image value divided by 255.
  float laserBrightness() const { return laserBrightness_; }
  void setLaserBrightness(float b) { laserBrightness_ = b; }
  // Left for callers that fit a line through the points; the detector leaves it 0.
  float distanceFromLineOfBestFit() const { return distanceFromLineOfBestFit_; }
  void setDistanceFromLineOfBestFit(float d) { distanceFromLineOfBestFit_ = d; }
  // The object's colour at the peak, or a marker colour for rejected points.
  const std::optional<qv::Colour>& sourceImagePixelColour() const { return sourceImagePixelColour_; }
  void setSourceImagePixelColour(std::optional<qv::Colour> c) { sourceImagePixelColour_ = c; }

  // 255 x the Rec. 709 luma of the colour, truncated; 0 without a colour.
  std::uint8_t lumina() const;
  // "(x,y)" with x rounded to a whole pixel.
  std::string description() const;

  friend bool operator==(const QVSImageLaserPoint&, const QVSImageLaserPoint&) = default;

private:
  float x_ = 0.0f;
  int y_ = 0;
  float width_ = 0.0f;
  int leftPixelX_ = 0;
  float laserBrightness_ = 0.0f;
  float distanceFromLineOfBestFit_ = 0.0f;
  std::optional<qv::Colour> sourceImagePixelColour_;
};
