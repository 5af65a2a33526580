// A stored scan: made on the scanner or imported from a file, with its clouds, textures and vertex data.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Error.h"
#include "store/Double3.h"
#include "store/EntityAccessors.h"
#include "store/ManagedObject.h"
#include "store/ObjectContext.h"
#include "store/QVLSliceVertex.h"

class QVSDLibrary;
class QVSDPointCloud;
class QVSDPoint3D;
class QVSDScanSlice;
class QVSDTexture;

// Entity operations run on the queue of the context that holds the objects; factories insert
// and never save.
class QVSDScanObject : public qv::ManagedObject {
public:
  static constexpr const char* kEntityName = "QVSDScanObject";

  QV_OBJECT_ATTRIBUTE(backgroundColour, BackgroundColour)
  QV_DOUBLE_ATTRIBUTE(cameraPositionX, CameraPositionX)
  QV_DOUBLE_ATTRIBUTE(cameraPositionY, CameraPositionY)
  QV_DOUBLE_ATTRIBUTE(cameraPositionZ, CameraPositionZ)
  QV_DATE_ATTRIBUTE(creationDate, CreationDate)
  QV_INTEGER_ATTRIBUTE(isActiveScan, IsActiveScan)
  QV_DATE_ATTRIBUTE(lastOpenedDate, LastOpenedDate)
  QV_DATA_ATTRIBUTE(meshedVertexData, MeshedVertexData)
  QV_STRING_ATTRIBUTE(meshedVertexDataFilePath, MeshedVertexDataFilePath)
  QV_DOUBLE_ATTRIBUTE(objectCenterPointX, ObjectCenterPointX)
  QV_DOUBLE_ATTRIBUTE(objectCenterPointY, ObjectCenterPointY)
  QV_DOUBLE_ATTRIBUTE(objectCenterPointZ, ObjectCenterPointZ)
  QV_STRING_ATTRIBUTE(objTextureFileName, ObjTextureFileName)
  QV_DATA_ATTRIBUTE(objTextureCoordinatesData, ObjTextureCoordinatesData)
  QV_DOUBLE_ATTRIBUTE(pitchAngle, PitchAngle)
  QV_DOUBLE_ATTRIBUTE(radiusCutoff, RadiusCutoff)
  QV_STRING_ATTRIBUTE(snapshotFilePath, SnapshotFilePath)
  QV_DATA_ATTRIBUTE(sortableIndexData, SortableIndexData)
  QV_DATA_ATTRIBUTE(sortableIndexReferenceForNeighbourData, SortableIndexReferenceForNeighbourData)
  QV_DATA_ATTRIBUTE(sortableIndexReferenceForRadiusData, SortableIndexReferenceForRadiusData)
  QV_DATA_ATTRIBUTE(sortableIndexReferenceForYPositionData, SortableIndexReferenceForYPositionData)
  QV_DATE_ATTRIBUTE(sourceFileDate, SourceFileDate)
  QV_STRING_ATTRIBUTE(sourceFilePath, SourceFilePath)
  QV_DATA_ATTRIBUTE(unsavedVertexData, UnsavedVertexData)
  QV_DATA_ATTRIBUTE(vertexData, VertexData)
  QV_STRING_ATTRIBUTE(vertexDataFilePath, VertexDataFilePath)
  QV_DOUBLE_ATTRIBUTE(yawAngle, YawAngle)
  QV_DOUBLE_ATTRIBUTE(yCutoff, YCutoff)

  // The three number attributes as one value; unset parts read as 0. The setters announce the
  // combined key ("cameraPosition", "objectCenterPoint") to key observers.
  qv::Double3 cameraPosition() const;
  void setCameraPosition(qv::Double3 position);
  qv::Double3 objectCenterPoint() const;
  void setObjectCenterPoint(qv::Double3 centre);

  // The records of unsavedVertexData when it is set (even empty), otherwise of vertexData: the
  // byte length divided by 44, the remainder dropped. Reads no vertex bytes.
  std::uint64_t numberOfVertices() const;

  std::shared_ptr<QVSDLibrary> library() const;
  void setLibrary(const std::shared_ptr<QVSDLibrary>& library);
  std::vector<std::shared_ptr<QVSDPointCloud>> pointClouds() const;
  std::vector<std::shared_ptr<QVSDPoint3D>> points() const;
  std::vector<std::shared_ptr<QVSDScanSlice>> scanSlices() const;
  std::vector<std::shared_ptr<QVSDTexture>> textures() const;

  // Factories: library set, creation and last-opened dates now.
  static std::shared_ptr<QVSDScanObject> createScanObjectInLibrary(const std::shared_ptr<QVSDLibrary>& library);
  // Nothing unless a file exists at the path; records it as the source with its modification date.
  static std::shared_ptr<QVSDScanObject> createScanObjectWithFilePath(const std::string& path,
                                                                      const std::shared_ptr<QVSDLibrary>& library);

  // The scan object of an identifier in the context (nothing when there is none); with the flag,
  // its last-opened date becomes now.
  static std::shared_ptr<QVSDScanObject> scanObjectWithId(const qv::ObjectID& id, bool updateLastOpenedDate,
                                                          qv::ObjectContext& context);
  static std::shared_ptr<QVSDScanObject> scanObjectWithFilePath(const std::string& path,
                                                                const std::shared_ptr<QVSDLibrary>& library);
  static std::vector<std::shared_ptr<QVSDScanObject>> scanObjectsWithFilePath(const std::string& path,
                                                                              const std::shared_ptr<QVSDLibrary>& library);
  static std::shared_ptr<QVSDScanObject> scanObjectWithThumbnailFilePath(const std::string& path,
                                                                         const std::shared_ptr<QVSDLibrary>& library);
  static std::shared_ptr<QVSDScanObject> scanObjectWithVertexDataFilePath(const std::string& path,
                                                                          qv::ObjectContext& context);
  static std::shared_ptr<QVSDScanObject> scanObjectWithVertexIndexDataFilePath(const std::string& path,
                                                                               qv::ObjectContext& context);
  // Newest first. Nothing (an empty list) for no library or a failing fetch.
  static std::vector<std::shared_ptr<QVSDScanObject>> scanObjectsSortedByLastOpenedDateInLibrary(
      const std::shared_ptr<QVSDLibrary>& library);

  // Copies another scan object of the same context into this one: its view settings, vertex
  // buffers and index tables, its files (each copied under a fresh name, so the copy owns them),
  // its textured mesh (atlas image and coordinates), and a copy of every point cloud and texture.
  // Not copied: the dates, the source file and the library. False, with the error (code 105 naming
  // the copy, for want of room that the library's disk is full), when a file that is there cannot
  // be copied: the copies made so far are then removed (discardCopiedFiles), and the caller gives
  // the receiver up rather than keep a scan without its points or photographs.
  bool copyFromScanObject(const QVSDScanObject& source, qv::Error* error = nullptr);
  // Removes the files this scan, its clouds and its textures name, and unsets their paths: for a
  // copy (whose files are its own) that is given up.
  void discardCopiedFiles();
  // A copy of the file in the library folder under a fresh UUID name with the same extension;
  // nothing for an empty path, a missing file or a failed copy.
  std::optional<std::string> copyFile(const std::string& path) const;

  // Rebuilds the vertex data file of the scan from its point clouds' slice blocks: the file
  // (UUID + ".VertexData" in the library folder, starting with one zero record, so that record 0
  // means "none") is written anew with each cloud's vertices, one record per point however often
  // it is built, and each cloud gets its index table. An existing file keeps its path and is
  // replaced whole only once the new records are written; a file that does not hold whole records
  // is refused. `prepareGrid`, when given, may rework a cloud's grid in memory first (the scan driver
  // recomputes the normals there). A cloud whose file is missing or inconsistent is skipped and
  // keeps the records its table names in the old file (renumbered); the other clouds are still
  // written. False with the first error when any
  // cloud was skipped or the scan's file could not be written; when `skipped` is given, skipped
  // clouds are listed there instead (each error naming the cloud) and only a failed write is false.
  using GridPreparer = std::function<void(QVSDPointCloud& cloud, std::vector<QVLSliceVertex>& grid, std::size_t slices)>;
  bool buildVertexDataFromPointClouds(const GridPreparer& prepareGrid, qv::Error* error,
                                      std::vector<qv::Error>* skipped = nullptr);
};
