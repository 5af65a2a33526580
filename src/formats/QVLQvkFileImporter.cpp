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
#include <new>
#include <limits>
#include <new>

#include "formats/FormatErrors.h"
#include "formats/QvkBodyDecoders.h"
#include "formats/internal/ReaderSupport.h"
#include "formats/internal/StoreUndo.h"
#include "platform/Format.h"
#include "platform/Log.h"
#include "platform/Text.h"
#include "store/QVSDPointCloud.h"
#include "store/QVSDScanObject.h"

namespace {

using qv::qvk::readScalar;

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
  return qv::qvk::dataTypeBytes(type);
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
// Every file may use this much: the clouds of the largest scan the scanner makes (256), however
// short their records. Beyond it, what a read allocates must stay proportional to the file's size
// (a file as the writer makes it needs under twice its size), so a small file cannot declare
// thousands of one-byte records that each become a stored object.
constexpr std::uint64_t kMemoryFloorBytes = 256 * kStoredCloudBytes;
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

namespace {

std::vector<qv::QvkScanContents::Noted> inFileOrder(const std::vector<qv::QvkScanContents::Noted>& lost,
                                                   const std::vector<qv::QvkScanContents::Noted>& remarks) {
  std::vector<qv::QvkScanContents::Noted> all = lost;
  all.insert(all.end(), remarks.begin(), remarks.end());
  std::stable_sort(all.begin(), all.end(), [](const auto& a, const auto& b) { return a.offset < b.offset; });
  return all;
}

// Each noted thing with its byte, in the order of the file.
std::string notedText(const std::vector<qv::QvkScanContents::Noted>& lost, const std::vector<qv::QvkScanContents::Noted>& remarks) {
  std::string text;
  for (const auto& n : inFileOrder(lost, remarks))
    text += qv::format("%s%s at byte %llu", text.empty() ? "" : "; ", n.reason.c_str(), static_cast<unsigned long long>(n.offset));
  return text;
}

bool holdsAPoint(const qv::QvkScanContents& contents) {
  for (std::uint64_t k = 0; k < contents.vertexCount(); ++k)
    if (!qv::qvk::isEmptyVertex(qv::qvk::scanVertexAt(contents.vertexData, static_cast<std::size_t>(k)))) return true;
  return false;
}

}  // namespace

qv::Error QVLQvkFileImporter::readWarning(const std::vector<qv::QvkScanContents::Noted>& lost,
                                          const std::vector<qv::QvkScanContents::Noted>& remarks,
                                          const std::vector<qv::QvkScanContents::Noted>& kept) const {
  auto notes = remarks;
  notes.insert(notes.end(), kept.begin(), kept.end());
  const auto all = inFileOrder(lost, notes);
  qv::Error e = invalidAt(all.front().offset, all.front().reason);
  if (!lost.empty()) {
    if (all.size() > 1) e.description = std::string(qv::kQvkInvalidDescription) + " (" + notedText(lost, notes) + ")";
    return e;
  }
  // Nothing was left out: the details say so as well as the text, which names what is odd.
  e.userInfo[qv::kDescriptionKey] = qv::kQvkReadWholeDescription;
  e.description = "The QVK file was read whole and nothing was left out";
  if (!remarks.empty())
    e.description += ", but " + (remarks.size() == 1 ? std::string("one value was") : std::to_string(remarks.size()) + " values were") +
                     " read otherwise than written: " + notedText(remarks, {});
  if (!kept.empty()) e.description += (remarks.empty() ? ": " : ". Besides, ") + notedText(kept, {});
  return e;
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
  try {
    switch (chooseBodyReader()) {
      case BodyReader::PredictableMacV1: ok = readPredictableQvkMacV1Data(bytes, error); break;
      case BodyReader::PredictableMacV2: ok = readPredictableQvkMacV2Data(bytes, error); break;
      case BodyReader::Structural: ok = readStructuralQvkData(bytes, error); break;
    }
  } catch (const std::bad_alloc&) {
    // Too large for the memory left: an error of this read, not the end of the program.
    if (error) *error = invalidAt(fileOffset_, "there is not enough memory to read it");
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
  if (!qv::takeLine(bytes, fileOffset_, currentLineData_)) {
    if (error) *error = invalidAt(fileOffset_, "the header ends before \"end_header\"");
    return std::nullopt;
  }
  setPercentLoaded(static_cast<float>(static_cast<double>(fileOffset_) / static_cast<double>(fileSize_)));
  return qv::asciiLowerCased(currentLineData_);
}

bool QVLQvkFileImporter::readQvkHeader(const qv::Data& bytes, qv::Error* error) {
  fileSize_ = bytes.size();
  fileOffset_ = 0;
  collections_.clear();
  headerRemarks_.clear();
  vertexCountHoldsNoNumber_ = false;
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
    const std::uint64_t lineStart = fileOffset_;
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
      const auto parts = qv::splitAtEachSpace(*line);
      if (parts.size() < 3) continue;
      // A count is read from its leading digits, as it always was: one with no number in it (two
      // blanks before it, a word, nothing) reads as none, and one with a tail as its number. The
      // read's warning names either, at the count's byte.
      const std::string& count = parts[2];
      const std::size_t read = qv::text::leadingIntegerLength(count);
      if (read == 0 || read < count.size()) {
        const std::uint64_t at = lineStart + parts[0].size() + 1 + parts[1].size() + 1;
        const std::string what = std::string("the number of ") + (vertex ? "vertices" : "clouds") + ", \"" + qv::printable(count) + "\", ";
        if (vertex && read == 0) vertexCountHoldsNoNumber_ = true;
        headerRemarks_.push_back({at, what + (read == 0 ? "holds no number and is read as 0"
                                                        : "is read as " + count.substr(0, read) + ", its tail \"" +
                                                              qv::printable(count.substr(read)) + "\" dropped")});
      }
      QVLQvkFileImporterCollectionDescription c;
      c.collectionType = vertex ? QVLQvkFileImporterCollectionTypeVertex : QVLQvkFileImporterCollectionTypeClouds;
      c.numberOfItems = static_cast<std::uint64_t>(qv::text::leadingInteger(parts[2]));
      if (vertex) QVLogInfo("Number of vertices: %lu", static_cast<unsigned long>(c.numberOfItems));
      else QVLogInfo("Number of clouds: %lu", static_cast<unsigned long>(c.numberOfItems));
      collections_.push_back(std::move(c));
      continue;
    }
    if (line->starts_with("property")) {
      const auto parts = qv::splitAtEachSpace(*line);
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
  if (layout == BodyReader::Structural) {
    if (error) *error = invalidAt(fileOffset_, "the header has no fixed layout");
    return false;
  }
  return runDecoder(bytes, error, [&](qv::qvk::BodyDecoding& d, qv::qvk::BodyFailure& failure) {
    return qv::qvk::decodeFixedLayoutBody(d, collections_, layout == BodyReader::PredictableMacV1, contents, failure);
  });
}

// ---------------------------------------------------------------------------------------------
// Structural reader

bool QVLQvkFileImporter::readStructuralQvkData(const qv::Data& bytes, qv::Error* error) {
  qv::QvkScanContents contents;
  if (!decodeStructuralBody(bytes, contents, error)) return false;
  return storeContents(std::move(contents), error);
}

bool QVLQvkFileImporter::decodeStructuralBody(const qv::Data& bytes, qv::QvkScanContents& contents, qv::Error* error) {
  return runDecoder(bytes, error, [&](qv::qvk::BodyDecoding& d, qv::qvk::BodyFailure& failure) {
    return qv::qvk::decodeStructuralBody(d, collections_, contents, failure);
  });
}

bool QVLQvkFileImporter::runDecoder(
    const qv::Data& bytes, qv::Error* error,
    const std::function<bool(qv::qvk::BodyDecoding&, qv::qvk::BodyFailure&)>& decoder) {
  qv::qvk::BodyDecoding d;
  d.bytes = bytes;
  d.offset = fileOffset_;
  d.progress = [this](float fraction) { setPercentLoaded(fraction); };
  d.cancelled = [this] { return shouldCancelImport(); };
  d.unhandled = [this](const std::string& name) { treatUnhandledValue(name); };
  qv::qvk::BodyFailure failure;
  const bool ok = decoder(d, failure);
  fileOffset_ = d.offset;
  if (!ok && error) {
    *error = failure.cancelled ? qv::Error(qv::kScanErrorDomain, qv::kImportCancelledError, "The import was cancelled")
                               : invalidAt(failure.offset, failure.why);
  }
  return ok;
}

// ---------------------------------------------------------------------------------------------
// Storing

bool QVLQvkFileImporter::storeContents(qv::QvkScanContents&& contents, qv::Error* error) {
  auto context = privateQueueContext();
  if (!context) {
    if (error) *error = qv::noStoreToReadIntoError();
    return false;
  }
  // Values left out and a file cut short cost the scan something; values read otherwise than
  // written cost it nothing. The read keeps the rest and says what and where: the first place in
  // the details, every one in the text, in the order of the file.
  std::vector<qv::QvkScanContents::Noted> lost = contents.leftOutValues;
  for (const auto& v : contents.leftOutValues)
    QVLogWarn("Read %s without a value at byte %llu: %s", localFilePath().c_str(), static_cast<unsigned long long>(v.offset),
              v.reason.c_str());
  if (contents.cutShort) {
    QVLogWarn("Read %s only as far as byte %llu: %s", localFilePath().c_str(),
              static_cast<unsigned long long>(contents.cutOffset), contents.cutReason.c_str());
    lost.push_back({contents.cutOffset, contents.cutReason});
  }
  // A count read otherwise than written (one with no number reads as 0) can leave records after
  // the ones it declares unread: the clouds after the points, say. What is left is named.
  if (!headerRemarks_.empty() && !contents.cutShort && fileOffset_ < fileSize_) {
    const std::uint64_t unread = fileSize_ - fileOffset_;
    lost.push_back({fileOffset_, qv::format("the %llu byte%s after the records the counts declare %s left unread",
                                            static_cast<unsigned long long>(unread), unread == 1 ? "" : "s", unread == 1 ? "is" : "are")});
    QVLogWarn("Read %s without its last %llu bytes: %s", localFilePath().c_str(),
              static_cast<unsigned long long>(fileSize_ - fileOffset_), lost.back().reason.c_str());
  }
  std::vector<qv::QvkScanContents::Noted> remarks = headerRemarks_;
  remarks.insert(remarks.end(), contents.remarks.begin(), contents.remarks.end());
  for (const auto& r : remarks)
    QVLogWarn("Read %s with a value at byte %llu that is not as written: %s", localFilePath().c_str(),
              static_cast<unsigned long long>(r.offset), r.reason.c_str());
  const std::vector<qv::QvkScanContents::Noted>& kept = contents.keptAsWritten;
  for (const auto& k : kept)
    QVLogWarn("Read %s with points at byte %llu that are no finite numbers: %s", localFilePath().c_str(),
              static_cast<unsigned long long>(k.offset), k.reason.c_str());
  // A file whose vertex count holds no number leaves no point to show: that is no scan, and it is
  // refused at the count's byte, so that no empty scan takes the file's place (a file saved
  // without points, or one cut short before any, opens as it is).
  if (vertexCountHoldsNoNumber_ && !holdsAPoint(contents)) {
    qv::Error refused = readWarning(lost, remarks, kept);
    auto notes = remarks;
    notes.insert(notes.end(), kept.begin(), kept.end());
    refused.userInfo[qv::kDescriptionKey] = qv::kQvkInvalidDescription;
    refused.description = "The QVK file holds no point to show (" + notedText(lost, notes) + ")";
    if (error) *error = std::move(refused);
    QVLogError("Read %s without a point to show", localFilePath().c_str());
    return false;
  }
  bool ok = false;
  context->performAndWait([&] {
    auto scan = scanObjectId() ? QVSDScanObject::scanObjectWithId(scanObjectId(), false, *context) : nullptr;
    if (!scan) {
      if (error) *error = qv::noScanToReadIntoError();
      return;
    }
    // What the read changes on the scan object, to put back should the save fail.
    qv::StoreUndo undo(*context, scan,
                       {"lastOpenedDate", "vertexData", "unsavedVertexData", "radiusCutoff", "yCutoff",
                        "objectCenterPointX", "objectCenterPointY", "objectCenterPointZ"});

    scan->setLastOpenedDate(qv::dateNow());
    const std::uint64_t vertexCount = contents.vertexCount();
    if (contents.hasVertexData) {
      scan->setVertexData(std::make_shared<const qv::Data>(std::move(contents.vertexData)));
      scan->setUnsavedVertexData(nullptr);
      scan->setRadiusCutoff(static_cast<double>(std::numeric_limits<float>::max()));
      scan->setYCutoff(static_cast<double>(std::numeric_limits<float>::min()));
    }
    scan->setObjectCenterPoint(contents.centre);
    std::size_t created = 0;
    for (const auto& cloudContents : contents.clouds) {
      auto cloud = QVSDPointCloud::createPointCloudForScanObject(scan);
      if (!cloud) continue;
      undo.created(cloud);
      ++created;
      for (const auto& [key, value] : cloudContents.attributes) cloud->setValue(key, value);
    }
    QVLogInfo("collections: %lu vertices: %lu clouds: %lu", static_cast<unsigned long>(contents.collectionsVisited),
              static_cast<unsigned long>(contents.hasVertexData ? vertexCount : scan->numberOfVertices()),
              static_cast<unsigned long>(created));
    // Leaves nothing of the half-stored scan behind when the save fails.
    if (!undo.save(error, localFilePath())) return;
    QVLogInfo("Finished reading QVK data");
    ok = true;
  });
  if (!ok) return false;
  if (error && (!lost.empty() || !remarks.empty() || !kept.empty())) *error = readWarning(lost, remarks, kept);
  return true;
}

