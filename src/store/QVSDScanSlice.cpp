// The slice entity: factory, the rotation-ordered look-ups over a cloud's slices, and copying.
#include "store/QVSDScanSlice.h"

#include "store/QVSDPoint3D.h"
#include "store/QVSDPointCloud.h"
#include "store/QVSDScanObject.h"
#include "store/internal/EntityHelpers.h"

namespace {

// Rotations are compared as the float the caller gave, as they were stored.
qv::AttributeValue rotationValue(float rotation_deg) { return static_cast<double>(rotation_deg); }

qv::FetchRequest slicesOf(const std::shared_ptr<QVSDPointCloud>& cloud) {
  return qv::FetchRequest(QVSDScanSlice::kEntityName).whereRelated("pointCloud", cloud->objectID());
}

}  // namespace

std::shared_ptr<QVSDPointCloud> QVSDScanSlice::pointCloud() const {
  return std::dynamic_pointer_cast<QVSDPointCloud>(toOne("pointCloud"));
}
std::shared_ptr<QVSDScanObject> QVSDScanSlice::scanObject() const {
  return std::dynamic_pointer_cast<QVSDScanObject>(toOne("scanObject"));
}
std::vector<std::shared_ptr<QVSDPoint3D>> QVSDScanSlice::points() const {
  return qv::entity::cast<QVSDPoint3D>(toMany("points"));
}

std::shared_ptr<QVSDScanSlice> QVSDScanSlice::createScanSliceInPointCloud(const std::shared_ptr<QVSDPointCloud>& pointCloud,
                                                                          float rotation_deg) {
  if (!pointCloud) return nullptr;
  auto scanObject = pointCloud->toOne("scanObject");
  auto context = pointCloud->managedObjectContext();
  if (!scanObject || !context) return nullptr;
  auto slice = context->insertNewObject<QVSDScanSlice>();
  slice->setToOne("pointCloud", pointCloud);
  slice->setToOne("scanObject", scanObject);
  slice->setValue("rotation", rotationValue(rotation_deg));
  slice->setSliceIndex(static_cast<std::int64_t>(pointCloud->toManyCount("scanSlices")));
  return slice;
}

std::shared_ptr<QVSDScanSlice> QVSDScanSlice::firstScanSliceInPointCloud(const std::shared_ptr<QVSDPointCloud>& pointCloud) {
  if (!pointCloud) return nullptr;
  return qv::entity::fetchFirst<QVSDScanSlice>(*pointCloud, slicesOf(pointCloud).sortedBy("rotation", true));
}

std::shared_ptr<QVSDScanSlice> QVSDScanSlice::lastScanSliceInPointCloud(const std::shared_ptr<QVSDPointCloud>& pointCloud) {
  if (!pointCloud) return nullptr;
  return qv::entity::fetchFirst<QVSDScanSlice>(*pointCloud, slicesOf(pointCloud).sortedBy("rotation", false));
}

std::shared_ptr<QVSDScanSlice> QVSDScanSlice::nextScanSliceForRotation(float rotation_deg,
                                                                       const std::shared_ptr<QVSDPointCloud>& pointCloud) {
  if (!pointCloud) return nullptr;
  return qv::entity::fetchFirst<QVSDScanSlice>(
      *pointCloud,
      slicesOf(pointCloud).where("rotation", qv::Comparison::Greater, rotationValue(rotation_deg)).sortedBy("rotation", true));
}

std::shared_ptr<QVSDScanSlice> QVSDScanSlice::previousScanSliceForRotation(float rotation_deg,
                                                                           const std::shared_ptr<QVSDPointCloud>& pointCloud) {
  if (!pointCloud) return nullptr;
  return qv::entity::fetchFirst<QVSDScanSlice>(
      *pointCloud,
      slicesOf(pointCloud).where("rotation", qv::Comparison::Less, rotationValue(rotation_deg)).sortedBy("rotation", false));
}

std::shared_ptr<QVSDScanSlice> QVSDScanSlice::scanSliceWithRotation(float rotation_deg,
                                                                    const std::shared_ptr<QVSDPointCloud>& pointCloud) {
  if (!pointCloud) return nullptr;
  return qv::entity::fetchFirst<QVSDScanSlice>(
      *pointCloud, slicesOf(pointCloud).where("rotation", qv::Comparison::Equal, rotationValue(rotation_deg)));
}

std::vector<std::shared_ptr<QVSDScanSlice>> QVSDScanSlice::scanSlicesSortedByRotationInPointCloud(
    const std::shared_ptr<QVSDPointCloud>& pointCloud) {
  if (!pointCloud) return {};
  return qv::entity::fetchAll<QVSDScanSlice>(*pointCloud, slicesOf(pointCloud).sortedBy("rotation", true));
}

std::vector<std::shared_ptr<QVSDScanSlice>> QVSDScanSlice::scanSlicesSortedBySliceIndexInPointCloud(
    const std::shared_ptr<QVSDPointCloud>& pointCloud) {
  if (!pointCloud) return {};
  return qv::entity::fetchAll<QVSDScanSlice>(*pointCloud, slicesOf(pointCloud).sortedBy("sliceIndex", true));
}

void QVSDScanSlice::copyFromScanSlice(const QVSDScanSlice& source) {
  qv::entity::copyAttributes(*this, source,
                             {"numberOfPoints", "objectCenterPointX", "objectCenterPointY", "objectCenterPointZ",
                              "rotation", "dataOffset", "sliceIndex"});
  auto self = std::dynamic_pointer_cast<QVSDScanSlice>(shared_from_this());
  for (const auto& point : source.points()) {
    if (auto copy = QVSDPoint3D::createPointInScanSlice(self)) copy->copyFromPoint(*point);
  }
}
