// The meshing as the user waits for it (100,000 oriented points at depth 8: the reconstruction,
// the ASCII STL written and read back into the store) and its parts: the reconstruction on the
// threads the mesher chooses (the process's cores left idle), and forced onto exactly one thread,
// onto one thread per core the process may use and onto one per core of the machine; writing and
// reading the surface's STL file. Beside them, on the same points: PCL's Poisson called directly with the
// same settings in this process, and Open3D's Poisson in a Python subprocess (Open3D is only
// packaged for Python here) on a PLY of the same points, timed inside that process around the
// reconstruction alone; both peers on one thread. Also the
// surface's error on the sphere and the texture atlas of a 100,000-triangle mesh.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/core.hpp>
#include <pcl/PolygonMesh.h>
#include <pcl/point_cloud.h>
#include <pcl/point_types.h>
#include <pcl/surface/poisson.h>

#include "formats/QVLStlFileImporter.h"
#include "platform/Cores.h"
#include "platform/Value.h"
#include "store/QVLScanVertex.h"
#include "store/QVSDLibrary.h"
#include "store/QVSDScanObject.h"
#include "store/TBCoreDataStoreS1.h"
#include "support/BenchScans.h"
#include "viewer/model/QVLImageProjection.h"
#include "viewer/model/QVLMesh.h"

namespace {

using qv::bench::Clock;
using qv::bench::median;
using qv::bench::secondsSince;
constexpr int kRuns = 3;
constexpr double kRadius = 50.0;

// Points evenly spread on a sphere with their outward normals.
qv::Data sphere(int count) {
  qv::Data blob(static_cast<std::size_t>(count) * sizeof(QVLScanVertex));
  const double golden = M_PI * (3.0 - std::sqrt(5.0));
  for (int i = 0; i < count; ++i) {
    const double y = 1.0 - 2.0 * (i + 0.5) / count, r = std::sqrt(1.0 - y * y), a = golden * i;
    QVLScanVertex v;
    v.normalX = static_cast<float>(r * std::cos(a));
    v.normalY = static_cast<float>(y);
    v.normalZ = static_cast<float>(r * std::sin(a));
    v.point3DX = static_cast<float>(kRadius * v.normalX);
    v.point3DY = static_cast<float>(kRadius * v.normalY);
    v.point3DZ = static_cast<float>(kRadius * v.normalZ);
    std::memcpy(blob.data() + i * sizeof v, &v, sizeof v);
  }
  return blob;
}

double meanError(const std::vector<qv::mesh::StlFacet>& facets) {
  double sum = 0;
  for (const auto& f : facets)
    for (const auto& c : f.corners) sum += std::abs(std::hypot(c[0], c[1], c[2]) - kRadius);
  return facets.empty() ? NAN : sum / (3.0 * facets.size());
}

// A flat sheet of 100,000 small triangles in front of four cameras side by side.
void atlas(std::vector<double>& ms) {
  qv::Data mesh(100000 * 3 * sizeof(QVLScanVertex));
  int k = 0;
  for (int i = 0; i < 250 && k < 100000; ++i)
    for (int j = 0; j < 200 && k < 100000; ++j)
      for (int half = 0; half < 2; ++half, ++k) {
        const float x = -50.0f + 0.4f * i, y = -40.0f + 0.4f * j;
        const float corners[2][3][2] = {{{x, y}, {x + 0.4f, y}, {x + 0.4f, y + 0.4f}},
                                        {{x, y}, {x + 0.4f, y + 0.4f}, {x, y + 0.4f}}};
        for (int c = 0; c < 3; ++c) {
          QVLScanVertex v;
          v.point3DX = corners[half][c][0];
          v.point3DY = corners[half][c][1];
          std::memcpy(mesh.data() + (3 * k + c) * sizeof v, &v, sizeof v);
        }
      }
  std::vector<std::shared_ptr<QVLTexture>> photos;
  for (int c = 0; c < 4; ++c) {
    auto t = std::make_shared<QVLTexture>();
    t->setCameraPosition({-37.5 + 25.0 * c, 0, -300});
    t->setCameraNormal({0, 0, 1});
    t->setCameraUp({0, 1, 0});
    t->setDistanceToCenter(300);
    t->setCameraWidth(1280);
    t->setCameraHeight(960);
    t->setCenterX(640);
    t->setCenterY(480);
    t->setMillimetersPerPoint(0.1);
    t->setMatrixOffset(Eigen::Matrix3d::Identity());
    cv::Mat image(960, 1280, CV_8UC3);
    cv::randu(image, 0, 255);
    t->setTextureImage(image);
    photos.push_back(t);
  }
  const auto folder = std::filesystem::temp_directory_path() / "bench_meshing_atlas";
  for (int run = 0; run < kRuns; ++run) {
    std::filesystem::create_directories(folder);
    const auto start = Clock::now();
    const auto record = QVLImageProjection::mapTextures(photos, mesh, folder);
    ms.push_back(secondsSince(start) * 1000.0);
    if (!record) std::fprintf(stderr, "no atlas was made\n");
    std::filesystem::remove_all(folder);
  }
}

// PCL's own Poisson on the same points with the project's settings, and PCL's default thread count.
double pclPoissonSeconds(const qv::Data& blob) {
  auto cloud = pcl::make_shared<pcl::PointCloud<pcl::PointNormal>>();
  const std::size_t n = blob.size() / sizeof(QVLScanVertex);
  cloud->resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    QVLScanVertex v;
    std::memcpy(&v, blob.data() + i * sizeof v, sizeof v);
    pcl::PointNormal& p = (*cloud)[i];
    p.x = v.point3DX;
    p.y = v.point3DY;
    p.z = v.point3DZ;
    p.normal_x = v.normalX;
    p.normal_y = v.normalY;
    p.normal_z = v.normalZ;
    p.curvature = 0;
  }
  pcl::Poisson<pcl::PointNormal> poisson;
  poisson.setDepth(8);
  poisson.setScale(2.0f);
  poisson.setSamplesPerNode(1.0f);
  poisson.setInputCloud(cloud);
  pcl::PolygonMesh mesh;
  const auto start = Clock::now();
  poisson.reconstruct(mesh);
  const double seconds = secondsSince(start);
  if (mesh.polygons.empty()) std::fprintf(stderr, "PCL's Poisson made no surface\n");
  return seconds;
}

// The same points as an ASCII PLY with normals, for the Open3D subprocess.
void writePly(const qv::Data& blob, const std::filesystem::path& path) {
  const std::size_t n = blob.size() / sizeof(QVLScanVertex);
  std::ofstream out(path);
  out << "ply\nformat ascii 1.0\nelement vertex " << n
      << "\nproperty float x\nproperty float y\nproperty float z\nproperty float nx\nproperty float ny\n"
         "property float nz\nend_header\n";
  out.precision(9);
  for (std::size_t i = 0; i < n; ++i) {
    QVLScanVertex v;
    std::memcpy(&v, blob.data() + i * sizeof v, sizeof v);
    out << v.point3DX << ' ' << v.point3DY << ' ' << v.point3DZ << ' ' << v.normalX << ' ' << v.normalY << ' '
        << v.normalZ << '\n';
  }
}

// Open3D's Poisson at depth 8 and scale 2 on the PLY, timed inside the subprocess; negative when
// the system's Python has no Open3D. One thread, as PCL's peer: with its default of every core
// Open3D's waiting threads spin too, and on a loaded machine it took minutes.
double open3dPoissonSeconds(const std::filesystem::path& ply) {
  const std::string script =
      "import sys, time, open3d as o3d\n"
      "c = o3d.io.read_point_cloud(sys.argv[1])\n"
      "t = time.perf_counter()\n"
      "m, d = o3d.geometry.TriangleMesh.create_from_point_cloud_poisson(c, depth=8, scale=2.0, n_threads=1)\n"
      "print('%.6f %d' % (time.perf_counter() - t, len(m.triangles)))\n";
  const std::filesystem::path file = ply.parent_path() / "open3d_poisson.py";
  std::ofstream(file) << script;
  const std::string command = "timeout 600 /usr/bin/python3 '" + file.string() + "' '" + ply.string() + "' 2>/dev/null";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return -1;
  double seconds = -1;
  long triangles = 0;
  if (std::fscanf(pipe, "%lf %ld", &seconds, &triangles) != 2 || triangles == 0) seconds = -1;
  ::pclose(pipe);
  return seconds;
}

}  // namespace

int main() {
  qv::bench::quietLogs();
  auto libraries = std::make_optional<qv::bench::LibraryOutputToStderr>();
  const qv::bench::TempFolder temp("bench-meshing");
  const qv::Data points = sphere(100000);
  const int usable = qv::usableCores();
  const int machine = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));

  TBCoreDataStoreS1::Options options;
  options.folder = temp.path() / "Library";
  TBCoreDataStoreS1 store(std::move(options));
  auto context = store.privateContext();
  qv::ObjectID scan;
  context->performAndWait([&] {
    auto object = QVSDScanObject::createScanObjectInLibrary(QVSDLibrary::defaultLibraryInContext(*context));
    object->setVertexData(std::make_shared<const qv::Data>(points));
    if (!context->save()) std::abort();
    scan = object->objectID();
  });
  QVLMesh::Places places;
  places.context = context;
  places.folder = temp.path() / "meshes";
  writePly(points, temp.path() / "sphere.ply");

  std::vector<double> road, chosen, onUsable, onMachine, one, pcl, open3d, write, read, error, threads;
  for (int run = 0; run < kRuns; ++run) {
    auto start = Clock::now();
    if (!QVLMesh::meshScanObject(scan, 8, 1, places)) std::fprintf(stderr, "the meshing failed\n");
    road.push_back(secondsSince(start));

    int used = 0;
    start = Clock::now();
    const auto facets = QVLMesh::reconstruct(points, 8, 1, 0, &used);
    chosen.push_back(secondsSince(start));
    threads.push_back(used);
    error.push_back(meanError(facets));
    // Right after the chosen threads, so that both see much the same load from the rest of the machine.
    start = Clock::now();
    QVLMesh::reconstructOnThreads(points, 8, 1, 1);
    one.push_back(secondsSince(start));
    // With one usable core that figure is the one-thread figure already measured.
    if (usable != 1) {
      start = Clock::now();
      QVLMesh::reconstructOnThreads(points, 8, 1, usable);
      onUsable.push_back(secondsSince(start));
    }
    if (machine != usable) {
      start = Clock::now();
      QVLMesh::reconstructOnThreads(points, 8, 1, machine);
      onMachine.push_back(secondsSince(start));
    }
    pcl.push_back(pclPoissonSeconds(points));
    open3d.push_back(open3dPoissonSeconds(temp.path() / "sphere.ply"));

    const auto stl = temp.path() / "surface.stl";
    start = Clock::now();
    if (!qv::mesh::writeAsciiStlFile(stl, facets, nullptr)) std::fprintf(stderr, "the STL was not written\n");
    write.push_back(1000 * secondsSince(start));
    QVLStlFileImporter importer(stl.string(), scan);
    importer.setPrivateQueueContext(context);
    start = Clock::now();
    if (!importer.parseFile(nullptr)) std::fprintf(stderr, "the STL was not read\n");
    read.push_back(1000 * secondsSince(start));
  }
  std::vector<double> ms;
  atlas(ms);
  libraries.reset();
  std::printf("RESULT meshing_road_100k_d8_s %.3f s\n", median(road));
  std::printf("RESULT poisson_100k_d8_chosen_threads_s %.3f s\n", median(chosen));
  std::printf("RESULT poisson_chosen_threads %.0f threads\n", median(threads));
  std::printf("RESULT poisson_100k_d8_1t_s %.3f s\n", median(one));
  if (usable != 1) std::printf("RESULT poisson_100k_d8_%dt_s %.3f s\n", usable, median(onUsable));
  if (machine != usable) std::printf("RESULT poisson_100k_d8_%dt_s %.3f s\n", machine, median(onMachine));
  std::printf("RESULT stl_write_ms %.1f ms\n", median(write));
  std::printf("RESULT stl_read_ms %.1f ms\n", median(read));
  std::printf("RESULT peer_pcl_poisson_direct_1t_s %.3f s\n", median(pcl));
  if (median(open3d) > 0) std::printf("RESULT peer_open3d_poisson_1t_subprocess_s %.3f s\n", median(open3d));
  std::printf("RESULT poisson_error_mm %.4f mm\n", median(error));
  std::printf("RESULT atlas_ms %.1f ms\n", median(ms));
  return 0;
}
