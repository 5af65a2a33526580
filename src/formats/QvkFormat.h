// The qvk scan file's layout: its header, its 27-byte point record and 87-byte cloud record, the
// data types its header names, and plain functions that encode a scan's records.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/Value.h"
#include "store/QVLScanVertex.h"

// The kinds of element blocks a header declares.
enum QVLQvkFileImporterCollectionType : std::int32_t {
  QVLQvkFileImporterCollectionTypeNone = 0,
  QVLQvkFileImporterCollectionTypeVertex = 1,
  QVLQvkFileImporterCollectionTypeClouds = 2,
};

// The value types of the header's property lines.
enum QVLQvkFileImporterDataType : std::int32_t {
  QVLQvkFileImporterDataTypeUnknown = 0,
  QVLQvkFileImporterDataTypeNone = 1,
  QVLQvkFileImporterDataTypeByte = 2,
  QVLQvkFileImporterDataTypeUInt16 = 3,
  QVLQvkFileImporterDataTypeUInt32 = 4,
  QVLQvkFileImporterDataTypeUInt64 = 5,
  QVLQvkFileImporterDataTypeFloat32 = 6,
  QVLQvkFileImporterDataTypeDouble = 7,
  QVLQvkFileImporterDataTypeArray = 8,
};

namespace qv {
class PieceWriter;
}

namespace qv::qvk {

inline constexpr std::size_t kVertexRecordBytes = 27;
inline constexpr std::size_t kCloudRecordBytes = 87;       // the writer's cloud record
inline constexpr std::size_t kOlderCloudRecordBytes = 99;  // the older record with two laser normals
inline constexpr std::size_t kScanVertexBytes = sizeof(QVLScanVertex);
inline constexpr std::size_t kRowsPerSlice = 960;

// The rows each rotation of a cloud without slices owns in its index data, block after block in
// the order of its rotations: 960 when the entries are exactly that many a rotation (the grid
// the scanner writes), else the cloud's camera height, else 960.
inline std::uint64_t rowsPerRotation(std::uint64_t rotations, std::uint64_t entries, std::int64_t cameraHeight) {
  if (rotations > 0 && entries == rotations * kRowsPerSlice) return kRowsPerSlice;
  return cameraHeight > 0 ? static_cast<std::uint64_t>(cameraHeight) : kRowsPerSlice;
}

// Points read whose position or normal holds an infinity or a NaN. The file holds them so, and
// they are kept as written; one without a finite position has no place, and is not drawn. Named
// once for the file, each kind at its first ("point record", "point slot").
class NonFinitePoints {
public:
  void check(const float (&fields)[6], std::uint64_t item, std::uint64_t at);
  struct Note {
    std::uint64_t offset;
    std::string text;
  };
  // What the read's warning says of them, in the order of the file; `items` is how many were read.
  std::vector<Note> notes(const char* kind, std::uint64_t items) const;

private:
  struct Kind {
    std::uint64_t count = 0, first = 0, at = 0;
  };
  Kind position_, normal_;  // normal_: those whose position is finite
};

// The 43 header lines for N vertex records and C cloud records, each ended by a line feed.
std::string headerText(std::uint64_t vertexCount, std::uint64_t cloudCount, const std::string& shortVersion,
                       const std::string& build);

// A vertex whose x, y and z each compare equal to 0.0 (so -0.0 counts as zero, NaN does not).
inline bool isEmptyVertex(const QVLScanVertex& v) { return v.point3DX == 0.0f && v.point3DY == 0.0f && v.point3DZ == 0.0f; }

// The low 8 bits of the component times 255, taken in double precision and cut toward zero; a
// value that is not a number, or too large for any integer, gives 0.
inline std::uint8_t truncatedColourByte(float component) {
  const double product = static_cast<double>(component) * 255.0;
  // Beyond this range (or for NaN) no integer holds the product; such colours never come from a scan.
  if (!(std::fabs(product) < 9.2e18)) return 0;
  return static_cast<std::uint8_t>(static_cast<std::uint64_t>(static_cast<std::int64_t>(product)) & 0xFFu);
}

// Vertex i of a buffer of 44-byte records (the caller checks the bounds).
inline QVLScanVertex scanVertexAt(std::span<const std::uint8_t> data, std::size_t i) {
  QVLScanVertex v;
  std::memcpy(&v, data.data() + i * kScanVertexBytes, kScanVertexBytes);
  return v;
}
inline void putScanVertex(std::span<std::uint8_t> data, std::size_t i, const QVLScanVertex& v) {
  std::memcpy(data.data() + i * kScanVertexBytes, &v, kScanVertexBytes);
}

// Writes the 27-byte record of a vertex. Inline: it runs for every point of an export.
inline void putVertexRecord(std::uint8_t* out, const QVLScanVertex& v) {
  const float fields[6] = {v.point3DX, v.point3DY, v.point3DZ, v.normalX, v.normalY, v.normalZ};
  std::memcpy(out, fields, sizeof(fields));
  out[24] = truncatedColourByte(v.colourRed);
  out[25] = truncatedColourByte(v.colourGreen);
  out[26] = truncatedColourByte(v.colourBlue);
}

// The vertex records of a scan's vertex data (N = length / 44 records). Without index lists
// every vertex that is not empty is written; with them, only the vertices some list names (an
// entry of 0, one not below N or one naming an empty vertex is skipped). Unwritten records are
// zero. Written in record order as they are made, or gathered whole.
void writeVertexRecords(PieceWriter& out, std::span<const std::uint8_t> vertexData, const std::vector<SharedData>& indexLists);
Data encodeVertexRecords(std::span<const std::uint8_t> vertexData, const std::vector<SharedData>& indexLists);
// The vertices off the origin that those records leave out: with index lists, those no list names
// (record 0 among them, as an entry of 0 names none); none without.
std::uint64_t unlistedPoints(std::span<const std::uint8_t> vertexData, const std::vector<SharedData>& indexLists);

// What one cloud record is made of, as read from a stored point cloud. A calibration value the
// cloud does not hold is written as a NaN, which the readers read as unset again.
struct CloudRecordSource {
  using Value = std::optional<float>;
  Value cameraOrigin[3];
  Value laserOrigin[3];
  float headHeight = 0;  // already cut to its integer value
  std::int64_t referenceId = 0;
  std::int64_t laserNumber = 0;
  std::int64_t height = 0;
  bool heightIsANumber = true;  // false for a stored height that is an infinity or a NaN
  std::uint64_t sliceCount = 0;
  std::int64_t cameraWidth = 0;
  std::int64_t cameraHeight = 0;
  Value bed[3];
  Value bedNormal[3];
  Value leadScrewNormal[3];
  Value laserNormal[3];
  Data radians;              // float32 values, little-endian, as they go into the file
  SharedData vertexIndexData;  // uint32 entries; empty or null for none
};

// Why a cloud record cannot be written: a count that does not fit its field (more than 65,535
// slices or radians, more than 2^32 - 1 index entries), a calibration value or rotation held that
// is not a finite float, which the readers would take back as unset, or a height that is no
// number, which the record would carry as another; nothing when it can.
std::optional<std::string> cloudRecordProblem(const CloudRecordSource& cloud);
// The record's length in the file: the fixed part, the radians list and the vertex index list.
std::uint64_t cloudRecordLength(const CloudRecordSource& cloud);
// Writes one cloud record that passed that check. Index entries that are 0, not below N, or name
// an empty vertex are written as 0.
void writeCloudRecord(PieceWriter& out, const CloudRecordSource& cloud, std::span<const std::uint8_t> vertexData);
// The same appended to `out`; fails, appending nothing, with the problem, when the check fails.
bool appendCloudRecord(Data& out, const CloudRecordSource& cloud, std::span<const std::uint8_t> vertexData,
                       std::string* problem);

// Little-endian reads and writes of the body's scalar fields.
template <typename T>
inline T readScalar(const std::uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof(T));
  return v;
}
template <typename T>
inline void appendScalar(Data& out, T v) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(&v);
  out.insert(out.end(), p, p + sizeof(T));
}

}  // namespace qv::qvk
