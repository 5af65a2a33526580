// The viewer's 48-byte display record per vertex and its flag word: stored with the scan object.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <type_traits>

// Little-endian and packed as listed; the array is kept in the scan object's sortableIndexData,
// so the layout is a stored format and must never change.
struct QVLSortableIndexEntry {
  std::uint64_t vertexNumber = 0;    // record number of the vertex in the vertex buffer
  std::uint16_t flags = 0;           // QVLPointFlags
  std::uint16_t padding0 = 0;
  float y = 0;                       // the vertex's height
  float radiusSquared = 0;           // x*x + z*z: squared distance from the turntable axis
  float neighbourDistance = 0;       // distance from the segment between the vertices before and after
  double screenX = 0, screenY = 0;   // projected view position, written by the brush
  std::int32_t projectionId = 0;     // projection pass screenX and screenY belong to
  std::int16_t cloudId = 0;          // the vertex's cloud number
  std::uint16_t padding1 = 0;
};

static_assert(std::endian::native == std::endian::little, "display records are read in place");
static_assert(sizeof(QVLSortableIndexEntry) == 48);
static_assert(offsetof(QVLSortableIndexEntry, flags) == 8 && offsetof(QVLSortableIndexEntry, y) == 12 &&
              offsetof(QVLSortableIndexEntry, radiusSquared) == 16 &&
              offsetof(QVLSortableIndexEntry, neighbourDistance) == 20 &&
              offsetof(QVLSortableIndexEntry, screenX) == 24 && offsetof(QVLSortableIndexEntry, screenY) == 32 &&
              offsetof(QVLSortableIndexEntry, projectionId) == 40 && offsetof(QVLSortableIndexEntry, cloudId) == 44);
static_assert(std::is_trivially_copyable_v<QVLSortableIndexEntry>);

// Why a point is hidden, selected or pending. Operations set flags; vertex data is only touched
// when changes are applied.
struct QVLPointFlags {
  static constexpr std::uint16_t OutsideRadius = 0x002;
  static constexpr std::uint16_t OutsideHeight = 0x004;
  static constexpr std::uint16_t BeyondDisplayCap = 0x008;
  static constexpr std::uint16_t Reserved10 = 0x010;
  static constexpr std::uint16_t Reserved20 = 0x020;
  static constexpr std::uint16_t Listed = 0x040;       // named by one of the scan's cloud index lists
  static constexpr std::uint16_t LayerHidden = 0x080;
  static constexpr std::uint16_t Removed = 0x100;
  static constexpr std::uint16_t Selected = 0x200;
  static constexpr std::uint16_t UnderBrush = 0x400;
  static constexpr std::uint16_t HideMask = 0x3be;
};

// The largest finite float: the neighbour distance of the first and last vertex, and the start
// value of the running minima and maxima.
inline constexpr float kQVLFloatMax = 3.4028235e38f;
// At most this many points are ever drawn.
inline constexpr std::uint64_t kQVLDisplayCap = 2'000'000;
