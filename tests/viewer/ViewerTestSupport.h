// Vertex builders and a recording display for the viewer's tests.
#pragma once

#include <cmath>
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

// `count` points spread evenly over a ball (a Fibonacci spiral) with their exact outward normals,
// after the zero record a scan starts with.
inline std::vector<QVLScanVertex> ballScan(int count, float radius, float centreY, float grey = 0.5f) {
  std::vector<QVLScanVertex> out{QVLScanVertex{}};
  const double golden = M_PI * (3.0 - std::sqrt(5.0));
  for (int i = 0; i < count; ++i) {
    const double y = 1.0 - 2.0 * (i + 0.5) / count, r = std::sqrt(1.0 - y * y), a = golden * i;
    QVLScanVertex v = vertexAt(static_cast<float>(radius * r * std::cos(a)), static_cast<float>(centreY + radius * y),
                               static_cast<float>(radius * r * std::sin(a)), 0, grey, grey, grey);
    v.normalX = static_cast<float>(r * std::cos(a));
    v.normalY = static_cast<float>(y);
    v.normalZ = static_cast<float>(r * std::sin(a));
    out.push_back(v);
  }
  return out;
}

