// One point set of the live preview: appending, thinning and copying preview vertex records.
#include "screens/QVLScanViewPointSet.h"

#include <algorithm>
#include <limits>
#include <functional>

#include "platform/Log.h"
#include "viewer/model/PointDistance.h"

namespace {

QVSPoint3f positionOf(const QVLPreviewVertex& v) { return {v.x, v.y, v.z}; }

// A candidate for removal: its distance from the segment of its neighbours when it was measured.
struct Candidate {
  float distance;
  std::uint32_t place;
  std::uint32_t version;
  // The smallest distance first, and of equal ones the earliest place, as a scan of the list in
  // order would choose.
  bool operator>(const Candidate& o) const { return distance != o.distance ? distance > o.distance : place > o.place; }
};

}  // namespace

QVLScanViewPointSet::QVLScanViewPointSet(int pointSetType)
    : type_(pointSetType), capacity_(pointSetType == kLastSliceType ? kLastSliceCapacity : kLevelOfDetailCapacity) {}

bool QVLScanViewPointSet::addVertices(std::span<const QVLPreviewVertex> batch, float percentageToRemove,
                                      Produced* produced) {
  const std::size_t n = batch.size();
  if (n == 0) return true;
  QVLPreviewVertex* at = roomFor(n);
  if (!at) return false;
  std::copy(batch.begin(), batch.end(), at);
  std::size_t kept = n;
  // A fraction that is not a number is not 0 either, so it thins too.
  if (percentageToRemove != 0.0f) kept = n - removeIntermediatePoints(at, n, percentageToRemove);
  keep(at, kept, produced);
  return true;
}

QVLPreviewVertex* QVLScanViewPointSet::roomFor(std::size_t n) {
  if (n > capacity_ - count_) return nullptr;
  if (records_.size() < count_ + n) records_.resize(count_ + n);
  return records_.data() + count_;
}

void QVLScanViewPointSet::keep(const QVLPreviewVertex* at, std::size_t kept, Produced* produced) {
  count_ += kept;
  if (!produced) return;
  produced->data.assign(at, at + kept);
  produced->index.resize(kept);
  for (std::size_t i = 0; i < kept; ++i) produced->index[i] = static_cast<std::uint32_t>(i);
}

// The removal order is that of measuring every interior point of the list and taking the first
// nearest one, once per removed point; a heap keeps it without measuring the whole list each
// time, because a removal changes only the two neighbours' distances.
std::vector<std::uint32_t> QVLScanViewPointSet::removalOrder(const QVLPreviewVertex* first, std::size_t n,
                                                             float percentageToRemove) {
  std::vector<std::uint32_t> removed;
  if (n < 3) return removed;
  constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();
  // Scratch kept per thread: the preview thins two batches per save.
  thread_local std::vector<std::uint32_t> previous, next, version;
  thread_local std::vector<Candidate> heap;
  previous.resize(n);
  next.resize(n);
  version.assign(n, 0);
  heap.clear();
  for (std::size_t i = 0; i < n; ++i) {
    previous[i] = i == 0 ? kNone : static_cast<std::uint32_t>(i - 1);
    next[i] = i + 1 == n ? kNone : static_cast<std::uint32_t>(i + 1);
  }
  const auto later = std::greater<>();
  auto distanceOf = [&](std::uint32_t place) {
    return PointToSegmentDistance(positionOf(first[place]), positionOf(first[previous[place]]),
                                  positionOf(first[next[place]]));
  };
  // Only a distance below the largest float can be chosen: not a number never is.
  auto choosable = [](float d) { return d < std::numeric_limits<float>::max(); };
  auto measure = [&](std::uint32_t place) {
    if (previous[place] == kNone || next[place] == kNone) return;
    const float d = distanceOf(place);
    if (!choosable(d)) return;
    heap.push_back({d, place, version[place]});
    std::push_heap(heap.begin(), heap.end(), later);
  };
  for (std::uint32_t i = 1; i + 1 < n; ++i) {
    const float d = distanceOf(i);
    if (choosable(d)) heap.push_back({d, i, 0});
  }
  std::make_heap(heap.begin(), heap.end(), later);

  const float count = static_cast<float>(n);
  while (!heap.empty()) {
    std::pop_heap(heap.begin(), heap.end(), later);
    const Candidate c = heap.back();
    heap.pop_back();
    if (c.version != version[c.place]) continue;  // measured before a neighbour went
    const std::uint32_t before = previous[c.place], after = next[c.place];
    next[before] = after;
    previous[after] = before;
    version[c.place] = kNone;  // gone: no entry of it is valid any more
    ++version[before];
    ++version[after];
    measure(before);
    measure(after);
    removed.push_back(c.place);
    if (static_cast<float>(removed.size()) / count > percentageToRemove) break;
  }
  return removed;
}

std::size_t QVLScanViewPointSet::removalsFor(std::size_t n, std::size_t available, float percentageToRemove) {
  if (percentageToRemove == 0.0f) return 0;
  const float count = static_cast<float>(n);
  for (std::size_t r = 1; r <= available; ++r)
    if (static_cast<float>(r) / count > percentageToRemove) return r;
  return available;
}

namespace {

// Moves the records that survive the first `removals` places of `order` to `to`, in arrival order.
std::size_t keepSurvivors(const QVLPreviewVertex* from, std::size_t n, std::span<const std::uint32_t> order,
                          std::size_t removals, QVLPreviewVertex* to) {
  thread_local std::vector<std::uint8_t> gone;
  gone.assign(n, 0);
  for (std::size_t i = 0; i < removals; ++i) gone[order[i]] = 1;
  std::size_t kept = 0;
  for (std::size_t i = 0; i < n; ++i)
    if (!gone[i]) to[kept++] = from[i];
  return kept;
}

}  // namespace

std::size_t QVLScanViewPointSet::removeIntermediatePoints(QVLPreviewVertex* first, std::size_t n,
                                                          float percentageToRemove) {
  if (n == 0) return 0;
  const auto order = removalOrder(first, n, percentageToRemove);
  keepSurvivors(first, n, order, order.size(), first);
  QVLogVerbose("%lu/%lu elements removed", static_cast<unsigned long>(order.size()), static_cast<unsigned long>(n));
  return order.size();
}

bool QVLScanViewPointSet::addThinnedVertices(std::span<const QVLPreviewVertex> batch,
                                             std::span<const std::uint32_t> order, std::size_t removals,
                                             Produced* produced) {
  const std::size_t n = batch.size();
  if (n == 0) return true;
  QVLPreviewVertex* at = roomFor(n);
  if (!at) return false;
  const std::size_t kept = keepSurvivors(batch.data(), n, order, std::min(removals, order.size()), at);
  QVLogVerbose("%lu/%lu elements removed", static_cast<unsigned long>(n - kept), static_cast<unsigned long>(n));
  keep(at, kept, produced);
  return true;
}

bool QVLScanViewPointSet::copyFrom(const QVLScanViewPointSet& other) {
  if (other.count_ > capacity_) return false;
  if (records_.size() < other.count_) records_.resize(other.count_);
  std::copy(other.records_.begin(), other.records_.begin() + static_cast<std::ptrdiff_t>(other.count_), records_.begin());
  count_ = other.count_;
  return true;
}
