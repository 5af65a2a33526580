// The coarse and fine registration of two reference point sets on PCL.
#include "viewer/model/PointCloudRegistration.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <exception>
#include <functional>
#include <iostream>
#include <limits>
#include <mutex>
#include <thread>
#include <vector>

#include <Eigen/Core>
// GCC 12 sees a 16-byte load of a 12-byte mean in Eigen's Umeyama, which PCL's rigid model
// estimation instantiates here; the load is Eigen's own padded packet access.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
#include <pcl/common/transforms.h>
#include <pcl/correspondence.h>
#include <pcl/features/fpfh.h>
#include <pcl/features/normal_3d.h>
#include <pcl/filters/voxel_grid.h>
#include <pcl/point_cloud.h>
#include <pcl/point_types.h>
#include <pcl/registration/correspondence_estimation.h>
#include <pcl/registration/correspondence_rejection_sample_consensus.h>
#include <pcl/registration/icp.h>
#include <pcl/search/kdtree.h>
#pragma GCC diagnostic pop

#include "platform/Cores.h"
#include "viewer/model/internal/DirectKdTree.h"

namespace {

using Point = pcl::PointXYZRGB;
using Cloud = pcl::PointCloud<Point>;
using Normals = pcl::PointCloud<pcl::PointNormal>;
using Features = pcl::PointCloud<pcl::FPFHSignature33>;
using Tree = qv::viewer::DirectKdTree<Point>;
using FeatureTree = qv::viewer::DirectKdTree<pcl::FPFHSignature33>;

constexpr float kFirstLeaf = 2.0f, kLastLeaf = 10.0f, kLeafStep = 1.0f;
// The finest leaf of the refinement: a few times the spacing and the noise of a scan's points.
constexpr float kFinestLeaf = 1.0f;
constexpr double kIcpStep_mm = 1e-3, kIcpRotationCosine = 1 - 1e-10, kIcpRelativeMse = 1e-6;

Cloud::Ptr cloudFromPoints(const QVLAlignmentPoint* points, const std::int32_t* count) {
  auto cloud = std::make_shared<Cloud>();
  const std::int32_t n = (points && count) ? std::max<std::int32_t>(*count, 0) : 0;
  cloud->resize(static_cast<std::size_t>(n));
  for (std::int32_t i = 0; i < n; ++i) {
    const QVLAlignmentPoint& p = points[i];
    Point& q = (*cloud)[static_cast<std::size_t>(i)];
    q.x = p.x;
    q.y = p.y;
    q.z = p.z;
    const auto channel = [](float v) { return static_cast<std::uint32_t>(static_cast<std::int32_t>(v) & 0xFF); };
    q.rgba = channel(p.red) << 16 | channel(p.green) << 8 | channel(p.blue);
  }
  cloud->width = static_cast<std::uint32_t>(n);
  cloud->height = 1;
  return cloud;
}

Eigen::Matrix4f matrixFromRowMajor(const float m[16]) {
  Eigen::Matrix4f out;
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c) out(r, c) = m[4 * r + c];
  return out;
}

void writeRowMajor(const Eigen::Matrix4f& m, float out[16]) {
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c) out[4 * r + c] = m(r, c);
}

// The tree may be one already built over the search surface (the normals' own): it is then reused.
void computeFpfhFeatures(const Cloud::ConstPtr& cloud, const Normals::ConstPtr& normals,
                         const Cloud::ConstPtr& searchSurface, const Features::Ptr& features, float radius,
                         const Tree::Ptr& tree) {
  pcl::FPFHEstimation<Point, pcl::PointNormal, pcl::FPFHSignature33> estimation;
  estimation.setInputNormals(normals);
  estimation.setSearchSurface(searchSurface);
  estimation.setInputCloud(cloud);
  estimation.setSearchMethod(tree);
  estimation.setRadiusSearch(static_cast<double>(radius));
  estimation.compute(*features);
}

bool finiteFeature(const pcl::FPFHSignature33& f) {
  return std::all_of(std::begin(f.histogram), std::end(f.histogram), [](float v) { return std::isfinite(v); });
}

// Points whose neighbourhood was too thin for a normal carry a descriptor of NaNs, which a nearest
// neighbour search cannot rank; they are dropped from the cloud and its descriptors together, so
// the indices of the matching still name the same points.
void dropUndescribedPoints(Cloud& cloud, Features& features) {
  std::size_t kept = 0;
  for (std::size_t i = 0; i < features.size(); ++i) {
    if (!finiteFeature(features[i])) continue;
    cloud[kept] = cloud[i];
    features[kept] = features[i];
    ++kept;
  }
  cloud.resize(kept);
  features.resize(kept);
}

}  // namespace

void coarseAlignPointClouds(const QVLAlignmentPoint* sourcePoints, const std::int32_t* sourceCount,
                            const QVLAlignmentPoint* targetPoints, const std::int32_t* targetCount, float matrix[16],
                            std::int32_t maximumIterations, float* bestLeaf, std::int32_t* bestCount, float ratio) {
  coarseAlignPointClouds(sourcePoints, sourceCount, targetPoints, targetCount, matrix, maximumIterations, bestLeaf,
                         bestCount, ratio, std::cout);
}

namespace {

// Runs task(0) .. task(count - 1) on up to one thread a core the process may use, the calling thread among them, in
// index order of start; the first exception a task throws is thrown again here once all are done.
void runTasks(std::size_t count, const std::function<void(std::size_t)>& task) {
  const std::size_t workers = std::min<std::size_t>(count, static_cast<std::size_t>(qv::usableCores()));
  std::atomic<std::size_t> next{0};
  std::exception_ptr failure;
  std::mutex failureMutex;
  const auto work = [&] {
    for (std::size_t i; (i = next++) < count;) {
      try {
        task(i);
      } catch (...) {
        const std::lock_guard lock(failureMutex);
        if (!failure) failure = std::current_exception();
      }
    }
  };
  std::vector<std::thread> threads;
  for (std::size_t w = 1; w < workers; ++w) threads.emplace_back(work);
  work();
  for (auto& t : threads) t.join();
  if (failure) std::rethrow_exception(failure);
}

// One side of one leaf size: the downsampled cloud, its normals and its descriptors.
struct CoarseSide {
  Cloud::Ptr filtered = std::make_shared<Cloud>();
  std::size_t filteredSize = 0;  // before the undescribed points were dropped
  Features::Ptr features = std::make_shared<Features>();
};

// What one leaf size found. Each pass depends on its own downsampled clouds alone (the sample
// consensus seeds its generator afresh for every call), so the passes may run side by side and
// be weighed afterwards in leaf order, with the same outcome as one after the other.
struct CoarsePass {
  float leaf = 0;
  CoarseSide source, target;
  bool matched = false;
  std::int32_t remaining = 0;
  Eigen::Matrix4f found = Eigen::Matrix4f::Identity();
};

void downsample(const Cloud::ConstPtr& cloud, float leaf, CoarseSide& side) {
  pcl::VoxelGrid<Point> grid;
  grid.setLeafSize(leaf, leaf, leaf);
  grid.setInputCloud(cloud);
  grid.filter(*side.filtered);
  side.filteredSize = side.filtered->size();
}

void describe(CoarseSide& side, float radius) {
  // One tree over the downsampled cloud serves its normals and its descriptors.
  const auto tree = std::make_shared<Tree>(true);
  pcl::NormalEstimation<Point, pcl::PointNormal> normalEstimation;
  normalEstimation.setSearchMethod(tree);
  normalEstimation.setRadiusSearch(static_cast<double>(radius));
  normalEstimation.setInputCloud(side.filtered);
  auto normals = std::make_shared<Normals>();
  normalEstimation.compute(*normals);
  computeFpfhFeatures(side.filtered, normals, side.filtered, side.features, radius, tree);
  dropUndescribedPoints(*side.filtered, *side.features);
}

void match(CoarsePass& pass, float radius, std::int32_t iterations) {
  pcl::registration::CorrespondenceEstimation<pcl::FPFHSignature33, pcl::FPFHSignature33> matching;
  matching.setSearchMethodTarget(std::make_shared<FeatureTree>(true));
  pcl::Correspondences correspondences;
  matching.setInputSource(pass.source.features);
  matching.setInputTarget(pass.target.features);
  matching.determineCorrespondences(correspondences, std::numeric_limits<double>::max());

  pcl::registration::CorrespondenceRejectorSampleConsensus<Point> rejector;
  rejector.setInputSource(pass.source.filtered);
  rejector.setInputTarget(pass.target.filtered);
  rejector.setInlierThreshold(static_cast<double>(radius));
  rejector.setMaximumIterations(iterations);
  pcl::Correspondences remaining;
  rejector.getRemainingCorrespondences(correspondences, remaining);
  pass.matched = true;
  pass.remaining = static_cast<std::int32_t>(remaining.size());
  pass.found = rejector.getBestTransformation();
}

}  // namespace

void coarseAlignPointClouds(const QVLAlignmentPoint* sourcePoints, const std::int32_t* sourceCount,
                            const QVLAlignmentPoint* targetPoints, const std::int32_t* targetCount, float matrix[16],
                            std::int32_t maximumIterations, float* bestLeaf, std::int32_t* bestCount, float ratio,
                            std::ostream& log) {
  const Cloud::Ptr source = cloudFromPoints(sourcePoints, sourceCount);
  const Cloud::Ptr target = cloudFromPoints(targetPoints, targetCount);
  const std::int32_t iterations = std::max<std::int32_t>(maximumIterations, 0);

  std::vector<CoarsePass> passes;
  for (float leaf = kFirstLeaf; leaf <= kLastLeaf; leaf += kLeafStep) passes.emplace_back().leaf = leaf;
  // The full clouds are read once per leaf and side, every core taking a share; the finest
  // leaves, the dearest, start first.
  runTasks(2 * passes.size(), [&](std::size_t task) {
    CoarsePass& pass = passes[task / 2];
    if (task % 2 == 0)
      downsample(source, pass.leaf, pass.source);
    else
      downsample(target, pass.leaf, pass.target);
  });
  runTasks(2 * passes.size(), [&](std::size_t task) {
    CoarsePass& pass = passes[task / 2];
    if (pass.source.filtered->empty() || pass.target.filtered->empty()) return;
    describe(task % 2 == 0 ? pass.source : pass.target, pass.leaf * ratio);
  });
  runTasks(passes.size(), [&](std::size_t task) {
    CoarsePass& pass = passes[task];
    // Three pairs are the least a rigid model can be drawn from.
    if (pass.source.filtered->size() < 3 || pass.target.filtered->size() < 3) return;
    match(pass, pass.leaf * ratio, iterations);
  });

  float leafOut = 0;
  std::int32_t countOut = 0;
  Eigen::Matrix4f best = Eigen::Matrix4f::Identity();
  log << "ratio: " << ratio << std::endl;
  for (const CoarsePass& pass : passes) {
    log << "Source size before filter: " << source->size() << std::endl;
    log << "Source size after filter: " << pass.source.filteredSize << std::endl;
    log << "Target size before filter: " << target->size() << std::endl;
    log << "Target size after filter: " << pass.target.filteredSize << std::endl;
    if (!pass.matched) continue;
    const std::int32_t n = pass.remaining;
    log << "Current remaining correspondences: " << n << std::endl;
    // With no model found the rejector answers the identity and keeps every pair: never a result.
    if (n > countOut && !pass.found.isIdentity(1e-5f)) {
      countOut = n;
      log << "Best correspondences updated: " << n << std::endl;
      best = pass.found;
      leafOut = pass.leaf;
      log << "Best leaf: " << pass.leaf << std::endl;
      log << "Best SAC_M: " << best << std::endl;
    }
  }
  if (matrix) writeRowMajor(best, matrix);
  if (bestLeaf) *bestLeaf = leafOut;
  if (bestCount) *bestCount = countOut;
}

QVLIcpOutcome refineAlignmentWithIcp(const QVLAlignmentPoint* sourcePoints, const std::int32_t* sourceCount,
                                     const QVLAlignmentPoint* targetPoints, const std::int32_t* targetCount,
                                     float matrix[16], std::int32_t maximumIterations, float ratio, float leafSize) {
  return refineAlignmentWithIcp(sourcePoints, sourceCount, targetPoints, targetCount, matrix, maximumIterations, ratio,
                                leafSize, std::cout);
}

namespace {

// PCL keeps the number of iterations it ran to itself. Its steps are estimated in doubles: in
// floats a turn below about a fiftieth of a degree reads as no turn at all, so a scan centred on
// its origin, whose turns move no point far, stopped while still turning.
class CountingIcp : public pcl::IterativeClosestPoint<Point, Point, double> {
public:
  int iterations() const { return nr_iterations_; }
};

// How much of the moved set lies on the fixed one, measured the way ICP pairs points.
// `tree` is built over the fixed set.
void measureFit(const Cloud& moved, const Tree& tree, double maximumDistance, QVLIcpOutcome& outcome) {
  pcl::Indices index(1);
  std::vector<float> squared(1);
  double sum = 0;
  std::int64_t inliers = 0;
  const double limit = maximumDistance * maximumDistance;
  for (const Point& p : moved) {
    if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z)) continue;
    if (tree.nearestKSearch(p, 1, index, squared) < 1 || squared[0] > limit) continue;
    sum += squared[0];
    ++inliers;
  }
  outcome.inliers = inliers;
  outcome.fitness = moved.empty() ? 0.0 : static_cast<double>(inliers) / static_cast<double>(moved.size());
  outcome.inlierRmse = inliers ? std::sqrt(sum / static_cast<double>(inliers)) : 0.0;
}

}  // namespace

QVLIcpOutcome refineAlignmentWithIcp(const QVLAlignmentPoint* sourcePoints, const std::int32_t* sourceCount,
                                     const QVLAlignmentPoint* targetPoints, const std::int32_t* targetCount,
                                     float matrix[16], std::int32_t maximumIterations, float ratio, float leafSize,
                                     std::ostream& log) {
  QVLIcpOutcome outcome;
  if (!matrix) return outcome;
  const Cloud::Ptr source = cloudFromPoints(sourcePoints, sourceCount);
  const Cloud::Ptr target = cloudFromPoints(targetPoints, targetCount);
  const Eigen::Matrix4f coarse = matrixFromRowMajor(matrix);
  Eigen::Matrix4f fine = Eigen::Matrix4f::Identity();
  pcl::VoxelGrid<Point> grid;
  auto filteredSource = std::make_shared<Cloud>(), filteredTarget = std::make_shared<Cloud>();
  Cloud aligned;
  double distance = 0;

  // The leaf that won the coarse search can be as large as 10: its centroids and its wide
  // pairing distance leave the result degrees away from the truth, and more so where the two
  // scans saw different parts of the object. So the fit goes on at halved leaves and distances
  // until the leaf is fine enough for the scans' own noise.
  for (float leaf = leafSize; leaf > 0;) {
    grid.setLeafSize(leaf, leaf, leaf);
    grid.setInputCloud(source);
    grid.filter(*filteredSource);
    grid.setInputCloud(target);
    grid.filter(*filteredTarget);
    // ICP cannot pair anything with an empty side; what was found so far stays.
    if (filteredSource->empty() || filteredTarget->empty()) break;
    pcl::transformPointCloud(*filteredSource, *filteredSource, Eigen::Matrix4f(fine * coarse));

    distance = static_cast<double>(ratio) * static_cast<double>(leaf);
    // One tree over the fixed set serves every iteration and the fit measured afterwards.
    const auto tree = std::make_shared<Tree>(true);
    tree->setInputCloud(filteredTarget);
    CountingIcp icp;
    icp.setSearchMethodTarget(tree, true);
    icp.setMaxCorrespondenceDistance(distance);
    icp.setRANSACOutlierRejectionThreshold(distance);
    icp.setMaximumIterations(maximumIterations);
    // PCL's defaults never call a run converged before its last iteration: stop once a step
    // moves less than a micrometre and turns less than a thousandth of a degree, or the mean
    // squared error changes by less than a part in a million.
    icp.setTransformationEpsilon(kIcpStep_mm * kIcpStep_mm);
    icp.setTransformationRotationEpsilon(kIcpRotationCosine);
    icp.setEuclideanFitnessEpsilon(kIcpRelativeMse);
    icp.setInputSource(filteredSource);
    icp.setInputTarget(filteredTarget);
    icp.align(aligned);
    outcome.iterations += icp.iterations();
    outcome.converged = icp.hasConverged();
    if (!outcome.converged) break;
    fine = icp.getFinalTransformation().cast<float>() * fine;
    measureFit(aligned, *tree, distance, outcome);
    if (leaf <= kFinestLeaf) break;
    leaf = std::max(kFinestLeaf, leaf / 2);
  }
  log << "ICP_M" << fine << std::endl;
  writeRowMajor(fine * coarse, matrix);
  return outcome;
}
