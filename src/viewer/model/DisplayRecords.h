// The display records of a scan: building them, their sort orders, the display cap, the crop pass
// and the drawn index list. Plain functions on plain buffers, so they are tested and timed alone.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/Value.h"
#include "store/Double3.h"
#include "store/QVLScanVertex.h"
#include "viewer/model/QVLSortableIndexEntry.h"

class QVLLayerState;

namespace qv::viewer {

// The whole records of a vertex buffer (a trailing partial record is dropped).
std::span<const QVLScanVertex> verticesOf(const SharedData& data);

// A vertex at exactly (0, 0, 0) is absent: never drawn, selected, counted or brushed.
inline bool isAtOrigin(const QVLScanVertex& v) {
  return v.point3DX == 0.0f && v.point3DY == 0.0f && v.point3DZ == 0.0f;
}
// Drawn normally: exactly "listed" when the scan has clouds, no flag at all when it has none.
inline bool isDrawnFlags(std::uint16_t flags, bool hasClouds) {
  return flags == (hasClouds ? QVLPointFlags::Listed : 0);
}
inline bool isShownSelected(std::uint16_t flags) {
  return (flags & QVLPointFlags::HideMask) == QVLPointFlags::Selected;
}
inline bool isKept(std::uint16_t flags) { return (flags & QVLPointFlags::HideMask) == 0; }

// One record per vertex: y, radius squared, neighbour distance and cloud id filled, and "listed"
// set for every vertex an index list names. Entry 0 of a list is vertex 0 like any other: the
// vertex data file's leading zero record is at the origin and so is never drawn anyway.
std::vector<QVLSortableIndexEntry> buildSortableIndexEntries(std::span<const QVLScanVertex> vertices,
                                                             const std::vector<SharedData>& indexLists);

// A sort order as the scan object stores it: n unsigned 64-bit record numbers in a shared,
// never-changed byte buffer, so loading and storing it copies nothing.
class OrderList {
public:
  OrderList() = default;
  explicit OrderList(SharedData bytes) : bytes_(std::move(bytes)) {}
  static OrderList fromVector(const std::vector<std::uint64_t>& numbers);

  std::size_t size() const { return bytes_ ? bytes_->size() / 8 : 0; }
  bool empty() const { return size() == 0; }
  // The buffer comes from operator new, so it is aligned for 64-bit reads.
  const std::uint64_t* begin() const { return bytes_ ? reinterpret_cast<const std::uint64_t*>(bytes_->data()) : nullptr; }
  const std::uint64_t* end() const { return begin() + size(); }
  std::uint64_t operator[](std::size_t i) const { return begin()[i]; }
  operator std::span<const std::uint64_t>() const { return {begin(), size()}; }
  std::vector<std::uint64_t> toVector() const { return {begin(), end()}; }
  // The stored form (empty bytes for an empty order).
  SharedData bytes() const { return bytes_ ? bytes_ : std::make_shared<const Data>(); }

private:
  SharedData bytes_;
};

struct SortOrders {
  OrderList byY, byRadius, byNeighbour;
};
// Three permutations of the record numbers, ascending by y, radius squared and neighbour
// distance. Ties keep ascending record numbers and a key that is not a number counts as
// infinity, so the result is a permutation whatever the data holds.
SortOrders computeSortOrders(std::span<const QVLSortableIndexEntry> records);
// Whether an order names every record number below n exactly once (a stored order may not).
bool isPermutation(std::span<const std::uint64_t> order, std::size_t n);
// Marks every record from position `cap` of the neighbour order on as beyond the display cap.
void applyDisplayCap(std::span<QVLSortableIndexEntry> records, std::span<const std::uint64_t> byNeighbour,
                     std::uint64_t cap = kQVLDisplayCap);

// Which clouds are hidden: exactly those whose layer is disabled, for every cloud id alike.
class LayerVisibility {
public:
  LayerVisibility() { hidden_.fill(false); }
  static LayerVisibility fromLayers(const std::vector<QVLLayerState>& layers);
  void hide(std::int16_t cloudId) { hidden_[static_cast<std::uint16_t>(cloudId)] = true; }
  bool isHidden(std::int16_t cloudId) const { return hidden_[static_cast<std::uint16_t>(cloudId)]; }

private:
  std::array<bool, 65536> hidden_;
};

// One crop pass over the flags: sets or clears "outside radius", "outside height" and "layer
// hidden" on every record the neighbour order names; the other bits are kept. Answers how many
// order entries were out of range (skipped). `orderIsPermutation` says the order was checked
// to name every record exactly once.
std::size_t cropPass(std::span<QVLSortableIndexEntry> records, std::span<const std::uint64_t> byNeighbour,
                     float top, float bottom, float radius, const LayerVisibility& visibility,
                     bool orderIsPermutation = false);

// The drawn vertices and what is derived from them.
struct DrawnList {
  // n entries: the drawn vertices in ascending order at the front, the selected ones from the
  // back (the lowest vertex number last), zero in between.
  std::vector<std::uint32_t> indices;
  std::uint64_t drawnCount = 0;
  std::uint64_t selectedCount = 0;
  std::uint64_t presentCount = 0;  // vertices not at the origin
  // Minus the mean of the drawn positions; nothing when nothing is drawn.
  std::optional<Double3> homePosition;
  float minY = kQVLFloatMax, maxY = -kQVLFloatMax, maxRadiusSquared = 0;
  // Drawn points per cloud id (indexed by the id as an unsigned 16-bit number).
  std::vector<std::uint32_t> cloudCounts;
};
DrawnList collectDrawnVertices(std::span<const QVLScanVertex> vertices, std::span<const QVLSortableIndexEntry> records,
                               bool hasClouds);

// A crop pass and the drawn list after it, as one walk over the records when the neighbour
// order is known to name each record once (the flags come out as cropPass would set them).
DrawnList cropAndCollect(std::span<const QVLScanVertex> vertices, std::span<QVLSortableIndexEntry> records,
                         std::span<const std::uint64_t> byNeighbour, float top, float bottom, float radius,
                         const LayerVisibility& visibility, bool orderIsPermutation, bool hasClouds,
                         std::size_t* outOfRange = nullptr);

// "Displaying %d points" when every present point is drawn, else "Displaying %d of %d points".
std::string pointCountLabel(std::uint64_t drawn, std::uint64_t present);

// Byte forms of the buffers as the scan object stores them.
template <typename T>
SharedData toData(const std::vector<T>& values);
template <typename T>
std::vector<T> fromData(const SharedData& data);

}  // namespace qv::viewer
