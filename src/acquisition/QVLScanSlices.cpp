// The scan driver's slice store, its adaptive rotation estimate and the point data at the end.
#include <cmath>
#include <filesystem>
#include <limits>

#include "acquisition/QVLScan.h"
#include "acquisition/SliceBlockFile.h"
#include "acquisition/SurfaceNormals.h"
#include "platform/Log.h"
#include "store/QVSDPoint3D.h"
#include "store/QVSDPointCloud.h"
#include "store/QVSDScanObject.h"
#include "store/QVSDScanSlice.h"
#include "store/StoreErrors.h"
#include "store/VertexRecords.h"

std::shared_ptr<QVSDScanSlice> QVLScan::createSliceForPointCloud(const std::shared_ptr<QVSDPointCloud>& cloud,
                                                                 const std::vector<QVLPoint3D>& points,
                                                                 float rotation_deg, qv::Error* error) {
  if (!cloud) return nullptr;
  const qv::SliceBlockBuild build = qv::makeSliceBlock(points);
  std::shared_ptr<QVSDScanSlice> slice;
  CloudSums replaced;
  if (replaceSliceAtResume_) {
    // The step that paused stored this angle already: the resumed step takes its place.
    if (auto existing = QVSDScanSlice::scanSliceWithRotation(rotation_deg, cloud)) {
      const auto path = cloud->vertexDataFilePath().value_or("");
      if (path.empty() || !qv::overwriteSliceBlockAt(path, static_cast<std::uint64_t>(existing->dataOffset().value_or(0)),
                                                     build.block, error)) {
        return nullptr;
      }
      for (const auto& point : existing->points()) context().deleteObject(point);
      const std::int64_t n = existing->numberOfPoints().value_or(0);
      replaced = {existing->objectCenterPointX().value_or(0.0) * n, existing->objectCenterPointY().value_or(0.0) * n,
                  existing->objectCenterPointZ().value_or(0.0) * n, n};
      slice = existing;
    }
  }
  if (!slice) {
    slice = QVSDScanSlice::createScanSliceInPointCloud(cloud, rotation_deg);
    if (!slice) return nullptr;
    if (!cloud->appendSliceBlock(*slice, build.block, error)) {
      // The slice would point at a block that is not there; what is stored already stays.
      context().deleteObject(slice);
      return nullptr;
    }
  }

  float highest = 0.0f;
  float lowest = std::numeric_limits<float>::infinity();
  double sx = 0.0, sy = 0.0, sz = 0.0;
  std::size_t count = 0;
  const auto stored = QVSDPoint3D::createPointsInScanSlice(slice, points);
  stepPoints_.insert(stepPoints_.end(), stored.begin(), stored.end());
  for (std::size_t i = 0; i < stored.size(); ++i) {
    const QVLPoint3D& p = points[i];
    highest = std::max(highest, p.point3DY);
    lowest = std::min(lowest, p.point3DY);
    sx += p.point3DX;
    sy += p.point3DY;
    sz += p.point3DZ;
    ++count;
  }
  slice->setNumberOfPoints(static_cast<std::int64_t>(count));
  if (count) {
    slice->setObjectCenterPointX(sx / static_cast<double>(count));
    slice->setObjectCenterPointY(sy / static_cast<double>(count));
    slice->setObjectCenterPointZ(sz / static_cast<double>(count));
  }
  // The cloud's centre is the centre of all its points.
  auto sums = cloudSums_.find(cloud->objectID().number());
  if (sums == cloudSums_.end()) {
    CloudSums start;
    for (const auto& s : cloud->scanSlices()) {
      if (s == slice) continue;
      const std::int64_t n = s->numberOfPoints().value_or(0);
      if (n <= 0) continue;
      start.x += s->objectCenterPointX().value_or(0.0) * static_cast<double>(n);
      start.y += s->objectCenterPointY().value_or(0.0) * static_cast<double>(n);
      start.z += s->objectCenterPointZ().value_or(0.0) * static_cast<double>(n);
      start.count += n;
    }
    sums = cloudSums_.emplace(cloud->objectID().number(), start).first;
  } else if (replaced.count > 0) {
    sums->second.x -= replaced.x;
    sums->second.y -= replaced.y;
    sums->second.z -= replaced.z;
    sums->second.count -= replaced.count;
  }
  CloudSums& total = sums->second;
  total.x += sx;
  total.y += sy;
  total.z += sz;
  total.count += static_cast<std::int64_t>(count);
  if (total.count > 0) {
    cloud->setObjectCenterPointX(total.x / static_cast<double>(total.count));
    cloud->setObjectCenterPointY(total.y / static_cast<double>(total.count));
    cloud->setObjectCenterPointZ(total.z / static_cast<double>(total.count));
  }
  if (count) {
    if (auto scan = cloud->scanObject()) {
      const auto old = scan->yCutoff();
      scan->setYCutoff(old ? std::min<double>(*old, lowest) : lowest);
    }
  }
  {
    std::lock_guard lock(topPointsMutex_);
    topPoints_.push_back(highest);
  }
  QVLogInfo("createSliceForPointCloud:");
  return slice;
}

qv::RotationStep QVLScan::estimateNextRotation(const std::shared_ptr<QVSDScanSlice>& slice) {
  return estimateNextRotation(slice, true);
}

qv::RotationStep QVLScan::estimateNextRotation(const std::shared_ptr<QVSDScanSlice>& slice, bool pruneOlderPoints) {
  if (degreesToRotate_ != 0.0f) return {degreesToRotate_, degreesToRotate_};
  const qv::RotationStep fallback{limits_.default_deg, limits_.default_deg};
  auto cloud = slice ? slice->pointCloud() : nullptr;
  if (!cloud) return fallback;
  const std::string path = cloud->vertexDataFilePath().value_or("");
  if (path.empty() || cloud->scanSliceCount() < 2) return fallback;
  std::error_code ec;
  const auto size = std::filesystem::file_size(path, ec);
  if (ec) return fallback;
  const auto offset = static_cast<std::uint64_t>(slice->dataOffset().value_or(0));
  if (size < offset + qv::kSliceBlockBytes) {
    QVLogWarn("Slice data out is not valid");
    return fallback;
  }
  const float current = currentBedRotation();
  const float half = static_cast<float>(0.5 * limits_.minimum_deg);
  auto previous = QVSDScanSlice::previousScanSliceForRotation(static_cast<float>(current - 0.5 * limits_.minimum_deg), cloud);
  if (!previous) {
    QVLogWarn("Could not load previous slice");
    return fallback;
  }
  const auto previousOffset = static_cast<std::uint64_t>(previous->dataOffset().value_or(0));
  if (size < previousOffset + qv::kSliceBlockBytes) {
    QVLogWarn("Slice data out is not valid");
    return fallback;
  }
  // Only the two blocks compared are read, not the whole file.
  qv::Error readError;
  const auto block = qv::readSliceBlockAt(path, offset, &readError);
  const auto before = block ? qv::readSliceBlockAt(path, previousOffset, &readError) : std::nullopt;
  if (!block || !before) {
    QVLogWarn("Slice data out is not valid");
    return fallback;
  }
  const qv::SliceDistance distance = qv::sliceBlockDistance(*block, *before);
  const float rotation = static_cast<float>(slice->rotation().value_or(current));
  qv::RotationStep step;
  if (auto ahead = QVSDScanSlice::nextScanSliceForRotation(current + half, cloud)) {
    step = qv::stepPastSliceAhead(current, lastBedRotation_, static_cast<float>(ahead->rotation().value_or(0.0)), limits_);
  } else {
    if (const auto average = distance.average())
      QVLogInfo("Slice %f: averageDistance:%f", static_cast<double>(rotation), *average);
    else
      QVLogInfo("Slice %f: Not enough aligned points to estimate rotation requirements", static_cast<double>(rotation));
    step = qv::adaptiveStep(distance.average(), lastBedRotation_, limits_);
  }
  // Only the newest slices need their stored points (the previews show them); older ones keep
  // their block in the vertex file.
  if (pruneOlderPoints && cloud->scanSliceCount() >= 6) {
    if (auto p1 = QVSDScanSlice::previousScanSliceForRotation(rotation, cloud)) {
      if (auto p2 = QVSDScanSlice::previousScanSliceForRotation(static_cast<float>(p1->rotation().value_or(0.0)), cloud))
        for (const auto& point : p2->points()) context().deleteObject(point);
    }
  }
  return step;
}

bool QVLScan::savePointDataUsingContext(qv::ObjectContext& context, qv::Error* error, std::vector<qv::Error>* skipped) {
  auto scan = QVSDScanObject::scanObjectWithId(scanObjectId_, true, context);
  if (!scan) {
    if (error) *error = qv::Error(qv::kScanErrorDomain, kPointDataErrorCode, "The scan object is not in the store");
    return false;
  }
  double sx = 0.0, sy = 0.0, sz = 0.0;
  std::size_t count = 0;
  auto prepare = [&](QVSDPointCloud&, std::vector<QVLSliceVertex>& grid, std::size_t slices) {
    qv::computeSliceGridNormals(grid, slices);
    for (const QVLSliceVertex& v : grid) {
      if (!v.hasPoint()) continue;
      sx += v.point3DX;
      sy += v.point3DY;
      sz += v.point3DZ;
      ++count;
    }
  };
  qv::Error buildError;
  bool built = scan->buildVertexDataFromPointClouds(prepare, &buildError, skipped);
  if (count) scan->setObjectCenterPoint({sx / count, sy / count, sz / count});
  // The scan object holds the assembled records too: the writers, the viewer and the screens read
  // them from there.
  if (built) {
    if (auto path = scan->vertexDataFilePath()) {
      qv::Error readError;
      if (auto bytes = qv::readWholeFile(*path, &readError)) {
        scan->setVertexData(std::make_shared<const qv::Data>(std::move(*bytes)));
      } else {
        buildError = readError;
        built = false;
      }
    }
  }
  qv::Error saveError;
  const bool saved = context.save(&saveError);
  if (!saved) QVLogWarn("Could not save point data:%s", saveError.text().c_str());
  if (!built || !saved) {
    const qv::Error& cause = built ? saveError : buildError;
    if (error) {
      *error = qv::Error(qv::kScanErrorDomain, kPointDataErrorCode, "The scan's point data could not be saved: " + cause.description,
                         cause.userInfo);
    }
    return false;
  }
  return true;
}
