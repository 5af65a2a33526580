// A stored point of a slice: where it was seen in the image, where it is, its normal and colour.
#pragma once

#include <Eigen/Core>
#include <memory>
#include <vector>

#include "records/QVLPoint3D.h"
#include "store/EntityAccessors.h"
#include "store/ManagedObject.h"

class QVSDPointCloud;
class QVSDScanObject;
class QVSDScanSlice;

class QVSDPoint3D : public qv::ManagedObject {
public:
  static constexpr const char* kEntityName = "QVSDPoint3D";

  QV_DOUBLE_ATTRIBUTE(colourBlue, ColourBlue)
  QV_DOUBLE_ATTRIBUTE(colourGreen, ColourGreen)
  QV_DOUBLE_ATTRIBUTE(colourRed, ColourRed)
  QV_INTEGER_ATTRIBUTE(index, Index)
  QV_DOUBLE_ATTRIBUTE(normalX, NormalX)
  QV_DOUBLE_ATTRIBUTE(normalY, NormalY)
  QV_DOUBLE_ATTRIBUTE(normalZ, NormalZ)
  QV_DOUBLE_ATTRIBUTE(point2DX, Point2DX)
  QV_DOUBLE_ATTRIBUTE(point2DY, Point2DY)
  QV_DOUBLE_ATTRIBUTE(point3DX, Point3DX)
  QV_DOUBLE_ATTRIBUTE(point3DY, Point3DY)
  QV_DOUBLE_ATTRIBUTE(point3DZ, Point3DZ)

  // The number triples as vectors; unset parts read as 0.
  Eigen::Vector3d point3D() const;
  void setPoint3D(const Eigen::Vector3d& point);
  Eigen::Vector3d normal() const;
  void setNormal(const Eigen::Vector3d& normal);

  std::shared_ptr<QVSDPointCloud> pointCloud() const;
  std::shared_ptr<QVSDScanObject> scanObject() const;
  std::shared_ptr<QVSDScanSlice> scanSlice() const;

  // A new point of the slice, also linked to the slice's cloud and scan object. Nothing for no slice.
  static std::shared_ptr<QVSDPoint3D> createPointInScanSlice(const std::shared_ptr<QVSDScanSlice>& slice);
  // One new point of the slice for every value, in order, linked as createPointInScanSlice links
  // one, with its colour, image position, position and normal set from the value. A slice's points
  // come by the thousand: names are looked up once, not per point. Empty for no slice.
  static std::vector<std::shared_ptr<QVSDPoint3D>> createPointsInScanSlice(const std::shared_ptr<QVSDScanSlice>& slice,
                                                                           const std::vector<QVLPoint3D>& values);
  // Highest image row first. Empty for no slice.
  static std::vector<std::shared_ptr<QVSDPoint3D>> pointsSortedBy2DYInScanSlice(const std::shared_ptr<QVSDScanSlice>& slice);

  void copyFromPoint(const QVSDPoint3D& source);
};
