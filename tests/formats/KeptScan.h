// What a scan holds as each of its own file formats keeps it: every value the format carries, in
// the form it writes it (none for a value the scan does not hold), and every point in its cloud at
// the rotation of its slice. A scan saved in a format and read back must hold the same; the points
// the format cannot hold (at no rotation of a cloud, or whose x is no number in a project) are not
// kept, and the save must say how many. Shared by the corpus test and the round-trip fuzz target.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "formats/QvkFormat.h"
#include "formats/QvkxFormat.h"
#include "formats/internal/NumberText.h"
#include "store/QVSDPointCloud.h"
#include "store/QVSDScanObject.h"
#include "store/QVSDScanSlice.h"
#include "store/QVSDTexture.h"

namespace qv::test {

enum class SavedAs { Scan, Project };  // a qvk scan file, a qvkx project file

struct KeptScan {
  using Values = std::vector<std::optional<std::string>>;
  std::multiset<Values> clouds;  // of the clouds the format writes
  std::multiset<std::tuple<std::string, std::optional<std::string>, std::string>> points;  // its cloud's values, its rotation, the point
  std::multiset<Values> textures;  // the image's bytes last
  std::uint64_t notKept = 0;       // the points of the scan that the format does not hold
};

namespace kept {

inline std::string bitsOf(float value) {
  std::uint32_t bits;
  std::memcpy(&bits, &value, 4);
  char text[9];
  std::snprintf(text, sizeof text, "%08x", bits);
  return text;
}
// The store keeps a zero without its sign, so -0 is 0 in each form below: the same number.
inline double unsignedZero(double v) { return v == 0 ? 0.0 : v; }
inline std::optional<std::string> asFloat(const std::optional<double>& v) {
  return v ? std::optional<std::string>(bitsOf(static_cast<float>(unsignedZero(*v)))) : std::nullopt;
}
inline std::string fixed(double v) {
  const std::string text = qv::text::fixed(v, 8);
  return text == "-0.00000000" ? text.substr(1) : text;  // reads back as -0
}
inline std::optional<std::string> asFixed(const std::optional<double>& v) {
  return v ? std::optional<std::string>(fixed(*v)) : std::nullopt;
}
// A project cloud's lens values are read back as floats; a texture's as they are written.
inline std::optional<std::string> asLens(const std::optional<double>& v) {
  return v ? std::optional<std::string>(qv::text::shortest(unsignedZero(static_cast<float>(*v)))) : std::nullopt;
}
inline std::optional<std::string> asShortest(const std::optional<double>& v) {
  return v ? std::optional<std::string>(qv::text::shortest(unsignedZero(*v))) : std::nullopt;
}
// A scan file's whole numbers are the low bits of the number; it has no form for one not held,
// which every reader, and the program, takes as 0.
inline std::optional<std::string> lowBits(const std::optional<double>& v, int bits) {
  const double d = v.value_or(0.0);
  const auto whole = std::fabs(d) < 9.2e18 ? static_cast<std::uint64_t>(static_cast<std::int64_t>(d)) : 0;
  return std::to_string(whole & ((1ull << bits) - 1));
}

// A cloud's values as one text, to file its points under.
inline std::string joined(const KeptScan::Values& values) {
  std::string text;
  for (const auto& v : values) (text += v ? *v : std::string("\x1e")) += '\x1f';
  return text;
}

inline std::string pointOf(const QVLScanVertex& v, SavedAs format) {
  std::string key(reinterpret_cast<const char*>(&v.point3DX), 24);
  for (const float c : {v.colourRed, v.colourGreen, v.colourBlue})
    key += static_cast<char>(format == SavedAs::Project ? qv::qvkx::roundedColourByte(c) : qv::qvk::truncatedColourByte(c));
  return key;
}

// The rotations of a cloud as the format writes them, and the rows each owns in its index data.
struct Grid {
  std::vector<std::string> rotations;
  std::uint64_t rows = 0;
};
inline Grid gridOf(const std::shared_ptr<QVSDPointCloud>& cloud, SavedAs format) {
  Grid grid;
  const auto slices = QVSDScanSlice::scanSlicesSortedByRotationInPointCloud(cloud);
  auto add = [&](double rotation) {
    grid.rotations.push_back(format == SavedAs::Project ? fixed(rotation) : bitsOf(static_cast<float>(unsignedZero(rotation))));
  };
  for (const auto& slice : slices) add(static_cast<float>(slice->rotation().value_or(0.0)));
  const auto radians = cloud->radiansData();
  if (slices.empty() && radians)
    for (std::size_t at = 0; at + 4 <= radians->size(); at += 4) add(qv::qvk::readScalar<float>(radians->data() + at));
  const auto index = cloud->vertexIndexData();
  const std::uint64_t entries = index ? index->size() / 4 : 0;
  const std::int64_t height = cloud->cameraHeight().value_or(0);
  grid.rows = !slices.empty() ? static_cast<std::uint64_t>(std::max<std::int64_t>(height, 0))
                              : qv::qvk::rowsPerRotation(grid.rotations.size(), entries, height);
  return grid;
}

inline KeptScan::Values cloudValues(const QVSDPointCloud& c, const Grid& grid, SavedAs format) {
  using Get = std::optional<double> (QVSDPointCloud::*)() const;
  KeptScan::Values values;
  if (format == SavedAs::Scan) {
    for (const Get get : {&QVSDPointCloud::cameraOriginX, &QVSDPointCloud::cameraOriginY, &QVSDPointCloud::cameraOriginZ,
                          &QVSDPointCloud::laserOriginX, &QVSDPointCloud::laserOriginY, &QVSDPointCloud::laserOriginZ,
                          &QVSDPointCloud::bedX, &QVSDPointCloud::bedY, &QVSDPointCloud::bedZ, &QVSDPointCloud::bedNX,
                          &QVSDPointCloud::bedNY, &QVSDPointCloud::bedNZ, &QVSDPointCloud::leadScrewNX, &QVSDPointCloud::leadScrewNY,
                          &QVSDPointCloud::leadScrewNZ, &QVSDPointCloud::laserNormalX, &QVSDPointCloud::laserNormalY,
                          &QVSDPointCloud::laserNormalZ})
      values.push_back(asFloat((c.*get)()));
    auto whole = [](const std::optional<std::int64_t>& v) { return v ? std::optional<double>(static_cast<double>(*v)) : std::nullopt; };
    values.push_back(lowBits(whole(c.laserNumber()), 8));
    values.push_back(lowBits(c.height(), 16));
    values.push_back(lowBits(whole(c.cameraWidth()), 16));
    values.push_back(lowBits(whole(c.cameraHeight()), 16));
    return values;
  }
  for (const Get get : {&QVSDPointCloud::cameraOriginX, &QVSDPointCloud::cameraOriginY, &QVSDPointCloud::cameraOriginZ,
                        &QVSDPointCloud::laserOriginX, &QVSDPointCloud::laserOriginY, &QVSDPointCloud::laserOriginZ,
                        &QVSDPointCloud::laserNormalX, &QVSDPointCloud::laserNormalY, &QVSDPointCloud::laserNormalZ,
                        &QVSDPointCloud::headHeight, &QVSDPointCloud::bedX, &QVSDPointCloud::bedY, &QVSDPointCloud::bedZ,
                        &QVSDPointCloud::bedNX, &QVSDPointCloud::bedNY, &QVSDPointCloud::bedNZ, &QVSDPointCloud::leadScrewNX,
                        &QVSDPointCloud::leadScrewNY, &QVSDPointCloud::leadScrewNZ, &QVSDPointCloud::cameraNormalX,
                        &QVSDPointCloud::cameraNormalY, &QVSDPointCloud::cameraNormalZ, &QVSDPointCloud::cameraUpX,
                        &QVSDPointCloud::cameraUpY, &QVSDPointCloud::cameraUpZ})
    values.push_back(asFixed((c.*get)()));
  for (const Get get : {&QVSDPointCloud::intrinsicFX, &QVSDPointCloud::intrinsicFY, &QVSDPointCloud::intrinsicCX,
                        &QVSDPointCloud::intrinsicCY, &QVSDPointCloud::distortion0, &QVSDPointCloud::distortion1,
                        &QVSDPointCloud::distortion2, &QVSDPointCloud::distortion3})
    values.push_back(asLens((c.*get)()));
  auto text = [](const auto& v) { return v ? std::optional<std::string>(std::to_string(*v)) : std::nullopt; };
  values.push_back(text(c.referenceId()));
  values.push_back(text(c.laserNumber()));
  values.push_back(text(c.cameraWidth()));
  values.push_back(std::to_string(grid.rows));
  return values;
}

inline KeptScan::Values textureValues(const QVSDTexture& t) {
  using Get = std::optional<double> (QVSDTexture::*)() const;
  KeptScan::Values values;
  for (const Get get : {&QVSDTexture::cameraPositionX, &QVSDTexture::cameraPositionY, &QVSDTexture::cameraPositionZ,
                        &QVSDTexture::cameraNormX, &QVSDTexture::cameraNormY, &QVSDTexture::cameraNormZ, &QVSDTexture::cameraOriginX,
                        &QVSDTexture::cameraOriginY, &QVSDTexture::cameraOriginZ, &QVSDTexture::cameraUpX, &QVSDTexture::cameraUpY,
                        &QVSDTexture::cameraUpZ, &QVSDTexture::intrinsicFX, &QVSDTexture::intrinsicFY, &QVSDTexture::intrinsicCX,
                        &QVSDTexture::intrinsicCY, &QVSDTexture::distortion0, &QVSDTexture::distortion1, &QVSDTexture::distortion2,
                        &QVSDTexture::distortion3})
    values.push_back(asShortest((t.*get)()));
  std::ifstream image(t.textureFileName().value_or(""), std::ios::binary);
  values.push_back(std::string(std::istreambuf_iterator<char>(image), std::istreambuf_iterator<char>()));
  return values;
}

}  // namespace kept

// Runs on the scan's context.
inline KeptScan keptScan(QVSDScanObject& scan, SavedAs format) {
  KeptScan out;
  auto vertices = scan.unsavedVertexData();
  if (!vertices) vertices = scan.vertexData();
  const std::uint64_t n = vertices ? vertices->size() / sizeof(QVLScanVertex) : 0;
  auto vertex = [&](std::uint64_t k) { return qv::qvk::scanVertexAt(*vertices, static_cast<std::size_t>(k)); };
  std::vector<bool> held(static_cast<std::size_t>(n), false);
  bool listed = false;
  for (const auto& cloud : scan.pointClouds()) {
    const kept::Grid grid = kept::gridOf(cloud, format);
    const auto index = cloud->vertexIndexData();
    const std::uint64_t entries = index ? index->size() / 4 : 0;
    listed = listed || entries > 0;
    // A project writes a cloud with rotations, rows and index data, and only its grid of slots.
    const bool written = format == SavedAs::Scan || (!grid.rotations.empty() && grid.rows > 0 && entries > 0 && n > 0);
    if (!written) continue;
    const auto values = kept::cloudValues(*cloud, grid, format);
    out.clouds.insert(values);
    const std::string cloudKey = kept::joined(values);
    const std::uint64_t reach = format == SavedAs::Scan ? entries : std::min(entries, grid.rows * grid.rotations.size());
    for (std::uint64_t e = 0; e < reach; ++e) {
      const auto k = qv::qvk::readScalar<std::uint32_t>(index->data() + 4 * e);
      if (k == 0 || k >= n) continue;
      const QVLScanVertex v = vertex(k);
      if (qv::qvk::isEmptyVertex(v) || (format == SavedAs::Project && std::isnan(v.point3DX))) continue;
      held[k] = true;
      const std::uint64_t block = grid.rows > 0 ? e / grid.rows : grid.rotations.size();
      const auto rotation = block < grid.rotations.size() ? std::optional<std::string>(grid.rotations[block]) : std::nullopt;
      out.points.insert({cloudKey, rotation, kept::pointOf(v, format)});
    }
  }
  for (std::uint64_t k = 0; k < n; ++k) {
    const QVLScanVertex v = vertex(k);
    if (held[k] || qv::qvk::isEmptyVertex(v)) continue;
    // A scan file without index lists holds every point, in no cloud; with them, only those listed.
    if (format == SavedAs::Scan && !listed) out.points.insert({{}, std::nullopt, kept::pointOf(v, format)});
    else ++out.notKept;
  }
  if (format == SavedAs::Project) {
    for (const auto& texture : scan.textures()) {
      std::error_code ec;
      if (std::filesystem::is_regular_file(texture->textureFileName().value_or(""), ec)) out.textures.insert(kept::textureValues(*texture));
    }
  }
  return out;
}

// What a save that succeeded says wrongly of the points it did not keep: it must say how many,
// and say nothing when it kept them all. Nothing when it says it right.
inline std::optional<std::string> misreportedPoints(const KeptScan& saved, const qv::Error& saveError) {
  const std::string count = std::to_string(saved.notKept) + " of its points";
  if ((saveError.code != 0) == (saved.notKept > 0) && (saved.notKept == 0 || saveError.description.find(count) != std::string::npos))
    return std::nullopt;
  return "the save does not say that " + count + " are not kept: \"" + saveError.description + "\"";
}

// How a scan read back from a saved file differs from what the format keeps of the scan saved.
inline std::optional<std::string> differences(const KeptScan& saved, const KeptScan& read) {
  std::string text;
  auto add = [&](bool differs, const char* what) {
    if (differs) text += std::string(text.empty() ? "" : ", ") + what;
  };
  add(read.clouds != saved.clouds, "the clouds' values");
  add(read.points != saved.points, "the points or their rotations");
  add(read.textures != saved.textures, "the textures");
  add(read.notKept != 0, "points it does not keep");
  if (text.empty()) return std::nullopt;
  return "other " + text + " (" + std::to_string(saved.clouds.size()) + " clouds and " + std::to_string(saved.points.size()) +
         " points saved, " + std::to_string(read.clouds.size()) + " and " + std::to_string(read.points.size()) + " read)";
}

}  // namespace qv::test
