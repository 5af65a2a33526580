// Statistical outliers through a k-d tree searched in parallel.
#include "viewer/model/AutoClean.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <thread>

#include "platform/Cores.h"
#include "viewer/model/CleaningEdits.h"
#include "viewer/model/DisplayRecords.h"

namespace qv::viewer {

bool autoCleanStrengthFor(const std::string& identifier, AutoCleanStrength* strength) {
  double m = 0;
  if (identifier == "LightAutoClean") m = 6.0;
  else if (identifier == "MedAutoClean") m = 3.0;
  else if (identifier == "HeavyAutoClean") m = 1.0;
  else return false;
  if (strength) *strength = {50, m};
  return true;
}

namespace {

// A balanced k-d tree in implicit layout (children of node i at 2i + 1 and 2i + 2), each node
// with the tight box of its points, the points stored contiguously in tree order.
class NeighbourTree {
public:
  static constexpr std::uint32_t kLeafSize = 16;

  NeighbourTree(std::span<const scene::Vec3> points, std::vector<std::uint32_t> usable, unsigned threads)
      : order_(std::move(usable)) {
    std::uint32_t levels = 0;
    for (std::size_t span = order_.size(); span > kLeafSize; span = (span + 1) / 2) ++levels;
    nodes_.resize((std::size_t{2} << levels));
    build(points, 0, 0, static_cast<std::uint32_t>(order_.size()), 0, threads > 1 ? 3 : 0);
    xyz_.resize(order_.size() * 3);
    for (std::size_t i = 0; i < order_.size(); ++i) {
      const scene::Vec3 p = points[order_[i]];
      xyz_[3 * i] = p.x;
      xyz_[3 * i + 1] = p.y;
      xyz_[3 * i + 2] = p.z;
    }
  }

  std::size_t size() const { return order_.size(); }
  std::uint32_t original(std::size_t position) const { return order_[position]; }

  // The `k` smallest squared distances from the point at tree position `self` to the others,
  // ascending. `heap` is the caller's scratch.
  void nearest(std::size_t self, std::size_t k, std::vector<float>& heap) const {
    heap.clear();
    const float q[3] = {xyz_[3 * self], xyz_[3 * self + 1], xyz_[3 * self + 2]};
    search(0, q, static_cast<std::uint32_t>(self), k, heap);
    std::sort_heap(heap.begin(), heap.end());
  }

  // The leaves in tree order: their point ranges follow one another.
  std::vector<std::size_t> leaves() const {
    std::vector<std::size_t> out;
    collectLeaves(0, out);
    return out;
  }

  // The k smallest squared distances of every point of a leaf, from one gathering of the points
  // near the leaf's box: `bound` is the squared distance gathered to (grown when a point's k-th
  // neighbour lies beyond it, so the next leaf gathers enough). `found` gets each tree position
  // with its distances, ascending.
  template <typename Found>
  void leafNearest(std::size_t leaf, std::size_t k, float& bound, std::vector<std::uint32_t>& gathered,
                   std::vector<float>& scratch, Found&& found) const {
    const Node& box = nodes_[leaf];
    gathered.clear();
    gather(0, box, bound, gathered);
    float widest = 0;
    for (std::uint32_t self = box.begin; self < box.end; ++self) {
      const float q[3] = {xyz_[3 * self], xyz_[3 * self + 1], xyz_[3 * self + 2]};
      scratch.clear();
      for (std::uint32_t i : gathered)
        if (i != self) scratch.push_back(squaredDistance(q, &xyz_[3 * i]));
      // Every point left out lies farther than `bound` from the whole box, so when the k-th
      // distance is within it the k smallest are exact; otherwise search the tree for this one.
      if (scratch.size() >= k) {
        std::nth_element(scratch.begin(), scratch.begin() + static_cast<std::ptrdiff_t>(k - 1), scratch.end());
        if (scratch[k - 1] <= bound) {
          widest = std::max(widest, scratch[k - 1]);
          scratch.resize(k);
          std::sort(scratch.begin(), scratch.end());
          found(self, scratch);
          continue;
        }
      }
      nearest(self, k, scratch);
      widest = std::max(widest, scratch.back());
      found(self, scratch);
    }
    // Neighbouring leaves have neighbours at much the same distances.
    bound = widest * 1.1f;
  }

private:
  struct Node {
    float lo[3], hi[3];
    std::uint32_t begin = 0, end = 0;
  };

  // Summed left to right in float, as the library's search computes it.
  static float squaredDistance(const float q[3], const float* p) {
    const float dx = q[0] - p[0], dy = q[1] - p[1], dz = q[2] - p[2];
    float d = 0;
    d += dx * dx;
    d += dy * dy;
    d += dz * dz;
    return d;
  }

  void collectLeaves(std::size_t node, std::vector<std::size_t>& out) const {
    if (isLeaf(node)) {
      out.push_back(node);
      return;
    }
    collectLeaves(2 * node + 1, out);
    collectLeaves(2 * node + 2, out);
  }

  // A lower bound of the float squared distance between any point of one box and any of the
  // other (each gap is at most a coordinate difference; rounding keeps the order).
  static float boxBoxDistance(const Node& a, const Node& b) {
    float sum = 0;
    for (int i = 0; i < 3; ++i) {
      const float gap = a.lo[i] > b.hi[i] ? a.lo[i] - b.hi[i] : b.lo[i] > a.hi[i] ? b.lo[i] - a.hi[i] : 0.0f;
      sum += gap * gap;
    }
    return sum;
  }

  void gather(std::size_t node, const Node& box, float bound, std::vector<std::uint32_t>& out) const {
    const Node& n = nodes_[node];
    if (boxBoxDistance(n, box) > bound) return;
    if (isLeaf(node)) {
      for (std::uint32_t i = n.begin; i < n.end; ++i) out.push_back(i);
      return;
    }
    gather(2 * node + 1, box, bound, out);
    gather(2 * node + 2, box, bound, out);
  }

  bool isLeaf(std::size_t node) const { return nodes_[node].end - nodes_[node].begin <= kLeafSize; }

  void build(std::span<const scene::Vec3> points, std::size_t node, std::uint32_t begin, std::uint32_t end,
             int depth, int parallelDepth) {
    Node& n = nodes_[node];
    n.begin = begin;
    n.end = end;
    for (int a = 0; a < 3; ++a) {
      n.lo[a] = std::numeric_limits<float>::infinity();
      n.hi[a] = -std::numeric_limits<float>::infinity();
    }
    for (std::uint32_t i = begin; i < end; ++i) {
      const scene::Vec3 p = points[order_[i]];
      const float c[3] = {p.x, p.y, p.z};
      for (int a = 0; a < 3; ++a) {
        n.lo[a] = std::min(n.lo[a], c[a]);
        n.hi[a] = std::max(n.hi[a], c[a]);
      }
    }
    if (end - begin <= kLeafSize) return;
    int axis = 0;
    for (int a = 1; a < 3; ++a)
      if (n.hi[a] - n.lo[a] > n.hi[axis] - n.lo[axis]) axis = a;
    const std::uint32_t mid = begin + (end - begin + 1) / 2;
    const auto coordinate = [&](std::uint32_t i) {
      const scene::Vec3 p = points[i];
      return axis == 0 ? p.x : axis == 1 ? p.y : p.z;
    };
    std::nth_element(order_.begin() + begin, order_.begin() + mid, order_.begin() + end,
                     [&](std::uint32_t a, std::uint32_t b) { return coordinate(a) < coordinate(b); });
    if (depth < parallelDepth) {
      std::thread left([&] { build(points, 2 * node + 1, begin, mid, depth + 1, parallelDepth); });
      build(points, 2 * node + 2, mid, end, depth + 1, parallelDepth);
      left.join();
    } else {
      build(points, 2 * node + 1, begin, mid, depth + 1, parallelDepth);
      build(points, 2 * node + 2, mid, end, depth + 1, parallelDepth);
    }
  }

  // A lower bound of the float squared distance to any point in the box: each gap is at most
  // that coordinate's difference and the sum runs in the same order, so rounding keeps it below.
  static float boxDistance(const Node& n, const float q[3]) {
    float sum = 0;
    for (int a = 0; a < 3; ++a) {
      const float gap = q[a] < n.lo[a] ? n.lo[a] - q[a] : q[a] > n.hi[a] ? q[a] - n.hi[a] : 0.0f;
      sum += gap * gap;
    }
    return sum;
  }

  void search(std::size_t node, const float q[3], std::uint32_t self, std::size_t k, std::vector<float>& heap) const {
    const Node& n = nodes_[node];
    if (isLeaf(node)) {
      for (std::uint32_t i = n.begin; i < n.end; ++i) {
        if (i == self) continue;
        const float d = squaredDistance(q, &xyz_[3 * i]);
        if (heap.size() < k) {
          heap.push_back(d);
          std::push_heap(heap.begin(), heap.end());
        } else if (d < heap.front()) {
          std::pop_heap(heap.begin(), heap.end());
          heap.back() = d;
          std::push_heap(heap.begin(), heap.end());
        }
      }
      return;
    }
    const std::size_t a = 2 * node + 1, b = 2 * node + 2;
    const float da = boxDistance(nodes_[a], q), db = boxDistance(nodes_[b], q);
    const std::size_t first = da <= db ? a : b, second = da <= db ? b : a;
    const float dFirst = std::min(da, db), dSecond = std::max(da, db);
    if (heap.size() < k || dFirst <= heap.front()) search(first, q, self, k, heap);
    if (heap.size() < k || dSecond <= heap.front()) search(second, q, self, k, heap);
  }

  std::vector<std::uint32_t> order_;
  std::vector<Node> nodes_;
  std::vector<float> xyz_;
};

}  // namespace

std::vector<std::size_t> statisticalOutliers(std::span<const scene::Vec3> points, int meanK, double multiplier,
                                             unsigned threads) {
  std::vector<std::size_t> outliers;
  std::vector<std::uint32_t> usable;
  usable.reserve(points.size());
  for (std::size_t i = 0; i < points.size(); ++i)
    if (std::isfinite(points[i].x) && std::isfinite(points[i].y) && std::isfinite(points[i].z))
      usable.push_back(static_cast<std::uint32_t>(i));
  if (usable.size() < 2 || meanK < 1) return outliers;
  const std::size_t k = std::min<std::size_t>(static_cast<std::size_t>(meanK), usable.size() - 1);

  if (threads == 0) threads = static_cast<unsigned>(qv::usableCores());
  if (usable.size() < 20'000) threads = 1;
  const NeighbourTree tree(points, std::move(usable), threads);
  const std::size_t n = tree.size();

  // Mean neighbour distance per point, by its position in `points` (0 for points left out).
  std::vector<float> distances(points.size(), 0.0f);
  std::vector<bool> valid(points.size(), false);
  const std::vector<std::size_t> leaves = tree.leaves();
  const std::size_t leafCount = leaves.size();
  const auto work = [&](std::size_t from, std::size_t to) {
    std::vector<std::uint32_t> gathered;
    std::vector<float> scratch;
    float bound = 0;  // the first leaf searches its points one by one and sets it
    for (std::size_t l = from; l < to; ++l)
      tree.leafNearest(leaves[l], k, bound, gathered, scratch, [&](std::uint32_t pos, const std::vector<float>& d) {
        double sum = 0;
        for (float v : d) sum += std::sqrt(static_cast<double>(v));
        distances[tree.original(pos)] = static_cast<float>(sum / static_cast<double>(k));
      });
  };
  // Neighbouring leaves gather much the same points: each thread takes a run of them.
  std::vector<std::thread> workers;
  const std::size_t chunk = (leafCount + threads - 1) / threads;
  for (unsigned t = 1; t < threads && t * chunk < leafCount; ++t)
    workers.emplace_back(work, t * chunk, std::min(leafCount, (t + 1) * chunk));
  work(0, std::min(leafCount, chunk));
  for (auto& w : workers) w.join();
  for (std::size_t pos = 0; pos < n; ++pos) valid[tree.original(pos)] = true;

  // In input order, with the float square added to a double, as the library sums them.
  double sum = 0, squares = 0;
  for (float d : distances) {
    sum += d;
    squares += d * d;
  }
  const double count = static_cast<double>(n);
  const double mean = sum / count;
  const double variance = (squares - sum * sum / count) / (count - 1);
  const double threshold = mean + multiplier * std::sqrt(variance);
  for (std::size_t i = 0; i < points.size(); ++i)
    if (valid[i] && distances[i] > threshold) outliers.push_back(i);
  return outliers;
}

std::vector<std::uint32_t> autoCleanOutliers(std::span<const QVLScanVertex> vertices,
                                             std::span<const QVLSortableIndexEntry> records, int meanK,
                                             double multiplier, unsigned threads) {
  std::vector<scene::Vec3> points;
  std::vector<std::uint32_t> recordOf;
  const std::size_t n = std::min(vertices.size(), records.size());
  for (std::size_t i = 0; i < n; ++i) {
    if (!isAutoCleanCandidate(vertices[i], records[i])) continue;
    points.push_back({vertices[i].point3DX, vertices[i].point3DY, vertices[i].point3DZ});
    recordOf.push_back(static_cast<std::uint32_t>(i));
  }
  std::vector<std::uint32_t> result;
  for (std::size_t p : statisticalOutliers(points, meanK, multiplier, threads)) result.push_back(recordOf[p]);
  return result;
}

}  // namespace qv::viewer
