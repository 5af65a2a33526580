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

// How close to the edge (px) a centre may lie on the other side than its key says: the edge's
// crossings are only found to a thousandth of a pixel.
constexpr double kCentreSlack = 0.005;

}  // namespace

std::optional<double> straightEdgeCoverage(const std::array<bool, 4>& inside, const std::array<double, 4>& crossing) {
  int crossed = 0;
  for (int i = 0; i < 4; ++i) crossed += inside[i] != inside[(i + 1) % 4];
  if (crossed != 2) return std::nullopt;
  // The part of the square on the inside corners' side is convex: walk round it and sum its area.
  std::array<Eigen::Vector2d, 6> polygon;
  int n = 0;
  for (int i = 0; i < 4; ++i) {
    if (inside[i]) polygon[n++] = Eigen::Vector2d(kCorner[i][0], kCorner[i][1]);
    if (inside[i] != inside[(i + 1) % 4]) polygon[n++] = sidePoint(i, crossing[i]);
  }
  double twiceArea = 0.0;
  for (int i = 0; i < n; ++i) twiceArea += cross(polygon[i], polygon[(i + 1) % n]);
  return std::fabs(twiceArea) / 2.0;
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
                                             std::uint64_t second) {
  double lo = 0.0;
  double hi = 1.0;
  for (int i = 0; i < kBisections; ++i) {
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
    const auto at = left == right ? std::nullopt : bisect(u - 0.5, line - 0.5, u + 0.5, line - 0.5, left, right);
    x = Crossing{stamp(line), at.has_value(), at.value_or(0.0)};
  }
  return x;
}

const PixelAreaLight::Crossing& PixelAreaLight::down(int v, int u) {
  Crossing& x = down_[u];
  if (x.stamp != stamp(v)) {
    const std::uint64_t top = corner(v, u).key;
    const std::uint64_t bottom = corner(v + 1, u).key;
    const auto at = top == bottom ? std::nullopt : bisect(u - 0.5, v - 0.5, u - 0.5, v + 0.5, top, bottom);
    x = Crossing{stamp(v), at.has_value(), at.value_or(0.0)};
  }
  return x;
}

Eigen::Vector3f PixelAreaLight::jittered(int u, int v) {
  // One point at random within each cell of the grid: a regular grid would measure every edge's
  // coverage in the same steps of 1/n and move all edges alike.
  RandomStream jitter((static_cast<std::uint64_t>(v) << 32) ^ static_cast<std::uint64_t>(u) ^ RandomStream::kIncrement);
  Eigen::Vector3f sum = Eigen::Vector3f::Zero();
  for (int i = 0; i < grid_; ++i)
    for (int j = 0; j < grid_; ++j) {
      const double x = u - 0.5 + (j + jitter.uniform()) / grid_;
      const double y = v - 0.5 + (i + jitter.uniform()) / grid_;
      sum += see_(x, y).light;
    }
  return sum / static_cast<float>(grid_ * grid_);
}

Eigen::Vector3f PixelAreaLight::light(int u, int v, const SeenPoint& centre, bool oneEdgeAround) {
  if (!oneEdgeAround) return jittered(u, v);
  const SeenPoint* c[4] = {&corner(v, u), &corner(v, u + 1), &corner(v + 1, u + 1), &corner(v + 1, u)};
  const std::uint64_t a = c[0]->key;
  std::uint64_t b = a;
  for (const SeenPoint* p : c)
    if (p->key != a) {
      b = p->key;
      break;
    }
  if (b == a) return centre.key == a ? centre.light : jittered(u, v);
  if (centre.key != a && centre.key != b) return jittered(u, v);
  std::array<bool, 4> inside{};
  for (int i = 0; i < 4; ++i) {
    if (c[i]->key != a && c[i]->key != b) return jittered(u, v);
    inside[i] = c[i]->key == a;
  }
  int crossed = 0;
  for (int i = 0; i < 4; ++i) crossed += inside[i] != inside[(i + 1) % 4];
  if (crossed != 2) return jittered(u, v);
  // Where the edge crosses each side whose corners differ, measured from the side's first corner
  // going round; the bottom and left sides are kept from left to right and top to bottom.
  std::array<double, 4> crossing{};
  Eigen::Vector2d ends[2];
  int found = 0;
  for (int i = 0; i < 4; ++i) {
    if (inside[i] == inside[(i + 1) % 4]) continue;
    const Crossing& x = i == 0 ? across(v, u) : i == 1 ? down(v, u + 1) : i == 2 ? across(v + 1, u) : down(v, u);
    if (!x.found) return jittered(u, v);
    crossing[i] = i < 2 ? x.at : 1.0 - x.at;
    ends[found++] = sidePoint(i, crossing[i]);
  }
  const auto coverage = straightEdgeCoverage(inside, crossing);
  if (!coverage) return jittered(u, v);
  // The centre must lie on its own surface's side of the edge, or the edge is no straight line.
  const Eigen::Vector2d along = ends[1] - ends[0];
  const double centreSide = cross(along, Eigen::Vector2d(0.5, 0.5) - ends[0]);
  double insideSide = 0.0;
  for (int i = 0; i < 4; ++i) {
    const double side = cross(along, Eigen::Vector2d(kCorner[i][0], kCorner[i][1]) - ends[0]);
    if (inside[i] && std::fabs(side) > std::fabs(insideSide)) insideSide = side;
  }
  const bool centreInside = centreSide * insideSide > 0.0;
  if (centreInside != (centre.key == a) && std::fabs(centreSide) > kCentreSlack * along.norm()) return jittered(u, v);

  // Light varies smoothly on either side: each side's is the mean of what its points see.
  Eigen::Vector3f light[2] = {Eigen::Vector3f::Zero(), Eigen::Vector3f::Zero()};
  int count[2] = {0, 0};
  for (int i = 0; i < 4; ++i) {
    light[inside[i] ? 0 : 1] += c[i]->light;
    ++count[inside[i] ? 0 : 1];
  }
  light[centre.key == a ? 0 : 1] += centre.light;
  ++count[centre.key == a ? 0 : 1];
  const float share = static_cast<float>(*coverage);
  return share * light[0] / static_cast<float>(count[0]) + (1.0f - share) * light[1] / static_cast<float>(count[1]);
}

}  // namespace qv::sim
