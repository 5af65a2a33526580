// One triangulated point: where it was seen in the image, where it is in space, and its colour.
#pragma once

#include <string>

// A plain value: thirteen floats, all zero when made.
struct QVLPoint3D {
  float colourRed = 0, colourGreen = 0, colourBlue = 0;  // colour of the source pixel, 0 to 1
  float normalX = 0, normalY = 0, normalZ = 0;           // surface normal
  float point2DX = 0, point2DY = 0;                      // laser-line point in the camera image, px
  float point3DX = 0, point3DY = 0, point3DZ = 0;        // triangulated position
  float laserBrightness = 0;                             // brightness of the laser line there
  float unwrappedPointZ = 0;                             // depth before the bed's rotation is applied

  // "(x, y, z)" of the position with two decimals.
  std::string description() const;
};
