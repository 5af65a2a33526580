// The 44-byte record of one image row of one turntable step, as a point cloud's vertex file holds it.
#pragma once

#include <bit>
#include <cstddef>
#include <type_traits>

#include "records/QVLPoint3D.h"

// Eleven little-endian floats. A row where no laser point was found is all zero, so a record
// whose position is exactly the origin means "no point" (stored files rely on it).
struct QVLSliceVertex {
  float point2DX = 0;  // image column of the laser point, with its sub-pixel fraction (px)
  float point3DX = 0, point3DY = 0, point3DZ = 0;
  float normalX = 0, normalY = 0, normalZ = 0;
  float colourRed = 0, colourGreen = 0, colourBlue = 0;  // 0 to 1
  float unwrappedPointZ = 0;

  bool hasPoint() const { return point3DX != 0.0f || point3DY != 0.0f || point3DZ != 0.0f; }

  // The record of a triangulated point (its image row is where the record goes, not in it).
  static QVLSliceVertex fromPoint(const QVLPoint3D& point) {
    return QVLSliceVertex{point.point2DX,    point.point3DX,   point.point3DY,    point.point3DZ,
                          point.normalX,     point.normalY,    point.normalZ,     point.colourRed,
                          point.colourGreen, point.colourBlue, point.unwrappedPointZ};
  }
};

static_assert(std::endian::native == std::endian::little, "vertex files are little-endian and read in place");
static_assert(sizeof(QVLSliceVertex) == 44, "a slice vertex is 44 bytes in every file");
static_assert(offsetof(QVLSliceVertex, point3DX) == 4 && offsetof(QVLSliceVertex, normalX) == 16 &&
              offsetof(QVLSliceVertex, colourRed) == 28 && offsetof(QVLSliceVertex, unwrappedPointZ) == 40);
static_assert(std::is_trivially_copyable_v<QVLSliceVertex>);
