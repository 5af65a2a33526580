// The scan object entity: vectors, vertex count, factories, look-ups, copying with its files, and
// building its vertex data file from its point clouds.
#include "store/QVSDScanObject.h"

#include <sys/stat.h>

#include <filesystem>

#include "platform/Log.h"
#include "store/QVSDLibrary.h"
#include "store/QVSDPoint3D.h"
#include "store/QVSDPointCloud.h"
#include "store/QVSDScanSlice.h"
#include "store/QVSDTexture.h"
#include "store/StoreErrors.h"
#include "store/VertexRecords.h"
#include "store/internal/EntityHelpers.h"

namespace fs = std::filesystem;

qv::Double3 QVSDScanObject::cameraPosition() const {
  return {cameraPositionX().value_or(0), cameraPositionY().value_or(0), cameraPositionZ().value_or(0)};
}

void QVSDScanObject::setCameraPosition(qv::Double3 position) {
  setCameraPositionX(position.x);
  setCameraPositionY(position.y);
  setCameraPositionZ(position.z);
  didChangeValueForKey("cameraPosition");
}

qv::Double3 QVSDScanObject::objectCenterPoint() const {
  return {objectCenterPointX().value_or(0), objectCenterPointY().value_or(0), objectCenterPointZ().value_or(0)};
}

void QVSDScanObject::setObjectCenterPoint(qv::Double3 centre) {
  setObjectCenterPointX(centre.x);
  setObjectCenterPointY(centre.y);
  setObjectCenterPointZ(centre.z);
  didChangeValueForKey("objectCenterPoint");
}

std::uint64_t QVSDScanObject::numberOfVertices() const {
  if (auto unsaved = dataLength("unsavedVertexData")) return qv::scanVertexCount(*unsaved);
  return qv::scanVertexCount(dataLength("vertexData").value_or(0));
}

std::shared_ptr<QVSDLibrary> QVSDScanObject::library() const {
  return std::dynamic_pointer_cast<QVSDLibrary>(toOne("library"));
}
void QVSDScanObject::setLibrary(const std::shared_ptr<QVSDLibrary>& library) { setToOne("library", library); }
std::vector<std::shared_ptr<QVSDPointCloud>> QVSDScanObject::pointClouds() const {
  return qv::entity::cast<QVSDPointCloud>(toMany("pointClouds"));
}
std::vector<std::shared_ptr<QVSDPoint3D>> QVSDScanObject::points() const {
  return qv::entity::cast<QVSDPoint3D>(toMany("points"));
}
std::vector<std::shared_ptr<QVSDScanSlice>> QVSDScanObject::scanSlices() const {
  return qv::entity::cast<QVSDScanSlice>(toMany("scanSlices"));
}
std::vector<std::shared_ptr<QVSDTexture>> QVSDScanObject::textures() const {
  return qv::entity::cast<QVSDTexture>(toMany("textures"));
}

std::shared_ptr<QVSDScanObject> QVSDScanObject::createScanObjectInLibrary(const std::shared_ptr<QVSDLibrary>& library) {
  if (!library) return nullptr;
  auto context = library->managedObjectContext();
  if (!context) return nullptr;
  auto scan = context->insertNewObject<QVSDScanObject>();
  scan->setLibrary(library);
  const auto now = qv::dateNow();
  scan->setCreationDate(now);
  scan->setLastOpenedDate(now);
  return scan;
}

std::shared_ptr<QVSDScanObject> QVSDScanObject::createScanObjectWithFilePath(const std::string& path,
                                                                            const std::shared_ptr<QVSDLibrary>& library) {
  struct stat st {};
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return nullptr;
  auto scan = createScanObjectInLibrary(library);
  if (!scan) return nullptr;
  const auto modified = std::chrono::seconds(st.st_mtim.tv_sec) +
                        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::nanoseconds(st.st_mtim.tv_nsec));
  scan->setSourceFileDate(qv::Date(std::chrono::duration_cast<std::chrono::microseconds>(modified)));
  scan->setSourceFilePath(path);
  return scan;
}

std::shared_ptr<QVSDScanObject> QVSDScanObject::scanObjectWithId(const qv::ObjectID& id, bool updateLastOpenedDate,
                                                                qv::ObjectContext& context) {
  auto scan = context.objectWithIDAs<QVSDScanObject>(id);
  if (scan && updateLastOpenedDate) scan->setLastOpenedDate(qv::dateNow());
  return scan;
}

namespace {

// The files a scan object names, each its own: a copy of the scan gets copies of them.
constexpr const char* kFileKeys[] = {"snapshotFilePath", "meshedVertexDataFilePath", "vertexDataFilePath", "objTextureFileName"};

qv::FetchRequest scansOfLibrary(const std::shared_ptr<QVSDLibrary>& library) {
  return qv::FetchRequest(QVSDScanObject::kEntityName).whereRelated("library", library->objectID());
}
}  // namespace

std::shared_ptr<QVSDScanObject> QVSDScanObject::scanObjectWithFilePath(const std::string& path,
                                                                      const std::shared_ptr<QVSDLibrary>& library) {
  if (!library) return nullptr;
  return qv::entity::fetchFirst<QVSDScanObject>(
      *library, qv::FetchRequest(kEntityName)
                    .where("sourceFilePath", qv::Comparison::Equal, path)
                    .whereRelated("library", library->objectID()));
}

std::vector<std::shared_ptr<QVSDScanObject>> QVSDScanObject::scanObjectsWithFilePath(
    const std::string& path, const std::shared_ptr<QVSDLibrary>& library) {
  if (!library) return {};
  return qv::entity::fetchAll<QVSDScanObject>(
      *library, qv::FetchRequest(kEntityName)
                    .where("sourceFilePath", qv::Comparison::Equal, path)
                    .whereRelated("library", library->objectID()));
}

std::shared_ptr<QVSDScanObject> QVSDScanObject::scanObjectWithThumbnailFilePath(const std::string& path,
                                                                               const std::shared_ptr<QVSDLibrary>& library) {
  if (!library) return nullptr;
  return qv::entity::fetchFirst<QVSDScanObject>(
      *library, qv::FetchRequest(kEntityName)
                    .where("snapshotFilePath", qv::Comparison::Equal, path)
                    .whereRelated("library", library->objectID()));
}

std::shared_ptr<QVSDScanObject> QVSDScanObject::scanObjectWithVertexDataFilePath(const std::string& path,
                                                                                qv::ObjectContext& context) {
  return qv::entity::fetchFirst<QVSDScanObject>(
      context, qv::FetchRequest(kEntityName).where("vertexDataFilePath", qv::Comparison::Equal, path));
}

std::shared_ptr<QVSDScanObject> QVSDScanObject::scanObjectWithVertexIndexDataFilePath(const std::string& path,
                                                                                     qv::ObjectContext& context) {
  return qv::entity::fetchFirst<QVSDScanObject>(
      context, qv::FetchRequest(kEntityName).where("vertexIndexDataFilePath", qv::Comparison::Equal, path));
}

std::vector<std::shared_ptr<QVSDScanObject>> QVSDScanObject::scanObjectsSortedByLastOpenedDateInLibrary(
    const std::shared_ptr<QVSDLibrary>& library) {
  if (!library) return {};
  return qv::entity::fetchAll<QVSDScanObject>(*library, scansOfLibrary(library).sortedBy("lastOpenedDate", false));
}

std::optional<std::string> QVSDScanObject::copyFile(const std::string& path) const {
  auto context = managedObjectContext();
  if (!context) return std::nullopt;
  return qv::copyFileIntoFolder(path, context->filesFolder());
}

bool QVSDScanObject::copyFromScanObject(const QVSDScanObject& source, qv::Error* error) {
  qv::entity::copyAttributes(
      *this, source,
      {"backgroundColour", "cameraPositionX", "cameraPositionY", "cameraPositionZ", "isActiveScan", "meshedVertexData",
       "objectCenterPointX", "objectCenterPointY", "objectCenterPointZ", "pitchAngle", "radiusCutoff",
       "sortableIndexData", "sortableIndexReferenceForNeighbourData", "sortableIndexReferenceForRadiusData",
       "sortableIndexReferenceForYPositionData", "unsavedVertexData", "vertexData", "yawAngle", "yCutoff",
       // The textured mesh comes along with its mesh: its coordinates here, its atlas image below.
       "objTextureCoordinatesData"});
  qv::Error failure;
  bool copied = true;
  for (const char* key : kFileKeys) copied = copied && qv::entity::copyFileAttribute(*this, source, key, &failure);
  auto self = std::dynamic_pointer_cast<QVSDScanObject>(shared_from_this());
  for (const auto& cloud : source.pointClouds()) {
    if (!copied) break;
    if (auto copy = QVSDPointCloud::createPointCloudForScanObject(self)) copied = copy->copyFromPointCloud(*cloud, &failure);
  }
  for (const auto& texture : source.textures()) {
    if (!copied) break;
    if (auto copy = QVSDTexture::createTextureInScanObject(self)) copied = copy->copyFromTexture(*texture, &failure);
  }
  if (!copied) {
    QVLogWarn("The copy of a scan was given up: %s", failure.description.c_str());
    discardCopiedFiles();
    if (error) *error = std::move(failure);
  }
  return copied;
}

void QVSDScanObject::discardCopiedFiles() {
  for (const char* key : kFileKeys) qv::entity::removeFileAttribute(*this, key);
  for (const auto& cloud : pointClouds()) qv::entity::removeFileAttribute(*cloud, "vertexDataFilePath");
  for (const auto& texture : textures()) qv::entity::removeFileAttribute(*texture, "textureFileName");
}

bool QVSDScanObject::buildVertexDataFromPointClouds(const GridPreparer& prepareGrid, qv::Error* error,
                                                    std::vector<qv::Error>* skipped) {
  auto context = managedObjectContext();
  if (!context) {
    if (error) *error = qv::Error(qv::kScanErrorDomain, qv::kVertexFileError, "The scan object is in no context");
    return false;
  }
  const std::string path = vertexDataFilePath().value_or("");
  std::error_code ec;
  const bool rebuild = !path.empty() && fs::exists(path, ec);
  if (rebuild) {
    const auto length = fs::file_size(path, ec);
    if (ec || length % sizeof(QVLScanVertex) != 0) {
      // Not ours to overwrite: whatever wrote it half-way may still be needed to recover it.
      if (error) {
        *error = qv::Error(qv::kScanErrorDomain, qv::kVertexFileError,
                           "The scan's vertex data file does not hold whole records", {{qv::Error::kFilePathKey, path}});
      }
      return false;
    }
  }

  // The file is rebuilt whole each time (the scan's end and a later tidy-up both build it), so
  // every point has one record. Record 0 stands for "no point" in every index table.
  std::vector<QVLScanVertex> vertices(1);
  std::vector<std::pair<std::shared_ptr<QVSDPointCloud>, std::vector<std::int32_t>>> tables;
  std::optional<std::vector<QVLScanVertex>> previous;
  // A cloud that cannot be built now keeps the records its table names in the file being replaced.
  auto carryOver = [&](const std::shared_ptr<QVSDPointCloud>& cloud) {
    const auto old = cloud->vertexIndexData();
    if (!rebuild || !old || old->empty()) return;
    if (!previous) {
      auto bytes = qv::readWholeFile(path, nullptr);
      previous = bytes ? qv::scanVerticesFromData(*bytes) : std::vector<QVLScanVertex>{};
    }
    tables.emplace_back(cloud, qv::carryScanVertices(*previous, qv::indexTableFromData(*old), vertices));
  };

  bool allWritten = true;
  auto self = std::dynamic_pointer_cast<QVSDScanObject>(shared_from_this());
  for (const auto& cloud : QVSDPointCloud::sortedPointCloudsForScanObject(self)) {
    qv::Error cloudError;
    auto grid = cloud->readSliceGrid(&cloudError);
    if (!grid) {
      QVLogWarn("Skipped a point cloud while building the scan's vertices: %s", cloudError.text().c_str());
      carryOver(cloud);
      if (skipped) {
        cloudError.description = "The point cloud " + std::to_string(cloud->lookupId().value_or(0)) + " (laser " +
                                 std::to_string(cloud->laserNumber().value_or(0)) + ") was left out: " + cloudError.description;
        skipped->push_back(std::move(cloudError));
        continue;
      }
      if (allWritten && error) *error = cloudError;
      allWritten = false;
      continue;
    }
    if (grid->empty()) {
      carryOver(cloud);
      continue;
    }
    const std::size_t slices = grid->size() / qv::kSliceBlockRows;
    if (prepareGrid) prepareGrid(*cloud, *grid, slices);
    const auto firstRecord = static_cast<std::uint32_t>(vertices.size());
    tables.emplace_back(cloud, qv::appendScanVertices(*grid, static_cast<std::int16_t>(cloud->lookupId().value_or(0)),
                                                      firstRecord, vertices));
  }

  const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(vertices.data()),
                                            vertices.size() * sizeof(QVLScanVertex));
  qv::Error writeError;
  if (rebuild) {
    if (!qv::replaceFileContents(path, bytes, &writeError)) {
      if (allWritten && error) *error = writeError;
      return false;
    }
  } else {
    const auto file = qv::newLibraryFilePath(context->filesFolder(), qv::kScanVertexFileExtension);
    if (!qv::createFileWithContents(file, bytes, &writeError)) {
      if (allWritten && error) *error = writeError;
      return false;
    }
    if (!path.empty()) QVLogWarn("The scan's vertex data file %s is gone; starting %s", path.c_str(), file.c_str());
    setVertexDataFilePath(file.string());
  }
  // Only once the file holds them: a failed write leaves every table pointing where it did.
  for (const auto& [cloud, table] : tables) cloud->setVertexIndexData(qv::dataFromIndexTable(table));
  return allWritten;
}
