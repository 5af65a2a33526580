// One point set of the scan screen's live preview: the preview vertex records of the points kept
// so far, thinned as each batch arrives, and the scene nodes drawn from them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "viewer/model/SceneModel.h"

// One preview vertex: the first 8 bytes are not used, then position, normal and colour at the
// offsets of the stored scan vertex, so one geometry description draws both.
struct QVLPreviewVertex {
  std::uint8_t unused[8] = {};
  float x = 0, y = 0, z = 0;
  float normalX = 0, normalY = 0, normalZ = 0;
  float red = 0, green = 0, blue = 0;
};
static_assert(sizeof(QVLPreviewVertex) == 44, "a preview vertex is 44 bytes");

class QVLScanViewPointSet {
public:
  static constexpr int kLastSliceType = 7;
  static constexpr int kLevelOfDetailType = 1;
  static constexpr std::size_t kLastSliceCapacity = 5000;
  static constexpr std::size_t kLevelOfDetailCapacity = 2000000;

  // What a batch added to the set: a copy of the records kept and their indices 0..count-1.
  struct Produced {
    std::vector<QVLPreviewVertex> data;
    std::vector<std::uint32_t> index;
  };

  // Type 7 holds 5,000 records, every other type 2,000,000. Memory is taken as points arrive,
  // not for the whole capacity at once.
  explicit QVLScanViewPointSet(int pointSetType);

  int pointSetType() const { return type_; }
  std::size_t capacity() const { return capacity_; }
  std::size_t numberOfPoints() const { return count_; }
  // The stored records, numberOfPoints() of them.
  const QVLPreviewVertex* vertices() const { return records_.data(); }

  // Appends a batch in its order, thinned by the fraction (0 keeps every point). A batch that
  // would not fit (counted before thinning) is refused whole and changes nothing. `produced`,
  // when given, receives the records kept from a non-empty batch.
  bool addVertices(std::span<const QVLPreviewVertex> batch, float percentageToRemove, Produced* produced = nullptr);

  // Thins `n` records in place: removes the interior point lying nearest the segment between its
  // neighbours, again and again, until more than the fraction is gone or no interior point is
  // left; the survivors move to the front in arrival order. Answers the number removed.
  static std::size_t removeIntermediatePoints(QVLPreviewVertex* first, std::size_t n, float percentageToRemove);

  // The places that thinning by the fraction removes from a batch, in the order it removes them.
  // Thinning by any smaller fraction removes a prefix of the same list, so one pass serves every
  // set a batch is fed to.
  static std::vector<std::uint32_t> removalOrder(const QVLPreviewVertex* first, std::size_t n, float percentageToRemove);
  // How many of `available` removals thinning a batch of n by the fraction makes.
  static std::size_t removalsFor(std::size_t n, std::size_t available, float percentageToRemove);
  // addVertices for a batch whose thinning is known: the first `removals` places of `order` go.
  bool addThinnedVertices(std::span<const QVLPreviewVertex> batch, std::span<const std::uint32_t> order,
                          std::size_t removals, Produced* produced = nullptr);

  // Takes the other set's records. False (and nothing copied) when they exceed this capacity.
  bool copyFrom(const QVLScanViewPointSet& other);
  // Empties the set (memory and nodes stay).
  void reset() { count_ = 0; }

  // The nodes drawn from this set now (guarded by the owner of the set).
  std::vector<qv::scene::NodePtr>& sceneKitNodes() { return nodes_; }
  const std::vector<qv::scene::NodePtr>& sceneKitNodes() const { return nodes_; }

private:
  int type_;
  std::size_t capacity_;
  // Room for a batch of `n` after the points held, or nullptr when the set cannot take it: the
  // capacity counts a batch before it is thinned.
  QVLPreviewVertex* roomFor(std::size_t n);
  // Keeps the `kept` records at `at` (the room's start) and reports them as produced.
  void keep(const QVLPreviewVertex* at, std::size_t kept, Produced* produced);

  std::size_t count_ = 0;
  std::vector<QVLPreviewVertex> records_;  // grows to the largest count seen, never shrinks
  std::vector<qv::scene::NodePtr> nodes_;
};
