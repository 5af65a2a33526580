// The search cloud's PCL parts, for the .cpp files that walk its octree.
#pragma once

#include "viewer/model/SearchCloud.h"
#include "viewer/model/internal/PclTypes.h"

namespace qv::viewer {

struct SearchCloud::Impl {
  pcl::PointCloud<QVLPclPoint>::Ptr cloud;
  std::shared_ptr<QVLOctree> octree;
};

}  // namespace qv::viewer
