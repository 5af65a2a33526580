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

inline qv::SharedData vertexBytes(const std::vector<QVLScanVertex>& vertices) {
  auto data = std::make_shared<qv::Data>(vertices.size() * sizeof(QVLScanVertex));
  if (!vertices.empty()) std::memcpy(data->data(), vertices.data(), data->size());
  return data;
}

inline qv::SharedData indexBytes(const std::vector<std::uint32_t>& entries) {
  auto data = std::make_shared<qv::Data>(entries.size() * 4);
  if (!entries.empty()) std::memcpy(data->data(), entries.data(), data->size());
  return data;
}
