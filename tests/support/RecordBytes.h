// Packs vertex records and index lists into the byte buffers the store and the files hold.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/Value.h"
#include "store/QVLScanVertex.h"

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
