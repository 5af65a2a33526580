// The ASCII STL reader: one pass over the lines, looked at in place, then one store block.
#include "formats/QVLStlFileImporter.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <string_view>
#include <unordered_map>

#include "formats/FormatErrors.h"
#include "formats/QvkFormat.h"
#include "formats/internal/NumberText.h"
#include "formats/internal/ReaderSupport.h"
#include "formats/internal/StoreUndo.h"
#include "platform/Log.h"
#include "store/QVSDScanObject.h"

namespace {

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Whether the word (given in lower case) stands at `at` in the line, its letters in any case.
bool wordAt(std::string_view line, std::size_t at, std::string_view word) {
  if (at + word.size() > line.size()) return false;
  for (std::size_t k = 0; k < word.size(); ++k)
    if (lower(line[at + k]) != word[k]) return false;
  return true;
}

// Whether the line holds the word with its letters in any case (the word is given in lower case).
bool containsAnyCase(std::string_view line, std::string_view word) {
  for (std::size_t i = 0; i + word.size() <= line.size(); ++i)
    if (wordAt(line, i, word)) return true;
  return false;
}

bool blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }

// Whether the line holds the two words, in any case, with a run of blanks between them: writers
// put one space, two, or a tab between "facet" and "normal", as they do between numbers.
bool containsWords(std::string_view line, std::string_view first, std::string_view second) {
  for (std::size_t i = 0; i + first.size() < line.size(); ++i) {
    if (!wordAt(line, i, first) || !blank(line[i + first.size()])) continue;
    std::size_t at = i + first.size();
    while (at < line.size() && blank(line[at])) ++at;
    if (wordAt(line, at, second)) return true;
  }
  return false;
}

// The last three words of a line that has at least four, as finite floats; false otherwise.
bool lastThreeNumbers(std::string_view line, float out[3]) {
  std::size_t end = line.size();
  for (int i = 2; i >= 0; --i) {
    while (end > 0 && blank(line[end - 1])) --end;
    std::size_t start = end;
    while (start > 0 && !blank(line[start - 1])) --start;
    if (start == end) return false;
    const auto value = qv::text::parseFloat(line.substr(start, end - start));
    if (!value || !std::isfinite(*value)) return false;
    out[i] = *value;
    end = start;
  }
  // A fourth word, the keyword, comes before the numbers.
  while (end > 0 && blank(line[end - 1])) --end;
  return end > 0;
}

// Up to two earlier corners at one position; a third closes the group.
struct CornerGroup {
  std::uint32_t first = 0, second = 0;
  int count = 0;
};

// Where corners meet: the position as the three-decimal text would name it. A float times 1000
// is exact in a double, so rounding it half to even gives the printed digits, and the sign of a
// zero is kept as "-0.000" keeps it.
struct CornerKey {
  double thousandths[3];
  bool operator==(const CornerKey& other) const {
    return std::memcmp(thousandths, other.thousandths, sizeof thousandths) == 0;
  }
};

struct CornerKeyHash {
  std::size_t operator()(const CornerKey& key) const {
    std::uint64_t h = 0;
    for (double d : key.thousandths) {
      std::uint64_t bits;
      std::memcpy(&bits, &d, sizeof bits);
      h = (h ^ bits) * 0x100000001b3ull;
      h ^= h >> 29;
    }
    return static_cast<std::size_t>(h);
  }
};

CornerKey cornerKey(const float p[3]) {
  CornerKey key;
  for (int i = 0; i < 3; ++i) key.thousandths[i] = std::nearbyint(static_cast<double>(p[i]) * 1000.0);
  return key;
}

}  // namespace

std::optional<std::string> QVLStlFileImporter::readLine(const qv::Data& bytes, qv::Error* error) {
  if (dataOffset_ >= dataSize_) {
    currentLineData_.clear();
    if (error) *error = qv::dataOffsetError(localFilePath(), dataOffset_, kInvalidDescription, "the file ends before \"endsolid\"");
    return std::nullopt;
  }
  qv::takeLine(bytes, dataOffset_, currentLineData_);  // the last line needs no line feed
  return qv::asciiLowerCased(currentLineData_);
}

bool QVLStlFileImporter::decodeMesh(const qv::Data& bytes, float yCutoff, qv::Data& meshed, qv::Error* error) {
  const std::string& path = localFilePath();
  dataSize_ = bytes.size();
  dataOffset_ = 0;
  auto first = readLine(bytes, error);
  if (!first) return false;
  if (!containsWords(*first, "solid", "ascii")) {
    if (error) *error = qv::dataOffsetError(path, 0, kInvalidDescription, "the first line does not say \"solid ascii\"");
    return false;
  }

  // One pass over the lines, each looked at in place. A mesher's facet takes some 250 bytes for
  // its three corners, which sizes the first guess of the records and of the corner groups.
  meshed.clear();
  meshed.reserve(static_cast<std::size_t>(dataSize_ / 250 * 3 + 3) * sizeof(QVLScanVertex));
  std::unordered_map<CornerKey, CornerGroup, CornerKeyHash> groups;
  groups.reserve(static_cast<std::size_t>(dataSize_ / 250 * 3 / 2 + 1));
  std::uint64_t k = 0;
  float normal[3] = {0, 0, 0};
  const char* text = reinterpret_cast<const char*>(bytes.data());

  // The last three words as finite floats; false (and the error) when a line has fewer words or
  // they are not such numbers.
  auto lastThree = [&](std::string_view line, std::uint64_t lineStart, float out[3]) {
    const bool ok = lastThreeNumbers(line, out);
    if (!ok && error) *error = qv::dataOffsetError(path, lineStart, kInvalidDescription, "a line without three finite numbers");
    return ok;
  };

  // A mesh is whole triangles, three records each: a facet runs from its "facet normal" line to
  // "endfacet", the next facet or "endsolid", and one that ends with other than three corners is
  // named at its first byte. A corner outside any facet belongs to no triangle.
  bool inFacet = false;
  std::uint64_t facetStart = 0;
  int corners = 0;
  auto facetEndsWhole = [&] {
    if (!inFacet || corners == 3) return true;
    if (error) *error = qv::dataOffsetError(path, facetStart, kInvalidDescription, "a facet with " + std::to_string(corners) + (corners == 1 ? " corner" : " corners") + ", not three");
    return false;
  };

  for (;;) {
    const std::uint64_t lineStart = dataOffset_;
    if (lineStart >= dataSize_) {
      if (error) *error = qv::dataOffsetError(path, dataOffset_, kInvalidDescription, "the file ends before \"endsolid\"");
      return false;
    }
    // The last line needs no line feed.
    const auto rest = static_cast<std::size_t>(dataSize_ - lineStart);
    const auto* feed = static_cast<const char*>(std::memchr(text + lineStart, '\n', rest));
    const std::size_t length = feed ? static_cast<std::size_t>(feed - (text + lineStart)) : rest;
    dataOffset_ = lineStart + length + (feed ? 1 : 0);
    const std::string_view line(text + lineStart, length);

    if (containsWords(line, "facet", "normal")) {
      if (!facetEndsWhole()) return false;
      float n[3];
      if (!lastThree(line, lineStart, n)) return false;
      normal[0] = -n[0];
      normal[1] = -n[1];
      normal[2] = -n[2];
      inFacet = true;
      facetStart = lineStart;
      corners = 0;
    } else if (containsAnyCase(line, "vertex")) {
      float p[3];
      if (!lastThree(line, lineStart, p)) return false;
      if (!inFacet) {
        if (error) *error = qv::dataOffsetError(path, lineStart, kInvalidDescription, "a corner outside any facet");
        return false;
      }
      if (++corners > 3) return facetEndsWhole();
      if (k >= std::numeric_limits<std::uint32_t>::max()) {
        if (error) *error = qv::dataOffsetError(path, lineStart, kInvalidDescription, "too many vertices");
        return false;
      }
      QVLScanVertex v;
      v.point3DX = p[0];
      v.point3DZ = p[2];
      if (yCutoff > p[1]) {
        v.point3DY = yCutoff;
        v.normalX = 0.0f;
        v.normalY = -1.0f;
        v.normalZ = 0.0f;
      } else {
        v.point3DY = p[1];
        v.normalX = normal[0];
        v.normalY = normal[1];
        v.normalZ = normal[2];
      }
      v.colourRed = v.colourGreen = v.colourBlue = kGrey;
      const auto record = static_cast<std::uint32_t>(k);
      meshed.resize(meshed.size() + sizeof(QVLScanVertex));
      qv::qvk::putScanVertex(meshed, record, v);

      // Grouped by the position as read, before any raising to the cut-off.
      auto it = groups.try_emplace(cornerKey(p)).first;
      CornerGroup& group = it->second;
      if (group.count == 0) {
        group.first = record;
        group.count = 1;
      } else if (group.count == 1) {
        group.second = record;
        group.count = 2;
      } else {
        QVLScanVertex a = qv::qvk::scanVertexAt(meshed, group.first), b = qv::qvk::scanVertexAt(meshed, group.second);
        QVLScanVertex c = qv::qvk::scanVertexAt(meshed, record);
        const float mean[3] = {static_cast<float>((double(a.normalX) + b.normalX + c.normalX) / 3.0),
                               static_cast<float>((double(a.normalY) + b.normalY + c.normalY) / 3.0),
                               static_cast<float>((double(a.normalZ) + b.normalZ + c.normalZ) / 3.0)};
        for (auto* v3 : {&a, &b, &c}) {
          v3->normalX = mean[0];
          v3->normalY = mean[1];
          v3->normalZ = mean[2];
        }
        qv::qvk::putScanVertex(meshed, group.first, a);
        qv::qvk::putScanVertex(meshed, group.second, b);
        qv::qvk::putScanVertex(meshed, record, c);
        groups.erase(it);  // a fourth corner at the same place starts a new group
      }
      ++k;
    } else if (containsAnyCase(line, "endsolid")) {
      if (!facetEndsWhole()) return false;
      if (k == 0) {
        if (error) *error = qv::dataOffsetError(path, dataOffset_, kInvalidDescription, "no vertex before \"endsolid\"");
        return false;
      }
      return true;
    } else if (containsAnyCase(line, "endfacet")) {
      if (!facetEndsWhole()) return false;
      inFacet = false;
    }
  }
}

bool QVLStlFileImporter::parseFile(qv::Error* error) {
  if (error) *error = qv::Error();
  auto context = privateQueueContext();
  if (!context || !scanObjectId()) {
    if (error) *error = qv::noScanToReadIntoError();
    return false;
  }
  bool found = false;
  float yCutoff = 0.0f;
  context->performAndWait([&] {
    auto scan = QVSDScanObject::scanObjectWithId(scanObjectId(), false, *context);
    if (!scan) return;
    found = true;
    yCutoff = static_cast<float>(scan->yCutoff().value_or(0.0));
  });
  if (!found) {
    if (error) *error = qv::noScanToReadIntoError();
    return false;
  }

  QVLogInfo("Reading ASCII STL file: %s", localFilePath().c_str());
  qv::Data meshed;
  try {
    const auto bytes = qv::loadReaderInput(localFilePath(), error);
    if (!bytes) return false;
    if (!decodeMesh(*bytes, yCutoff, meshed, error)) return false;
  } catch (const std::bad_alloc&) {
    // A mesh too large for the memory is an error of the read, not the end of the program.
    QVLogError("Reading %s ran out of memory", localFilePath().c_str());
    if (error) *error = qv::dataOffsetError(localFilePath(), dataOffset_, kInvalidDescription, "there is not enough memory to read it");
    return false;
  }

  bool ok = false;
  context->performAndWait([&] {
    auto scan = QVSDScanObject::scanObjectWithId(scanObjectId(), false, *context);
    if (!scan) {
      if (error) *error = qv::noScanToReadIntoError();
      return;
    }
    qv::StoreUndo undo(*context, scan, {"lastOpenedDate", "meshedVertexData"});
    scan->setLastOpenedDate(qv::dateNow());
    const std::size_t vertices = meshed.size() / sizeof(QVLScanVertex);
    const std::size_t length = meshed.size();
    scan->setMeshedVertexData(std::make_shared<const qv::Data>(std::move(meshed)));
    if (!undo.save(error, localFilePath())) return;
    QVLogInfo("STL reading has finished: %lu elements (%lu bytes) were imported from STL file.",
              static_cast<unsigned long>(vertices), static_cast<unsigned long>(length));
    ok = true;
  });
  return ok;
}
