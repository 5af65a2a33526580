// The viewer's search cloud and its octree.
#include "viewer/model/internal/SearchCloudImpl.h"
#include <pcl/octree/impl/octree_base.hpp>
#include <pcl/octree/impl/octree_pointcloud.hpp>

#include "viewer/model/SearchCloud.h"

#include <algorithm>

#include "platform/Log.h"
#include "viewer/model/DisplayRecords.h"

namespace qv::viewer {

SearchCloud::SearchCloud() : impl_(std::make_unique<Impl>()) {}
SearchCloud::~SearchCloud() = default;

void SearchCloud::rebuild(std::span<const QVLScanVertex> vertices) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  std::size_t present = 0;
  float lo[3] = {kQVLFloatMax, kQVLFloatMax, kQVLFloatMax}, hi[3] = {-kQVLFloatMax, -kQVLFloatMax, -kQVLFloatMax};
  for (const QVLScanVertex& v : vertices) {
    if (isAtOrigin(v)) continue;
    ++present;
    const float p[3] = {v.point3DX, v.point3DY, v.point3DZ};
    for (int a = 0; a < 3; ++a) {
      lo[a] = std::min(lo[a], p[a]);
      hi[a] = std::max(hi[a], p[a]);
    }
  }

  if (!impl_->cloud) impl_->cloud.reset(new pcl::PointCloud<QVLPclPoint>);
  auto& cloud = *impl_->cloud;
  cloud.clear();
  QVLPclPoint blank;
  blank.x = blank.y = blank.z = 0;
  blank.data[3] = 1.0f;
  blank.index = 0;
  cloud.resize(present, blank);
  cloud.width = static_cast<std::uint32_t>(present);
  cloud.height = 1;
  std::size_t next = 0;
  for (std::size_t i = 0; i < vertices.size(); ++i) {
    const QVLScanVertex& v = vertices[i];
    if (isAtOrigin(v)) continue;
    if (next == present) {
      QVLogWarn("Size mismatch between points and alloced data");
      break;
    }
    QVLPclPoint& p = cloud[next++];
    p.x = v.point3DX;
    p.y = v.point3DY;
    p.z = v.point3DZ;
    p.index = static_cast<std::int32_t>(i);
  }

  if (!impl_->octree) impl_->octree = std::make_shared<QVLOctree>(1.0);
  QVLOctree& octree = *impl_->octree;
  octree.deleteTree();
  octree.setInputCloud(impl_->cloud);
  // Points that are not finite cannot be placed in a box; PCL skips them when adding.
  bool finite = present > 0;
  for (int a = 0; a < 3; ++a) finite = finite && std::isfinite(lo[a]) && std::isfinite(hi[a]);
  if (finite) octree.defineBoundingBox(lo[0], lo[1], lo[2], hi[0] + 1e-3, hi[1] + 1e-3, hi[2] + 1e-3);
  if (present > 0) octree.addPointsFromInputCloud();
}

std::size_t SearchCloud::size() const { return impl_->cloud ? impl_->cloud->size() : 0; }

scene::Vec3 SearchCloud::positionAt(std::size_t point) const {
  const QVLPclPoint& p = (*impl_->cloud)[point];
  return {p.x, p.y, p.z};
}

std::int32_t SearchCloud::vertexIndexAt(std::size_t point) const { return (*impl_->cloud)[point].index; }

std::size_t SearchCloud::octreeLeafCount() const { return impl_->octree ? impl_->octree->getLeafCount() : 0; }

std::size_t SearchCloud::octreePointCount() const {
  if (!impl_->octree) return 0;
  std::size_t total = 0;
  for (auto it = impl_->octree->leaf_depth_begin(); it != impl_->octree->leaf_depth_end(); ++it)
    total += it.getLeafContainer().getSize();
  return total;
}

}  // namespace qv::viewer
