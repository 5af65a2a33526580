// The 44-byte record of one point of a whole scan: what vertex buffers, the viewer and exporters use.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <type_traits>

// Packed and little-endian: the image column sits unaligned at byte 2. Position, normal and
// colour lie at 8, 20 and 32 with a stride of 44, so a renderer can read them as three
// interleaved streams of one buffer. Copy whole records; do not take the address of a field.
#pragma pack(push, 1)
struct QVLScanVertex {
  std::int16_t lookupId = 0;    // the point cloud the vertex comes from (its lookupId)
  float point2DX = 0;           // image column (0 where the source has none)
  std::uint16_t point2DY = 0;   // image row, 0 to 959
  float point3DX = 0, point3DY = 0, point3DZ = 0;
  float normalX = 0, normalY = 0, normalZ = 0;
  float colourRed = 0, colourGreen = 0, colourBlue = 0;  // 0 to 1
};
#pragma pack(pop)

static_assert(std::endian::native == std::endian::little, "vertex buffers are little-endian and read in place");
static_assert(sizeof(QVLScanVertex) == 44, "a scan vertex is 44 bytes in every buffer and file");
static_assert(offsetof(QVLScanVertex, point2DX) == 2 && offsetof(QVLScanVertex, point2DY) == 6 &&
              offsetof(QVLScanVertex, point3DX) == 8 && offsetof(QVLScanVertex, normalX) == 20 &&
              offsetof(QVLScanVertex, colourRed) == 32);
static_assert(std::is_trivially_copyable_v<QVLScanVertex>);
