// The qvkx writer: the scan is copied out of the store in one block, then the members are written
// into the working folder, zipped beside the destination and moved over it.
#include "formats/QVLQvkxFileExporter.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <set>

#include "formats/FormatErrors.h"
#include "formats/QvkFormat.h"
#include "formats/QvkxFormat.h"
#include "formats/SSZipArchive.h"
#include "formats/internal/AtomicFile.h"
#include "formats/internal/ImageFiles.h"
#include "formats/internal/NumberText.h"
#include "formats/internal/SystemLog.h"
#include "platform/FileCopy.h"
#include "platform/Log.h"
#include "platform/UUID.h"
#include "store/QVSDPointCloud.h"
#include "store/QVSDScanObject.h"
#include "store/QVSDScanSlice.h"
#include "store/QVSDTexture.h"

namespace fs = std::filesystem;

namespace {

constexpr int kZipLevel = 0;

qv::qvkx::CloudHeaderSource headerSource(const QVSDPointCloud& c, const std::vector<std::shared_ptr<QVSDScanSlice>>& sorted) {
  qv::qvkx::CloudHeaderSource s;
  s.cameraOrigin[0] = c.cameraOriginX(), s.cameraOrigin[1] = c.cameraOriginY(), s.cameraOrigin[2] = c.cameraOriginZ();
  s.laserOrigin[0] = c.laserOriginX(), s.laserOrigin[1] = c.laserOriginY(), s.laserOrigin[2] = c.laserOriginZ();
  s.laserNormal[0] = c.laserNormalX(), s.laserNormal[1] = c.laserNormalY(), s.laserNormal[2] = c.laserNormalZ();
  s.captureHeight = c.headHeight();
  s.referenceId = c.referenceId();
  s.laserNumber = c.laserNumber();
  s.sliceCount = sorted.size();
  s.cameraWidth = c.cameraWidth();
  s.cameraHeight = c.cameraHeight().value_or(0);
  s.bed[0] = c.bedX(), s.bed[1] = c.bedY(), s.bed[2] = c.bedZ();
  s.bedNormal[0] = c.bedNX(), s.bedNormal[1] = c.bedNY(), s.bedNormal[2] = c.bedNZ();
  s.leadScrewNormal[0] = c.leadScrewNX(), s.leadScrewNormal[1] = c.leadScrewNY(), s.leadScrewNormal[2] = c.leadScrewNZ();
  s.cameraNormal[0] = c.cameraNormalX(), s.cameraNormal[1] = c.cameraNormalY(), s.cameraNormal[2] = c.cameraNormalZ();
  s.cameraUp[0] = c.cameraUpX(), s.cameraUp[1] = c.cameraUpY(), s.cameraUp[2] = c.cameraUpZ();
  s.intrinsic[0] = c.intrinsicFX(), s.intrinsic[1] = c.intrinsicFY();
  s.intrinsic[2] = c.intrinsicCX(), s.intrinsic[3] = c.intrinsicCY();
  s.distortion[0] = c.distortion0(), s.distortion[1] = c.distortion1();
  s.distortion[2] = c.distortion2(), s.distortion[3] = c.distortion3();
  for (const auto& slice : sorted) s.rotations.push_back(slice->rotation().value_or(0.0));
  return s;
}

qv::qvkx::TextureValues textureValues(const QVSDTexture& t) {
  qv::qvkx::TextureValues v;
  v.cameraPosition[0] = t.cameraPositionX(), v.cameraPosition[1] = t.cameraPositionY(), v.cameraPosition[2] = t.cameraPositionZ();
  v.cameraNormal[0] = t.cameraNormX(), v.cameraNormal[1] = t.cameraNormY(), v.cameraNormal[2] = t.cameraNormZ();
  v.cameraOrigin[0] = t.cameraOriginX(), v.cameraOrigin[1] = t.cameraOriginY(), v.cameraOrigin[2] = t.cameraOriginZ();
  v.cameraUp[0] = t.cameraUpX(), v.cameraUp[1] = t.cameraUpY(), v.cameraUp[2] = t.cameraUpZ();
  v.intrinsic[0] = t.intrinsicFX(), v.intrinsic[1] = t.intrinsicFY(), v.intrinsic[2] = t.intrinsicCX(), v.intrinsic[3] = t.intrinsicCY();
  v.distortion[0] = t.distortion0(), v.distortion[1] = t.distortion1();
  v.distortion[2] = t.distortion2(), v.distortion[3] = t.distortion3();
  return v;
}

// A cloud read from a qvk file has no slices: its rotations are its list of radians, each owning
// a block of its index data in list order, and its rows a slice what that data was made with. A
// block past the last rotation has no rotation to be written at: its points are not kept (the
// save says how many), rather than given a rotation the cloud never had.
std::vector<double> rotationsWithoutSlices(const QVSDPointCloud& c, qv::qvkx::CloudHeaderSource& source) {
  std::vector<double> rotations;
  if (const auto radians = c.radiansData()) {
    for (std::size_t at = 0; at + 4 <= radians->size(); at += 4) {
      float value;
      std::memcpy(&value, radians->data() + at, 4);
      rotations.push_back(static_cast<double>(value));
    }
  }
  const auto index = c.vertexIndexData();
  const std::uint64_t entries = index ? index->size() / 4 : 0;
  source.cameraHeight = static_cast<std::int64_t>(qv::qvk::rowsPerRotation(rotations.size(), entries, source.cameraHeight));
  return rotations;
}

// What a cloud's header says: its slices' rotations or, without slices, those of its radians
// list. Every rotation is kept, and the body is a grid of the same width.
qv::qvkx::CloudHeaderSource cloudSource(const QVSDPointCloud& cloud, const std::vector<std::shared_ptr<QVSDScanSlice>>& sorted) {
  auto source = headerSource(cloud, sorted);
  if (sorted.empty()) source.rotations = rotationsWithoutSlices(cloud, source);
  source.sliceCount = source.rotations.size();
  return source;
}

// A cloud of more rows a slice than the camera has could not be read back.
std::optional<qv::Error> rowsProblem(const std::string& cloudName, std::uint64_t cameraHeight) {
  if (cameraHeight <= qv::qvkx::kMaximumRowsPerSlice) return std::nullopt;
  return qv::Error(qv::kScanErrorDomain, qv::kFormatLimitError,
                   "The cloud " + cloudName + " has " + std::to_string(cameraHeight) + " rows a slice; a project file holds at most " +
                       std::to_string(qv::qvkx::kMaximumRowsPerSlice),
                   {{qv::kParameterKey, "cameraHeight"}});
}

qv::Error limitError(const std::string& description, const char* parameter) {
  return qv::Error(qv::kScanErrorDomain, qv::kFormatLimitError, description, {{qv::kParameterKey, parameter}});
}

// What the project reader would refuse, or read as another value, in a cloud that is written: more
// slices than a scan has, a calibration value, rotation or lens value no float can keep (an
// infinity or a NaN would come back unset), a header line longer than it reads.
std::optional<qv::Error> cloudProblem(const std::string& cloudName, const qv::qvkx::CloudHeaderSource& source, const std::string& header) {
  if (auto problem = rowsProblem(cloudName, static_cast<std::uint64_t>(std::max<std::int64_t>(source.cameraHeight, 0)))) return problem;
  if (source.rotations.size() > qv::qvkx::kMaximumRotationsPerCloud)
    return limitError("The cloud " + cloudName + " has " + std::to_string(source.rotations.size()) +
                          " rotations; a project file holds at most " + std::to_string(qv::qvkx::kMaximumRotationsPerCloud),
                      "scanSlices");
  for (const auto& [name, value] : qv::qvkx::calibrationValues(source))
    if (value && !qv::qvkx::isFloatStorable(*value))
      return limitError("The cloud " + cloudName + " has a " + name + " of " + qv::text::shortest(*value) + ", which a project file cannot hold",
                        name);
  for (const double rotation : source.rotations)
    if (!qv::qvkx::isFloatStorable(rotation))
      return limitError("The cloud " + cloudName + " has a rotation of " + qv::text::shortest(rotation) +
                            ", which a project file cannot hold",
                        "rotation");
  for (const auto& value : {source.intrinsic[0], source.intrinsic[1], source.intrinsic[2], source.intrinsic[3], source.distortion[0],
                            source.distortion[1], source.distortion[2], source.distortion[3]})
    if (value && !qv::qvkx::isFloatStorable(*value))
      return limitError("The cloud " + cloudName + " has a lens value of " + qv::text::shortest(*value) +
                            ", which a project file cannot hold",
                        "intrinsic");
  std::size_t longest = 0;
  for (std::size_t at = 0; at < header.size();) {
    const std::size_t end = std::min(header.find('\n', at), header.size());
    longest = std::max(longest, end - at);
    at = end + 1;
  }
  if (longest > qv::qvkx::kMaximumHeaderLineBytes)
    return limitError("The cloud " + cloudName + "'s rotations take " + std::to_string(longest) + " bytes of text; a project file holds at most " +
                          std::to_string(qv::qvkx::kMaximumHeaderLineBytes),
                      "scanSlices");
  return std::nullopt;
}

qv::SharedData sourceVertexData(const QVSDScanObject& scan) {
  auto data = scan.unsavedVertexData();
  return data ? data : scan.vertexData();
}

// The slot grid of a cloud, with the writer's warnings; nothing when the cloud has nothing to write.
std::optional<qv::Data> bodyOf(const std::string& cloudName, const qv::SharedData& vertexData, const qv::SharedData& index,
                               std::uint64_t cameraHeight, std::uint64_t sliceCount, qv::qvkx::CloudBodyReport* made = nullptr,
                               std::uint64_t maximumBytes = UINT64_MAX) {
  if (sliceCount == 0) {
    QVLogWarn("createQvkxVertexDataForPointCloud: The number of slices is invalid");
    return std::nullopt;
  }
  if (!index || index->empty()) {
    QVLogWarn("createQvkxVertexDataForPointCloud: The index data is not valid");
    return std::nullopt;
  }
  if (!vertexData || vertexData->empty()) {
    QVLogWarn("createQvkxVertexDataForPointCloud: The vertex data is not valid");
    return std::nullopt;
  }
  if (const auto problem = rowsProblem(cloudName, cameraHeight)) {
    QVLogWarn("createQvkxVertexDataForPointCloud: %s", problem->description.c_str());
    return std::nullopt;
  }
  qv::qvkx::CloudBodyReport report;
  qv::Data body = qv::qvkx::cloudBody(*vertexData, *index, cameraHeight, sliceCount, &report, maximumBytes);
  if (report.expectedEntries != report.indexEntries)
    QVLogWarn("The number of expected vertices does not match the number of actual vertices (%llu != %llu)",
              static_cast<unsigned long long>(report.expectedEntries), static_cast<unsigned long long>(report.indexEntries));
  if (report.paddedSlots > 0)
    QVLogWarn("Cloud %s: its index data ends %llu slots short; they are written as empty slots", cloudName.c_str(),
              static_cast<unsigned long long>(report.paddedSlots));
  if (made) *made = report;
  if (body.empty()) return std::nullopt;
  return body;
}

}  // namespace

// What the archive is made of, copied out of the store in one block.
struct QVLQvkxFileExporter::Snapshot {
  struct Cloud {
    std::string member;
    std::string header;
    qv::SharedData index;
    std::uint64_t cameraHeight = 0;
    std::uint64_t sliceCount = 0;
    std::optional<qv::Error> problem;  // what the reader would refuse in it
    std::string name;  // for the warnings: the lookup identifier
  };
  struct Texture {
    qv::qvkx::TextureValues values;
    std::string imagePath;
  };
  bool found = false;
  std::string snapshotPath;
  qv::SharedData vertexData;
  std::vector<Cloud> clouds;
  std::vector<Texture> textures;
};

bool QVLQvkxFileExporter::exportScanToFilePath(const std::string& path, qv::Error* error) {
  QVLFileExporter::exportScanToFilePath(path, error);
  // Whatever a save throws (running out of memory above all) fails this save alone, with the
  // earlier file kept.
  try {
    return saveQvkxToFilePath(path, error);
  } catch (const std::bad_alloc&) {
    QVLogError("Saving %s ran out of memory", path.c_str());
    if (error) *error = qv::fileError(qv::kFileWriteError, path, 0, "There is not enough memory to save the project");
  } catch (const std::exception& e) {
    QVLogError("Saving %s failed: %s", path.c_str(), e.what());
    if (error) *error = qv::fileError(qv::kFileWriteError, path, 0, std::string("The project could not be saved: ") + e.what());
  }
  return false;
}

std::optional<qv::Data> QVLQvkxFileExporter::createQvkxQvkHeaderForPointCloud(const std::shared_ptr<QVSDPointCloud>& cloud) const {
  if (!cloud || !cloud->scanObject()) return std::nullopt;
  const std::string text =
      qv::qvkx::cloudHeaderText(cloudSource(*cloud, QVSDScanSlice::scanSlicesSortedByRotationInPointCloud(cloud)), version_);
  return qv::Data(text.begin(), text.end());
}

std::optional<qv::Data> QVLQvkxFileExporter::createQvkxVertexDataForPointCloud(const std::shared_ptr<QVSDPointCloud>& cloud) const {
  if (!cloud) {
    QVLogWarn("createQvkxVertexDataForPointCloud: The point cloud is invalid");
    return std::nullopt;
  }
  auto scan = cloud->scanObject();
  const auto source = cloudSource(*cloud, QVSDScanSlice::scanSlicesSortedByRotationInPointCloud(cloud));
  return bodyOf(std::to_string(cloud->lookupId().value_or(0)), scan ? sourceVertexData(*scan) : nullptr, cloud->vertexIndexData(),
                static_cast<std::uint64_t>(std::max<std::int64_t>(source.cameraHeight, 0)), source.sliceCount);
}

bool QVLQvkxFileExporter::saveQvkxToFilePath(const std::string& path, qv::Error* error) {
  auto fail = [&](qv::Error e) {
    QVLogWarn("Failed to create QVKX file:%s", e.description.c_str());
    if (error) *error = std::move(e);
    return false;
  };
  if (path.empty()) return fail(qv::fileError(qv::kFileWriteError, path, 0, "No file path was given"));
  auto context = privateQueueContext();
  if (!context || !scanObjectId())
    return fail(qv::Error(qv::kScanErrorDomain, qv::kInvalidParameterError, "There is no scan to write", {{qv::kParameterKey, "scanObjectId"}}));
  // A store that could not be opened: its reason, not the intermediate folder's, tells the user why.
  if (auto problem = context->hasStore() ? std::nullopt : context->storeWriteProblem()) return fail(std::move(*problem));

  // The members are written in a working folder of the library: a disk without room there is
  // told as the library folder's, the one the user knows.
  const fs::path library = context->libraryFolder();
  const fs::path folder = library / (qv::makeUUIDString() + "." + qv::qvkx::kExportFolderExtension);
  std::error_code ec;
  if (fs::exists(folder, ec)) {
    QVLogWarn("The randomly named intermediate export folder already exists!!");
    return fail(qv::fileError(qv::kFileWriteError, folder.string(), 0, "The intermediate export folder already exists"));
  }
  QVLogInfo("Creating folder");
  if (!fs::create_directory(folder, ec) || ec) {
    QVLogWarn("Could not create the intermediate export folder at %s", folder.c_str());
    QVLogWarn("Error: %s", ec.message().c_str());
    return fail(qv::writeFailure(folder, 0, "Could not create the intermediate export folder", ec ? ec.value() : EEXIST, library));
  }
  // Everything the archive is made of is in it by the time the save ends, or the save failed.
  const qv::qvkx::FolderRemoval removal{folder};

  Snapshot snap;
  readForExport(*context, [&] {
    auto scan = QVSDScanObject::scanObjectWithId(scanObjectId(), false, *context);
    if (!scan) return;
    snap.found = true;
    snap.snapshotPath = scan->snapshotFilePath().value_or("");
    snap.vertexData = sourceVertexData(*scan);
    const auto clouds = QVSDPointCloud::sortedPointCloudsForScanObject(scan);
    for (const auto& cloud : clouds) {
      const auto sorted = QVSDScanSlice::scanSlicesSortedByRotationInPointCloud(cloud);
      Snapshot::Cloud c;
      c.member = qv::qvkx::cloudMemberName(clouds.size(), cloud->lookupId().value_or(0), cloud->referenceId().value_or(0),
                                           cloud->laserNumber().value_or(0));
      const auto source = cloudSource(*cloud, sorted);
      c.header = qv::qvkx::cloudHeaderText(source, version_);
      c.index = cloud->vertexIndexData();
      c.cameraHeight = static_cast<std::uint64_t>(std::max<std::int64_t>(source.cameraHeight, 0));
      c.sliceCount = source.sliceCount;
      c.name = std::to_string(cloud->lookupId().value_or(0));
      c.problem = cloudProblem(c.name, source, c.header);
      snap.clouds.push_back(std::move(c));
    }
    for (const auto& texture : scan->textures()) snap.textures.push_back({textureValues(*texture), texture->textureFileName().value_or("")});
  });
  if (qv::Error readError; storeReadFailed(&readError)) return fail(std::move(readError));
  if (!snap.found)
    return fail(qv::Error(qv::kScanErrorDomain, qv::kInvalidParameterError, "There is no scan to write", {{qv::kParameterKey, "scanObjectId"}}));

  // Nothing is written that the project reader would refuse: the save fails instead, naming why.
  if (snap.clouds.size() > qv::qvkx::kMaximumClouds)
    return fail(limitError("The scan has " + std::to_string(snap.clouds.size()) + " point clouds; a project file holds at most " +
                               std::to_string(qv::qvkx::kMaximumClouds),
                           "pointClouds"));
  if (snap.textures.size() > qv::qvkx::kMaximumTextures)
    return fail(limitError("The scan has " + std::to_string(snap.textures.size()) + " textures; a project file holds at most " +
                               std::to_string(qv::qvkx::kMaximumTextures),
                           "textures"));
  qv::Error e;
  std::uint64_t points = 0, slices = 0;
  // The points written as a point slot somewhere; any other point of the scan is not kept, and the
  // save says how many and why once the file is in place.
  const std::uint64_t n = snap.vertexData ? snap.vertexData->size() / sizeof(QVLScanVertex) : 0;
  std::vector<bool> kept(static_cast<std::size_t>(n), false);
  for (const auto& cloud : snap.clouds) {
    QVLogInfo("Exporting point cloud");
    const bool written = cloud.sliceCount > 0 && cloud.cameraHeight > 0 && cloud.index && !cloud.index->empty() && snap.vertexData &&
                         !snap.vertexData->empty();
    if (!written) continue;
    if (cloud.problem) return fail(*cloud.problem);
    if ((slices += cloud.sliceCount) > qv::qvkx::kMaximumSlices)
      return fail(limitError("The scan's clouds have more than " + std::to_string(qv::qvkx::kMaximumSlices) +
                                 " rotations in all; a project file holds no more",
                             "scanSlices"));
    qv::qvkx::CloudBodyReport report;
    const std::uint64_t room = qv::qvkx::kMaximumMemberBytes - std::min<std::uint64_t>(cloud.header.size(), qv::qvkx::kMaximumMemberBytes);
    const auto body = bodyOf(cloud.name, snap.vertexData, cloud.index, cloud.cameraHeight, cloud.sliceCount, &report, room);
    if (report.bytes > room)
      return fail(limitError("The cloud " + cloud.name + " takes " + std::to_string(report.bytes + cloud.header.size()) +
                                 " bytes; a project file's member holds at most " + std::to_string(qv::qvkx::kMaximumMemberBytes),
                             "vertexIndexData"));
    if (!body) continue;
    if (!qv::writeWholeFile(folder / cloud.member, {qv::bytesOf(cloud.header), *body}, &e, library)) {
      qv::systemLog("There is a problem writing into %s", (folder / cloud.member).c_str());
      return fail(e);
    }
    points += report.points;
    const std::uint64_t grid = std::min<std::uint64_t>(cloud.index->size() / 4, cloud.cameraHeight * cloud.sliceCount);
    for (std::uint64_t entry = 0; entry < grid; ++entry) {
      const auto k = qv::qvk::readScalar<std::uint32_t>(cloud.index->data() + 4 * entry);
      if (k != 0 && k < n && !std::isnan(qv::qvk::scanVertexAt(*snap.vertexData, k).point3DX)) kept[k] = true;
    }
  }
  std::uint64_t nanX = 0, unplaced = 0;
  for (std::uint64_t k = 0; k < n; ++k) {  // record 0 too: no entry names it
    const QVLScanVertex v = qv::qvk::scanVertexAt(*snap.vertexData, static_cast<std::size_t>(k));
    if (kept[k] || qv::qvk::isEmptyVertex(v)) continue;
    ++(std::isnan(v.point3DX) ? nanX : unplaced);
  }
  auto notKeptText = [&] {
    const auto some = [](std::uint64_t count, const char* one, const char* many) { return std::to_string(count) + (count == 1 ? one : many); };
    std::string text;
    if (nanX > 0)
      text += some(nanX, " point whose x is not a number", " points whose x is not a number") +
              " (a project file reads such a point as an empty slot)";
    if (unplaced > 0)
      text += std::string(text.empty() ? "" : "; ") + some(unplaced, " point", " points") +
              " at no rotation of a cloud (a project file keeps each point in a slice of its cloud)";
    return text;
  };
  // A project without a point would be no scan when read back: it is not written at all, and the
  // user hears it as from every other writer.
  if (points == 0)
    return fail(qv::Error(qv::kScanErrorDomain, qv::kInvalidParameterError,
                          nanX + unplaced == 0 ? std::string("The scan has no points to write")
                                               : "The scan has no points a project file can keep: " + notKeptText(),
                          {{qv::kParameterKey, "vertexData"}}));

  QVLogInfo("Creating QVTX");
  std::vector<qv::qvkx::TextureValues> written;
  std::set<std::string> names = {qv::qvkx::kTextureDescriptionMember, qv::qvkx::kThumbnailMember};
  for (const auto& cloud : snap.clouds) names.insert(cloud.member);
  for (auto& texture : snap.textures) {
    if (texture.imagePath.empty() || !fs::is_regular_file(texture.imagePath, ec)) continue;  // a photo the user deleted
    if (const auto problem = qv::qvkx::textureValueProblem(texture.values))
      return fail(limitError("The texture " + fs::path(texture.imagePath).filename().string() + " has " + *problem +
                                 ", which a project file cannot hold",
                             "textures"));
    std::string name = fs::path(texture.imagePath).filename().string();
    // Two photos of one name from different folders, or one named like another member, must not
    // overwrite each other in the flat archive.
    if (!names.insert(name).second) name = qv::makeUUIDString() + fs::path(name).extension().string();
    names.insert(name);
    if (int err = 0; !qv::copyFileExclusively(texture.imagePath, folder / name, err))
      return fail(qv::writeFailure(texture.imagePath, 0, "Could not copy the texture image", err, library));
    texture.values.fileName = name;
    written.push_back(texture.values);
  }
  const std::string clientVersion = version_.shortVersion + "." + version_.build;
  const std::string description = qv::qvkx::textureDescriptionDocument(written, clientVersion);
  if (!qv::writeWholeFile(folder / qv::qvkx::kTextureDescriptionMember, {qv::bytesOf(description)}, &e, library)) return fail(e);

  if (!snap.snapshotPath.empty() && fs::is_regular_file(snap.snapshotPath, ec)) {
    std::string problem;
    if (const auto png = qv::pngFromImageFile(snap.snapshotPath, &problem)) {
      if (!qv::writeWholeFile(folder / qv::qvkx::kThumbnailMember, {*png}, &e, library)) return fail(e);
    } else {
      QVLogWarn("The project is saved without its thumbnail: %s", problem.c_str());  // only a picture for the file list
    }
  }

  // The reader unpacks no member, and no project, larger than these.
  std::uint64_t total = 0;
  for (const auto& entry : fs::directory_iterator(folder, ec)) {
    const std::uint64_t size = entry.is_regular_file(ec) ? entry.file_size(ec) : 0;
    total += size;
    if (size > qv::qvkx::kMaximumMemberBytes)
      return fail(limitError("The member " + entry.path().filename().string() + " takes " + std::to_string(size) +
                                 " bytes; a project file's member holds at most " + std::to_string(qv::qvkx::kMaximumMemberBytes),
                             "textures"));
  }
  if (total > qv::qvkx::kMaximumProjectBytes)
    return fail(limitError("The project takes " + std::to_string(total) + " bytes; a project file holds at most " +
                               std::to_string(qv::qvkx::kMaximumProjectBytes),
                           "vertexData"));

  QVLogInfo("Archiving folder");
  const fs::path target(path);
  // Made (and locked) before the archive is written into it by name, and removed however the save ends.
  const auto temporary = qv::SaveTemporary::create(target, &e);
  if (!temporary) return fail(e);
  // Scan members are binary floats that even zlib's fastest level shrinks by some 6 %, at nine
  // tenths of the save's time: they are stored in the deflate stream as they are.
  qv::Error zipError;
  if (!SSZipArchive::createZipFileAtPathWithContentsOfDirectory(temporary->path().string(), folder.string(), kZipLevel, &zipError)) {
    const auto* cause = qv::find(zipError.userInfo, qv::Error::kUnderlyingErrorKey);
    if (cause && cause->isInteger()) return fail(qv::writeFailure(target, 0, "Could not create the archive", static_cast<int>(cause->toInt64())));
    return fail(qv::fileError(qv::kFileWriteError, path, 0, "Could not create the archive"));
  }
  const auto archived = fs::file_size(temporary->path(), ec);
  if (!temporary->putInPlace(&e, ec ? 0 : archived)) return fail(e);
  QVLogInfo("Successfully created QVKX file at %s", path.c_str());
  // Saved: what the project does not hold is said now, as a read says what it did not keep.
  if (nanX + unplaced > 0) {
    const std::string text = "The scan was saved, but " + std::to_string(nanX + unplaced) + " of its points " +
                             (nanX + unplaced == 1 ? "was" : "were") + " not kept: " + notKeptText();
    QVLogWarn("Saved %s: %s", path.c_str(), text.c_str());
    if (error) *error = limitError(text, "vertexData");
  }
  return true;
}
