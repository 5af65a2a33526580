// The registration's direct search tree against PCL's own: the same neighbours in the same order
// with the same distances, for clouds with points that are not finite and for index subsets.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "viewer/model/internal/DirectKdTree.h"

namespace {

using Point = pcl::PointXYZRGB;

pcl::PointCloud<Point>::Ptr randomCloud(std::size_t n) {
  std::mt19937 random(7);
  // A coarse grid of values, so that equal distances (ties) happen often.
  std::uniform_int_distribution<int> step(-20, 20);
  auto cloud = std::make_shared<pcl::PointCloud<Point>>();
  cloud->resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    Point& p = (*cloud)[i];
    p.x = 0.5f * step(random);
    p.y = 0.5f * step(random);
    p.z = 0.25f * step(random);
    if (i % 97 == 5) p.y = std::nanf("");
  }
  cloud->is_dense = false;
  return cloud;
}

}  // namespace

TEST(DirectKdTree, AnswersAsPclsTreeWithTiesNonFinitePointsAndSubsets) {
  const auto cloud = randomCloud(3000);
  auto subset = std::make_shared<pcl::Indices>();
  for (int i = 0; i < 3000; i += 3) subset->push_back(i);
  for (const bool sorted : {true, false}) {
    for (const bool useSubset : {false, true}) {
      SCOPED_TRACE(::testing::Message() << "sorted " << sorted << " subset " << useSubset);
      pcl::search::KdTree<Point> theirs(sorted);
      qv::viewer::DirectKdTree<Point> ours(sorted);
      theirs.setInputCloud(cloud, useSubset ? subset : nullptr);
      ours.setInputCloud(cloud, useSubset ? subset : nullptr);
      std::mt19937 random(11);
      std::uniform_real_distribution<float> place(-11.0f, 11.0f);
      for (int q = 0; q < 300; ++q) {
        Point p;
        p.x = place(random);
        p.y = place(random);
        p.z = place(random);
        if (q % 10 == 0) p = (*cloud)[static_cast<std::size_t>(q)];  // on a point of the cloud
        if (!std::isfinite(p.y)) continue;
        pcl::Indices a, b;
        std::vector<float> da, db;
        for (const int k : {1, 7, 300}) {
          ASSERT_EQ(theirs.nearestKSearch(p, k, a, da), ours.nearestKSearch(p, k, b, db));
          ASSERT_EQ(a, b);
          ASSERT_EQ(da, db);
        }
        for (const unsigned maximum : {0u, 5u}) {
          ASSERT_EQ(theirs.radiusSearch(p, 2.5, a, da, maximum), ours.radiusSearch(p, 2.5, b, db, maximum));
          ASSERT_EQ(a, b);
          ASSERT_EQ(da, db);
        }
      }
    }
  }
}
