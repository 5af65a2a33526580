// The display records of a scan: build, sort orders, display cap, crop pass and drawn list.
#include "viewer/model/DisplayRecords.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <thread>

#include "platform/Cores.h"
#include "platform/Format.h"
#include "viewer/model/PointDistance.h"
#include "viewer/model/QVLLayerState.h"

namespace qv::viewer {

std::span<const QVLScanVertex> verticesOf(const SharedData& data) {
  if (!data || data->size() < sizeof(QVLScanVertex)) return {};
  // The vertex record is packed (alignment 1), so any byte buffer holds it in place.
  return {reinterpret_cast<const QVLScanVertex*>(data->data()), data->size() / sizeof(QVLScanVertex)};
}

namespace {

QVSPoint3f positionOf(const QVLScanVertex& v) { return {v.point3DX, v.point3DY, v.point3DZ}; }

// A float's bits turned into an unsigned number of the same order (negative below positive).
inline std::uint32_t orderedBits(float k) {
  if (std::isnan(k)) k = INFINITY;
  if (k == 0.0f) k = 0.0f;  // -0 and +0 are one key
  std::uint32_t bits;
  std::memcpy(&bits, &k, 4);
  return (bits & 0x80000000u) ? ~bits : (bits | 0x80000000u);
}

// Record numbers ascending by one float key: a stable least-significant-digit radix sort of
// (key, number) pairs in three passes of 11 bits. Starting from ascending numbers, equal keys
// keep ascending numbers.
OrderList sortedBy(std::span<const QVLSortableIndexEntry> records, float QVLSortableIndexEntry::*key) {
  const std::size_t n = records.size();
  std::vector<std::uint64_t> a(n), b(n);
  for (std::size_t i = 0; i < n; ++i) a[i] = (std::uint64_t{orderedBits(records[i].*key)} << 32) | i;
  constexpr int kBits = 11, kBuckets = 1 << kBits;
  for (int pass = 0; pass < 3; ++pass) {
    const int shift = 32 + pass * kBits;
    std::vector<std::size_t> count(kBuckets + 1, 0);
    for (std::uint64_t v : a) ++count[((v >> shift) & (kBuckets - 1)) + 1];
    for (int d = 0; d < kBuckets; ++d) count[d + 1] += count[d];
    for (std::uint64_t v : a) b[count[(v >> shift) & (kBuckets - 1)]++] = v;
    a.swap(b);
  }
  auto bytes = std::make_shared<Data>(n * 8);
  auto* out = reinterpret_cast<std::uint64_t*>(bytes->data());
  for (std::size_t i = 0; i < n; ++i) out[i] = a[i] & 0xffffffffu;
  return OrderList(std::move(bytes));
}

// Runs body(begin, end) over [0, n) in a few threads when n is large.
template <typename Body>
void inChunks(std::size_t n, Body body) {
  const std::size_t threads = n < 200'000 ? 1 : std::clamp<std::size_t>(static_cast<std::size_t>(qv::usableCores()), 1, 4);
  std::vector<std::thread> workers;
  const std::size_t step = (n + threads - 1) / threads;
  for (std::size_t t = 1; t < threads; ++t) {
    const std::size_t from = std::min(n, t * step), to = std::min(n, from + step);
    workers.emplace_back([=] { body(from, to); });
  }
  body(0, std::min(n, step));
  for (auto& w : workers) w.join();
}

}  // namespace

std::vector<QVLSortableIndexEntry> buildSortableIndexEntries(std::span<const QVLScanVertex> vertices,
                                                             const std::vector<SharedData>& indexLists) {
  const std::size_t n = vertices.size();
  std::vector<QVLSortableIndexEntry> records(n);
  inChunks(n, [&](std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to; ++i) {
      const QVLScanVertex v = vertices[i];
      QVLSortableIndexEntry& r = records[i];
      r.vertexNumber = i;
      r.y = v.point3DY;
      r.radiusSquared = v.point3DZ * v.point3DZ + v.point3DX * v.point3DX;
      r.cloudId = v.lookupId;
      if (i == 0 || i + 1 == n)
        r.neighbourDistance = kQVLFloatMax;
      else
        r.neighbourDistance =
            PointToSegmentDistance(positionOf(v), positionOf(vertices[i - 1]), positionOf(vertices[i + 1]));
    }
  });
  for (const SharedData& list : indexLists) {
    if (!list) continue;
    const std::size_t entries = list->size() / 4;
    const std::uint8_t* bytes = list->data();
    for (std::size_t e = 0; e < entries; ++e) {
      std::uint32_t v;
      std::memcpy(&v, bytes + 4 * e, 4);
      if (v < n) records[v].flags |= QVLPointFlags::Listed;
    }
  }
  return records;
}

SortOrders computeSortOrders(std::span<const QVLSortableIndexEntry> records) {
  SortOrders orders;
  // The three sorts are independent; on a two-million-point scan they are most of the load.
  std::thread byY([&] { orders.byY = sortedBy(records, &QVLSortableIndexEntry::y); });
  std::thread byRadius([&] { orders.byRadius = sortedBy(records, &QVLSortableIndexEntry::radiusSquared); });
  orders.byNeighbour = sortedBy(records, &QVLSortableIndexEntry::neighbourDistance);
  byY.join();
  byRadius.join();
  return orders;
}

OrderList OrderList::fromVector(const std::vector<std::uint64_t>& numbers) {
  auto bytes = std::make_shared<Data>(numbers.size() * 8);
  if (!numbers.empty()) std::memcpy(bytes->data(), numbers.data(), bytes->size());
  return OrderList(std::move(bytes));
}

bool isPermutation(std::span<const std::uint64_t> order, std::size_t n) {
  if (order.size() != n) return false;
  std::vector<bool> seen(n, false);
  for (std::uint64_t i : order) {
    if (i >= n || seen[i]) return false;
    seen[i] = true;
  }
  return true;
}

void applyDisplayCap(std::span<QVLSortableIndexEntry> records, std::span<const std::uint64_t> byNeighbour,
                     std::uint64_t cap) {
  for (std::size_t p = cap; p < byNeighbour.size(); ++p)
    if (byNeighbour[p] < records.size()) records[byNeighbour[p]].flags |= QVLPointFlags::BeyondDisplayCap;
}

LayerVisibility LayerVisibility::fromLayers(const std::vector<QVLLayerState>& layers) {
  LayerVisibility visibility;
  for (const QVLLayerState& layer : layers)
    if (!layer.isEnabled) visibility.hide(layer.cloudId);
  return visibility;
}

std::size_t cropPass(std::span<QVLSortableIndexEntry> records, std::span<const std::uint64_t> byNeighbour,
                     float top, float bottom, float radius, const LayerVisibility& visibility, bool orderIsPermutation) {
  constexpr std::uint16_t kCropBits =
      QVLPointFlags::OutsideRadius | QVLPointFlags::OutsideHeight | QVLPointFlags::LayerHidden;
  const float radiusSquared = radius * radius;
  const auto apply = [&](QVLSortableIndexEntry& r) {
    std::uint16_t bits = 0;
    if (r.radiusSquared > radiusSquared) bits |= QVLPointFlags::OutsideRadius;
    if (r.y < bottom || r.y > top) bits |= QVLPointFlags::OutsideHeight;
    if (visibility.isHidden(r.cloudId)) bits |= QVLPointFlags::LayerHidden;
    r.flags = static_cast<std::uint16_t>((r.flags & ~kCropBits) | bits);
  };
  // An order that names every record once touches them all: walking the records in memory
  // order gives the same flags without a cache miss per record.
  if (orderIsPermutation && byNeighbour.size() == records.size()) {
    inChunks(records.size(), [&](std::size_t from, std::size_t to) {
      for (std::size_t i = from; i < to; ++i) apply(records[i]);
    });
    return 0;
  }
  std::size_t outOfRange = 0;
  for (std::uint64_t number : byNeighbour) {
    if (number >= records.size()) {
      ++outOfRange;
      continue;
    }
    apply(records[number]);
  }
  return outOfRange;
}

namespace {

struct CropBounds {
  float top, bottom, radiusSquared;
  const LayerVisibility* visibility;
};

inline void applyCrop(QVLSortableIndexEntry& r, const CropBounds& c) {
  constexpr std::uint16_t kCropBits =
      QVLPointFlags::OutsideRadius | QVLPointFlags::OutsideHeight | QVLPointFlags::LayerHidden;
  std::uint16_t bits = 0;
  if (r.radiusSquared > c.radiusSquared) bits |= QVLPointFlags::OutsideRadius;
  if (r.y < c.bottom || r.y > c.top) bits |= QVLPointFlags::OutsideHeight;
  if (c.visibility->isHidden(r.cloudId)) bits |= QVLPointFlags::LayerHidden;
  r.flags = static_cast<std::uint16_t>((r.flags & ~kCropBits) | bits);
}

// Collects the drawn list, optionally setting the crop bits of each record just before it is
// looked at (one walk over the records instead of two).
DrawnList collect(std::span<const QVLScanVertex> vertices, std::span<QVLSortableIndexEntry> records, bool hasClouds,
                  const CropBounds* crop);

}  // namespace

DrawnList collectDrawnVertices(std::span<const QVLScanVertex> vertices, std::span<const QVLSortableIndexEntry> records,
                               bool hasClouds) {
  // Without a crop nothing is written, so the records may be read through a const view.
  return collect(vertices, {const_cast<QVLSortableIndexEntry*>(records.data()), records.size()}, hasClouds, nullptr);
}

DrawnList cropAndCollect(std::span<const QVLScanVertex> vertices, std::span<QVLSortableIndexEntry> records,
                         std::span<const std::uint64_t> byNeighbour, float top, float bottom, float radius,
                         const LayerVisibility& visibility, bool orderIsPermutation, bool hasClouds,
                         std::size_t* outOfRange) {
  if (orderIsPermutation && byNeighbour.size() == records.size()) {
    if (outOfRange) *outOfRange = 0;
    const CropBounds bounds{top, bottom, radius * radius, &visibility};
    return collect(vertices, records, hasClouds, &bounds);
  }
  const std::size_t skipped = cropPass(records, byNeighbour, top, bottom, radius, visibility, false);
  if (outOfRange) *outOfRange = skipped;
  return collect(vertices, records, hasClouds, nullptr);
}

namespace {

DrawnList collect(std::span<const QVLScanVertex> vertices, std::span<QVLSortableIndexEntry> records, bool hasClouds,
                  const CropBounds* crop) {
  // Each chunk collects its own runs and sums; joined in chunk order they are the runs of one
  // walk over all vertices.
  struct Part {
    std::vector<std::uint32_t> drawn, selected;
    double sum[3] = {0, 0, 0};
    float minY = kQVLFloatMax, maxY = -kQVLFloatMax, maxRadiusSquared = 0;
    std::uint64_t present = 0;
    std::vector<std::uint32_t> cloudCounts = std::vector<std::uint32_t>(65536, 0);
  };
  const std::size_t n = std::min(vertices.size(), records.size());
  std::vector<Part> parts(n < 200'000 ? 1 : 4);
  const std::size_t step = (n + parts.size() - 1) / parts.size();
  const auto walk = [&](std::size_t p) {
    Part& part = parts[p];
    const std::size_t from = std::min(n, p * step), to = std::min(n, from + step);
    part.drawn.reserve(to - from);
    for (std::size_t i = from; i < to; ++i) {
      if (crop) applyCrop(records[i], *crop);
      const QVLScanVertex& v = vertices[i];
      if (isAtOrigin(v)) continue;
      ++part.present;
      // A position that holds an infinity or a NaN is no place to draw at, and would make the home
      // position and the crop bounds no numbers: such a point is present but not drawn.
      if (!std::isfinite(v.point3DX) || !std::isfinite(v.point3DY) || !std::isfinite(v.point3DZ)) continue;
      const std::uint16_t flags = records[i].flags;
      if (isDrawnFlags(flags, hasClouds)) {
        part.drawn.push_back(static_cast<std::uint32_t>(i));
        part.sum[0] += v.point3DX;
        part.sum[1] += v.point3DY;
        part.sum[2] += v.point3DZ;
        part.minY = std::min(part.minY, v.point3DY);
        part.maxY = std::max(part.maxY, v.point3DY);
        part.maxRadiusSquared = std::max(part.maxRadiusSquared, records[i].radiusSquared);
        ++part.cloudCounts[static_cast<std::uint16_t>(v.lookupId)];
      } else if (isShownSelected(flags)) {
        part.selected.push_back(static_cast<std::uint32_t>(i));
      }
    }
  };
  std::vector<std::thread> workers;
  for (std::size_t p = 1; p < parts.size(); ++p) workers.emplace_back(walk, p);
  walk(0);
  for (auto& w : workers) w.join();

  DrawnList out;
  out.indices.assign(vertices.size(), 0);
  out.cloudCounts.assign(65536, 0);
  double sum[3] = {0, 0, 0};
  std::size_t front = 0, back = out.indices.size();
  for (const Part& part : parts) {
    std::copy(part.drawn.begin(), part.drawn.end(), out.indices.begin() + static_cast<std::ptrdiff_t>(front));
    front += part.drawn.size();
    for (std::uint32_t i : part.selected) out.indices[--back] = i;
    for (int a = 0; a < 3; ++a) sum[a] += part.sum[a];
    out.minY = std::min(out.minY, part.minY);
    out.maxY = std::max(out.maxY, part.maxY);
    out.maxRadiusSquared = std::max(out.maxRadiusSquared, part.maxRadiusSquared);
    out.presentCount += part.present;
    for (std::size_t c = 0; c < 65536; ++c) out.cloudCounts[c] += part.cloudCounts[c];
  }
  out.drawnCount = front;
  out.selectedCount = out.indices.size() - back;
  // Sums in double precision: two million single-precision additions would drift visibly.
  if (front > 0) {
    const double count = static_cast<double>(front);
    out.homePosition = Double3{static_cast<float>(-(sum[0] / count)), static_cast<float>(-(sum[1] / count)),
                               static_cast<float>(-(sum[2] / count))};
  }
  return out;
}

}  // namespace

std::string pointCountLabel(std::uint64_t drawn, std::uint64_t present) {
  if (drawn == present) return format("Displaying %llu points", static_cast<unsigned long long>(drawn));
  return format("Displaying %llu of %llu points", static_cast<unsigned long long>(drawn),
                static_cast<unsigned long long>(present));
}

template <typename T>
SharedData toData(const std::vector<T>& values) {
  auto data = std::make_shared<Data>(values.size() * sizeof(T));
  if (!values.empty()) std::memcpy(data->data(), values.data(), data->size());
  return data;
}

template <typename T>
std::vector<T> fromData(const SharedData& data) {
  std::vector<T> out;
  if (!data) return out;
  out.resize(data->size() / sizeof(T));
  if (!out.empty()) std::memcpy(out.data(), data->data(), out.size() * sizeof(T));
  return out;
}

template SharedData toData(const std::vector<QVLSortableIndexEntry>&);
template SharedData toData(const std::vector<std::uint32_t>&);
template std::vector<QVLSortableIndexEntry> fromData(const SharedData&);
template std::vector<std::uint32_t> fromData(const SharedData&);

}  // namespace qv::viewer
