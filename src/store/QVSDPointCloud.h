// A stored point cloud: one laser pass at one head height, with the calibration it was taken with.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Error.h"
#include "platform/Value.h"
#include "store/EntityAccessors.h"
#include "store/ManagedObject.h"
#include "store/ObjectContext.h"
#include "store/VertexRecords.h"

class QVSCalibrationDetails;
class QVSDScanObject;
class QVSDScanSlice;
class QVSDPoint3D;

class QVSDPointCloud : public qv::ManagedObject {
public:
  static constexpr const char* kEntityName = "QVSDPointCloud";

  QV_DOUBLE_ATTRIBUTE(bedNX, BedNX)
  QV_DOUBLE_ATTRIBUTE(bedNY, BedNY)
  QV_DOUBLE_ATTRIBUTE(bedNZ, BedNZ)
  QV_DOUBLE_ATTRIBUTE(bedX, BedX)
  QV_DOUBLE_ATTRIBUTE(bedY, BedY)
  QV_DOUBLE_ATTRIBUTE(bedZ, BedZ)
  QV_INTEGER_ATTRIBUTE(cameraHeight, CameraHeight)
  QV_DOUBLE_ATTRIBUTE(cameraNormalX, CameraNormalX)
  QV_DOUBLE_ATTRIBUTE(cameraNormalY, CameraNormalY)
  QV_DOUBLE_ATTRIBUTE(cameraNormalZ, CameraNormalZ)
  QV_DOUBLE_ATTRIBUTE(cameraOriginX, CameraOriginX)
  QV_DOUBLE_ATTRIBUTE(cameraOriginY, CameraOriginY)
  QV_DOUBLE_ATTRIBUTE(cameraOriginZ, CameraOriginZ)
  QV_DOUBLE_ATTRIBUTE(cameraUpX, CameraUpX)
  QV_DOUBLE_ATTRIBUTE(cameraUpY, CameraUpY)
  QV_DOUBLE_ATTRIBUTE(cameraUpZ, CameraUpZ)
  QV_INTEGER_ATTRIBUTE(cameraWidth, CameraWidth)
  QV_DOUBLE_ATTRIBUTE(headHeight, HeadHeight)
  QV_DOUBLE_ATTRIBUTE(height, Height)
  QV_DOUBLE_ATTRIBUTE(laserNormalX, LaserNormalX)
  QV_DOUBLE_ATTRIBUTE(laserNormalY, LaserNormalY)
  QV_DOUBLE_ATTRIBUTE(laserNormalZ, LaserNormalZ)
  QV_INTEGER_ATTRIBUTE(laserNumber, LaserNumber)
  QV_DOUBLE_ATTRIBUTE(laserOriginX, LaserOriginX)
  QV_DOUBLE_ATTRIBUTE(laserOriginY, LaserOriginY)
  QV_DOUBLE_ATTRIBUTE(laserOriginZ, LaserOriginZ)
  QV_DOUBLE_ATTRIBUTE(leadScrewNX, LeadScrewNX)
  QV_DOUBLE_ATTRIBUTE(leadScrewNY, LeadScrewNY)
  QV_DOUBLE_ATTRIBUTE(leadScrewNZ, LeadScrewNZ)
  QV_INTEGER_ATTRIBUTE(lookupId, LookupId)
  QV_DOUBLE_ATTRIBUTE(objectCenterPointX, ObjectCenterPointX)
  QV_DOUBLE_ATTRIBUTE(objectCenterPointY, ObjectCenterPointY)
  QV_DOUBLE_ATTRIBUTE(objectCenterPointZ, ObjectCenterPointZ)
  QV_DATA_ATTRIBUTE(radiansData, RadiansData)
  QV_INTEGER_ATTRIBUTE(referenceId, ReferenceId)
  QV_STRING_ATTRIBUTE(vertexDataFilePath, VertexDataFilePath)
  QV_DATA_ATTRIBUTE(vertexIndexData, VertexIndexData)
  QV_DOUBLE_ATTRIBUTE(distortion0, Distortion0)
  QV_DOUBLE_ATTRIBUTE(distortion1, Distortion1)
  QV_DOUBLE_ATTRIBUTE(distortion2, Distortion2)
  QV_DOUBLE_ATTRIBUTE(distortion3, Distortion3)
  QV_DOUBLE_ATTRIBUTE(intrinsicCX, IntrinsicCX)
  QV_DOUBLE_ATTRIBUTE(intrinsicCY, IntrinsicCY)
  QV_DOUBLE_ATTRIBUTE(intrinsicFX, IntrinsicFX)
  QV_DOUBLE_ATTRIBUTE(intrinsicFY, IntrinsicFY)

  std::shared_ptr<QVSDScanObject> scanObject() const;
  std::vector<std::shared_ptr<QVSDScanSlice>> scanSlices() const;
  std::vector<std::shared_ptr<QVSDPoint3D>> points() const;
  std::size_t scanSliceCount() const;

  // A new cloud of the scan object; lookupId is the scan object's number of clouds with the new
  // one (1 for the first). Nothing for no scan object.
  static std::shared_ptr<QVSDPointCloud> createPointCloudForScanObject(const std::shared_ptr<QVSDScanObject>& scanObject);
  // A cloud from a scan file's header values (keys matched ignoring case; text or numbers).
  // Nothing for an empty dictionary or no scan object.
  static std::shared_ptr<QVSDPointCloud> createPointCloudForScanObject(const std::shared_ptr<QVSDScanObject>& scanObject,
                                                                       const qv::Dictionary& properties);
  // A cloud carrying a calibration's values for one laser (0 the first, any other the second) at
  // a head height; the image is always 1280 x 960.
  static std::shared_ptr<QVSDPointCloud> createPointCloudForScanObject(const std::shared_ptr<QVSDScanObject>& scanObject,
                                                                       const QVSCalibrationDetails& calibration,
                                                                       float headHeight_mm, int laser);

  static std::shared_ptr<QVSDPointCloud> pointCloudWithId(const qv::ObjectID& id, qv::ObjectContext& context);
  // A cloud of the scan object at exactly that head height (the float widened to a double).
  static std::shared_ptr<QVSDPointCloud> pointCloudWithHeadHeight(float headHeight_mm,
                                                                  const std::shared_ptr<QVSDScanObject>& scanObject);
  static std::shared_ptr<QVSDPointCloud> pointCloudWithLaserVertexIndexFilePath(const std::string& path,
                                                                                qv::ObjectContext& context);
  // Ascending head height, then ascending laser number. Empty for no scan object.
  static std::vector<std::shared_ptr<QVSDPointCloud>> sortedPointCloudsForScanObject(
      const std::shared_ptr<QVSDScanObject>& scanObject);

  // Copies another cloud's calibration (camera normal included: a merged or re-saved cloud keeps
  // its whole capture geometry), centre, tables and identifiers (lookupId included), its vertex
  // data file (copied under a fresh name, so the copied slices' offsets still find their blocks),
  // and a copy of every slice. False, with the error (code 105, naming the copy), when the vertex
  // data file is there but cannot be copied: the cloud is then incomplete, for the caller to give up.
  bool copyFromPointCloud(const QVSDPointCloud& source, qv::Error* error = nullptr);

  // Appends a slice's block to the cloud's vertex data file and sets the slice's dataOffset. The
  // first block creates the file (a fresh UUID name with the extension "PointCloudVertices" in the
  // library folder) at offset 0. When the cloud names a file that is gone, nothing is written
  // and the error says so: starting over at offset 0 would leave the earlier slices pointing at
  // blocks that no longer exist.
  bool appendSliceBlock(QVSDScanSlice& slice, const qv::SliceBlock& block, qv::Error* error);
  // The blocks of every slice in ascending rotation order, one after the other; nothing (and the
  // error) when the file is missing or a slice's block lies outside it. No slices: an empty grid.
  std::optional<std::vector<QVLSliceVertex>> readSliceGrid(qv::Error* error) const;
};
