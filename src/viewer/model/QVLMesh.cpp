// The meshing road: vertex blob to PCL's Poisson reconstruction, the surface to an ASCII STL
// file of our own writer, and that file back through the STL reader into the scan object.
#include "viewer/model/QVLMesh.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <future>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include <pcl/PolygonMesh.h>
#include <pcl/conversions.h>
#include <pcl/point_cloud.h>
#include <pcl/point_types.h>
#include <pcl/surface/poisson.h>

#include "formats/FormatErrors.h"
#include "formats/QVLStlFileImporter.h"
#include "platform/Cores.h"
#include "platform/Log.h"
#include "platform/UUID.h"
#include "store/LibraryFiles.h"
#include "store/QVLScanVertex.h"
#include "store/QVSDScanObject.h"
#include "store/TBCoreDataStoreS1.h"

namespace {

constexpr float kScale = 2.0f;  // the reconstruction cube's diameter over the samples' bounding cube

qv::Error meshError(int code, std::string description) {
  return qv::Error(qv::kScanErrorDomain, code, std::move(description));
}

// Removes a meshed file an earlier meshing left, but only one of ours: a path outside the
// library folder or not named "<UUID>.stl" may be a file the user keeps.
void removeOwnMeshFile(const std::filesystem::path& folder, const std::optional<std::string>& path,
                       const std::filesystem::path& keep) {
  if (!path || path->empty()) return;
  const std::filesystem::path old(*path);
  if (old == keep || old.parent_path() != folder || old.extension() != ".stl" || !qv::isUUIDString(old.stem().string()))
    return;
  qv::removeLibraryFile(folder, folder, old, "earlier meshed file");
}

// How many threads the reconstruction gets: the request (every core the process may use for 0),
// but never more than those cores leave idle right now, and at least one. Waiting OpenMP threads
// spin, so surplus threads only take time from the working ones: on two cores, one of them busy
// with other work, eight threads took twice as long as one.
int reconstructionThreads(int requested) {
  const int cores = qv::usableCores();
  const int wanted = requested > 0 ? std::min(requested, cores) : cores;
  if (wanted == 1) return 1;
  // Only the processors this process may run on: idle ones elsewhere are of no use to it.
  const std::vector<int> processors = qv::allowedProcessors();
  const auto before = qv::processorTicks(processors);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const auto after = qv::processorTicks(processors);
  if (!before || !after) return wanted;
  const double busy = after->busy - before->busy, idle = after->idle - before->idle;
  if (!(busy + idle > 0)) return wanted;
  // Only whole idle cores count: a thread sharing a core with other work spins the others' time
  // away. The counters move in hundredths of a second: over so short a look a quarter of a core
  // either way is their rounding, not work.
  const double idleCores = static_cast<double>(processors.size()) * idle / (busy + idle);
  return std::clamp(static_cast<int>(std::floor(idleCores + 0.25)), 1, wanted);
}

// The reconstruction on the thread count `threads` gives once the points are gathered.
std::vector<qv::mesh::StlFacet> reconstructOn(std::span<const std::uint8_t> vertexBlob, std::int32_t octreeDepth,
                                              std::int32_t samplesPerNode, const std::function<int()>& threads) {
  const std::size_t records = vertexBlob.size() / sizeof(QVLScanVertex);
  std::vector<QVLScanVertex> kept;
  kept.reserve(records);
  for (std::size_t i = 0; i < records; ++i) {
    QVLScanVertex v;
    std::memcpy(&v, vertexBlob.data() + i * sizeof(QVLScanVertex), sizeof v);
    if (v.point3DX == 0 && v.point3DY == 0 && v.point3DZ == 0) continue;
    // A NaN or infinite point poisons the octree's bounding cube and with it the whole surface.
    if (!std::isfinite(v.point3DX) || !std::isfinite(v.point3DY) || !std::isfinite(v.point3DZ) ||
        !std::isfinite(v.normalX) || !std::isfinite(v.normalY) || !std::isfinite(v.normalZ))
      continue;
    kept.push_back(v);
  }
  const int threadCount = threads();
  if (kept.empty()) return {};

  auto cloud = pcl::make_shared<pcl::PointCloud<pcl::PointNormal>>(static_cast<std::uint32_t>(kept.size()), 1);
  for (std::size_t i = 0; i < kept.size(); ++i) {
    pcl::PointNormal& p = (*cloud)[i];
    p.x = kept[i].point3DX;
    p.y = kept[i].point3DY;
    p.z = kept[i].point3DZ;
    p.normal_x = kept[i].normalX;
    p.normal_y = kept[i].normalY;
    p.normal_z = kept[i].normalZ;
    p.curvature = 0;
  }

  pcl::Poisson<pcl::PointNormal> poisson;
  poisson.setDepth(octreeDepth);
  poisson.setScale(kScale);
  poisson.setSamplesPerNode(static_cast<float>(samplesPerNode));
  poisson.setThreads(std::max(1, threadCount));
  poisson.setInputCloud(cloud);
  pcl::PolygonMesh mesh;
  poisson.reconstruct(mesh);
  if (mesh.polygons.empty()) return {};

  pcl::PointCloud<pcl::PointXYZ> corners;
  pcl::fromPCLPointCloud2(mesh.cloud, corners);
  std::vector<qv::mesh::StlFacet> facets;
  facets.reserve(mesh.polygons.size());
  for (const pcl::Vertices& polygon : mesh.polygons) {
    const auto& index = polygon.vertices;
    if (index.size() < 3) continue;
    bool inside = true;
    for (auto k : index) inside = inside && k >= 0 && static_cast<std::size_t>(k) < corners.size();
    if (!inside) continue;
    auto at = [&](std::size_t k) {
      const pcl::PointXYZ& p = corners[index[k]];
      return qv::mesh::Float3{p.x, p.y, p.z};
    };
    for (std::size_t k = 1; k + 1 < index.size(); ++k) {
      qv::mesh::StlFacet f;
      f.corners = {at(0), at(k), at(k + 1)};
      f.normal = qv::mesh::facetNormal(f.corners[0], f.corners[1], f.corners[2]);
      facets.push_back(f);
    }
  }
  return facets;
}

}  // namespace

int QVLMesh::threadsForReconstruction(int requested) { return reconstructionThreads(requested); }

std::vector<qv::mesh::StlFacet> QVLMesh::reconstruct(std::span<const std::uint8_t> vertexBlob, std::int32_t octreeDepth,
                                                     std::int32_t samplesPerNode, int threads, int* threadsUsed) {
  // The look at the idle cores takes a moment of its own, spent while the points are gathered.
  auto threadCount = std::async(std::launch::async, reconstructionThreads, threads);
  return reconstructOn(vertexBlob, octreeDepth, samplesPerNode, [&] {
    const int count = threadCount.get();
    if (threadsUsed) *threadsUsed = count;
    return count;
  });
}

std::vector<qv::mesh::StlFacet> QVLMesh::reconstructOnThreads(std::span<const std::uint8_t> vertexBlob,
                                                              std::int32_t octreeDepth, std::int32_t samplesPerNode,
                                                              int threads) {
  return reconstructOn(vertexBlob, octreeDepth, samplesPerNode, [threads] { return threads; });
}

bool QVLMesh::meshScanObject(const qv::ObjectID& scanObjectId, std::int32_t octreeDepth, std::int32_t samplesPerNode,
                             qv::Error* error) {
  return meshScanObject(scanObjectId, octreeDepth, samplesPerNode, Places{}, error);
}

bool QVLMesh::meshScanObject(const qv::ObjectID& scanObjectId, std::int32_t octreeDepth, std::int32_t samplesPerNode,
                             const Places& places, qv::Error* error) {
  if (error) *error = qv::Error();
  const qv::ObjectContextPtr context = places.context ? places.context : TBCoreDataStoreS1::privateQueueContext();
  const std::filesystem::path folder = places.folder.empty() ? TBCoreDataStoreS1::appLibraryDirectory() : places.folder;

  qv::SharedData blob;
  bool found = false;
  context->performAndWait([&] {
    auto scan = QVSDScanObject::scanObjectWithId(scanObjectId, false, *context);
    if (!scan) return;
    found = true;
    blob = scan->unsavedVertexData();
    if (!blob) blob = scan->vertexData();
  });
  if (!found) {
    if (error) *error = meshError(qv::kInvalidParameterError, "The scan to mesh does not exist");
    return false;
  }
  if (!blob || blob->size() < sizeof(QVLScanVertex)) {
    if (error) *error = meshError(qv::kInvalidParameterError, "The scan has no points to mesh");
    return false;
  }

  const auto facets = reconstruct(*blob, octreeDepth, samplesPerNode, places.threads);
  if (facets.empty()) {
    if (error) *error = meshError(qv::kInvalidParameterError, "The points gave no surface");
    return false;
  }

  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  const std::filesystem::path path = folder / (qv::makeUUIDString() + ".stl");
  if (!qv::mesh::writeAsciiStlFile(path, facets, error)) return false;

  QVLStlFileImporter importer(path.string(), scanObjectId);
  importer.setPrivateQueueContext(context);
  if (!importer.parseFile(error)) {
    std::filesystem::remove(path, ec);
    return false;
  }

  bool named = false;
  context->performAndWait([&] {
    auto scan = QVSDScanObject::scanObjectWithId(scanObjectId, false, *context);
    if (!scan) return;
    const auto previous = scan->meshedVertexDataFilePath();
    scan->setMeshedVertexDataFilePath(path.string());
    qv::Error saveError;
    if (!context->save(&saveError)) {
      // The meshed data is already stored; without its path the file would be forgotten, so it goes.
      QVLogWarn("Unable to update scan object: %s", saveError.text().c_str());
      scan->setMeshedVertexDataFilePath(previous);
      if (error) *error = saveError;
      return;
    }
    named = true;
    removeOwnMeshFile(folder, previous, path);
    QVLogInfo("STL meshing has finished.");
  });
  if (!named) std::filesystem::remove(path, ec);
  return named;
}
