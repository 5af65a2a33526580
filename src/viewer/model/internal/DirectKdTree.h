// A PCL search tree that answers each query on the calling thread, for the registration's many
// single-point lookups. It builds FLANN's single kd-tree exactly as PCL's own search tree does
// (same points, same leaf size, same search), so every neighbour and every tie comes out the
// same; it only skips the batch interface, which opens an OpenMP parallel region for every query
// and spent more time there than in the search itself.
#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <vector>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
#pragma GCC diagnostic ignored "-Wunknown-pragmas"
#include <flann/algorithms/dist.h>
#include <flann/algorithms/kdtree_single_index.h>
#include <flann/util/result_set.h>
#include <pcl/point_cloud.h>
#include <pcl/point_representation.h>
#include <pcl/search/kdtree.h>
#pragma GCC diagnostic pop

namespace qv::viewer {

template <typename PointT>
class DirectKdTree : public pcl::search::KdTree<PointT> {
public:
  using Ptr = std::shared_ptr<DirectKdTree<PointT>>;
  using Base = pcl::search::KdTree<PointT>;
  using typename Base::IndicesConstPtr;
  using typename Base::PointCloudConstPtr;

  explicit DirectKdTree(bool sortedResults = true) : Base(sortedResults) {}

  void setInputCloud(const PointCloudConstPtr& cloud, const IndicesConstPtr& indices = IndicesConstPtr()) override {
    this->input_ = cloud;
    this->indices_ = indices;
    index_.reset();
    coordinates_.clear();
    mapping_.clear();
    identityMapping_ = true;
    if (!cloud) return;
    dimensions_ = representation_.getNumberOfDimensions();
    const std::size_t candidates = indices ? indices->size() : cloud->size();
    coordinates_.resize(candidates * static_cast<std::size_t>(dimensions_));
    mapping_.reserve(candidates);
    float* out = coordinates_.data();
    for (std::size_t i = 0; i < candidates; ++i) {
      const auto at = indices ? (*indices)[i] : static_cast<pcl::index_t>(i);
      const PointT& p = (*cloud)[static_cast<std::size_t>(at)];
      // Points that are not finite are left out and the others keep their own indices.
      if (!representation_.isValid(p)) {
        identityMapping_ = false;
        continue;
      }
      mapping_.push_back(at);
      representation_.vectorize(p, out);
      out += dimensions_;
    }
    if (indices) identityMapping_ = false;
    if (mapping_.empty()) return;
    const flann::Matrix<float> data(coordinates_.data(), mapping_.size(), static_cast<std::size_t>(dimensions_));
    index_ = std::make_unique<Index>(data, flann::KDTreeSingleIndexParams(15));
    index_->buildIndex();
  }

  int nearestKSearch(const PointT& point, int k, pcl::Indices& indices, std::vector<float>& distances) const override {
    const std::size_t total = mapping_.size();
    std::size_t wanted = k > 0 ? std::min(static_cast<std::size_t>(k), total) : 0;
    indices.resize(wanted);
    distances.resize(wanted);
    if (wanted == 0 || !index_) return 0;
    thread_local std::vector<float> query;
    thread_local std::vector<std::size_t> found;
    query.resize(static_cast<std::size_t>(dimensions_));
    found.resize(wanted);
    float* coordinates = query.data();
    representation_.vectorize(point, coordinates);
    const flann::SearchParams params(-1, 0.0f);
    std::size_t n = 0;
    // FLANN keeps short lists in a sorted array and long ones in a heap; either way sorted.
    if (wanted > 250) {
      flann::KNNResultSet2<float> result(wanted);
      index_->findNeighbors(result, query.data(), params);
      n = std::min(result.size(), wanted);
      result.copy(found.data(), distances.data(), n, params.sorted);
    } else {
      flann::KNNSimpleResultSet<float> result(wanted);
      index_->findNeighbors(result, query.data(), params);
      n = std::min(result.size(), wanted);
      result.copy(found.data(), distances.data(), n, params.sorted);
    }
    for (std::size_t i = 0; i < wanted; ++i) indices[i] = toCloudIndex(found[i]);
    return static_cast<int>(wanted);
  }

  int radiusSearch(const PointT& point, double radius, pcl::Indices& indices, std::vector<float>& distances,
                   unsigned int maximumNeighbours = 0) const override {
    indices.clear();
    distances.clear();
    if (!index_) return 0;
    thread_local std::vector<float> query;
    thread_local std::vector<std::size_t> found;
    query.resize(static_cast<std::size_t>(dimensions_));
    float* coordinates = query.data();
    representation_.vectorize(point, coordinates);
    const float squared = static_cast<float>(radius * radius);
    flann::SearchParams params(-1, 0.0f, this->sorted_results_);
    const std::size_t total = mapping_.size();
    std::size_t n = 0;
    if (maximumNeighbours == 0 || maximumNeighbours >= total) {
      flann::RadiusResultSet<float> result(squared);
      index_->findNeighbors(result, query.data(), params);
      n = result.size();
      found.resize(n);
      distances.resize(n);
      if (n > 0) result.copy(found.data(), distances.data(), n, params.sorted);
    } else {
      flann::KNNRadiusResultSet<float> result(squared, maximumNeighbours);
      index_->findNeighbors(result, query.data(), params);
      n = std::min<std::size_t>(result.size(), maximumNeighbours);
      found.resize(n);
      distances.resize(n);
      if (n > 0) result.copy(found.data(), distances.data(), n, params.sorted);
    }
    indices.resize(n);
    for (std::size_t i = 0; i < n; ++i) indices[i] = toCloudIndex(found[i]);
    return static_cast<int>(n);
  }

private:
  using Index = flann::KDTreeSingleIndex<flann::L2_Simple<float>>;

  pcl::index_t toCloudIndex(std::size_t treeIndex) const {
    return identityMapping_ ? static_cast<pcl::index_t>(treeIndex) : mapping_[treeIndex];
  }

  pcl::DefaultPointRepresentation<PointT> representation_;
  int dimensions_ = 0;
  std::vector<float> coordinates_;
  std::vector<pcl::index_t> mapping_;
  bool identityMapping_ = true;
  std::unique_ptr<Index> index_;
};

}  // namespace qv::viewer
