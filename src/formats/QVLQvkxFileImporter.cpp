// The qvkx reader: unpack, decode every member, then store the scan in one block.
#include "formats/QVLQvkxFileImporter.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "formats/FormatErrors.h"
#include "formats/QvkFormat.h"
#include "formats/SSZipArchive.h"
#include "formats/internal/ReaderSupport.h"
#include "formats/internal/StoreUndo.h"
#include "platform/Log.h"
#include "platform/UUID.h"
#include "store/QVSDPointCloud.h"
#include "store/QVSDScanObject.h"
#include "store/QVSDScanSlice.h"
#include "store/QVSDTexture.h"
#include "store/VertexRecords.h"

namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t kProgressEvery = 4096;

std::string extensionOf(const std::string& name) {
  const auto dot = name.rfind('.');
  return dot == std::string::npos || dot == 0 ? std::string() : qv::asciiLowerCased(name.substr(dot + 1));
}

// Names in the order a person would list them: ignoring case first, then by bytes.
bool listedBefore(const std::string& a, const std::string& b) {
  const std::string la = qv::asciiLowerCased(a), lb = qv::asciiLowerCased(b);
  return la != lb ? la < lb : a < b;
}

bool isRegularFile(const fs::path& path) {
  std::error_code ec;
  return fs::symlink_status(path, ec).type() == fs::file_type::regular;
}

}  // namespace

qv::Error QVLQvkxFileImporter::invalidAt(std::uint64_t offset, const char* description, const std::string& detail) const {
  return qv::qvkx::memberError({localFilePath(), member_}, offset, description, detail);
}

// ---------------------------------------------------------------------------------------------
// Cloud files

std::optional<std::string> QVLQvkxFileImporter::readLine(const qv::Data& bytes, qv::Error* error) {
  if (!qv::takeLine(bytes, dataOffset_, currentLineData_)) {
    if (error) *error = invalidAt(dataOffset_, qv::qvkx::kInvalidDescription, "the header ends before \"end_header\"");
    return std::nullopt;
  }
  setPercentLoaded(static_cast<float>(dataOffset_) / static_cast<float>(dataSize_));
  return qv::asciiLowerCased(currentLineData_);
}

std::optional<qv::Dictionary> QVLQvkxFileImporter::readQvkxHeader(const qv::Data& bytes, qv::Error* error) {
  dataSize_ = bytes.size();
  dataOffset_ = 0;
  qv::Dictionary header;
  auto line = readLine(bytes, error);
  if (!line) {
    QVLogError("readQvkHeader failed (line == nil)");
    return std::nullopt;
  }
  // Every cloud file starts with its magic line, whatever its length.
  if (*line != "qvk") {
    QVLogError("readQvkHeader failed (first line is not \"qvk\")");
    if (error) *error = invalidAt(0, qv::qvkx::kInvalidDescription, "the first line is not \"qvk\"");
    return std::nullopt;
  }
  for (;;) {
    const std::uint64_t lineStart = dataOffset_;
    line = readLine(bytes, error);
    if (!line) {
      QVLogError("readQvkHeader failed (line == nil)");
      return std::nullopt;
    }
    if (*line == "end_header") {
      QVLogInfo("Finished reading QVK header");
      return header;
    }
    if (line->starts_with("format")) {
      if (!line->starts_with("format binary_little_endian 2.")) {
        QVLogError("readQvkHeader failed (format is different from \"binary_little_endian 2.\")");
        if (error) *error = invalidAt(lineStart, qv::qvkx::kUnsupportedDescription, "the format is not binary_little_endian 2.x");
        return std::nullopt;
      }
      continue;
    }
    if (line->starts_with("comment")) continue;
    if (line->starts_with("property")) {
      const auto parts = qv::splitAtEachSpace(*line);
      if (parts.size() < 3) {
        QVLogInfo("QVK format error: \"%s\"", line->c_str());
        continue;
      }
      std::string value = parts[2];
      for (std::size_t i = 3; i < parts.size(); ++i) value += " " + parts[i];
      header[parts[1]] = qv::Value(std::move(value));
      continue;
    }
    QVLogInfo("Unhandled QVK header: %s", line->c_str());
  }
}

bool QVLQvkxFileImporter::readQvkxVertices(const qv::Data& bytes, QVLQvkxCloudContents& cloud, qv::Error* error) {
  const std::uint64_t height = cloud.cameraHeight, slices = cloud.sliceCount;
  if (height != 0 && slices > std::numeric_limits<std::uint64_t>::max() / height) {
    if (error) *error = invalidAt(dataOffset_, qv::qvkx::kInvalidDescription, "the cloud declares more slots than can exist");
    return false;
  }
  const std::uint64_t expected = height * slices;
  cloud.points.clear();
  cloud.slots.clear();
  std::uint64_t offset = dataOffset_;
  while (cloud.slots.size() < expected) {
    if (cloud.slots.size() % kProgressEvery == 0) setPercentLoaded(static_cast<float>(offset) / static_cast<float>(dataSize_));
    const std::uint64_t left = dataSize_ - offset;
    if (left < qv::qvkx::kEmptySlotBytes) {
      if (error) {
        *error = invalidAt(offset, qv::qvkx::kInvalidDescription,
                           "the slots end after " + std::to_string(cloud.slots.size()) + " of " + std::to_string(expected));
      }
      return false;
    }
    const std::uint8_t* slot = bytes.data() + offset;
    if (std::isnan(qv::qvk::readScalar<float>(slot))) {
      cloud.slots.push_back(0);
      offset += qv::qvkx::kEmptySlotBytes;
      continue;
    }
    if (left < qv::qvkx::kPointSlotBytes) {
      QVLogWarn("Truncated vertext data");
      if (error) *error = invalidAt(offset, qv::qvkx::kInvalidDescription, "a point slot is cut short");
      return false;
    }
    QVLScanVertex v;
    float fields[6];
    std::memcpy(fields, slot, sizeof fields);
    v.point2DY = static_cast<std::uint16_t>(cloud.slots.size() % height);  // the slot's row within its slice
    v.point3DX = fields[0], v.point3DY = fields[1], v.point3DZ = fields[2];
    v.normalX = fields[3], v.normalY = fields[4], v.normalZ = fields[5];
    v.colourRed = static_cast<float>(slot[24] / 255.0);
    v.colourGreen = static_cast<float>(slot[25] / 255.0);
    v.colourBlue = static_cast<float>(slot[26] / 255.0);
    cloud.points.push_back(v);
    cloud.slots.push_back(static_cast<std::uint32_t>(std::min<std::size_t>(cloud.points.size(), UINT32_MAX)));
    offset += qv::qvkx::kPointSlotBytes;
  }
  dataOffset_ = offset;
  setPercentLoaded(1.0f);
  QVLogInfo("Points in cloud:%lu (out of %lu) expected:%lu", static_cast<unsigned long>(cloud.points.size()),
            static_cast<unsigned long>(cloud.slots.size()), static_cast<unsigned long>(expected));
  QVLogInfo("Finished reading QVKX vertex data");
  return true;
}

bool QVLQvkxFileImporter::decodeCloudFile(const qv::Data& bytes, const std::string& member, QVLQvkxCloudContents& cloud,
                                          qv::Error* error) {
  member_ = member;
  cloud.member = member;
  auto header = readQvkxHeader(bytes, error);
  if (!header) return false;
  cloud.header = std::move(*header);
  cloud.cameraHeight = 0;
  cloud.sliceCount = 0;
  // Read as the store reads them when it makes the cloud from the header, so the grid matches.
  if (const auto* h = qv::find(cloud.header, "cameraheight"))
    cloud.cameraHeight = static_cast<std::uint64_t>(std::max<std::int64_t>(h->toInt64(), 0));
  if (const auto* r = qv::find(cloud.header, "radians"); r && r->string())
    cloud.sliceCount = qv::splitAtEachSpace(*r->string()).size();
  return readQvkxVertices(bytes, cloud, error);
}

// ---------------------------------------------------------------------------------------------
// The archive

bool QVLQvkxFileImporter::decodeFolder(const fs::path& folder, QVLQvkxProjectContents& contents, qv::Error* error) {
  contents = {};
  contents.folder = folder;
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder, ec)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end(), listedBefore);

  for (const auto& name : names) {
    if (extensionOf(name) != "qvk" || !isRegularFile(folder / name)) continue;
    auto bytes = qv::readWholeFile(folder / name, nullptr);
    if (!bytes) {
      member_ = name;
      if (error) *error = invalidAt(0, qv::qvkx::kArchiveInvalidDescription, "the cloud file cannot be read");
      return false;
    }
    QVLQvkxCloudContents cloud;
    if (!decodeCloudFile(*bytes, name, cloud, error)) return false;
    contents.clouds.push_back(std::move(cloud));
  }
  if (contents.clouds.empty()) {
    member_.clear();
    if (error) *error = invalidAt(0, qv::qvkx::kArchiveInvalidDescription, "the archive holds no cloud file");
    return false;
  }

  // Only the first description counts: a qvt sorts before the qvtx of the same name and wins.
  for (const auto& name : names) {
    const std::string extension = extensionOf(name);
    if ((extension != "qvt" && extension != "qvtx") || !isRegularFile(folder / name)) continue;
    auto bytes = qv::readWholeFile(folder / name, nullptr);
    const qv::qvkx::MemberPlace place{localFilePath(), name};
    if (!bytes) {
      if (error) *error = qv::qvkx::memberError(place, 0, qv::qvkx::kArchiveInvalidDescription, "the texture description cannot be read");
      return false;
    }
    std::vector<qv::qvkx::DecodedTexture> textures;
    const bool ok = extension == "qvt"
                        ? qv::qvkx::decodeQvt(*bytes, place, textures, error, [this](float f) { setPercentLoaded(f); })
                        : qv::qvkx::decodeQvtx(*bytes, place, textures, error);
    if (!ok) return false;
    for (auto& texture : textures) {
      // A name with a separator would lead out of the unpacked folder; a missing image is a
      // photo the project was saved without.
      if (!qv::qvkx::isPlainFileName(texture.fileName)) {
        QVLogWarn("Texture image name %s is not a plain file name; the texture is skipped", texture.fileName.c_str());
        continue;
      }
      if (!isRegularFile(folder / texture.fileName)) continue;
      contents.textures.push_back(std::move(texture));
    }
    break;
  }
  return true;
}

bool QVLQvkxFileImporter::storeContents(const QVLQvkxProjectContents& contents, qv::Error* error) {
  auto context = privateQueueContext();
  if (!context) {
    if (error) *error = qv::noStoreToReadIntoError();
    return false;
  }
  std::uint64_t total = 1;
  for (const auto& cloud : contents.clouds) total += cloud.points.size();
  if (total > std::numeric_limits<std::uint32_t>::max()) {
    member_.clear();
    if (error) *error = invalidAt(0, qv::qvkx::kArchiveInvalidDescription, "more points than vertex numbers can name");
    return false;
  }

  // The images are copied first, so that nothing in the store names a file that is not there.
  std::vector<std::string> copies;
  auto removeCopies = [&] {
    std::error_code ec;
    for (const auto& copy : copies) fs::remove(copy, ec);
  };
  for (const auto& texture : contents.textures) {
    auto copy = qv::copyFileIntoFolder((contents.folder / texture.fileName).string(), context->libraryFolder());
    if (!copy) {
      removeCopies();
      if (error) *error = qv::fileError(qv::kFileWriteError, (contents.folder / texture.fileName).string(), 0,
                                        "Could not copy the texture image into the library");
      return false;
    }
    copies.push_back(*copy);
  }

  bool ok = false;
  context->performAndWait([&] {
    auto scan = scanObjectId() ? QVSDScanObject::scanObjectWithId(scanObjectId(), false, *context) : nullptr;
    if (!scan) {
      if (error) *error = qv::noScanToReadIntoError();
      return;
    }
    qv::StoreUndo undo(*context, scan, {"lastOpenedDate", "vertexData", "unsavedVertexData", "radiusCutoff", "yCutoff"});
    scan->setLastOpenedDate(qv::dateNow());

    auto buffer = std::make_shared<qv::Data>(static_cast<std::size_t>(total) * sizeof(QVLScanVertex), 0);
    std::uint32_t next = 1;  // record 0 stays the all-zero "no point"
    for (const auto& decoded : contents.clouds) {
      auto cloud = decoded.header.empty() ? QVSDPointCloud::createPointCloudForScanObject(scan)
                                          : QVSDPointCloud::createPointCloudForScanObject(scan, decoded.header);
      if (!cloud) continue;
      undo.created(cloud);
      const auto slices = QVSDScanSlice::scanSlicesSortedBySliceIndexInPointCloud(cloud);
      if (slices.size() != decoded.sliceCount) {
        undo.undo();
        member_ = decoded.member;
        if (error) *error = invalidAt(0, qv::qvkx::kInvalidDescription, "the rotations do not give one slice each");
        return;
      }
      const auto lookupId = static_cast<std::int16_t>(cloud->lookupId().value_or(0));
      for (std::size_t j = 0; j < decoded.points.size(); ++j) {
        QVLScanVertex v = decoded.points[j];
        v.lookupId = lookupId;
        qv::qvk::putScanVertex(*buffer, next + j, v);
      }
      auto index = std::make_shared<qv::Data>(decoded.slots.size() * 4);
      for (std::size_t k = 0; k < decoded.slots.size(); ++k) {
        const std::uint32_t entry = decoded.slots[k] == 0 ? 0 : next + decoded.slots[k] - 1;
        std::memcpy(index->data() + k * 4, &entry, 4);
      }
      cloud->setVertexIndexData(index);
      for (const auto& slice : slices) slice->setNumberOfPoints(static_cast<std::int64_t>(decoded.cameraHeight));
      next += static_cast<std::uint32_t>(decoded.points.size());
    }
    for (std::size_t i = 0; i < contents.textures.size(); ++i) {
      auto texture = QVSDTexture::createTextureInScanObject(scan);
      if (!texture) continue;
      undo.created(texture);
      texture->setTextureFileName(copies[i]);
      for (const auto& [attribute, value] : contents.textures[i].attributes) texture->setValue(attribute, qv::AttributeValue(value));
    }
    scan->setVertexData(buffer);
    scan->setUnsavedVertexData(nullptr);
    scan->setRadiusCutoff(static_cast<double>(std::numeric_limits<float>::max()));
    scan->setYCutoff(static_cast<double>(std::numeric_limits<float>::min()));

    if (!undo.save(error)) return;
    QVLogInfo("Finished reading QVKX data");
    ok = true;
  });
  if (!ok) removeCopies();
  return ok;
}

bool QVLQvkxFileImporter::parseFile(qv::Error* error) {
  QVLFileImporter::parseFile(error);
  const std::string& path = localFilePath();
  if (!qv::checkReaderInput(path, error)) return false;
  auto context = privateQueueContext();
  if (!context) {
    if (error) *error = qv::noStoreToReadIntoError();
    return false;
  }

  const fs::path folder = context->libraryFolder() / (qv::makeUUIDString() + "." + qv::qvkx::kImportFolderExtension);
  std::error_code ec;
  if (fs::exists(folder, ec)) {
    QVLogWarn("The randomly named intermediate export folder already exists!!");
    if (error) *error = qv::fileError(qv::kFileWriteError, folder.string(), 0, "The intermediate import folder already exists");
    return false;
  }
  if (!fs::create_directory(folder, ec) || ec) {
    QVLogWarn("Could not create the intermediate export folder at %s", folder.c_str());
    QVLogWarn("Error: %s", ec.message().c_str());
    if (error) *error = qv::fileError(qv::kFileWriteError, folder.string(), 0, "Could not create the intermediate import folder: " + ec.message());
    return false;
  }

  qv::Error unzipError;
  if (!SSZipArchive::unzipFileAtPath(path, folder.string(), true, "", &unzipError)) {
    member_.clear();
    if (error) *error = invalidAt(0, qv::qvkx::kArchiveInvalidDescription, "the archive cannot be unpacked: " + unzipError.description);
    return false;
  }
  QVLQvkxProjectContents contents;
  if (!decodeFolder(folder, contents, error)) return false;
  return storeContents(contents, error);
}
