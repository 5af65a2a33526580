// Meshing a stored scan: the surface's accuracy and closedness, the file it leaves, the inputs
// that must give no mesh, and the threads it runs on.
#include <gtest/gtest.h>

#include <sched.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <thread>
#include <tuple>

#include "formats/MeshFormats.h"
#include "platform/Cores.h"
#include "platform/UUID.h"
#include "support/TempFolder.h"
#include "viewer/ViewerStore.h"
#include "viewer/ViewerTestSupport.h"
#include "viewer/model/QVLMesh.h"

namespace {

// Above the importer's default floor (y = 0), so no vertex is raised to it.
constexpr float kCentreY = 60.0f;
constexpr float kRadius = 50.0f;

class Meshing : public ::testing::Test {
protected:
  void SetUp() override {
    store = makeQuietStore(temp.path() / "Quorvel");
    places.context = store->privateContext();
    places.folder = store->libraryFolder();
    // One thread: OpenMP's spinning threads crawl on a CI machine busy with other tests.
    places.threads = 1;
  }

  qv::ObjectID makeScan(const std::vector<QVLScanVertex>& vertices) {
    return addScanObject(*store, [&](auto& scan) { scan->setVertexData(vertexBytes(vertices)); });
  }

  std::vector<std::filesystem::path> meshFiles() const {
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(store->libraryFolder()))
      if (entry.path().extension() == ".stl") files.push_back(entry.path());
    return files;
  }

  std::pair<qv::SharedData, std::optional<std::string>> meshed(const qv::ObjectID& id) {
    std::pair<qv::SharedData, std::optional<std::string>> out;
    store->privateContext()->performAndWait([&] {
      auto scan = QVSDScanObject::scanObjectWithId(id, false, *store->privateContext());
      out = {scan->meshedVertexData(), scan->meshedVertexDataFilePath()};
    });
    return out;
  }

  qv::test::TempFolder temp;
  std::unique_ptr<TBCoreDataStoreS1> store;
  QVLMesh::Places places;
};

TEST_F(Meshing, SphereIsAccurateClosedAndReplacesItsEarlierFile) {
  auto points = ballScan(20000, kRadius, kCentreY);
  // Points the reconstruction must never see: they would wreck its bounding cube.
  points.push_back(vertexAt(NAN, 1, 1));
  points.push_back(vertexAt(INFINITY, 1, 1));
  const qv::ObjectID id = makeScan(points);

  qv::Error error;
  ASSERT_TRUE(QVLMesh::meshScanObject(id, 7, 1, places, &error)) << error.text();
  const auto [data, path] = meshed(id);
  ASSERT_TRUE(data && path);
  ASSERT_EQ(data->size() % qv::mesh::kTriangleBytes, 0u);
  const std::size_t triangles = data->size() / qv::mesh::kTriangleBytes;
  ASSERT_GT(triangles, 1000u);

  // Corners are welded by exact position: the file keeps every float exactly.
  std::map<std::tuple<float, float, float>, std::uint32_t> ids;
  std::map<std::pair<std::uint32_t, std::uint32_t>, int> edges;
  double sum = 0, worst = 0;
  const auto* records = reinterpret_cast<const QVLScanVertex*>(data->data());
  for (std::size_t t = 0; t < triangles; ++t) {
    std::uint32_t c[3];
    for (int k = 0; k < 3; ++k) {
      QVLScanVertex v;
      std::memcpy(&v, &records[3 * t + k], sizeof v);
      const double d = std::abs(std::hypot(v.point3DX, v.point3DY - kCentreY, v.point3DZ) - kRadius);
      sum += d;
      worst = std::max(worst, d);
      c[k] = ids.emplace(std::make_tuple(v.point3DX, v.point3DY, v.point3DZ), static_cast<std::uint32_t>(ids.size()))
                 .first->second;
    }
    for (int k = 0; k < 3; ++k) ++edges[std::minmax(c[k], c[(k + 1) % 3])];
  }
  EXPECT_LT(worst, 1.0);
  EXPECT_LT(sum / (3.0 * triangles), 0.3);
  for (const auto& [edge, uses] : edges) ASSERT_EQ(uses, 2) << "edge " << edge.first << "-" << edge.second;
  EXPECT_EQ(static_cast<long>(ids.size()) - static_cast<long>(edges.size()) + static_cast<long>(triangles), 2);

  // The file holds three vertex lines a triangle and is ours by name.
  const std::filesystem::path first(*path);
  EXPECT_EQ(first.parent_path(), store->libraryFolder());
  EXPECT_TRUE(qv::isUUIDString(first.stem().string()));
  std::ifstream in(first);
  std::size_t vertexLines = 0;
  for (std::string line; std::getline(in, line);) vertexLines += line.find("vertex ") != std::string::npos;
  EXPECT_EQ(vertexLines, 3 * triangles);

  // A second meshing gets a new name and the first file goes: a user who re-meshes keeps one.
  ASSERT_TRUE(QVLMesh::meshScanObject(id, 5, 1, places, &error)) << error.text();
  const auto second = meshed(id).second;
  ASSERT_TRUE(second);
  EXPECT_NE(*second, first.string());
  EXPECT_EQ(meshFiles(), std::vector<std::filesystem::path>{std::filesystem::path(*second)});
}

TEST_F(Meshing, NothingToMeshGivesNoMeshAndNoFile) {
  qv::Error error;
  const qv::ObjectID origins = makeScan(std::vector<QVLScanVertex>(500, QVLScanVertex{}));
  EXPECT_FALSE(QVLMesh::meshScanObject(origins, 7, 1, places, &error));
  EXPECT_FALSE(error.text().empty());
  const qv::ObjectID empty = makeScan({});
  EXPECT_FALSE(QVLMesh::meshScanObject(empty, 7, 1, places, &error));
  EXPECT_TRUE(meshFiles().empty());
  const auto [data, path] = meshed(origins);
  EXPECT_FALSE(data);
  EXPECT_FALSE(path);
}

// Two processors of its own, one of them kept busy: whatever the rest of the machine leaves idle,
// the reconstruction has one free core and runs on one thread.
TEST(MeshingThreads, OnlyTheIdleProcessorsOfTheProcessesSetCount) {
  const std::vector<int> allowed = qv::allowedProcessors();
  if (allowed.size() < 2) GTEST_SKIP() << "needs two processors";
  cpu_set_t two;
  CPU_ZERO(&two);
  CPU_SET(allowed[0], &two);
  CPU_SET(allowed[1], &two);
  std::atomic<bool> spinning{false}, done{false};
  std::thread busy([&] {
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(allowed[1], &one);
    sched_setaffinity(0, sizeof one, &one);
    spinning = true;
    while (!done) {
    }
  });
  int chosen = 0;
  std::thread([&] {
    ASSERT_EQ(sched_setaffinity(0, sizeof two, &two), 0);
    while (!spinning) std::this_thread::yield();
    chosen = QVLMesh::threadsForReconstruction(8);
  }).join();
  done = true;
  busy.join();
  EXPECT_EQ(chosen, 1);
}

}  // namespace
