// The qvk reader: header lines, the choice of body reader, the fast and structural decoders, and
// storing the decoded scan.
#include "formats/QVLQvkFileImporter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <limits>

#include "formats/FormatErrors.h"
#include "platform/Format.h"
#include "platform/Log.h"
#include "platform/Text.h"
#include "store/QVSDPointCloud.h"
#include "store/QVSDScanObject.h"

namespace {

using qv::qvk::readScalar;

constexpr std::size_t kLineChunkBytes = 100;

// Splits at every single space, keeping empty parts between adjacent spaces.
std::vector<std::string> splitAtSpaces(const std::string& line) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t space = line.find(' ', start);
    parts.push_back(line.substr(start, space == std::string::npos ? std::string::npos : space - start));
    if (space == std::string::npos) return parts;
    start = space + 1;
  }
}

const char* collectionTypeName(QVLQvkFileImporterCollectionType type) {
  switch (type) {
    case QVLQvkFileImporterCollectionTypeVertex: return "Vertex";
    case QVLQvkFileImporterCollectionTypeClouds: return "Clouds";
    case QVLQvkFileImporterCollectionTypeNone: return "None";
  }
  return "";
}

struct ExpectedElement {
  const char* name;
  QVLQvkFileImporterDataType type;
  QVLQvkFileImporterDataType arrayType = QVLQvkFileImporterDataTypeNone;
  QVLQvkFileImporterDataType sizeType = QVLQvkFileImporterDataTypeNone;
};

constexpr auto F32 = QVLQvkFileImporterDataTypeFloat32;
constexpr auto U16 = QVLQvkFileImporterDataTypeUInt16;
constexpr auto U32 = QVLQvkFileImporterDataTypeUInt32;
constexpr auto BYTE = QVLQvkFileImporterDataTypeByte;
constexpr auto LIST = QVLQvkFileImporterDataTypeArray;

const std::vector<ExpectedElement> kVertexLayout = {
    {"x", F32}, {"y", F32}, {"z", F32}, {"nx", F32}, {"ny", F32}, {"nz", F32}, {"red", BYTE}, {"green", BYTE}, {"blue", BYTE},
};

std::vector<ExpectedElement> cloudLayout(bool older) {
  std::vector<ExpectedElement> e = {
      {"cameraoriginx", F32}, {"cameraoriginy", F32}, {"cameraoriginz", F32}, {"laseroriginx", F32},
      {"laseroriginy", F32},  {"laseroriginz", F32},  {"headheight", F32},    {"id", U16},
      {"laser", BYTE},        {"height", U16},        {"slices", U16},        {"camerawidth", U16},
      {"cameraheight", U16},  {"bedx", F32},          {"bedy", F32},          {"bedz", F32},
      {"bdnx", F32},          {"bdny", F32},          {"bdnz", F32},          {"lsnx", F32},
      {"lsny", F32},          {"lsnz", F32},
  };
  if (older) {
    for (const char* n : {"l1nx", "l1ny", "l1nz", "l2nx", "l2ny", "l2nz"}) e.push_back({n, F32});
  } else {
    for (const char* n : {"lnx", "lny", "lnz"}) e.push_back({n, F32});
  }
  e.push_back({"radians", LIST, F32, U16});
  e.push_back({"vertexindicies", LIST, U32, U32});
  return e;
}

bool matchesLayout(const QVLQvkFileImporterCollectionDescription& c, const std::vector<ExpectedElement>& layout) {
  if (c.elements.size() != layout.size()) return false;
  for (std::size_t i = 0; i < layout.size(); ++i) {
    const auto& e = c.elements[i];
    const auto& x = layout[i];
    if (e.name != x.name || e.dataType != x.type) return false;
    if (x.type == LIST && (e.arrayDataType != x.arrayType || e.arraySizeDataType != x.sizeType)) return false;
  }
  return true;
}

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
  return type == QVLQvkFileImporterDataTypeByte ? 1 : QVLQvkFileImporter::dataSizeForElementWithDataType(type);
}

qv::AttributeValue number(float v) { return qv::AttributeValue(static_cast<double>(v)); }
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

qv::Double3 centreOf(double sx, double sy, double sz, std::uint64_t count) {
  // No point off the origin: the centre stays at the origin rather than becoming 0/0.
  if (count == 0) return {};
  const double c = static_cast<double>(count);
  return {asFloat(sx / c), asFloat(sy / c), asFloat(sz / c)};
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Types

QVLQvkFileImporterDataType QVLQvkFileImporter::convertDataType(std::string_view word) {
  if (word == "byte") return QVLQvkFileImporterDataTypeByte;
  if (word == "uint16") return QVLQvkFileImporterDataTypeUInt16;
  if (word == "uint32") return QVLQvkFileImporterDataTypeUInt32;
  if (word == "uint64") return QVLQvkFileImporterDataTypeUInt64;
  if (word == "float32") return QVLQvkFileImporterDataTypeFloat32;
  if (word == "double") return QVLQvkFileImporterDataTypeDouble;
  if (word == "list") return QVLQvkFileImporterDataTypeArray;
  return QVLQvkFileImporterDataTypeUnknown;
}

std::size_t QVLQvkFileImporter::dataSizeForElementWithDataType(QVLQvkFileImporterDataType type) {
  switch (type) {
    case QVLQvkFileImporterDataTypeUInt16: return 2;
    case QVLQvkFileImporterDataTypeUInt32:
    case QVLQvkFileImporterDataTypeFloat32: return 4;
    case QVLQvkFileImporterDataTypeUInt64:
    case QVLQvkFileImporterDataTypeDouble: return 8;
    default: return 0;  // a list of bytes therefore occupies no bytes, as files have always been read
  }
}

std::string QVLQvkFileImporter::stringForDataType(QVLQvkFileImporterDataType type) {
  static const char* kNames[] = {"Unknown", "None", "Byte", "UInt16", "UInt32", "UInt64", "Float32", "Double", "Array"};
  const auto i = static_cast<std::int32_t>(type);
  return i >= 0 && i <= 8 ? kNames[i] : "";
}

void QVLQvkFileImporter::treatUnhandledValue(const std::string& name) {
  if (std::find(unhandledValues_.begin(), unhandledValues_.end(), name) != unhandledValues_.end()) return;
  unhandledValues_.push_back(name);
  QVLogInfo("Unhandled value: %s", name.c_str());
}

// ---------------------------------------------------------------------------------------------
// Memory

namespace {
// What one point cloud costs once decoded, made a stored object and saved (its attributes, the
// saved copy the save notification carries, the store's row): about 11 KiB measured, with room to spare.
constexpr std::uint64_t kStoredCloudBytes = 16 * 1024;
// Every file may use this much; beyond it, what a read allocates must stay proportional to the
// file's size. A file as the writer makes it needs under twice its size.
constexpr std::uint64_t kMemoryFloorBytes = 256ull << 20;
constexpr std::uint64_t kMemoryPerFileByte = 16;
}  // namespace

bool QVLQvkFileImporter::fitsMemoryBudget(qv::Error* error) const {
  // The counts are the header's: a small file declaring many tiny records would otherwise make
  // the reader allocate far more than the file could ever hold (a one-byte cloud record becomes
  // a whole stored object).
  const std::uint64_t budget = kMemoryFloorBytes + kMemoryPerFileByte * fileSize_;
  std::uint64_t needed = 0;
  for (const auto& c : collections_) {
    std::uint64_t each = 0;
    if (c.collectionType == QVLQvkFileImporterCollectionTypeVertex) each = qv::qvk::kScanVertexBytes;
    if (c.collectionType == QVLQvkFileImporterCollectionTypeClouds) each = kStoredCloudBytes;
    if (each == 0) continue;
    if (c.numberOfItems > (budget - needed) / each) {
      if (error) *error = invalidAt(fileOffset_, qv::format("%llu items would take more memory than a file of %llu bytes may",
                                                            static_cast<unsigned long long>(c.numberOfItems),
                                                            static_cast<unsigned long long>(fileSize_)));
      return false;
    }
    needed += c.numberOfItems * each;
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// Errors

qv::Error QVLQvkFileImporter::invalidAt(std::uint64_t offset, const std::string& why) const {
  qv::Error e = qv::qvkInvalidFileError(localFilePath(), offset, qv::kQvkInvalidDescription);
  if (!why.empty()) e.description += qv::format(" (%s at byte %llu)", why.c_str(), static_cast<unsigned long long>(offset));
  return e;
}

bool QVLQvkFileImporter::cancelled(qv::Error* error) const {
  if (!shouldCancelImport()) return false;
  if (error) *error = qv::Error(qv::kScanErrorDomain, qv::kImportCancelledError, "The import was cancelled");
  return true;
}

// ---------------------------------------------------------------------------------------------
// Entry

bool QVLQvkFileImporter::parseFile(qv::Error* error) {
  QVLFileImporter::parseFile(error);
  const std::string& path = localFilePath();
  if (path.empty()) {
    QVLogError("Unable to parse the file, localFileUrl is nil");
    if (error) *error = qv::Error(qv::kScanErrorDomain, qv::kInvalidParameterError, "No file was given",
                                  {{qv::kParameterKey, "localFileUrl"}});
    return false;
  }
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    QVLogError("Unable to parse the file, localFileUrl does not exist");
    if (error) *error = qv::Error(qv::kScanErrorDomain, qv::kMissingFileError, "There is no file at " + path);
    return false;
  }

  qv::Data bytes;
  {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    bool readable = fd >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (readable) {
      bytes.resize(static_cast<std::size_t>(st.st_size));
      std::size_t done = 0;
      while (done < bytes.size()) {
        const ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
      }
      bytes.resize(done);  // a file that shrank meanwhile is read as far as it goes
    }
    if (fd >= 0) ::close(fd);
    if (!readable || bytes.empty()) {
      if (error) *error = qv::Error(qv::kScanErrorDomain, qv::kInvalidFileError,
                                    (readable ? "The QVK file is empty: " : "The QVK file cannot be read: ") + path);
      return false;
    }
  }

  if (!readQvkHeader(bytes, error)) {
    QVLogError("Parsing QVK header operation failed (%s)", path.c_str());
    return false;
  }
  logCollections();
  bool ok = false;
  switch (chooseBodyReader()) {
    case BodyReader::PredictableMacV1: ok = readPredictableQvkMacV1Data(bytes, error); break;
    case BodyReader::PredictableMacV2: ok = readPredictableQvkMacV2Data(bytes, error); break;
    case BodyReader::Structural: ok = readStructuralQvkData(bytes, error); break;
  }
  if (!ok) QVLogError("Parsing QVK vertex operation failed (%s)", path.c_str());
  return ok;
}

bool QVLQvkFileImporter::decodeFile(const qv::Data& bytes, qv::QvkScanContents& contents, qv::Error* error) {
  if (!readQvkHeader(bytes, error)) return false;
  const BodyReader reader = chooseBodyReader();
  if (reader == BodyReader::Structural) return decodeStructuralBody(bytes, contents, error);
  return decodePredictableBody(bytes, reader, contents, error);
}

// ---------------------------------------------------------------------------------------------
// Header

std::optional<std::string> QVLQvkFileImporter::readLine(const qv::Data& bytes, qv::Error* error) {
  currentLineData_.clear();
  for (;;) {
    if (fileOffset_ >= fileSize_) {
      if (error) *error = invalidAt(fileOffset_, "the header ends before \"end_header\"");
      return std::nullopt;
    }
    const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(kLineChunkBytes, fileSize_ - fileOffset_));
    const auto* chunk = bytes.data() + fileOffset_;
    const auto* feed = static_cast<const std::uint8_t*>(std::memchr(chunk, '\n', take));
    if (!feed) {
      currentLineData_.append(reinterpret_cast<const char*>(chunk), take);
      fileOffset_ += take;
      continue;
    }
    const std::size_t p = static_cast<std::size_t>(feed - chunk);
    currentLineData_.append(reinterpret_cast<const char*>(chunk), p);
    fileOffset_ += p + 1;
    setPercentLoaded(static_cast<float>(static_cast<double>(fileOffset_) / static_cast<double>(fileSize_)));
    std::string line = currentLineData_;
    for (char& c : line)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return line;
  }
}

bool QVLQvkFileImporter::readQvkHeader(const qv::Data& bytes, qv::Error* error) {
  fileSize_ = bytes.size();
  fileOffset_ = 0;
  collections_.clear();
  auto first = readLine(bytes, error);
  if (!first) {
    QVLogError("readQvkHeader failed (line == nil)");
    return false;
  }
  if (*first != "qvk") {
    QVLogError("readQvkHeader failed (first line is not \"qvk\")");
    if (error) *error = invalidAt(0, "the first line is not \"qvk\"");
    return false;
  }
  for (;;) {
    auto line = readLine(bytes, error);
    if (!line) {
      QVLogError("readQvkHeader failed (line == nil)");
      return false;
    }
    if (*line == "end_header") {
      QVLogInfo("Finished reading QVK header");
      return fitsMemoryBudget(error);
    }
    if (line->starts_with("format")) {
      if (!line->starts_with("format binary_little_endian 1.")) {
        QVLogError("readQvkHeader failed (format is different from \"binary_little_endian 1.\")");
        if (error) *error = qv::qvkUnsupportedFileError(localFilePath());
        return false;
      }
      continue;
    }
    if (line->starts_with("comment")) continue;
    const bool vertex = line->starts_with("element vertex");
    if (vertex || line->starts_with("element clouds")) {
      const auto parts = splitAtSpaces(*line);
      if (parts.size() < 3) continue;
      QVLQvkFileImporterCollectionDescription c;
      c.collectionType = vertex ? QVLQvkFileImporterCollectionTypeVertex : QVLQvkFileImporterCollectionTypeClouds;
      c.numberOfItems = static_cast<std::uint64_t>(qv::text::leadingInteger(parts[2]));
      if (vertex) QVLogInfo("Number of vertices: %lu", static_cast<unsigned long>(c.numberOfItems));
      else QVLogInfo("Number of clouds: %lu", static_cast<unsigned long>(c.numberOfItems));
      collections_.push_back(std::move(c));
      continue;
    }
    if (line->starts_with("property")) {
      const auto parts = splitAtSpaces(*line);
      if (parts.size() < 3) {
        QVLogInfo("QVK format error: \"%s\"", line->c_str());
        continue;
      }
      QVLQvkFileImporterElementDescription e;
      e.dataType = convertDataType(parts[1]);
      if (e.dataType == QVLQvkFileImporterDataTypeArray) {
        if (parts.size() >= 5) {
          e.arraySizeDataType = convertDataType(parts[2]);
          e.arrayDataType = convertDataType(parts[3]);
          e.name = parts[4];
        } else {
          QVLogInfo("QVK format error: \"%s\"", line->c_str());
          e.arraySizeDataType = QVLQvkFileImporterDataTypeUnknown;
          e.arrayDataType = QVLQvkFileImporterDataTypeUnknown;
        }
      } else if (e.dataType == QVLQvkFileImporterDataTypeUnknown) {
        QVLogInfo("QVK format error: \"%s\"", line->c_str());
      } else {
        e.name = parts[2];
      }
      // A property line before the first element line belongs to nothing and is dropped.
      if (!collections_.empty()) collections_.back().elements.push_back(std::move(e));
      continue;
    }
    QVLogInfo("Unhandled QVK header: %s", line->c_str());
  }
}

void QVLQvkFileImporter::logCollections() const {
  if (!qv::log::enabled(qv::log::Level::Info)) return;
  QVLogInfo("=================================");
  QVLogInfo("Collection Count:%lu", static_cast<unsigned long>(collections_.size()));
  for (std::size_t i = 0; i < collections_.size(); ++i) {
    const auto& c = collections_[i];
    QVLogInfo("---------------------------------");
    QVLogInfo("      Collection:[%lu]", static_cast<unsigned long>(i));
    QVLogInfo(" Collection Type:%s", collectionTypeName(c.collectionType));
    QVLogInfo("   Element Count:%lu", static_cast<unsigned long>(c.elements.size()));
    for (std::size_t j = 0; j < c.elements.size(); ++j) {
      const auto& e = c.elements[j];
      QVLogInfo("---------------");
      QVLogInfo("         Element:[%lu]", static_cast<unsigned long>(j));
      QVLogInfo("            Name:%s", e.name.c_str());
      QVLogInfo("       Data Type:%s", stringForDataType(e.dataType).c_str());
      QVLogInfo(" Array Size Type:%s", stringForDataType(e.arraySizeDataType).c_str());
      QVLogInfo(" Array Data Type:%s", stringForDataType(e.arrayDataType).c_str());
    }
  }
}

QVLQvkFileImporter::BodyReader QVLQvkFileImporter::chooseBodyReader() const {
  const bool twoCollections = collections_.size() == 2;
  if (!twoCollections) return BodyReader::Structural;
  const auto& first = collections_[0];
  const auto& second = collections_[1];
  const bool vertexBlock = first.collectionType == QVLQvkFileImporterCollectionTypeVertex && matchesLayout(first, kVertexLayout);
  const bool cloudsBlock = second.collectionType == QVLQvkFileImporterCollectionTypeClouds;
  const bool olderClouds = matchesLayout(second, cloudLayout(true));
  const bool writerClouds = matchesLayout(second, cloudLayout(false));
  if (vertexBlock && cloudsBlock && olderClouds) return BodyReader::PredictableMacV1;
  if (vertexBlock && cloudsBlock && writerClouds) return BodyReader::PredictableMacV2;
  QVLogInfo("%d : two collections", twoCollections ? 1 : 0);
  QVLogInfo("%d : the first collection is a vertex block of x, y, z, nx, ny, nz (float32) and red, green, blue (byte)", vertexBlock ? 1 : 0);
  QVLogInfo("%d : the second collection is a clouds block", cloudsBlock ? 1 : 0);
  QVLogInfo("%d : the clouds block has the 30 properties of the two-normal layout", olderClouds ? 1 : 0);
  QVLogInfo("%d : the clouds block has the 27 properties of the one-normal layout", writerClouds ? 1 : 0);
  return BodyReader::Structural;
}

// ---------------------------------------------------------------------------------------------
// Fast readers

bool QVLQvkFileImporter::readPredictableQvkMacV1Data(const qv::Data& bytes, qv::Error* error) {
  qv::QvkScanContents contents;
  if (!decodePredictableBody(bytes, BodyReader::PredictableMacV1, contents, error)) return false;
  return storeContents(std::move(contents), error);
}

bool QVLQvkFileImporter::readPredictableQvkMacV2Data(const qv::Data& bytes, qv::Error* error) {
  qv::QvkScanContents contents;
  if (!decodePredictableBody(bytes, BodyReader::PredictableMacV2, contents, error)) return false;
  return storeContents(std::move(contents), error);
}

bool QVLQvkFileImporter::decodePredictableBody(const qv::Data& bytes, BodyReader layout, qv::QvkScanContents& contents,
                                               qv::Error* error) {
  contents = {};
  if (collections_.empty() || layout == BodyReader::Structural) {
    if (error) *error = invalidAt(fileOffset_, "the header has no fixed layout");
    return false;
  }
  const bool older = layout == BodyReader::PredictableMacV1;
  const std::size_t fixedBytes = older ? qv::qvk::kOlderCloudRecordBytes : qv::qvk::kCloudRecordBytes;
  auto left = [&] { return fileSize_ - fileOffset_; };

  // Point records: all of them must be there before anything is allocated for them.
  const std::uint64_t n = collections_[0].numberOfItems;
  if (n > left() / qv::qvk::kVertexRecordBytes) {
    if (error) *error = invalidAt(fileOffset_, qv::format("%llu point records do not fit in the %llu bytes left",
                                                          static_cast<unsigned long long>(n),
                                                          static_cast<unsigned long long>(left())));
    return false;
  }
  contents.hasVertexData = true;
  contents.vertexData.assign(static_cast<std::size_t>(n) * qv::qvk::kScanVertexBytes, 0);
  // A colour byte b reads as b / 255 in double precision, rounded to float: one table for all.
  static const std::array<float, 256> kColour = [] {
    std::array<float, 256> table{};
    for (int b = 0; b < 256; ++b) table[static_cast<std::size_t>(b)] = static_cast<float>(b / 255.0);
    return table;
  }();
  double sx = 0, sy = 0, sz = 0;
  std::uint64_t counted = 0;
  const std::uint8_t* p = bytes.data() + fileOffset_;
  for (std::uint64_t i = 0; i < n; ++i, p += qv::qvk::kVertexRecordBytes) {
    QVLScanVertex v;
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
    qv::qvk::putScanVertex(contents.vertexData, static_cast<std::size_t>(i), v);
    if (!qv::qvk::isEmptyVertex(v)) {
      sx += v.point3DX;
      sy += v.point3DY;
      sz += v.point3DZ;
      ++counted;
    }
    // Progress every few thousand records is as smooth to watch and costs nothing per record.
    if (i % 4096 == 0 || i + 1 == n) setPercentLoaded(static_cast<float>(static_cast<double>(i) / static_cast<double>(n)));
  }
  fileOffset_ += n * qv::qvk::kVertexRecordBytes;
  contents.centre = centreOf(sx, sy, sz, counted);

  // The older layout was also written with the cloud records left off altogether.
  if (older && fileOffset_ == fileSize_) return true;

  for (std::size_t c = 1; c < collections_.size(); ++c) {
    const auto& collection = collections_[c];
    if (collection.collectionType != QVLQvkFileImporterCollectionTypeClouds) break;
    ++contents.collectionsVisited;
    for (std::uint64_t item = 0; item < collection.numberOfItems; ++item) {
      auto cutShort = [&](const char* what) {
        if (error) *error = invalidAt(fileOffset_, qv::format("cloud record %llu of %llu is cut short in its %s",
                                                              static_cast<unsigned long long>(item + 1),
                                                              static_cast<unsigned long long>(collection.numberOfItems), what));
        return false;
      };
      if (left() < fixedBytes) return cutShort("fixed part");
      const std::uint8_t* r = bytes.data() + fileOffset_;
      auto f32 = [&](std::size_t at) { return number(readScalar<float>(r + at)); };
      auto u16 = [&](std::size_t at) { return readScalar<std::uint16_t>(r + at); };
      qv::QvkCloudContents& cloud = contents.clouds.emplace_back();
      cloud.set("cameraOriginX", f32(0));
      cloud.set("cameraOriginY", f32(4));
      cloud.set("cameraOriginZ", f32(8));
      cloud.set("laserOriginX", f32(12));
      cloud.set("laserOriginY", f32(16));
      cloud.set("laserOriginZ", f32(20));
      const std::uint16_t id = u16(28);
      const std::uint8_t laser = r[30];
      cloud.set("laserNumber", integer(laser));
      cloud.set("height", integer(u16(31)));
      cloud.set("cameraWidth", integer(u16(35)));
      cloud.set("cameraHeight", integer(u16(37)));
      cloud.set("bedX", f32(39));
      cloud.set("bedY", f32(43));
      cloud.set("bedZ", f32(47));
      cloud.set("bedNX", f32(51));
      cloud.set("bedNY", f32(55));
      cloud.set("bedNZ", f32(59));
      cloud.set("leadScrewNX", f32(63));
      cloud.set("leadScrewNY", f32(67));
      cloud.set("leadScrewNZ", f32(71));
      // The older record carries both lasers' normals: laser byte 0 takes the first.
      const std::size_t normalAt = older && laser != 0 ? 87 : 75;
      cloud.set("laserNormalX", f32(normalAt));
      cloud.set("laserNormalY", f32(normalAt + 4));
      cloud.set("laserNormalZ", f32(normalAt + 8));
      fileOffset_ += fixedBytes;

      if (left() < 2) return cutShort("rotation count");
      const std::uint64_t radians = readScalar<std::uint16_t>(bytes.data() + fileOffset_);
      fileOffset_ += 2;
      if (left() < 4 * radians) return cutShort("rotation list");
      cloud.set("radiansData", bytesOf(bytes.data() + fileOffset_, static_cast<std::size_t>(4 * radians)));
      fileOffset_ += 4 * radians;

      if (left() < 4) return cutShort("vertex index count");
      const std::uint64_t indices = readScalar<std::uint32_t>(bytes.data() + fileOffset_);
      fileOffset_ += 4;
      if (left() < 4 * indices) return cutShort("vertex index list");
      const std::uint8_t* list = bytes.data() + fileOffset_;
      cloud.set("vertexIndexData", bytesOf(list, static_cast<std::size_t>(4 * indices)));
      fileOffset_ += 4 * indices;
      // Each listed vertex belongs to this cloud; a list of whole slices also gives the rows.
      // Only the two fields change, written in place rather than copying whole records.
      const bool grid = radians > 0 && indices == radians * qv::qvk::kRowsPerSlice;
      const auto lookupId = static_cast<std::int16_t>(id);
      std::uint8_t* records = contents.vertexData.data();
      for (std::uint64_t e = 0; e < indices; ++e) {
        const std::uint32_t k = readScalar<std::uint32_t>(list + e * 4);
        if (k == 0 || k >= n) continue;
        std::uint8_t* record = records + static_cast<std::size_t>(k) * qv::qvk::kScanVertexBytes;
        std::memcpy(record + offsetof(QVLScanVertex, lookupId), &lookupId, sizeof lookupId);
        if (grid) {
          const auto row = static_cast<std::uint16_t>(e % qv::qvk::kRowsPerSlice);
          std::memcpy(record + offsetof(QVLScanVertex, point2DY), &row, sizeof row);
        }
      }
      if (!older) QVLogInfo("Imported cloud with %d points", static_cast<int>(indices));
    }
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// Structural reader

bool QVLQvkFileImporter::readStructuralQvkData(const qv::Data& bytes, qv::Error* error) {
  qv::QvkScanContents contents;
  if (!decodeStructuralBody(bytes, contents, error)) return false;
  return storeContents(std::move(contents), error);
}

bool QVLQvkFileImporter::decodeStructuralBody(const qv::Data& bytes, qv::QvkScanContents& contents, qv::Error* error) {
  contents = {};
  auto left = [&] { return fileSize_ - fileOffset_; };
  auto progress = [&] {
    setPercentLoaded(static_cast<float>(static_cast<double>(fileOffset_) / static_cast<double>(std::max<std::uint64_t>(fileSize_, 1))));
  };
  double sx = 0, sy = 0, sz = 0;
  std::uint64_t filled = 0;  // the next vertex record to fill

  for (std::size_t ci = 0; ci < collections_.size(); ++ci) {
    if (cancelled(error)) return false;
    const auto& collection = collections_[ci];
    const bool isVertex = collection.collectionType == QVLQvkFileImporterCollectionTypeVertex;
    const bool isClouds = collection.collectionType == QVLQvkFileImporterCollectionTypeClouds;
    ++contents.collectionsVisited;

    // Every item occupies at least this much, so the declared count must fit in what is left;
    // checking first keeps a wild count from allocating or looping without end.
    std::uint64_t minimumItemBytes = 0;
    for (const auto& e : collection.elements) minimumItemBytes += minimumElementBytes(e);
    if (collection.numberOfItems > 0) {
      if (minimumItemBytes == 0) {
        if (error) *error = invalidAt(fileOffset_, qv::format("collection %zu declares %llu items that hold no data", ci + 1,
                                                              static_cast<unsigned long long>(collection.numberOfItems)));
        return false;
      }
      if (collection.numberOfItems > left() / minimumItemBytes) {
        if (error) *error = invalidAt(fileOffset_, qv::format("collection %zu declares %llu items of at least %llu bytes; %llu bytes are left",
                                                              ci + 1, static_cast<unsigned long long>(collection.numberOfItems),
                                                              static_cast<unsigned long long>(minimumItemBytes),
                                                              static_cast<unsigned long long>(left())));
        return false;
      }
    }
    if (isVertex) {
      if (contents.hasVertexData) {
        if (error) *error = invalidAt(fileOffset_, "a second vertex block");
        return false;
      }
      contents.hasVertexData = true;
      contents.vertexData.assign(static_cast<std::size_t>(collection.numberOfItems) * qv::qvk::kScanVertexBytes, 0);
    }

    for (std::uint64_t item = 0; item < collection.numberOfItems; ++item) {
      if (cancelled(error)) return false;
      QVLScanVertex vertex;  // vertex `filled`, cleared for each item
      qv::QvkCloudContents* cloud = isClouds ? &contents.clouds.emplace_back() : nullptr;
      for (const auto& e : collection.elements) {
        if (cancelled(error)) return false;
        const std::uint64_t at = fileOffset_;
        auto need = [&](std::uint64_t n) {
          if (left() >= n) return true;
          if (error) *error = invalidAt(at, qv::format("property \"%s\" needs %llu bytes; %llu are left", e.name.c_str(),
                                                       static_cast<unsigned long long>(n), static_cast<unsigned long long>(left())));
          return false;
        };
        const std::uint8_t* p = bytes.data() + fileOffset_;
        switch (e.dataType) {
          case QVLQvkFileImporterDataTypeByte: {
            if (!need(1)) return false;
            fileOffset_ += 1;
            if (float* colour = vertexColourField(vertex, e.name)) {
              if (isVertex) *colour = static_cast<float>(p[0] * 0.00390625);
            } else if (e.name != "laser") {
              treatUnhandledValue(e.name);
            }
            break;
          }
          case QVLQvkFileImporterDataTypeUInt16: {
            if (!need(2)) return false;
            fileOffset_ += 2;
            if (const char* attribute = cloudUInt16Attribute(e.name)) {
              if (cloud) cloud->set(attribute, integer(readScalar<std::uint16_t>(p)));
            } else if (e.name != "slices") {
              treatUnhandledValue(e.name);
            }
            break;
          }
          case QVLQvkFileImporterDataTypeUInt32:
          case QVLQvkFileImporterDataTypeUInt64:
          case QVLQvkFileImporterDataTypeDouble: {
            const std::uint64_t size = e.dataType == QVLQvkFileImporterDataTypeUInt32 ? 4 : 8;
            if (!need(size)) return false;
            fileOffset_ += size;
            treatUnhandledValue(e.name);
            break;
          }
          case QVLQvkFileImporterDataTypeFloat32: {
            if (!need(4)) return false;
            fileOffset_ += 4;
            const float value = readScalar<float>(p);
            if (float* field = vertexFloatField(vertex, e.name)) {
              if (isVertex) *field = value;
            } else if (const char* attribute = cloudFloatAttribute(e.name)) {
              if (cloud) cloud->set(attribute, number(value));
            } else {
              treatUnhandledValue(e.name);
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
            if (!need(countBytes)) return false;
            const std::uint64_t count = countBytes == 2 ? readScalar<std::uint16_t>(p) : readScalar<std::uint32_t>(p);
            fileOffset_ += countBytes;
            const std::uint64_t itemBytes = dataSizeForElementWithDataType(e.arrayDataType);
            const std::uint64_t listBytes = count * itemBytes;
            const char* kept = nullptr;
            if (countBytes == 2 && e.name == "radians") kept = "radiansData";
            if (countBytes == 4 && e.name == "vertexindicies") kept = "vertexIndexData";
            if (kept) {
              if (!need(listBytes)) return false;
              if (cloud) cloud->set(kept, bytesOf(bytes.data() + fileOffset_, static_cast<std::size_t>(listBytes)));
              fileOffset_ += listBytes;
              break;
            }
            // A list of another name is stepped over item by item, each item by what it occupies
            // in the file (a Byte item takes one byte here, unlike in the kept lists above).
            treatUnhandledValue(e.name);
            if (cancelled(error)) return false;
            const std::uint64_t skipBytes = count * skippedItemBytes(e.arrayDataType);
            if (!need(skipBytes)) return false;
            fileOffset_ += skipBytes;
            break;
          }
          default:
            treatUnhandledValue(e.name);
            break;
        }
        progress();
      }
      if (isVertex) {
        qv::qvk::putScanVertex(contents.vertexData, static_cast<std::size_t>(filled), vertex);
        // Points at the origin are dropped: the next item fills the same record.
        if (!qv::qvk::isEmptyVertex(vertex)) {
          sx += vertex.point3DX;
          sy += vertex.point3DY;
          sz += vertex.point3DZ;
          ++filled;
        }
      }
    }
    // A dropped last point leaves no normal or colour behind in the trailing records.
    if (isVertex && filled < collection.numberOfItems)
      qv::qvk::putScanVertex(contents.vertexData, static_cast<std::size_t>(filled), QVLScanVertex{});
  }
  contents.centre = centreOf(sx, sy, sz, filled);
  return true;
}

// ---------------------------------------------------------------------------------------------
// Storing

bool QVLQvkFileImporter::storeContents(qv::QvkScanContents&& contents, qv::Error* error) {
  auto context = privateQueueContext();
  if (!context) {
    if (error) *error = qv::Error(qv::kScanErrorDomain, qv::kInvalidParameterError, "There is no store to read into");
    return false;
  }
  bool ok = false;
  context->performAndWait([&] {
    const bool hadChanges = context->hasChanges();
    auto scan = scanObjectId() ? QVSDScanObject::scanObjectWithId(scanObjectId(), false, *context) : nullptr;
    if (!scan) {
      if (error) *error = qv::Error(qv::kScanErrorDomain, qv::kInvalidParameterError, "The scan to read into does not exist",
                                    {{qv::kParameterKey, "scanObjectId"}});
      return;
    }
    // What the read changes on the scan object, to put back should the save fail.
    static const char* kTouched[] = {"lastOpenedDate", "vertexData",         "unsavedVertexData",  "radiusCutoff",
                                     "yCutoff",        "objectCenterPointX", "objectCenterPointY", "objectCenterPointZ"};
    std::vector<std::pair<std::string, qv::AttributeValue>> before;
    for (const char* key : kTouched) before.emplace_back(key, scan->value(key));

    scan->setLastOpenedDate(qv::dateNow());
    const std::uint64_t vertexCount = contents.vertexCount();
    if (contents.hasVertexData) {
      scan->setVertexData(std::make_shared<const qv::Data>(std::move(contents.vertexData)));
      scan->setUnsavedVertexData(nullptr);
      scan->setRadiusCutoff(static_cast<double>(std::numeric_limits<float>::max()));
      scan->setYCutoff(static_cast<double>(std::numeric_limits<float>::min()));
    }
    scan->setObjectCenterPoint(contents.centre);
    std::vector<std::shared_ptr<QVSDPointCloud>> created;
    for (const auto& cloudContents : contents.clouds) {
      auto cloud = QVSDPointCloud::createPointCloudForScanObject(scan);
      if (!cloud) continue;
      created.push_back(cloud);
      for (const auto& [key, value] : cloudContents.attributes) cloud->setValue(key, value);
    }
    QVLogInfo("collections: %lu vertices: %lu clouds: %lu", static_cast<unsigned long>(contents.collectionsVisited),
              static_cast<unsigned long>(contents.hasVertexData ? vertexCount : scan->numberOfVertices()),
              static_cast<unsigned long>(created.size()));
    qv::Error saveError;
    if (!context->save(&saveError)) {
      QVLogInfo("Save failed: %s", saveError.text().c_str());
      // Leave nothing of the half-stored scan behind: with no other unsaved work in the context
      // a rollback is exact; otherwise only what this read did is undone.
      if (!hadChanges) {
        context->rollback();
      } else {
        for (const auto& cloud : created) context->deleteObject(cloud);
        for (auto& [key, value] : before) scan->setValue(key, std::move(value));
      }
      if (error) *error = saveError;
      return;
    }
    QVLogInfo("Finished reading QVK data");
    ok = true;
  });
  return ok;
}

