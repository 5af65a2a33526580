// OBJ, MTL and STL text and bytes.
#include "formats/MeshFormats.h"

#include <charconv>
#include <cmath>
#include <string_view>
#include <cstring>

#include "formats/QvkFormat.h"
#include "formats/internal/NumberText.h"
#include "formats/internal/OrderedBlocks.h"
#include "formats/internal/PieceWriter.h"

namespace qv::mesh {

namespace {

Float3 positionOf(std::span<const std::uint8_t> meshed, std::size_t record) {
  const QVLScanVertex v = qvk::scanVertexAt(meshed, record);
  return {v.point3DX, v.point3DY, v.point3DZ};
}

// "v x y z" with three decimals, a line a vertex: a mesh has a million of them.
void writeVertexLines(PieceWriter& out, std::span<const std::uint8_t> meshed, std::size_t count) {
  writeLines(out, count, [&](char* at, std::size_t i) {
    *at++ = 'v';
    for (float c : positionOf(meshed, i)) {
      *at++ = ' ';
      at = text::writeFixed(at, c, 3);
    }
    *at++ = '\n';
    return at;
  });
}

char* putText(char* at, std::string_view text) {
  std::memcpy(at, text.data(), text.size());
  return at + text.size();
}
char* putInteger(char* at, std::uint64_t value) { return std::to_chars(at, at + PieceWriter::kItemRoom, value).ptr; }

// The corners of triangle t (from 1) as the faces name them: the first two swapped.
std::array<std::uint64_t, 3> faceCorners(std::uint64_t t) { return {3 * t - 1, 3 * t - 2, 3 * t}; }

std::optional<std::string> partialTriangleProblem(std::size_t vertices) {
  if (vertices == 0) return "There is no meshed data";
  if (vertices % 3 != 0) return "Not a multiple of three!";
  return std::nullopt;
}

void writeTriple(PieceWriter& out, const char* keyword, const Float3& v) {
  out.text(keyword);
  for (float c : v) out.character(' ').shortest(c);
  out.character('\n');
}

template <typename T>
void put(std::uint8_t*& out, T value) {
  std::memcpy(out, &value, sizeof(T));
  out += sizeof(T);
}

}  // namespace

std::optional<std::string> objProblem(std::span<const std::uint8_t> meshed) { return partialTriangleProblem(meshed.size() / 44); }

std::optional<std::string> objProblem(std::span<const std::uint8_t> meshed, std::span<const std::uint8_t> textureCoordinates) {
  const std::size_t vertices = meshed.size() / 44;
  if (vertices == 0 || textureCoordinates.empty()) return "There is no meshed data";
  if (vertices != textureCoordinates.size() / kTextureCoordinateBytes) return "Number of elements mismatch";
  return partialTriangleProblem(vertices);
}

void writeObjText(PieceWriter& out, std::span<const std::uint8_t> meshed) {
  const std::size_t vertices = meshed.size() / 44;
  writeVertexLines(out, meshed, vertices);
  writeLines(out, vertices / 3, [](char* at, std::size_t i) {
    at = putText(at, "f");
    for (std::uint64_t k : faceCorners(i + 1)) at = putInteger(putText(at, " "), k);
    return putText(at, "\n");
  });
}

void writeObjTextWithMaterial(PieceWriter& out, const std::string& materialFileName, std::span<const std::uint8_t> meshed,
                              std::span<const std::uint8_t> textureCoordinates) {
  const std::size_t vertices = meshed.size() / 44;
  out.text("mtllib ").text(materialFileName).character('\n');
  writeVertexLines(out, meshed, vertices);
  writeLines(out, vertices, [&](char* at, std::size_t i) {
    const auto u = qvk::readScalar<double>(textureCoordinates.data() + i * kTextureCoordinateBytes);
    const auto v = qvk::readScalar<double>(textureCoordinates.data() + i * kTextureCoordinateBytes + 8);
    at = text::writeFixed(putText(at, "vt "), u, 6);
    at = text::writeFixed(putText(at, " "), 1.0 - v, 6);  // image rows run down, texture v up
    return putText(at, "\n");
  });
  out.text("usemtl Material\n");
  writeLines(out, vertices / 3, [](char* at, std::size_t i) {
    at = putText(at, "f");
    for (std::uint64_t k : faceCorners(i + 1)) at = putInteger(putText(putInteger(putText(at, " "), k), "/"), k);
    return putText(at, "\n");
  });
}

std::optional<std::string> objText(std::span<const std::uint8_t> meshed, std::string* problem) {
  if (auto why = objProblem(meshed)) {
    if (problem) *problem = std::move(*why);
    return std::nullopt;
  }
  return collectPieces<std::string>([&](PieceWriter& out) { writeObjText(out, meshed); });
}

std::optional<std::string> objTextWithMaterial(const std::string& materialFileName, std::span<const std::uint8_t> meshed,
                                               std::span<const std::uint8_t> textureCoordinates, std::string* problem) {
  if (auto why = objProblem(meshed, textureCoordinates)) {
    if (problem) *problem = std::move(*why);
    return std::nullopt;
  }
  return collectPieces<std::string>(
      [&](PieceWriter& out) { writeObjTextWithMaterial(out, materialFileName, meshed, textureCoordinates); });
}

std::string materialText(const std::string& imageFileName) {
  return "newmtl Material\nNs 30.0000\nKd 0.6400 0.6400 0.6400\nKa 0.5000 0.5000 0.5000\nKs 0.1000 0.1000 0.1000\nmap_Kd " +
         imageFileName + "\n";
}

std::string companionBaseName(const std::string& stem) {
  std::string out;
  for (std::size_t i = 0; i < stem.size();) {
    const auto c = static_cast<unsigned char>(stem[i]);
    if (c < 0x80) {
      if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) out += static_cast<char>(c);
      ++i;
      continue;
    }
    // A UTF-8 sequence: its code point is kept when it is most likely a letter (the Latin,
    // Greek, Cyrillic, CJK and other scripts), dropped when it is punctuation or a symbol.
    std::size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    if (i + length > stem.size()) length = stem.size() - i;
    std::uint32_t cp = length == 1 ? 0 : c & (0xFF >> (length + 1));
    bool valid = length > 1;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(stem[i + k]);
      if ((next & 0xC0) != 0x80) valid = false;
      cp = (cp << 6) | (next & 0x3F);
    }
    const bool symbol = cp < 0xC0 || cp == 0xD7 || cp == 0xF7 || (cp >= 0x2000 && cp <= 0x2BFF) ||
                        (cp >= 0x3000 && cp <= 0x303F) || (cp >= 0xFE30 && cp <= 0xFE4F) ||
                        (cp >= 0xFF00 && cp <= 0xFF20) || cp >= 0x1F000;
    if (valid && !symbol) out.append(stem, i, length);
    i += length;
  }
  return out.empty() ? "Scan" : out;
}

Float3 facetNormal(const Float3& a, const Float3& b, const Float3& c) {
  const double u[3] = {double(b[0]) - a[0], double(b[1]) - a[1], double(b[2]) - a[2]};
  const double v[3] = {double(c[0]) - a[0], double(c[1]) - a[1], double(c[2]) - a[2]};
  const double n[3] = {u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]};
  const double length = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
  if (!(length > 0.0) || !std::isfinite(length)) return {0.0f, 0.0f, 0.0f};
  return {static_cast<float>(n[0] / length), static_cast<float>(n[1] / length), static_cast<float>(n[2] / length)};
}

Data binaryStl(std::span<const std::uint8_t> meshed) {
  const std::uint64_t triangles64 = meshed.size() / 44 / 3;
  // The count field has 32 bits; a mesh beyond it (hundreds of gigabytes) keeps what fits.
  const auto triangles = static_cast<std::uint32_t>(std::min<std::uint64_t>(triangles64, UINT32_MAX));
  Data out(kStlHeaderBytes + 4 + std::size_t(triangles) * kStlFacetBytes, 0);
  std::memcpy(out.data(), kStlHeaderText, std::strlen(kStlHeaderText));
  std::uint8_t* p = out.data() + kStlHeaderBytes;
  put(p, triangles);
  for (std::size_t t = 0; t < triangles; ++t) {
    const Float3 a = positionOf(meshed, 3 * t), b = positionOf(meshed, 3 * t + 2), c = positionOf(meshed, 3 * t + 1);
    for (const Float3& v : {facetNormal(a, b, c), a, b, c})
      for (float f : v) put(p, f);
    put(p, std::uint16_t{0});
  }
  return out;
}

namespace {

constexpr const char* kStlStart = "solid ascii\n";
constexpr const char* kStlEnd = "endsolid ascii\n";

void writeFacet(PieceWriter& out, const StlFacet& facet) {
  writeTriple(out, "  facet normal", facet.normal);
  out.text("    outer loop\n");
  for (const auto& corner : facet.corners) writeTriple(out, "      vertex", corner);
  out.text("    endloop\n  endfacet\n");
}

void writeAsciiStl(PieceWriter& out, std::span<const StlFacet> facets) {
  out.text(kStlStart);
  for (const auto& facet : facets) {
    writeFacet(out, facet);
    if (out.failed()) return;
  }
  out.text(kStlEnd);
}

}  // namespace

std::string asciiStlText(std::span<const StlFacet> facets) {
  return collectPieces<std::string>([&](PieceWriter& out) { writeAsciiStl(out, facets); });
}

bool writeAsciiStlFile(const std::filesystem::path& path, std::span<const StlFacet> facets, Error* error) {
  // A mesh's text runs to tens of megabytes: it goes out a piece at a time instead of being
  // held whole in memory first.
  return writeFileInPieces(path, [&](PieceWriter& out) { writeAsciiStl(out, facets); }, error);
}

}  // namespace qv::mesh
