// The stored point entity: its vectors, factory, fetch and copy.
#include "store/QVSDPoint3D.h"

#include <iterator>

#include "store/QVSDPointCloud.h"
#include "store/QVSDScanObject.h"
#include "store/QVSDScanSlice.h"
#include "store/internal/EntityHelpers.h"

Eigen::Vector3d QVSDPoint3D::point3D() const {
  return {point3DX().value_or(0), point3DY().value_or(0), point3DZ().value_or(0)};
}

void QVSDPoint3D::setPoint3D(const Eigen::Vector3d& point) {
  setPoint3DX(point.x());
  setPoint3DY(point.y());
  setPoint3DZ(point.z());
}

Eigen::Vector3d QVSDPoint3D::normal() const {
  return {normalX().value_or(0), normalY().value_or(0), normalZ().value_or(0)};
}

void QVSDPoint3D::setNormal(const Eigen::Vector3d& normal) {
  setNormalX(normal.x());
  setNormalY(normal.y());
  setNormalZ(normal.z());
}

std::shared_ptr<QVSDPointCloud> QVSDPoint3D::pointCloud() const {
  return std::dynamic_pointer_cast<QVSDPointCloud>(toOne("pointCloud"));
}
std::shared_ptr<QVSDScanObject> QVSDPoint3D::scanObject() const {
  return std::dynamic_pointer_cast<QVSDScanObject>(toOne("scanObject"));
}
std::shared_ptr<QVSDScanSlice> QVSDPoint3D::scanSlice() const {
  return std::dynamic_pointer_cast<QVSDScanSlice>(toOne("scanSlice"));
}

std::shared_ptr<QVSDPoint3D> QVSDPoint3D::createPointInScanSlice(const std::shared_ptr<QVSDScanSlice>& slice) {
  if (!slice) return nullptr;
  auto context = slice->managedObjectContext();
  if (!context) return nullptr;
  auto point = context->insertNewObject<QVSDPoint3D>();
  point->setToOne("scanSlice", slice);
  point->setToOne("pointCloud", slice->toOne("pointCloud"));
  point->setToOne("scanObject", slice->toOne("scanObject"));
  return point;
}

std::vector<std::shared_ptr<QVSDPoint3D>> QVSDPoint3D::createPointsInScanSlice(const std::shared_ptr<QVSDScanSlice>& slice,
                                                                              const std::vector<QVLPoint3D>& values) {
  std::vector<std::shared_ptr<QVSDPoint3D>> points;
  if (!slice) return points;
  auto context = slice->managedObjectContext();
  if (!context) return points;
  const auto cloud = slice->toOne("pointCloud");
  const auto scan = slice->toOne("scanObject");
  const auto entity = context->model()->entity(kEntityName);
  if (!entity) return points;
  const std::size_t toSlice = entity->toOneIndex("scanSlice"), toCloud = entity->toOneIndex("pointCloud"),
                    toScan = entity->toOneIndex("scanObject");
  // In the order createPointInScanSlice's callers set them.
  static constexpr const char* kNames[] = {"colourRed", "colourGreen", "colourBlue", "point2DX", "point2DY", "point3DX",
                                           "point3DY",  "point3DZ",    "normalX",    "normalY",  "normalZ"};
  std::size_t at[std::size(kNames)];
  for (std::size_t i = 0; i < std::size(kNames); ++i) at[i] = entity->attributeIndex(kNames[i]);
  points.reserve(values.size());
  for (const QVLPoint3D& v : values) {
    auto point = context->insertNewObject<QVSDPoint3D>();
    if (!point) break;
    point->setToOneAt(toSlice, slice);
    point->setToOneAt(toCloud, cloud);
    point->setToOneAt(toScan, scan);
    const float fields[] = {v.colourRed, v.colourGreen, v.colourBlue, v.point2DX, v.point2DY, v.point3DX,
                            v.point3DY,  v.point3DZ,    v.normalX,    v.normalY,  v.normalZ};
    for (std::size_t i = 0; i < std::size(kNames); ++i) point->setNewObjectAttributeAt(at[i], static_cast<double>(fields[i]));
    points.push_back(std::move(point));
  }
  return points;
}

std::vector<std::shared_ptr<QVSDPoint3D>> QVSDPoint3D::pointsSortedBy2DYInScanSlice(const std::shared_ptr<QVSDScanSlice>& slice) {
  if (!slice) return {};
  return qv::entity::fetchAll<QVSDPoint3D>(
      *slice, qv::FetchRequest(kEntityName).whereRelated("scanSlice", slice->objectID()).sortedBy("point2DY", false));
}

void QVSDPoint3D::copyFromPoint(const QVSDPoint3D& source) {
  qv::entity::copyAttributes(*this, source,
                             {"colourBlue", "colourGreen", "colourRed", "index", "normalX", "normalY", "normalZ",
                              "point2DX", "point2DY", "point3DX", "point3DY", "point3DZ"});
}
