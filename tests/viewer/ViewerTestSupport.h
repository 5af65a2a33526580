// Vertex builders and a recording display for the viewer's tests.
#pragma once

#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Value.h"
#include "store/QVLScanVertex.h"
#include "support/RecordBytes.h"

inline QVLScanVertex vertexAt(float x, float y, float z, std::int16_t cloud = 0, float r = 0.5f, float g = 0.5f,
                              float b = 0.5f) {
  QVLScanVertex v;
  v.lookupId = cloud;
  v.point3DX = x;
  v.point3DY = y;
  v.point3DZ = z;
  v.normalZ = 1;
  v.colourRed = r;
  v.colourGreen = g;
  v.colourBlue = b;
  return v;
}

