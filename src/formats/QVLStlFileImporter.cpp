// The ASCII STL reader: a counting pass, a filling pass, then one store block.
#include "formats/QVLStlFileImporter.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <unordered_map>

#include "formats/FormatErrors.h"
#include "formats/QvkFormat.h"
#include "formats/internal/NumberText.h"
#include "formats/internal/ReaderSupport.h"
#include "formats/internal/StoreUndo.h"
#include "platform/Log.h"
#include "store/QVSDScanObject.h"

namespace {

bool contains(const std::string& line, const char* word) { return line.find(word) != std::string::npos; }

// Up to two earlier corners at one position; a third closes the group.
struct CornerGroup {
  std::uint32_t first = 0, second = 0;
  int count = 0;
};

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
  if (!contains(*first, "solid ascii")) {
    if (error) *error = qv::dataOffsetError(path, 0, kInvalidDescription, "the first line does not say \"solid ascii\"");
    return false;
  }
  const std::uint64_t bodyStart = dataOffset_;

  // The last three words as finite floats; false (and the error) when a line has fewer, they are
  // not numbers, or one is not finite (no mesh has a corner at infinity).
  auto lastThree = [&](const std::string& line, std::uint64_t lineStart, float out[3]) {
    const auto words = qv::wordsOf(line);
    bool ok = words.size() >= 4;
    for (int i = 0; ok && i < 3; ++i) {
      const auto value = qv::text::parseFloat(words[words.size() - 3 + static_cast<std::size_t>(i)]);
      if (value && std::isfinite(*value)) out[i] = *value;
      else ok = false;
    }
    if (!ok && error) *error = qv::dataOffsetError(path, lineStart, kInvalidDescription, "a line without three finite numbers");
    return ok;
  };

  // Every line is checked as it is counted, so that nothing is sized from a file that turns out
  // to be malformed.
  std::uint64_t vertexLines = 0;
  for (;;) {
    const std::uint64_t lineStart = dataOffset_;
    auto line = readLine(bytes, error);
    if (!line) return false;
    float checked[3];
    if (contains(*line, "facet normal")) {
      if (!lastThree(*line, lineStart, checked)) return false;
    } else if (contains(*line, "vertex")) {
      if (!lastThree(*line, lineStart, checked)) return false;
      ++vertexLines;
    } else if (contains(*line, "endsolid")) {
      break;
    }
  }
  if (vertexLines == 0) {
    if (error) *error = qv::dataOffsetError(path, dataOffset_, kInvalidDescription, "no vertex before \"endsolid\"");
    return false;
  }
  if (vertexLines > std::numeric_limits<std::uint32_t>::max()) {
    if (error) *error = qv::dataOffsetError(path, dataOffset_, kInvalidDescription, "too many vertices");
    return false;
  }

  meshed.assign(static_cast<std::size_t>(vertexLines) * sizeof(QVLScanVertex), 0);
  std::unordered_map<std::string, CornerGroup> groups;
  groups.reserve(static_cast<std::size_t>(vertexLines));
  std::uint32_t k = 0;
  float normal[3] = {0, 0, 0};
  std::string key;
  dataOffset_ = bodyStart;

  for (;;) {
    const std::uint64_t lineStart = dataOffset_;
    auto line = readLine(bytes, error);
    if (!line) return false;
    if (contains(*line, "facet normal")) {
      float n[3];
      if (!lastThree(*line, lineStart, n)) return false;
      normal[0] = -n[0];
      normal[1] = -n[1];
      normal[2] = -n[2];
    } else if (contains(*line, "vertex")) {
      float p[3];
      if (!lastThree(*line, lineStart, p)) return false;
      if (k >= vertexLines) break;  // cannot happen: both passes read the same lines
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
      qv::qvk::putScanVertex(meshed, k, v);

      // Grouped by the position as read, before any raising to the cut-off.
      key.clear();
      qv::text::appendFixed(key, p[0], 3);
      key += ',';
      qv::text::appendFixed(key, p[1], 3);
      key += ',';
      qv::text::appendFixed(key, p[2], 3);
      auto it = groups.try_emplace(key).first;
      CornerGroup& group = it->second;
      if (group.count == 0) {
        group.first = k;
        group.count = 1;
      } else if (group.count == 1) {
        group.second = k;
        group.count = 2;
      } else {
        QVLScanVertex a = qv::qvk::scanVertexAt(meshed, group.first), b = qv::qvk::scanVertexAt(meshed, group.second);
        QVLScanVertex c = qv::qvk::scanVertexAt(meshed, k);
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
        qv::qvk::putScanVertex(meshed, k, c);
        groups.erase(it);  // a fourth corner at the same place starts a new group
      }
      ++k;
    } else if (contains(*line, "endsolid")) {
      return true;
    }
  }
  return true;
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
    if (!undo.save(error)) return;
    QVLogInfo("STL reading has finished: %lu elements (%lu bytes) were imported from STL file.",
              static_cast<unsigned long>(vertices), static_cast<unsigned long>(length));
    ok = true;
  });
  return ok;
}
