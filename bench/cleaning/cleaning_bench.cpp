// Times auto-clean on 100,000 and 1,000,000 points beside the point-cloud library's statistical
// outlier filter run on the same points in the same run (it searches on one thread), checks that
// both flag the same points, and times one brush stroke over 2,000,000 points.
#include <pcl/filters/statistical_outlier_removal.h>
#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "support/BenchSupport.h"
#include "viewer/model/AutoClean.h"
#include "viewer/model/BrushSelection.h"
#include "viewer/model/DisplayRecords.h"
#include "viewer/model/ViewerNavigation.h"

namespace {

using qv::bench::Clock;
using qv::bench::median;

double msSince(Clock::time_point start) { return 1000.0 * qv::bench::secondsSince(start); }

// A scanned-looking vase: rings of points with a little noise, and one point in 200 thrown off
// the surface, as stray laser hits are.
std::vector<qv::scene::Vec3> vase(std::size_t n, unsigned seed) {
  std::mt19937 random(seed);
  std::normal_distribution<float> noise(0, 0.05f);
  std::uniform_real_distribution<float> unit(0, 1);
  std::vector<qv::scene::Vec3> points;
  points.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    const float h = unit(random) * 120, a = unit(random) * 6.2831853f;
    float r = 30 + 12 * std::sin(h / 19) + noise(random);
    if (i % 200 == 0) r += 3 + 20 * unit(random);
    points.push_back({r * std::cos(a), h, r * std::sin(a)});
  }
  return points;
}

void autoClean(const char* name, const char* peerName, std::size_t n, int ownRuns, int peerRuns) {
  const auto points = vase(n, 11);
  std::vector<double> own, peer;
  std::vector<std::size_t> ours;
  for (int r = 0; r < ownRuns; ++r) {
    const auto start = Clock::now();
    ours = qv::viewer::statisticalOutliers(points, 50, 3.0);
    own.push_back(msSince(start));
  }
  const auto oneStart = Clock::now();
  qv::viewer::statisticalOutliers(points, 50, 3.0, 1);
  const double oneThread = msSince(oneStart);
  pcl::PointCloud<pcl::PointXYZ>::Ptr cloud(new pcl::PointCloud<pcl::PointXYZ>);
  for (const auto& p : points) cloud->push_back({p.x, p.y, p.z});
  pcl::Indices theirs;
  for (int r = 0; r < peerRuns; ++r) {
    pcl::StatisticalOutlierRemoval<pcl::PointXYZ> filter;
    filter.setInputCloud(cloud);
    filter.setMeanK(50);
    filter.setStddevMulThresh(3.0);
    filter.setNegative(true);
    const auto start = Clock::now();
    filter.filter(theirs);
    peer.push_back(msSince(start));
  }
  bool same = theirs.size() == ours.size();
  for (std::size_t i = 0; same && i < ours.size(); ++i) same = static_cast<std::size_t>(theirs[i]) == ours[i];
  std::printf("# %zu points: %zu outliers flagged, %zu by the peer: %s; %.1f ms on one thread\n", n, ours.size(),
              theirs.size(), same ? "identical sets" : "SETS DIFFER", oneThread);
  std::printf("RESULT %s %.1f ms\n", name, median(own));
  std::printf("RESULT %s %.1f ms\n", peerName, median(peer));
}

void brushStroke() {
  const std::size_t n = 2'000'000;
  const auto points = vase(n, 5);
  std::vector<QVLScanVertex> vertices(n + 1);
  for (std::size_t i = 0; i < n; ++i) {
    vertices[i + 1].point3DX = points[i].x;
    vertices[i + 1].point3DY = points[i].y - 60;
    vertices[i + 1].point3DZ = points[i].z;
  }
  const auto fresh = qv::viewer::buildSortableIndexEntries(vertices, {});
  qv::viewer::SearchCloud cloud;
  cloud.rebuild(vertices);
  qv::viewer::ViewSnapshot view;
  view.cameraWorld = qv::viewer::cameraTransform(0.2f, {0, 0, 160});
  view.camera = qv::scene::Camera{60, 0.1f, 600};
  view.width = 1200;
  view.height = 800;
  view.valid = true;
  const qv::viewer::ViewProjector project(view);

  // One dab (press and release at one place: the brush's unit of work between two frames),
  // resolved into the selection, and a whole drag of 40 mouse points; brush radius 20 view
  // points, every point seen for the first time in this view.
  std::vector<double> projection, dab, resolve, drag;
  std::size_t brushed = 0;
  for (int r = 0; r < 5; ++r) {
    auto start = Clock::now();
    qv::viewer::projectOctreeNodes(cloud, project, [] { return false; });
    projection.push_back(msSince(start));
    auto records = fresh;
    const qv::viewer::BrushPoint centre{600.0f + 30.0f * r, 400.0f};
    start = Clock::now();
    qv::viewer::markBrushedPoints(cloud, records, std::span(&centre, 1), 20, 2 * r + 1, project);
    const auto marked = Clock::now();
    qv::viewer::resolveSelectedPoints(records, qv::viewer::ReplaceSelection);
    dab.push_back(msSince(start));
    resolve.push_back(msSince(marked));
    start = Clock::now();
    brushed = 0;
    for (int i = 0; i < 40; ++i) {
      const qv::viewer::BrushPoint p{450.0f + i * 8.0f, 380.0f + i * 2.0f};
      brushed += qv::viewer::markBrushedPoints(cloud, records, std::span(&p, 1), 20, 2 * r + 2, project);
    }
    qv::viewer::resolveSelectedPoints(records, qv::viewer::ReplaceSelection);
    drag.push_back(msSince(start));
  }
  const qv::viewer::BrushPoint probe{600, 400};
  std::printf("# a dab's leaves hold %zu points\n", qv::viewer::collectBrushedOctreeIndices(cloud, std::span(&probe, 1), 20).size());
  std::printf("# brush over %zu points: %zu brushed by a drag, %zu octree leaves; resolving %.1f ms\n", n, brushed,
              cloud.octreeLeafCount(), median(resolve));
  std::printf("RESULT brush_projection_ms %.1f ms\n", median(projection));
  std::printf("RESULT brush_stroke_ms %.1f ms\n", median(dab));
  std::printf("RESULT brush_drag_40_points_ms %.1f ms\n", median(drag));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "brush") return brushStroke(), 0;
  if (argc > 1 && std::string(argv[1]) == "100k") return autoClean("autoclean_100k_ms", "peer_pcl_sor_100k_ms", 100'000, 5, 3), 0;
  autoClean("autoclean_100k_ms", "peer_pcl_sor_100k_ms", 100'000, 5, 3);
  autoClean("autoclean_1m_ms", "peer_pcl_sor_1m_ms", 1'000'000, 3, 1);
  brushStroke();
  return 0;
}
