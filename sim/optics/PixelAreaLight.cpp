// A pixel's light over its area: straight edges located on the pixel's sides, the rest jittered.
#include "sim/optics/PixelAreaLight.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "sim/optics/RandomStream.h"

namespace qv::sim {

namespace {

// The unit square's corners in order around it (x right, y down, as in the image).
constexpr double kCorner[4][2] = {{0.0, 0.0}, {1.0, 0.0}, {1.0, 1.0}, {0.0, 1.0}};

Eigen::Vector2d sidePoint(int side, double fraction) {
  const int next = (side + 1) % 4;
  return {kCorner[side][0] + fraction * (kCorner[next][0] - kCorner[side][0]),
          kCorner[side][1] + fraction * (kCorner[next][1] - kCorner[side][1])};
}

double cross(const Eigen::Vector2d& a, const Eigen::Vector2d& b) { return a.x() * b.y() - a.y() * b.x(); }

// How close to the edge (px) a centre may lie on the other side than its key says, and how far
// from it the probes of its straightness look: the edge's crossings are only found to a
// thousandth of a pixel.
constexpr double kCentreSlack = 0.005;
constexpr double kProbe_px = 0.01;

}  // namespace

std::optional<EdgeSplit> splitByStraightEdge(const std::array<bool, 4>& inside, const std::array<double, 4>& crossing) {
  int crossed = 0;
  for (int i = 0; i < 4; ++i) crossed += inside[i] != inside[(i + 1) % 4];
  if (crossed != 2) return std::nullopt;
  // The inside part of the square is convex: walk round it for its area and centroid.
  std::array<Eigen::Vector2d, 6> polygon;
  int n = 0;
  for (int i = 0; i < 4; ++i) {
    if (inside[i]) polygon[n++] = Eigen::Vector2d(kCorner[i][0], kCorner[i][1]);
    if (inside[i] != inside[(i + 1) % 4]) polygon[n++] = sidePoint(i, crossing[i]);
  }
  double twiceArea = 0.0;
  Eigen::Vector2d moment = Eigen::Vector2d::Zero();
  for (int i = 0; i < n; ++i) {
    const double c = cross(polygon[i], polygon[(i + 1) % n]);
    twiceArea += c;
    moment += c * (polygon[i] + polygon[(i + 1) % n]);
  }
  EdgeSplit split;
  split.insideShare = std::fabs(twiceArea) / 2.0;
  const Eigen::Vector2d middle(0.5, 0.5);
  split.insideCentroid = twiceArea != 0.0 ? Eigen::Vector2d(moment / (3.0 * twiceArea)) : polygon[0];
  const double outsideShare = 1.0 - split.insideShare;
  split.outsideCentroid =
      outsideShare > 0.0 ? Eigen::Vector2d((middle - split.insideShare * split.insideCentroid) / outsideShare) : middle;
  return split;
}

PixelAreaLight::PixelAreaLight(int width) : width_(width), down_(width + 1) {
  for (auto& line : corners_) line.resize(width + 1);
  for (auto& line : across_) line.resize(width);
}

void PixelAreaLight::start(See see, int jitterGrid) {
  see_ = std::move(see);
  grid_ = std::max(1, jitterGrid);
  ++image_;
}

const SeenPoint& PixelAreaLight::corner(int line, int u) {
  Corner& c = corners_[line & 1][u];
  if (c.stamp != stamp(line)) {
    c.seen = see_(u - 0.5, line - 0.5);
    c.stamp = stamp(line);
  }
  return c.seen;
}

std::optional<double> PixelAreaLight::bisect(double x0, double y0, double x1, double y1, std::uint64_t first,
                                             std::uint64_t second, int halvings) {
  double lo = 0.0;
  double hi = 1.0;
  for (int i = 0; i < halvings; ++i) {
    const double mid = 0.5 * (lo + hi);
    const std::uint64_t key = see_(x0 + mid * (x1 - x0), y0 + mid * (y1 - y0)).key;
    if (key == first) lo = mid;
    else if (key == second) hi = mid;
    else return std::nullopt;  // a third surface between the two: not one straight edge
  }
  return 0.5 * (lo + hi);
}

const PixelAreaLight::Crossing& PixelAreaLight::across(int line, int u) {
  Crossing& x = across_[line & 1][u];
  if (x.stamp != stamp(line)) {
    const std::uint64_t left = corner(line, u).key;
    const std::uint64_t right = corner(line, u + 1).key;
    const auto at = left == right ? std::nullopt : bisect(u - 0.5, line - 0.5, u + 0.5, line - 0.5, left, right, kBisections);
    x = Crossing{stamp(line), at.has_value(), at.value_or(0.0)};
  }
  return x;
}

const PixelAreaLight::Crossing& PixelAreaLight::down(int v, int u) {
  Crossing& x = down_[u];
  if (x.stamp != stamp(v)) {
    const std::uint64_t top = corner(v, u).key;
    const std::uint64_t bottom = corner(v + 1, u).key;
    const auto at = top == bottom ? std::nullopt : bisect(u - 0.5, v - 0.5, u - 0.5, v + 0.5, top, bottom, kBisections);
    x = Crossing{stamp(v), at.has_value(), at.value_or(0.0)};
  }
  return x;
}

Eigen::Vector3f PixelAreaLight::jittered(double x, double y, double size, RandomStream& jitter) {
  // One point at random within each cell of the grid: a regular grid would measure every edge's
  // coverage in the same steps of 1/n and move all edges alike.
  Eigen::Vector3f sum = Eigen::Vector3f::Zero();
  for (int i = 0; i < grid_; ++i)
    for (int j = 0; j < grid_; ++j) {
      const double px = x + size * (j + jitter.uniform()) / grid_;
      const double py = y + size * (i + jitter.uniform()) / grid_;
      sum += see_(px, py).light;
    }
  return sum / static_cast<float>(grid_ * grid_);
}

template <typename CrossingOn>
std::optional<Eigen::Vector3f> PixelAreaLight::oneEdge(double x, double y, double size,
                                                       const std::array<const SeenPoint*, 4>& c, const SeenPoint& centre,
                                                       CrossingOn crossingOn) {
  const std::uint64_t a = c[0]->key;
  std::uint64_t b = a;
  for (const SeenPoint* p : c)
    if (p->key != a) {
      b = p->key;
      break;
    }
  if (b == a) {
    if (centre.key == a) return centre.light;  // uniform as far as can be seen
    return std::nullopt;
  }
  if (centre.key != a && centre.key != b) return std::nullopt;
  std::array<bool, 4> inside{};
  for (int i = 0; i < 4; ++i) {
    if (c[i]->key != a && c[i]->key != b) return std::nullopt;
    inside[i] = c[i]->key == a;
  }
  int crossed = 0;
  for (int i = 0; i < 4; ++i) crossed += inside[i] != inside[(i + 1) % 4];
  if (crossed != 2) return std::nullopt;
  std::array<double, 4> crossing{};
  Eigen::Vector2d ends[2];
  int found = 0;
  for (int i = 0; i < 4; ++i) {
    if (inside[i] == inside[(i + 1) % 4]) continue;
    const std::optional<double> at = crossingOn(i);
    if (!at) return std::nullopt;
    crossing[i] = *at;
    ends[found++] = sidePoint(i, crossing[i]);
  }
  const auto split = splitByStraightEdge(inside, crossing);
  if (!split) return std::nullopt;
  // The centre must lie on its own surface's side of the edge, or the edge is no straight line.
  const Eigen::Vector2d along = ends[1] - ends[0];
  const double centreSide = cross(along, Eigen::Vector2d(0.5, 0.5) - ends[0]);
  double insideSide = 0.0;
  for (int i = 0; i < 4; ++i) {
    const double side = cross(along, Eigen::Vector2d(kCorner[i][0], kCorner[i][1]) - ends[0]);
    if (inside[i] && std::fabs(side) > std::fabs(insideSide)) insideSide = side;
  }
  const bool centreInside = centreSide * insideSide > 0.0;
  if (centreInside != (centre.key == a) && std::fabs(centreSide) > kCentreSlack * along.norm()) return std::nullopt;
  // Nor may it bend between its crossings, as round a square's corner: just either side of its
  // middle the two surfaces must be seen.
  Eigen::Vector2d normal = Eigen::Vector2d(-along.y(), along.x()).normalized();
  if (cross(along, normal) * insideSide < 0.0) normal = -normal;
  const Eigen::Vector2d middle = 0.5 * (ends[0] + ends[1]);
  const Eigen::Vector2d probe = (kProbe_px / size) * normal;
  if (see_(x + size * (middle.x() + probe.x()), y + size * (middle.y() + probe.y())).key != a ||
      see_(x + size * (middle.x() - probe.x()), y + size * (middle.y() - probe.y())).key != b)
    return std::nullopt;

  // Light varies smoothly on either side: its mean over each part is what the part's centroid sees.
  const std::uint64_t keys[2] = {a, b};
  const Eigen::Vector2d centroids[2] = {split->insideCentroid, split->outsideCentroid};
  Eigen::Vector3f light[2];
  for (int part = 0; part < 2; ++part) {
    const SeenPoint seen = see_(x + size * centroids[part].x(), y + size * centroids[part].y());
    if (seen.key != keys[part]) return std::nullopt;
    light[part] = seen.light;
  }
  const float share = static_cast<float>(split->insideShare);
  return Eigen::Vector3f(share * light[0] + (1.0f - share) * light[1]);
}

Eigen::Vector3f PixelAreaLight::quarters(double x, double y, double size, int depth, RandomStream& jitter) {
  const double half = size / 2.0;
  Eigen::Vector3f sum = Eigen::Vector3f::Zero();
  for (int i = 0; i < 4; ++i) {
    const double qx = x + half * (i % 2);
    const double qy = y + half * (i / 2);
    SeenPoint seen[4];
    std::array<const SeenPoint*, 4> c{};
    for (int k = 0; k < 4; ++k) {
      seen[k] = see_(qx + half * kCorner[k][0], qy + half * kCorner[k][1]);
      c[k] = &seen[k];
    }
    const SeenPoint centre = see_(qx + half / 2.0, qy + half / 2.0);
    // Smaller squares need fewer halvings for the same precision.
    const auto crossingOn = [&](int side) {
      const int next = (side + 1) % 4;
      return bisect(qx + half * kCorner[side][0], qy + half * kCorner[side][1], qx + half * kCorner[next][0],
                    qy + half * kCorner[next][1], c[side]->key, c[next]->key, kBisections - depth - 1);
    };
    if (const auto light = oneEdge(qx, qy, half, c, centre, crossingOn)) sum += *light;
    else if (depth + 1 >= kQuarterings) sum += jittered(qx, qy, half, jitter);
    else sum += quarters(qx, qy, half, depth + 1, jitter);
  }
  return sum / 4.0f;
}

Eigen::Vector3f PixelAreaLight::light(int u, int v, const SeenPoint& centre, bool oneEdgeAround) {
  if (oneEdgeAround) {
    const std::array<const SeenPoint*, 4> c{&corner(v, u), &corner(v, u + 1), &corner(v + 1, u + 1), &corner(v + 1, u)};
    // The sides' crossings as kept, measured from the side's first corner going round (the bottom
    // and left sides are kept from left to right and from top to bottom).
    const auto crossingOn = [&](int side) -> std::optional<double> {
      const Crossing& x = side == 0 ? across(v, u) : side == 1 ? down(v, u + 1) : side == 2 ? across(v + 1, u) : down(v, u);
      if (!x.found) return std::nullopt;
      return side < 2 ? x.at : 1.0 - x.at;
    };
    if (const auto light = oneEdge(u - 0.5, v - 0.5, 1.0, c, centre, crossingOn)) return *light;
  }
  RandomStream jitter((static_cast<std::uint64_t>(v) << 32) ^ static_cast<std::uint64_t>(u) ^ RandomStream::kIncrement);
  return quarters(u - 0.5, v - 0.5, 1.0, 0, jitter);
}

}  // namespace qv::sim
