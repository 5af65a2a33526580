// Grid normals: neighbour searches along rows, slices and diagonals, eight weighted triangles per point.
#include "acquisition/SurfaceNormals.h"

#include <Eigen/Geometry>
#include <cmath>
#include <vector>

#include "store/VertexRecords.h"

namespace qv {

namespace {

bool isEmpty(const Eigen::Vector3f& v) {
  return std::fabs(v.x()) < 1e-5f && std::fabs(v.y()) < 1e-5f && std::fabs(v.z()) < 1e-5f;
}

struct Neighbour {
  Eigen::Vector3f point = Eigen::Vector3f::Zero();
  int steps = 0;  // 0: not found
  bool found() const { return steps > 0; }
};

}  // namespace

Eigen::Vector3f normalOfThreePoints(const Eigen::Vector3f& a, const Eigen::Vector3f& b, const Eigen::Vector3f& c) {
  if (isEmpty(a) || isEmpty(b) || isEmpty(c)) return Eigen::Vector3f::Zero();
  const Eigen::Vector3f n = (a - c).cross(b - c);
  const float length = n.norm();
  if (!(length > 0.0f) || !std::isfinite(length)) return Eigen::Vector3f::Zero();
  return n / length;
}

void computeSliceGridNormals(std::span<QVLSliceVertex> grid, std::size_t slices) {
  constexpr int kRows = static_cast<int>(kSliceBlockRows);
  if (slices == 0 || grid.size() < slices * kSliceBlockRows) return;
  const int n = static_cast<int>(slices);
  auto cell = [&](int s, int r) -> const QVLSliceVertex& {
    return grid[static_cast<std::size_t>(((s % n) + n) % n) * kSliceBlockRows + static_cast<std::size_t>(r)];
  };
  auto position = [](const QVLSliceVertex& v) { return Eigen::Vector3f(v.point3DX, v.point3DY, v.point3DZ); };
  // Search from (s, r) in steps of (ds, dr) for the first cell with a point, at most `limit` steps.
  auto search = [&](int s, int r, int ds, int dr, int limit) {
    Neighbour nb;
    for (int k = 1; k <= limit; ++k) {
      const int row = r + k * dr;
      if (row < 0 || row >= kRows) break;
      const QVLSliceVertex& v = cell(s + k * ds, row);
      if (v.hasPoint()) {
        nb.point = position(v);
        nb.steps = k;
        break;
      }
    }
    return nb;
  };

  std::vector<Eigen::Vector3f> normals(slices * kSliceBlockRows, Eigen::Vector3f::Zero());
  for (int s = 0; s < n; ++s) {
    for (int r = 0; r < kRows; ++r) {
      const QVLSliceVertex& here = cell(s, r);
      if (!here.hasPoint()) continue;
      const Eigen::Vector3f p = position(here);
      const Neighbour up = search(s, r, 0, -1, kRows);
      const Neighbour down = search(s, r, 0, 1, kRows);
      Neighbour left, right, lu, ld, ru, rd;
      if (n >= 2) {
        left = search(s, r, -1, 0, n - 1);
        right = search(s, r, 1, 0, n - 1);
        lu = search(s, r, -1, -1, n - 1);
        ld = search(s, r, -1, 1, n - 1);
        ru = search(s, r, 1, -1, n - 1);
        rd = search(s, r, 1, 1, n - 1);
      }
      Eigen::Vector3f sum = Eigen::Vector3f::Zero();
      auto add = [&](const Neighbour& a, const Neighbour& b, const Neighbour& present, const Neighbour& ka,
                     const Neighbour& kb) {
        if (!present.found()) return;
        const int steps = ka.steps + kb.steps;
        if (steps <= 0) return;
        const Eigen::Vector3f t = normalOfThreePoints(a.point, b.point, p);
        if (t.isZero()) return;
        sum += t / static_cast<float>(steps);
      };
      add(left, up, lu, up, left);
      add(ld, lu, left, lu, ld);
      add(down, left, ld, left, down);
      add(lu, ru, up, lu, ru);
      add(rd, ld, down, ld, rd);
      add(up, right, ru, up, right);
      add(ru, rd, right, ru, rd);
      add(right, down, rd, down, right);
      const float length = sum.norm();
      if (!(length > 0.0f) || !std::isfinite(length)) continue;
      Eigen::Vector3f normal = sum / length;
      // Signed by the side of the bed's axis the point lies on as the scanner saw it. The whole
      // chain is built on this orientation: the mesher's facets come out wound to match, and the
      // STL reader negates facet normals, so the mesh the viewer shows faces out. Turning the
      // normals towards the laser instead measured worse meshes and showed them inside out.
      if (here.unwrappedPointZ < 0.0f) normal = -normal;
      normals[static_cast<std::size_t>(s) * kSliceBlockRows + static_cast<std::size_t>(r)] = normal;
    }
  }
  for (std::size_t i = 0; i < normals.size(); ++i) {
    grid[i].normalX = normals[i].x();
    grid[i].normalY = normals[i].y();
    grid[i].normalZ = normals[i].z();
  }
}

}  // namespace qv
