// Text exports long enough to be encoded in blocks on several cores: the bytes, counts and
// out-of-range reports must be those of the line rule applied to the records one after another.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "FormatsTestSupport.h"
#include "formats/MeshFormats.h"
#include "formats/PointExports.h"
#include "formats/internal/OrderedBlocks.h"
#include "formats/internal/PieceWriter.h"

namespace {

constexpr std::uint32_t kBlock = static_cast<std::uint32_t>(qv::kLinesPerBlock);

std::string printed(const char* format, double a, double b, double c) {
  char line[512];
  std::snprintf(line, sizeof line, format, a, b, c);
  return line;
}

// Records 0 to n-1 with varied values; every 97th sits at the origin, has no normal or an infinite x.
std::vector<QVLScanVertex> variedVertices(std::size_t n) {
  std::vector<QVLScanVertex> vertices(n);
  std::uint32_t state = 12345;
  auto next = [&] {
    state = state * 1664525u + 1013904223u;
    return (static_cast<float>(state >> 8) / 16777216.0f - 0.5f) * 2000.0f;
  };
  for (std::size_t k = 0; k < n; ++k) {
    vertices[k] = vertex(next(), next(), next(), next() / 1000, next() / 1000, next() / 1000);
    if (k % 97 == 1) vertices[k] = vertex(0, 0, 0, 0, 0, 1);
    if (k % 97 == 2) vertices[k] = vertex(1, 2, 3, 0, 0, 0);
    if (k % 97 == 3) vertices[k] = vertex(INFINITY, 2, 3, 0, 0, 1);
  }
  return vertices;
}

// Empty when the texts are equal, else the first line where they differ (gtest's own diff of
// texts this long would take hours and gigabytes).
std::string firstDifference(const std::string& actual, const std::string& expected) {
  if (actual == expected) return {};
  std::size_t at = 0;
  while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) ++at;
  const std::size_t line = actual.rfind('\n', at) == std::string::npos ? 0 : actual.rfind('\n', at) + 1;
  const std::size_t lineNumber = static_cast<std::size_t>(std::count(actual.begin(), actual.begin() + line, '\n')) + 1;
  return "line " + std::to_string(lineNumber) + ": \"" + actual.substr(line, actual.find('\n', line) - line) + "\" instead of \"" +
         expected.substr(line, expected.find('\n', line) - line) + "\" (" + std::to_string(actual.size()) + " bytes, not " +
         std::to_string(expected.size()) + ")";
}

bool exportable(const QVLScanVertex& v) {
  const bool atOrigin = v.point3DX == 0 && v.point3DY == 0 && v.point3DZ == 0;
  const bool finite = std::isfinite(v.point3DX) && std::isfinite(v.point3DY) && std::isfinite(v.point3DZ);
  const double length = std::sqrt(double(v.normalX) * v.normalX + double(v.normalY) * v.normalY + double(v.normalZ) * v.normalZ);
  return !atOrigin && finite && length > 0;
}

std::string textLine(const QVLScanVertex& v) {
  return printed("%1.6f %1.6f %1.6f ", v.point3DX, v.point3DY, v.point3DZ) + printed("%1.6f %1.6f %1.6f\n", v.normalX, v.normalY, v.normalZ);
}

}  // namespace

TEST(LargeTextExportTest, BlocksGiveTheBytesCountAndReportsOfTheLineRule) {
  const std::uint32_t n = 3 * kBlock + 500;
  const auto vertices = variedVertices(n);
  const qv::SharedData data = vertexBytes(vertices);

  // Two lists whose seam falls inside a block, zero, out-of-range and unexportable entries on both
  // sides of block edges, and vertices named twice.
  std::vector<std::vector<std::uint32_t>> lists(2);
  for (std::uint32_t i = 0; i < 3 * kBlock + 17; ++i) {
    std::uint32_t entry = 1 + (i * 7919u) % (n - 1);
    // Around the first and third block edges, not the second, whose neighbours are all written.
    const std::uint32_t fromEdge = (i + 2) % kBlock, edge = (i + 2) / kBlock;
    if (edge % 2 == 1 && (fromEdge == 0 || fromEdge == 3)) entry = 0;
    if (edge % 2 == 1 && fromEdge == 1) entry = n + i;
    if (edge % 2 == 1 && fromEdge == 2) entry = 2;  // no normal
    lists[i < kBlock + kBlock / 2 ? 0 : 1].push_back(entry);
  }
  std::string expected;
  std::vector<std::uint32_t> expectedReports;
  std::uint64_t expectedCount = 0;
  for (const auto& list : lists)
    for (std::uint32_t k : list) {
      if (k >= n) expectedReports.push_back(k);
      if (k == 0 || k >= n || !exportable(vertices[k])) continue;
      expected += textLine(vertices[k]);
      ++expectedCount;
    }
  const std::vector<qv::SharedData> indexLists = {indexBytes(lists[0]), indexBytes(lists[1])};
  std::vector<std::uint32_t> reports;
  std::uint64_t count = 0;
  const qv::Data body = qv::points::textBody(*data, indexLists, count, [&](std::uint32_t entry) { reports.push_back(entry); });
  EXPECT_EQ(firstDifference(std::string(body.begin(), body.end()), expected), "");
  EXPECT_EQ(count, expectedCount);
  EXPECT_EQ(reports, expectedReports);

  // Lists that give nothing over several blocks: their reports, then every record in order.
  const std::vector<std::uint32_t> useless(2 * kBlock + 3, n + 7);
  std::string all;
  std::uint64_t allCount = 0;
  for (const auto& v : vertices)
    if (exportable(v)) all += textLine(v), ++allCount;
  reports.clear();
  const qv::Data fallback = qv::points::textBody(*data, {indexBytes(useless)}, count, [&](std::uint32_t entry) { reports.push_back(entry); });
  EXPECT_EQ(firstDifference(std::string(fallback.begin(), fallback.end()), all), "");
  EXPECT_EQ(count, allCount);
  EXPECT_EQ(reports, useless);

  // A sink that refuses a piece hears of nothing after it, and the export returns.
  int pieces = 0;
  const qv::ByteSink refusing = [&](std::span<const std::uint8_t>) { return ++pieces < 2; };
  qv::PieceWriter writer(refusing);
  qv::points::writeTextBody(writer, *data, {});
  writer.finish();
  EXPECT_TRUE(writer.failed());
  EXPECT_EQ(pieces, 2);

  // The OBJ lines of a mesh of more triangles than a block, with and without texture coordinates.
  const std::size_t meshVertices = 3 * (kBlock + 40);
  const std::vector<QVLScanVertex> mesh(vertices.begin(), vertices.begin() + meshVertices);
  std::vector<double> uv;
  for (std::size_t i = 0; i < meshVertices; ++i) uv.insert(uv.end(), {double(i % 1000) / 999.0, double(i % 777) / 776.0});
  const qv::Data uvBytes(reinterpret_cast<const std::uint8_t*>(uv.data()), reinterpret_cast<const std::uint8_t*>(uv.data() + uv.size()));
  std::string v, vt, f, fvt;
  for (const auto& p : mesh) v += printed("v %.3f %.3f %.3f\n", p.point3DX, p.point3DY, p.point3DZ);
  for (std::size_t i = 0; i < meshVertices; ++i) vt += printed("vt %.6f %.6f\n", uv[2 * i], 1.0 - uv[2 * i + 1], 0);
  for (double t = 1; t <= meshVertices / 3; ++t) {
    f += printed("f %.0f %.0f %.0f\n", 3 * t - 1, 3 * t - 2, 3 * t);
    fvt += printed("f %1$.0f/%1$.0f %2$.0f/%2$.0f %3$.0f/%3$.0f\n", 3 * t - 1, 3 * t - 2, 3 * t);
  }
  const qv::SharedData meshBytes = vertexBytes(mesh);
  EXPECT_EQ(firstDifference(qv::mesh::objText(*meshBytes, nullptr).value_or(""), v + f), "");
  EXPECT_EQ(firstDifference(qv::mesh::objTextWithMaterial("scan.mtl", *meshBytes, uvBytes, nullptr).value_or(""),
                            "mtllib scan.mtl\n" + v + vt + "usemtl Material\n" + fvt),
            "");
}
