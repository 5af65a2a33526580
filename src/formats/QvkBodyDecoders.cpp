// The two ways a qvk body is decoded: the fixed layouts the writers produce, read record by
// record at known offsets, and the structural walk that follows whatever the header declares.
#include "formats/QvkBodyDecoders.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <optional>
#include <variant>
#include <vector>

#include "platform/Format.h"
#include "platform/Log.h"

namespace qv::qvk {

namespace {

// The fewest bytes an element can occupy in the body (a list at least its count).
std::uint64_t minimumElementBytes(const QVLQvkFileImporterElementDescription& e) {
  switch (e.dataType) {
    case QVLQvkFileImporterDataTypeByte: return 1;
    case QVLQvkFileImporterDataTypeUInt16: return 2;
    case QVLQvkFileImporterDataTypeUInt32:
    case QVLQvkFileImporterDataTypeFloat32: return 4;
    case QVLQvkFileImporterDataTypeUInt64:
    case QVLQvkFileImporterDataTypeDouble: return 8;
    case QVLQvkFileImporterDataTypeArray:
      if (e.arraySizeDataType == QVLQvkFileImporterDataTypeUInt16) return 2;
      if (e.arraySizeDataType == QVLQvkFileImporterDataTypeUInt32) return 4;
      return 0;
    default: return 0;
  }
}

// What one item of a stepped-over list occupies in the body: a Byte item takes its byte here,
// though the kept lists' item size gives it none.
std::uint64_t skippedItemBytes(QVLQvkFileImporterDataType type) {
  return type == QVLQvkFileImporterDataTypeByte ? 1 : dataTypeBytes(type);
}

qv::AttributeValue integer(std::int64_t v) { return qv::AttributeValue(v); }
qv::AttributeValue bytesOf(const std::uint8_t* p, std::size_t n) {
  return qv::AttributeValue(std::make_shared<const qv::Data>(p, p + n));
}

// The cloud attribute a structural Float32 name sets, or nothing.
const char* cloudFloatAttribute(const std::string& name) {
  static const std::pair<const char*, const char*> kNames[] = {
      {"cameraoriginx", "cameraOriginX"}, {"cameraoriginy", "cameraOriginY"}, {"cameraoriginz", "cameraOriginZ"},
      {"laseroriginx", "laserOriginX"},   {"laseroriginy", "laserOriginY"},   {"laseroriginz", "laserOriginZ"},
      {"bedx", "bedX"},                   {"bedy", "bedY"},                   {"bedz", "bedZ"},
      {"bdnx", "bedNX"},                  {"bdny", "bedNY"},                  {"bdnz", "bedNZ"},
      {"lsnx", "leadScrewNX"},            {"lsny", "leadScrewNY"},            {"lsnz", "leadScrewNZ"},
      {"headheight", "headHeight"},       {"l1nx", "laserNormalX"},           {"l2nx", "laserNormalX"},
      {"l1ny", "laserNormalY"},           {"l2ny", "laserNormalY"},           {"l1nz", "laserNormalZ"},
      {"l2nz", "laserNormalZ"},
  };
  for (const auto& [file, attribute] : kNames)
    if (name == file) return attribute;
  return nullptr;
}

const char* cloudUInt16Attribute(const std::string& name) {
  if (name == "id") return "referenceId";
  if (name == "height") return "height";
  if (name == "camerawidth") return "cameraWidth";
  if (name == "cameraheight") return "cameraHeight";
  return nullptr;
}

// Where a vertex Float32 name goes in a scan vertex, or nothing.
float* vertexFloatField(QVLScanVertex& v, const std::string& name) {
  if (name == "x") return &v.point3DX;
  if (name == "y") return &v.point3DY;
  if (name == "z") return &v.point3DZ;
  if (name == "nx") return &v.normalX;
  if (name == "ny") return &v.normalY;
  if (name == "nz") return &v.normalZ;
  return nullptr;
}

float* vertexColourField(QVLScanVertex& v, const std::string& name) {
  if (name == "red") return &v.colourRed;
  if (name == "green") return &v.colourGreen;
  if (name == "blue") return &v.colourBlue;
  return nullptr;
}

// A double rounded to float precision. Kept out of line: GCC 12's vectoriser has been seen to
// drop a truncation to float followed by a widening back to double when both sit in one pair.
[[gnu::noinline]] double asFloat(double v) {
  const volatile float f = static_cast<float>(v);
  return f;
}

// A calibration value of a cloud record: a finite one is set; a NaN is how the record holds no
// value (the writers put one in the slot of a value the cloud does not hold), and leaves it unset;
// an infinity is no value a cloud can keep, and is left unset and named at its byte.
void setCalibration(QvkCloudContents& cloud, const char* attribute, float value, std::uint64_t at, std::uint64_t item,
                    std::uint64_t items, QvkScanContents& contents) {
  if (std::isfinite(value)) {
    cloud.set(attribute, qv::AttributeValue(static_cast<double>(value)));  // widened exactly
  } else if (!std::isnan(value)) {
    contents.leftOutValues.push_back({at, qv::format("the %s of cloud record %llu of %llu is an infinity and is left unset", attribute,
                                                     static_cast<unsigned long long>(item + 1), static_cast<unsigned long long>(items))});
  }
}

// The rotations of a cloud record that are an infinity or a NaN: no rotation a slice can keep.
// Each owns a block of the record's index list, as every rotation does, and goes with it once the
// record is whole (its index list and camera height may come after its rotations), so that no
// other rotation is paired with that block's points.
struct UnkeptRotations {
  std::vector<std::uint64_t> places;  // in the list, from 0
  std::uint64_t listed = 0;           // the rotations the record lists
  std::uint64_t at = 0;               // the byte the first of them starts at
};

// A cloud record's rotations without those that are no finite number, which `unkept` notes.
qv::AttributeValue finiteRotations(const std::uint8_t* list, std::uint64_t count, std::uint64_t at, UnkeptRotations& unkept) {
  std::vector<std::uint8_t> kept;
  kept.reserve(static_cast<std::size_t>(4 * count));
  unkept = {};
  unkept.listed = count;
  for (std::uint64_t i = 0; i < count; ++i) {
    if (std::isfinite(readScalar<float>(list + 4 * i))) {
      kept.insert(kept.end(), list + 4 * i, list + 4 * i + 4);
      continue;
    }
    if (unkept.places.empty()) unkept.at = at + 4 * i;
    unkept.places.push_back(i);
  }
  return qv::AttributeValue(std::make_shared<const qv::Data>(std::move(kept)));
}

// Takes the blocks of the left-out rotations out of the cloud's index list, the others keeping
// their order (and so their rotations), and names them at the first one's byte. The points those
// blocks name are added to `orphans`, for the read to forget those no kept block names.
void leaveOutBlocks(QvkCloudContents& cloud, const UnkeptRotations& unkept, std::uint64_t item, std::uint64_t items,
                    std::uint64_t vertexCount, QvkScanContents& contents, std::vector<std::uint32_t>& orphans) {
  if (unkept.places.empty()) return;
  const qv::AttributeValue indexValue = cloud.get("vertexIndexData");
  const auto* index = std::get_if<qv::SharedData>(&indexValue);
  const std::uint64_t entries = index && *index ? (*index)->size() / 4 : 0;
  const qv::AttributeValue heightValue = cloud.get("cameraHeight");
  const auto* height = std::get_if<std::int64_t>(&heightValue);
  const std::uint64_t rows = rowsPerRotation(unkept.listed, entries, height ? *height : 0);
  std::vector<bool> out(static_cast<std::size_t>(unkept.listed), false);
  for (const std::uint64_t place : unkept.places) out[static_cast<std::size_t>(place)] = true;
  std::vector<std::uint8_t> kept;
  kept.reserve(static_cast<std::size_t>(4 * entries));
  std::uint64_t points = 0;
  for (std::uint64_t e = 0; e < entries; ++e) {
    const std::uint8_t* entry = (*index)->data() + 4 * e;
    const std::uint64_t block = e / rows;
    if (block >= unkept.listed || !out[static_cast<std::size_t>(block)]) {
      kept.insert(kept.end(), entry, entry + 4);
      continue;
    }
    const std::uint32_t k = readScalar<std::uint32_t>(entry);
    if (k == 0 || k >= vertexCount || isEmptyVertex(scanVertexAt(contents.vertexData, k))) continue;
    ++points;
    orphans.push_back(k);
  }
  if (index && *index) cloud.set("vertexIndexData", qv::AttributeValue(std::make_shared<const qv::Data>(std::move(kept))));
  const auto u = [](std::uint64_t v) { return static_cast<unsigned long long>(v); };
  const std::uint64_t first = unkept.places.front();
  const char* pointsPlural = points == 1 ? "" : "s";
  const char* rowsPlural = rows == 1 ? "" : "s";
  contents.leftOutValues.push_back(
      {unkept.at, unkept.places.size() == 1
                      ? qv::format("rotation %llu of %llu of cloud record %llu of %llu is no finite number; it is left out with its "
                                   "slice of %llu row%s, which holds %llu point%s",
                                   u(first + 1), u(unkept.listed), u(item + 1), u(items), u(rows), rowsPlural, u(points), pointsPlural)
                      : qv::format("%llu of the %llu rotations of cloud record %llu of %llu are no finite numbers, the first rotation "
                                   "%llu; they are left out with their slices of %llu row%s, which hold %llu point%s",
                                   u(unkept.places.size()), u(unkept.listed), u(item + 1), u(items), u(first + 1), u(rows), rowsPlural,
                                   u(points), pointsPlural)});
}

// Whether a point can count towards the scan's centre: one whose position holds an infinity or a
// NaN is kept, but has no place, and would make the centre (and all placed by it) no number.
bool hasAPlace(const QVLScanVertex& v) {
  return std::isfinite(v.point3DX) && std::isfinite(v.point3DY) && std::isfinite(v.point3DZ);
}

qv::Double3 centreOf(double sx, double sy, double sz, std::uint64_t count) {
  // No point off the origin: the centre stays at the origin rather than becoming 0/0.
  if (count == 0) return {};
  const double c = static_cast<double>(count);
  return {asFloat(sx / c), asFloat(sy / c), asFloat(sz / c)};
}

// The points only the slices of left-out rotations held go with those slices, as in a project: a
// point no cloud's kept blocks name would be shown, but no save could place it. The centre is
// then that of the points kept.
void forgetOrphans(QvkScanContents& contents, const std::vector<std::uint32_t>& orphans) {
  if (orphans.empty()) return;
  const std::uint64_t n = contents.vertexCount();
  std::vector<bool> named(static_cast<std::size_t>(n), false);
  for (const auto& cloud : contents.clouds) {
    const qv::AttributeValue value = cloud.get("vertexIndexData");
    const auto* index = std::get_if<qv::SharedData>(&value);
    if (!index || !*index) continue;
    for (std::size_t e = 0; e + 4 <= (*index)->size(); e += 4)
      if (const auto k = readScalar<std::uint32_t>((*index)->data() + e); k < n) named[k] = true;
  }
  for (const std::uint32_t k : orphans)
    if (!named[k]) putScanVertex(contents.vertexData, k, QVLScanVertex{});
  double sx = 0, sy = 0, sz = 0;
  std::uint64_t placed = 0;
  for (std::uint64_t k = 0; k < n; ++k) {
    const QVLScanVertex v = scanVertexAt(contents.vertexData, static_cast<std::size_t>(k));
    if (isEmptyVertex(v) || !hasAPlace(v)) continue;
    sx += v.point3DX, sy += v.point3DY, sz += v.point3DZ;
    ++placed;
  }
  contents.centre = centreOf(sx, sy, sz, placed);
}

void noteNonFinitePoints(const NonFinitePoints& points, std::uint64_t items, QvkScanContents& contents) {
  for (auto& note : points.notes("point record", items)) contents.keptAsWritten.push_back({note.offset, std::move(note.text)});
}

}  // namespace

std::size_t dataTypeBytes(QVLQvkFileImporterDataType type) {
  switch (type) {
    case QVLQvkFileImporterDataTypeUInt16: return 2;
    case QVLQvkFileImporterDataTypeUInt32:
    case QVLQvkFileImporterDataTypeFloat32: return 4;
    case QVLQvkFileImporterDataTypeUInt64:
    case QVLQvkFileImporterDataTypeDouble: return 8;
    default: return 0;  // a list of bytes therefore occupies no bytes, as files have always been read
  }
}

bool BodyFailure::at(std::uint64_t where, std::string reason) {
  cancelled = false;
  offset = where;
  why = std::move(reason);
  return false;
}

bool BodyDecoding::isCancelled(BodyFailure& failure) const {
  if (!cancelled || !cancelled()) return false;
  failure.cancelled = true;
  failure.offset = offset;
  failure.why = "the import was cancelled";
  return true;
}

bool decodeFixedLayoutBody(BodyDecoding& d, const std::vector<QVLQvkFileImporterCollectionDescription>& collections,
                           bool older, QvkScanContents& contents, BodyFailure& failure) {
  contents = {};
  if (collections.empty()) return failure.at(d.offset, "the header has no fixed layout");
  const std::size_t fixedBytes = older ? kOlderCloudRecordBytes : kCloudRecordBytes;
  auto left = [&] { return d.size() - d.offset; };

  // Point records: a block cut short keeps the records that are whole before the cut (and no
  // more are allocated than the bytes hold); the rest of the file is read on from there. With not
  // one whole record there is nothing to keep, and the read fails.
  const std::uint64_t declared = collections[0].numberOfItems;
  const std::uint64_t n = std::min<std::uint64_t>(declared, left() / kVertexRecordBytes);
  if (n < declared) {
    if (n == 0) {
      return failure.at(d.offset, qv::format("%llu point records do not fit in the %llu bytes left",
                                             static_cast<unsigned long long>(declared),
                                             static_cast<unsigned long long>(left())));
    }
    contents.cutShort = true;
    contents.cutOffset = d.offset + n * kVertexRecordBytes;
    contents.cutReason = qv::format("point record %llu of %llu is cut short", static_cast<unsigned long long>(n + 1),
                                    static_cast<unsigned long long>(declared));
  }
  contents.hasVertexData = true;
  // Records are built a batch at a time in a small buffer and appended, so the large output is
  // written once instead of being zeroed first and then overwritten.
  contents.vertexData.clear();
  contents.vertexData.reserve(static_cast<std::size_t>(n) * kScanVertexBytes);
  // A colour byte b reads as b / 255 in double precision, rounded to float: one table for all.
  static const std::array<float, 256> kColour = [] {
    std::array<float, 256> table{};
    for (int b = 0; b < 256; ++b) table[static_cast<std::size_t>(b)] = static_cast<float>(b / 255.0);
    return table;
  }();
  constexpr std::size_t kBatch = 1024;
  std::array<QVLScanVertex, kBatch> batch;
  double sx = 0, sy = 0, sz = 0;
  std::uint64_t counted = 0;
  NonFinitePoints nonFinite;
  const std::uint8_t* p = d.bytes.data() + d.offset;
  for (std::uint64_t first = 0; first < n; first += kBatch) {
    const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(kBatch, n - first));
    for (std::size_t j = 0; j < count; ++j, p += kVertexRecordBytes) {
      QVLScanVertex& v = batch[j];
      v = QVLScanVertex{};
      float fields[6];
      std::memcpy(fields, p, sizeof(fields));
      v.point3DX = fields[0];
      v.point3DY = fields[1];
      v.point3DZ = fields[2];
      v.normalX = fields[3];
      v.normalY = fields[4];
      v.normalZ = fields[5];
      v.colourRed = kColour[p[24]];
      v.colourGreen = kColour[p[25]];
      v.colourBlue = kColour[p[26]];
      nonFinite.check(fields, first + j, d.offset + (first + j) * kVertexRecordBytes);
      if (!isEmptyVertex(v) && hasAPlace(v)) {
        sx += v.point3DX;
        sy += v.point3DY;
        sz += v.point3DZ;
        ++counted;
      }
    }
    const auto* raw = reinterpret_cast<const std::uint8_t*>(batch.data());
    contents.vertexData.insert(contents.vertexData.end(), raw, raw + count * kScanVertexBytes);
    // Progress once a batch is as smooth to watch and costs nothing per record.
    d.report(static_cast<float>(static_cast<double>(first + count) / static_cast<double>(n)));
  }
  d.offset += n * kVertexRecordBytes;
  contents.centre = centreOf(sx, sy, sz, counted);
  noteNonFinitePoints(nonFinite, n, contents);

  // The older layout was also written with the cloud records left off altogether.
  if (older && d.offset == d.size()) return true;

  std::vector<std::uint32_t> orphans;  // points named by the blocks of left-out rotations
  for (std::size_t c = 1; c < collections.size(); ++c) {
    const auto& collection = collections[c];
    if (collection.collectionType != QVLQvkFileImporterCollectionTypeClouds) break;
    ++contents.collectionsVisited;
    for (std::uint64_t item = 0; item < collection.numberOfItems; ++item) {
      // A record cut short ends its collection: the clouds before it, and what this one had
      // read, are intact and kept; the next collection is still read.
      auto cutShort = [&](const char* what) {
        if (contents.cutShort) return;
        contents.cutShort = true;
        contents.cutOffset = d.offset;
        contents.cutReason = qv::format("cloud record %llu of %llu is cut short in its %s", static_cast<unsigned long long>(item + 1),
                                        static_cast<unsigned long long>(collection.numberOfItems), what);
      };
      if (left() < fixedBytes) {
        cutShort("fixed part");
        break;
      }
      const std::uint8_t* r = d.bytes.data() + d.offset;
      auto u16 = [&](std::size_t at) { return readScalar<std::uint16_t>(r + at); };
      const std::uint8_t laser = r[30];
      // The older record carries both lasers' normals: laser byte 0 takes the first.
      const std::size_t laserNormalAt = older && laser != 0 ? 87 : 75;
      // A calibration value that is not a finite number leaves only that value unset; the cloud
      // keeps its other values and its points.
      qv::QvkCloudContents& cloud = contents.clouds.emplace_back();
      const std::uint64_t recordAt = d.offset;
      auto calibration = [&](const std::string& name, std::size_t at) {
        setCalibration(cloud, name.c_str(), readScalar<float>(r + at), recordAt + at, item, collection.numberOfItems, contents);
      };
      // Three floats in a row, set as the attribute name followed by X, Y and Z.
      auto vector = [&](const std::string& name, std::size_t at) {
        calibration(name + "X", at);
        calibration(name + "Y", at + 4);
        calibration(name + "Z", at + 8);
      };
      vector("cameraOrigin", 0);
      vector("laserOrigin", 12);
      const std::uint16_t id = u16(28);
      cloud.set("laserNumber", integer(laser));
      cloud.set("height", integer(u16(31)));
      cloud.set("cameraWidth", integer(u16(35)));
      cloud.set("cameraHeight", integer(u16(37)));
      vector("bed", 39);
      vector("bedN", 51);
      vector("leadScrewN", 63);
      vector("laserNormal", laserNormalAt);
      d.offset += fixedBytes;

      if (left() < 2) {
        cutShort("rotation count");
        break;
      }
      const std::uint64_t radians = readScalar<std::uint16_t>(d.bytes.data() + d.offset);
      d.offset += 2;
      if (left() < 4 * radians) {
        cutShort("rotation list");
        break;
      }
      UnkeptRotations unkept;
      cloud.set("radiansData", finiteRotations(d.bytes.data() + d.offset, radians, d.offset, unkept));
      d.offset += 4 * radians;
      auto leaveOutUnkept = [&] { leaveOutBlocks(cloud, unkept, item, collection.numberOfItems, n, contents, orphans); };

      if (left() < 4) {
        cutShort("vertex index count");
        leaveOutUnkept();
        break;
      }
      const std::uint64_t indices = readScalar<std::uint32_t>(d.bytes.data() + d.offset);
      d.offset += 4;
      // A list cut short keeps its whole entries: each still names a point of this cloud.
      const std::uint64_t whole = std::min<std::uint64_t>(indices, left() / 4);
      const std::uint8_t* list = d.bytes.data() + d.offset;
      cloud.set("vertexIndexData", bytesOf(list, static_cast<std::size_t>(4 * whole)));
      d.offset += 4 * whole;
      if (whole < indices) cutShort("vertex index list");
      // Each listed vertex belongs to this cloud; a list of whole slices also gives the rows.
      // Only the two fields change, written in place rather than copying whole records.
      const bool grid = radians > 0 && indices == radians * kRowsPerSlice;
      const auto lookupId = static_cast<std::int16_t>(id);
      std::uint8_t* records = contents.vertexData.data();
      for (std::uint64_t e = 0; e < whole; ++e) {
        const std::uint32_t k = readScalar<std::uint32_t>(list + e * 4);
        if (k == 0 || k >= n) continue;
        std::uint8_t* record = records + static_cast<std::size_t>(k) * kScanVertexBytes;
        std::memcpy(record + offsetof(QVLScanVertex, lookupId), &lookupId, sizeof lookupId);
        if (grid) {
          const auto row = static_cast<std::uint16_t>(e % kRowsPerSlice);
          std::memcpy(record + offsetof(QVLScanVertex, point2DY), &row, sizeof row);
        }
      }
      if (!older) QVLogInfo("Imported cloud with %d points", static_cast<int>(whole));
      leaveOutUnkept();
      if (whole < indices) break;
    }
  }
  forgetOrphans(contents, orphans);
  return true;
}

bool decodeStructuralBody(BodyDecoding& d, const std::vector<QVLQvkFileImporterCollectionDescription>& collections,
                          QvkScanContents& contents, BodyFailure& failure) {
  contents = {};
  auto left = [&] { return d.size() - d.offset; };
  auto progress = [&] {
    d.report(static_cast<float>(static_cast<double>(d.offset) / static_cast<double>(std::max<std::uint64_t>(d.size(), 1))));
  };
  double sx = 0, sy = 0, sz = 0;
  std::uint64_t filled = 0;  // the next vertex record to fill
  std::uint64_t placed = 0;  // the points the centre is the mean of
  NonFinitePoints nonFinite;
  std::uint64_t vertexItems = 0;
  // The cloud item being read and the rotations it left out, whose blocks go once the item is whole.
  bool inCloud = false;
  UnkeptRotations unkept;
  std::uint64_t cloudNumber = 0, cloudsDeclared = 0;
  std::vector<std::uint32_t> orphans;
  auto settleCloud = [&] {
    if (inCloud) leaveOutBlocks(contents.clouds.back(), unkept, cloudNumber, cloudsDeclared, contents.vertexCount(), contents, orphans);
    inCloud = false;
    unkept = {};
  };

  for (std::size_t ci = 0; ci < collections.size(); ++ci) {
    if (d.isCancelled(failure)) return false;
    const auto& collection = collections[ci];
    const bool isVertex = collection.collectionType == QVLQvkFileImporterCollectionTypeVertex;
    const bool isClouds = collection.collectionType == QVLQvkFileImporterCollectionTypeClouds;
    ++contents.collectionsVisited;

    // Every item occupies at least this much, so no more items than that can be in what is left:
    // a wild count neither allocates nor loops beyond the file. A count the file cannot hold is a
    // file cut short, read as far as it goes.
    std::uint64_t minimumItemBytes = 0;
    for (const auto& e : collection.elements) minimumItemBytes += minimumElementBytes(e);
    std::uint64_t items = collection.numberOfItems;
    if (items > 0) {
      if (minimumItemBytes == 0) {
        return failure.at(d.offset, qv::format("collection %zu declares %llu items that hold no data", ci + 1,
                                                              static_cast<unsigned long long>(collection.numberOfItems)));
      }
      items = std::min(items, left() / minimumItemBytes + 1);  // the one beyond is where the data ends
    }
    if (isVertex) {
      if (contents.hasVertexData) {
        return failure.at(d.offset, "a second vertex block");
      }
      contents.hasVertexData = true;
      contents.vertexData.assign(static_cast<std::size_t>(std::min(items, collection.numberOfItems)) * kScanVertexBytes, 0);
    }

    for (std::uint64_t item = 0; item < items; ++item) {
      if (d.isCancelled(failure)) return false;
      const std::uint64_t itemAt = d.offset;
      QVLScanVertex vertex;  // vertex `filled`, cleared for each item
      qv::QvkCloudContents* cloud = isClouds ? &contents.clouds.emplace_back() : nullptr;
      if (cloud) inCloud = true, cloudNumber = item, cloudsDeclared = collection.numberOfItems;
      for (const auto& e : collection.elements) {
        if (d.isCancelled(failure)) return false;
        const std::uint64_t at = d.offset;
        // The data ends inside this item: what came before it is kept, and the read ends here.
        auto need = [&](std::uint64_t n) {
          if (left() >= n) return true;
          contents.cutShort = true;
          contents.cutOffset = at;
          contents.cutReason = qv::format("property \"%s\" needs %llu bytes; %llu are left", e.name.c_str(),
                                          static_cast<unsigned long long>(n), static_cast<unsigned long long>(left()));
          return false;
        };
        const std::uint8_t* p = d.bytes.data() + d.offset;
        switch (e.dataType) {
          case QVLQvkFileImporterDataTypeByte: {
            if (!need(1)) goto endOfData;
            d.offset += 1;
            if (float* colour = vertexColourField(vertex, e.name)) {
              if (isVertex) *colour = static_cast<float>(p[0] * 0.00390625);
            } else if (e.name != "laser") {
              d.unhandledValue(e.name);
            }
            break;
          }
          case QVLQvkFileImporterDataTypeUInt16: {
            if (!need(2)) goto endOfData;
            d.offset += 2;
            if (const char* attribute = cloudUInt16Attribute(e.name)) {
              if (cloud) cloud->set(attribute, integer(readScalar<std::uint16_t>(p)));
            } else if (e.name != "slices") {
              d.unhandledValue(e.name);
            }
            break;
          }
          case QVLQvkFileImporterDataTypeUInt32:
          case QVLQvkFileImporterDataTypeUInt64:
          case QVLQvkFileImporterDataTypeDouble: {
            const std::uint64_t size = e.dataType == QVLQvkFileImporterDataTypeUInt32 ? 4 : 8;
            if (!need(size)) goto endOfData;
            d.offset += size;
            d.unhandledValue(e.name);
            break;
          }
          case QVLQvkFileImporterDataTypeFloat32: {
            if (!need(4)) goto endOfData;
            d.offset += 4;
            const float value = readScalar<float>(p);
            if (float* field = vertexFloatField(vertex, e.name)) {
              if (isVertex) *field = value;
            } else if (const char* attribute = cloudFloatAttribute(e.name)) {
              // One that is no finite number is left unset, as in the fixed layouts.
              if (cloud) setCalibration(*cloud, attribute, value, at, item, collection.numberOfItems, contents);
            } else {
              d.unhandledValue(e.name);
            }
            break;
          }
          case QVLQvkFileImporterDataTypeArray: {
            std::uint64_t countBytes = 0;
            if (e.arraySizeDataType == QVLQvkFileImporterDataTypeUInt16) countBytes = 2;
            else if (e.arraySizeDataType == QVLQvkFileImporterDataTypeUInt32) countBytes = 4;
            if (countBytes == 0) {
              QVLogInfo("Unhandled array list type value: %s", e.name.c_str());
              break;
            }
            if (!need(countBytes)) goto endOfData;
            const std::uint64_t count = countBytes == 2 ? readScalar<std::uint16_t>(p) : readScalar<std::uint32_t>(p);
            d.offset += countBytes;
            const std::uint64_t itemBytes = dataTypeBytes(e.arrayDataType);
            const std::uint64_t listBytes = count * itemBytes;
            const char* kept = nullptr;
            if (countBytes == 2 && e.name == "radians") kept = "radiansData";
            if (countBytes == 4 && e.name == "vertexindicies") kept = "vertexIndexData";
            if (kept) {
              if (!need(listBytes)) {
                // An index list cut short keeps its whole entries: each still names a point.
                if (countBytes == 4) {
                  const std::uint64_t whole = left() / itemBytes * itemBytes;
                  if (cloud) cloud->set(kept, bytesOf(d.bytes.data() + d.offset, static_cast<std::size_t>(whole)));
                  d.offset += whole;
                  contents.cutOffset = d.offset;
                }
                goto endOfData;
              }
              if (cloud && countBytes == 2 && e.arrayDataType == QVLQvkFileImporterDataTypeFloat32)
                cloud->set(kept, finiteRotations(d.bytes.data() + d.offset, count, d.offset, unkept));
              else if (cloud)
                cloud->set(kept, bytesOf(d.bytes.data() + d.offset, static_cast<std::size_t>(listBytes)));
              d.offset += listBytes;
              break;
            }
            // A list of another name is stepped over item by item, each item by what it occupies
            // in the file (a Byte item takes one byte here, unlike in the kept lists above).
            d.unhandledValue(e.name);
            if (d.isCancelled(failure)) return false;
            const std::uint64_t skipBytes = count * skippedItemBytes(e.arrayDataType);
            if (!need(skipBytes)) goto endOfData;
            d.offset += skipBytes;
            break;
          }
          default:
            d.unhandledValue(e.name);
            break;
        }
        progress();
      }
      settleCloud();
      if (isVertex) {
        const float fields[6] = {vertex.point3DX, vertex.point3DY, vertex.point3DZ, vertex.normalX, vertex.normalY, vertex.normalZ};
        nonFinite.check(fields, item, itemAt);
        vertexItems = std::max(vertexItems, items);
        putScanVertex(contents.vertexData, static_cast<std::size_t>(filled), vertex);
        // Points at the origin are dropped: the next item fills the same record.
        if (!isEmptyVertex(vertex)) {
          if (hasAPlace(vertex)) {
            sx += vertex.point3DX;
            sy += vertex.point3DY;
            sz += vertex.point3DZ;
            ++placed;
          }
          ++filled;
        }
      }
    }
    // A dropped last point leaves no normal or colour behind in the trailing records.
    if (isVertex && filled < contents.vertexCount())
      putScanVertex(contents.vertexData, static_cast<std::size_t>(filled), QVLScanVertex{});
  }
endOfData:
  if (contents.cutShort && filled < contents.vertexCount())
    putScanVertex(contents.vertexData, static_cast<std::size_t>(filled), QVLScanVertex{});
  contents.centre = centreOf(sx, sy, sz, placed);
  settleCloud();
  forgetOrphans(contents, orphans);
  noteNonFinitePoints(nonFinite, vertexItems, contents);
  return true;
}

}  // namespace qv::qvk
