// The viewer's PCL point type and octree; included only by the .cpp files that call PCL.
#pragma once

#define PCL_NO_PRECOMPILE
#include <pcl/octree/octree_container.h>
#include <pcl/octree/octree_pointcloud.h>
#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include <Eigen/Core>
#include <vector>

// A position (PCL's aligned four floats, the fourth 1.0) and the record number of its vertex.
struct EIGEN_ALIGN16 QVLPclPoint {
  PCL_ADD_POINT4D;
  std::int32_t index;
  PCL_MAKE_ALIGNED_OPERATOR_NEW
};

POINT_CLOUD_REGISTER_POINT_STRUCT(QVLPclPoint, (float, x, x)(float, y, y)(float, z, z)(std::int32_t, index, index))

using QVLScreenRect = std::vector<Eigen::Vector2f, Eigen::aligned_allocator<Eigen::Vector2f>>;

// A branch with the rectangle its box projects to on screen: minimum and maximum corner.
class QVLOctreeBranchContainer : public pcl::octree::OctreeContainerEmpty {
public:
  QVLOctreeBranchContainer() : rect(2, Eigen::Vector2f::Zero()) {}
  QVLOctreeBranchContainer* deepCopy() const override { return new QVLOctreeBranchContainer(*this); }
  QVLScreenRect rect;
};

// A leaf: its point numbers and the projected rectangle. Resetting keeps the point numbers; a
// deep copy keeps the rectangle but starts with no points.
class QVLOctreeLeafContainer : public pcl::octree::OctreeContainerPointIndices {
public:
  QVLOctreeLeafContainer() : rect(2, Eigen::Vector2f::Zero()) {}
  QVLOctreeLeafContainer* deepCopy() const override {
    auto* copy = new QVLOctreeLeafContainer();
    copy->rect = rect;
    return copy;
  }
  void reset() override {}
  QVLScreenRect rect;
};

using QVLOctree = pcl::octree::OctreePointCloud<QVLPclPoint, QVLOctreeLeafContainer, QVLOctreeBranchContainer>;
