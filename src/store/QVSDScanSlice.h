// A stored slice: one turntable step of a point cloud, with its block's place in the vertex file.
#pragma once

#include <memory>
#include <vector>

#include "store/EntityAccessors.h"
#include "store/ManagedObject.h"

class QVSDPointCloud;
class QVSDPoint3D;
class QVSDScanObject;

class QVSDScanSlice : public qv::ManagedObject {
public:
  static constexpr const char* kEntityName = "QVSDScanSlice";

  QV_INTEGER_ATTRIBUTE(dataOffset, DataOffset)
  QV_INTEGER_ATTRIBUTE(numberOfPoints, NumberOfPoints)
  QV_DOUBLE_ATTRIBUTE(objectCenterPointX, ObjectCenterPointX)
  QV_DOUBLE_ATTRIBUTE(objectCenterPointY, ObjectCenterPointY)
  QV_DOUBLE_ATTRIBUTE(objectCenterPointZ, ObjectCenterPointZ)
  QV_DOUBLE_ATTRIBUTE(rotation, Rotation)
  QV_INTEGER_ATTRIBUTE(sliceIndex, SliceIndex)

  std::shared_ptr<QVSDPointCloud> pointCloud() const;
  std::shared_ptr<QVSDScanObject> scanObject() const;
  std::vector<std::shared_ptr<QVSDPoint3D>> points() const;

  // A new slice of the cloud at the rotation (degrees, kept as the float it is); sliceIndex is the
  // cloud's number of slices with the new one. Nothing when the cloud or its scan object is missing.
  static std::shared_ptr<QVSDScanSlice> createScanSliceInPointCloud(const std::shared_ptr<QVSDPointCloud>& pointCloud,
                                                                    float rotation_deg);

  // Fetches over one cloud's slices; nothing (or empty) for no cloud. Rotations compare as floats.
  static std::shared_ptr<QVSDScanSlice> firstScanSliceInPointCloud(const std::shared_ptr<QVSDPointCloud>& pointCloud);
  static std::shared_ptr<QVSDScanSlice> lastScanSliceInPointCloud(const std::shared_ptr<QVSDPointCloud>& pointCloud);
  // The slice with the smallest rotation above / the largest below the given one.
  static std::shared_ptr<QVSDScanSlice> nextScanSliceForRotation(float rotation_deg,
                                                                 const std::shared_ptr<QVSDPointCloud>& pointCloud);
  static std::shared_ptr<QVSDScanSlice> previousScanSliceForRotation(float rotation_deg,
                                                                     const std::shared_ptr<QVSDPointCloud>& pointCloud);
  static std::shared_ptr<QVSDScanSlice> scanSliceWithRotation(float rotation_deg,
                                                              const std::shared_ptr<QVSDPointCloud>& pointCloud);
  static std::vector<std::shared_ptr<QVSDScanSlice>> scanSlicesSortedByRotationInPointCloud(
      const std::shared_ptr<QVSDPointCloud>& pointCloud);
  static std::vector<std::shared_ptr<QVSDScanSlice>> scanSlicesSortedBySliceIndexInPointCloud(
      const std::shared_ptr<QVSDPointCloud>& pointCloud);

  // Copies another slice's counts, centre, rotation, block offset and index, and a copy of every point.
  void copyFromScanSlice(const QVSDScanSlice& source);
};
