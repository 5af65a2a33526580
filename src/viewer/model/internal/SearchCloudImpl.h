// The search cloud's PCL parts, for the .cpp files that walk its octree.
#pragma once

#include <mutex>

#include "viewer/model/SearchCloud.h"
#include "viewer/model/internal/PclTypes.h"

namespace qv::viewer {

struct SearchCloud::Impl {
  // Held while the cloud is rebuilt and while the brush walks it: a load builds it on a thread
  // of its own while the point queue may be projecting.
  std::mutex mutex;
  pcl::PointCloud<QVLPclPoint>::Ptr cloud;
  std::shared_ptr<QVLOctree> octree;
};

}  // namespace qv::viewer
