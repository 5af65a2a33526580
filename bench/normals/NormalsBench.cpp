// Which way the grid normals of a scan should face. A simulated scan of an hourglass, on the bed's
// axis and off it, has its normals signed two ways: by the side of the axis the point lies on (its
// unwrapped depth, what the driver does) and turned to face the laser that lit it. For each: the
// share of normals that point out of the true surface, the mean distance of the Poisson mesh made
// from them to that surface, and the share of that mesh that faces out as the viewer shows it
// (after the STL reader's negation of facet normals). Beside them, the time the grid normals of
// the whole scan take to compute.
#include <Eigen/Geometry>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "acquisition/QVLScan.h"
#include "acquisition/SurfaceNormals.h"
#include "platform/Log.h"
#include "platform/Settings.h"
#include "sim/optics/HourglassObject.h"
#include "sim/scanner/SimulatedScanner.h"
#include "store/QVSDLibrary.h"
#include "store/QVSDPointCloud.h"
#include "store/QVSDScanObject.h"
#include "store/TBCoreDataStoreS1.h"
#include "support/BenchScans.h"
#include "support/BenchSupport.h"
#include "viewer/model/QVLMesh.h"

namespace {

struct Figures {
  double outward = 0.0;       // share of points whose normal leaves the true surface
  double meshError_mm = 0.0;  // mean distance of the mesh corners to the true surface
  std::size_t facets = 0;
  double displayedOutward = 0.0;  // share of mesh facets that face out once read back as the viewer shows them
};

// The grids of every cloud of a simulated scan of the hourglass at (x, z) on the bed.
std::vector<std::pair<std::vector<QVLSliceVertex>, std::size_t>> scanGrids(double x, double z, qv::sim::Scene& scene,
                                                                          Eigen::Matrix3d& turntableFromBed) {
  qv::bench::TempFolder folder("normals");
  TBCoreDataStoreS1 store(TBCoreDataStoreS1::Options{folder.path() / "Library", nullptr, [](const qv::Error&) {}});
  qv::Settings settings(folder.path() / "Settings.json");
  auto context = store.privateContext();
  const qv::ObjectID scanId = qv::bench::emptyScan(*context);
  scene.add(std::make_shared<qv::sim::HourglassObject>(x, z, 18.0, 45.0, 0.45, 110.0, Eigen::Vector3d(0.75, 0.82, 0.9)));
  qv::sim::SimulatedScanner::Options options;
  options.completionQueue = qv::makeSerialQueue("SimulatedScannerCompletions");
  auto scanner = std::make_shared<qv::sim::SimulatedScanner>(qv::sim::ScannerModel(qv::sim::ScannerDesign::standard()), scene, options);
  auto driver = QVLScan::initWithDelegate(scanner);
  driver->setPrivateQueueContext(context);
  driver->setSettings(&settings);
  std::atomic<bool> done{false};
  driver->buildScanWithId(scanId, 2.0f, 100.0f, 100, 0, {100}, {100}, [&] { done = true; }, nullptr,
                          [&](const qv::Error& e, float, float) {
                            std::fprintf(stderr, "scan failed: %s\n", e.text().c_str());
                            done = true;
                          });
  qv::runMainQueueUntil([&] { return done.load(); }, qv::seconds(3600));
  turntableFromBed = scanner->model().bed_from_turntable().transpose();
  std::vector<std::pair<std::vector<QVLSliceVertex>, std::size_t>> grids;
  context->performAndWait([&] {
    auto scan = QVSDScanObject::scanObjectWithId(scanId, false, *context);
    for (const auto& cloud : QVSDPointCloud::sortedPointCloudsForScanObject(scan)) {
      auto grid = cloud->readSliceGrid(nullptr);
      if (grid && !grid->empty()) grids.emplace_back(std::move(*grid), grid->size() / 960);
    }
  });
  return grids;
}

Figures measure(std::vector<std::pair<std::vector<QVLSliceVertex>, std::size_t>> grids, bool fromLaser,
                const qv::sim::Scene& scene, const Eigen::Matrix3d& turntableFromBed, double x, double z) {
  auto distance = [&](const Eigen::Vector3d& p) {
    double d = 1e30;
    for (const auto& object : scene.objects()) d = std::min(d, object->distanceToSurface(p));
    return d;
  };
  Figures f;
  std::size_t counted = 0, outward = 0;
  qv::Data blob;
  for (auto& [grid, slices] : grids) {
    const auto laserDirections = grid;  // triangulation's normals: from the laser to the point
    qv::computeSliceGridNormals(grid, slices);
    if (fromLaser) {
      for (std::size_t i = 0; i < grid.size(); ++i) {
        const QVLSliceVertex& o = laserDirections[i];
        QVLSliceVertex& v = grid[i];
        if (v.normalX * o.normalX + v.normalY * o.normalY + v.normalZ * o.normalZ > 0.0f) {
          v.normalX = -v.normalX, v.normalY = -v.normalY, v.normalZ = -v.normalZ;
        }
      }
    }
    for (const auto& v : grid) {
      if (!v.hasPoint()) continue;
      const Eigen::Vector3f n(v.normalX, v.normalY, v.normalZ);
      if (n.isZero()) continue;
      const Eigen::Vector3d p = turntableFromBed * Eigen::Vector3d(v.point3DX, v.point3DY, v.point3DZ);
      // The hourglass is a surface of revolution about a vertical axis through (x, z): its
      // outward normal always leans away from that axis.
      const Eigen::Vector3d away(p.x() - x, 0.0, p.z() - z);
      ++counted;
      if ((turntableFromBed * n.cast<double>()).dot(away) > 0.0) ++outward;
      QVLScanVertex r;
      r.point3DX = v.point3DX, r.point3DY = v.point3DY, r.point3DZ = v.point3DZ;
      r.normalX = v.normalX, r.normalY = v.normalY, r.normalZ = v.normalZ;
      const auto* bytes = reinterpret_cast<const std::uint8_t*>(&r);
      blob.insert(blob.end(), bytes, bytes + sizeof r);
    }
  }
  f.outward = counted ? static_cast<double>(outward) / static_cast<double>(counted) : 0.0;
  const auto facets = QVLMesh::reconstruct(blob, 8, 5);
  double sum = 0.0;
  std::size_t facingOut = 0;
  for (const auto& facet : facets) {
    for (const auto& c : facet.corners) sum += std::fabs(distance(turntableFromBed * Eigen::Vector3d(c[0], c[1], c[2])));
    const Eigen::Vector3d centre = turntableFromBed * Eigen::Vector3d((facet.corners[0][0] + facet.corners[1][0] + facet.corners[2][0]) / 3.0,
                                                                      (facet.corners[0][1] + facet.corners[1][1] + facet.corners[2][1]) / 3.0,
                                                                      (facet.corners[0][2] + facet.corners[1][2] + facet.corners[2][2]) / 3.0);
    const Eigen::Vector3d n = turntableFromBed * Eigen::Vector3d(facet.normal[0], facet.normal[1], facet.normal[2]);
    if (n.dot(Eigen::Vector3d(centre.x() - x, 0.0, centre.z() - z)) > 0.0) ++facingOut;
  }
  // The STL reader negates the facet normals it reads, so the displayed mesh faces out when the
  // mesher's facets face in.
  f.displayedOutward = facets.empty() ? 0.0 : 1.0 - static_cast<double>(facingOut) / static_cast<double>(facets.size());
  f.facets = facets.size();
  f.meshError_mm = facets.empty() ? NAN : sum / (3.0 * static_cast<double>(facets.size()));
  return f;
}

// The grid normals of every cloud of the scan, computed afresh: milliseconds, median of `runs`.
double normalsMilliseconds(const std::vector<std::pair<std::vector<QVLSliceVertex>, std::size_t>>& grids, int runs) {
  std::vector<double> ms;
  for (int run = 0; run < runs; ++run) {
    auto copies = grids;
    const auto start = qv::bench::Clock::now();
    for (auto& [grid, slices] : copies) qv::computeSliceGridNormals(grid, slices);
    ms.push_back(1000.0 * qv::bench::secondsSince(start));
  }
  return qv::bench::median(ms);
}

std::string line(const char* format, auto... values) {
  char text[256];
  std::snprintf(text, sizeof text, format, values...);
  return text;
}

}  // namespace

int main() {
  qv::log::Setup quiet;  // a scan logs every slice
  quiet.console = false;
  quiet.systemLog = false;
  qv::log::setup(quiet);
  std::vector<std::string> results;
  {
    const qv::bench::LibraryOutputToStderr libraries;
    for (const auto& [name, x, z] : {std::tuple{"centred", 0.0, 0.0}, std::tuple{"off_axis", 30.0, 10.0}}) {
      qv::sim::Scene scene;
      Eigen::Matrix3d turntableFromBed;
      const auto grids = scanGrids(x, z, scene, turntableFromBed);
      std::size_t vertices = 0;
      for (const auto& [grid, slices] : grids) vertices += grid.size();
      const double ms = normalsMilliseconds(grids, 5);
      const Figures laser = measure(grids, true, scene, turntableFromBed, x, z);
      const Figures depth = measure(grids, false, scene, turntableFromBed, x, z);
      results.push_back(line("RESULT normals_grid_%s_ms %.1f ms\n", name, ms));
      results.push_back(line("RESULT normals_outward_laser_%s %.4f fraction\n", name, laser.outward));
      results.push_back(line("RESULT normals_outward_depth_%s %.4f fraction\n", name, depth.outward));
      results.push_back(line("RESULT mesh_error_laser_%s_mm %.3f mm\n", name, laser.meshError_mm));
      results.push_back(line("RESULT mesh_error_depth_%s_mm %.3f mm\n", name, depth.meshError_mm));
      results.push_back(line("RESULT mesh_shown_outward_laser_%s %.4f fraction\n", name, laser.displayedOutward));
      results.push_back(line("RESULT mesh_shown_outward_depth_%s %.4f fraction\n", name, depth.displayedOutward));
      results.push_back(line("# %s: %zu grid vertices in %zu clouds; facets: laser %zu, depth %zu\n", name, vertices,
                             grids.size(), laser.facets, depth.facets));
    }
  }
  for (const auto& text : results) std::fputs(text.c_str(), stdout);
  return 0;
}
