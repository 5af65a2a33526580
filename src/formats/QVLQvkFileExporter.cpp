// The qvk writer: copies the scan out of the store, then writes the file as it encodes it.
#include "formats/QVLQvkFileExporter.h"

#include <cmath>

#include "formats/FormatErrors.h"
#include "formats/QvkFormat.h"
#include "formats/internal/PieceWriter.h"
#include "formats/internal/SystemLog.h"
#include "platform/Log.h"
#include "store/QVSDPointCloud.h"
#include "store/QVSDScanObject.h"
#include "store/QVSDScanSlice.h"

namespace {

// A value the cloud does not hold stays unset: the record carries it as a NaN, never as 0.
std::optional<float> floatOf(const std::optional<double>& v) {
  if (!v) return std::nullopt;
  return static_cast<float>(*v);
}

// The integer value of a stored number, cut toward zero; 0 for a value no integer holds.
std::int64_t integerOf(const std::optional<double>& v) {
  const double d = v.value_or(0.0);
  return std::fabs(d) < 9.2e18 ? static_cast<std::int64_t>(d) : 0;
}

qv::qvk::CloudRecordSource cloudSource(const std::shared_ptr<QVSDPointCloud>& cloud) {
  qv::qvk::CloudRecordSource s;
  s.cameraOrigin[0] = floatOf(cloud->cameraOriginX());
  s.cameraOrigin[1] = floatOf(cloud->cameraOriginY());
  s.cameraOrigin[2] = floatOf(cloud->cameraOriginZ());
  s.laserOrigin[0] = floatOf(cloud->laserOriginX());
  s.laserOrigin[1] = floatOf(cloud->laserOriginY());
  s.laserOrigin[2] = floatOf(cloud->laserOriginZ());
  // Cut toward zero; an infinity or a NaN stays one, for the save to refuse.
  s.headHeight = static_cast<float>(std::trunc(cloud->headHeight().value_or(0.0)));
  s.referenceId = cloud->referenceId().value_or(0);
  s.laserNumber = cloud->laserNumber().value_or(0);
  s.height = integerOf(cloud->height());
  s.heightIsANumber = !cloud->height() || std::isfinite(*cloud->height());
  s.cameraWidth = cloud->cameraWidth().value_or(0);
  s.cameraHeight = cloud->cameraHeight().value_or(0);
  s.bed[0] = floatOf(cloud->bedX());
  s.bed[1] = floatOf(cloud->bedY());
  s.bed[2] = floatOf(cloud->bedZ());
  s.bedNormal[0] = floatOf(cloud->bedNX());
  s.bedNormal[1] = floatOf(cloud->bedNY());
  s.bedNormal[2] = floatOf(cloud->bedNZ());
  s.leadScrewNormal[0] = floatOf(cloud->leadScrewNX());
  s.leadScrewNormal[1] = floatOf(cloud->leadScrewNY());
  s.leadScrewNormal[2] = floatOf(cloud->leadScrewNZ());
  s.laserNormal[0] = floatOf(cloud->laserNormalX());
  s.laserNormal[1] = floatOf(cloud->laserNormalY());
  s.laserNormal[2] = floatOf(cloud->laserNormalZ());
  s.sliceCount = cloud->scanSliceCount();
  if (s.sliceCount > 0) {
    // The slices' rotations as stored, in ascending order; no unit conversion.
    for (const auto& slice : QVSDScanSlice::scanSlicesSortedByRotationInPointCloud(cloud))
      qv::qvk::appendScalar(s.radians, static_cast<float>(slice->rotation().value_or(0.0)));
  } else if (auto radians = cloud->radiansData()) {
    s.radians.assign(radians->begin(), radians->begin() + static_cast<std::ptrdiff_t>(radians->size() / 4 * 4));
  }
  if (auto index = cloud->vertexIndexData(); index && !index->empty()) s.vertexIndexData = index;
  return s;
}

}  // namespace

// Everything the file is made of, copied out of the store in one block so that the vertex
// records and the cloud records see the same vertex data. Vertex buffers are shared, not copied:
// stored bytes never change once made.
struct QVLQvkFileExporter::Snapshot {
  bool found = false;
  qv::SharedData vertexData;
  std::vector<qv::SharedData> indexLists;  // of the clouds whose index data is not empty
  std::vector<qv::qvk::CloudRecordSource> clouds;
};

QVLQvkFileExporter::Snapshot QVLQvkFileExporter::takeSnapshot() {
  Snapshot snap;
  storeReadError_.reset();
  auto context = privateQueueContext();
  if (!context || !scanObjectId()) return snap;
  readForExport(*context, [&] {
    auto scan = QVSDScanObject::scanObjectWithId(scanObjectId(), false, *context);
    if (!scan) return;
    snap.found = true;
    snap.vertexData = scan->unsavedVertexData();
    if (!snap.vertexData) snap.vertexData = scan->vertexData();
    for (const auto& cloud : scan->pointClouds()) {
      snap.clouds.push_back(cloudSource(cloud));
      if (snap.clouds.back().vertexIndexData) snap.indexLists.push_back(snap.clouds.back().vertexIndexData);
    }
  });
  return snap;
}

bool QVLQvkFileExporter::exportScanToFilePath(const std::string& path, qv::Error* error) {
  QVLFileExporter::exportScanToFilePath(path, error);
  return saveQvkToFilePath(path, error);
}

void QVLQvkFileExporter::createBinaryVertexData(qv::Data& vertexBytes, std::uint64_t& numberOfVertices,
                                                std::uint64_t& numberOfClouds) {
  vertexBytes.clear();
  numberOfVertices = 0;
  numberOfClouds = 0;
  const Snapshot snap = takeSnapshot();
  numberOfClouds = snap.clouds.size();
  if (!snap.vertexData || snap.vertexData->size() < qv::qvk::kScanVertexBytes) return;
  numberOfVertices = snap.vertexData->size() / qv::qvk::kScanVertexBytes;
  vertexBytes = qv::qvk::encodeVertexRecords(*snap.vertexData, snap.indexLists);
}

qv::Data QVLQvkFileExporter::createQvkHeaderWithNumberOfPoints(std::uint64_t numberOfPoints,
                                                               std::uint64_t numberOfClouds) const {
  const std::string text = qv::qvk::headerText(numberOfPoints, numberOfClouds, version_.shortVersion, version_.build);
  return qv::Data(text.begin(), text.end());
}

std::optional<qv::Data> QVLQvkFileExporter::createQvkCloudData(qv::Error* error) {
  const Snapshot snap = takeSnapshot();
  if (storeReadFailed(error)) return std::nullopt;
  qv::Data out;
  const std::span<const std::uint8_t> vertexData = snap.vertexData ? std::span<const std::uint8_t>(*snap.vertexData)
                                                                   : std::span<const std::uint8_t>();
  for (std::size_t i = 0; i < snap.clouds.size(); ++i) {
    std::string problem;
    if (!qv::qvk::appendCloudRecord(out, snap.clouds[i], vertexData, &problem)) {
      if (error) *error = qv::fileError(qv::kFormatLimitError, "", out.size(), "Cloud " + std::to_string(i + 1) + ": " + problem);
      return std::nullopt;
    }
  }
  return out;
}

bool QVLQvkFileExporter::saveQvkToFilePath(const std::string& path, qv::Error* error) {
  if (path.empty()) {
    qv::systemLog("Could not create the file with the path %s", path.c_str());
    if (error) *error = qv::fileError(qv::kFileWriteError, path, 0, "No file path was given");
    return false;
  }
  const Snapshot snap = takeSnapshot();
  if (storeReadFailed(error)) return false;
  if (!snap.found) {
    if (error) *error = qv::Error(qv::kScanErrorDomain, qv::kInvalidParameterError, "There is no scan to write",
                                  {{qv::kParameterKey, "scanObjectId"}});
    return false;
  }
  if (!snap.vertexData || snap.vertexData->size() < qv::qvk::kScanVertexBytes) {
    if (error) *error = qv::Error(qv::kScanErrorDomain, qv::kInvalidParameterError, "The scan has no points to write",
                                  {{qv::kParameterKey, "vertexData"}});
    return false;
  }
  const std::uint64_t n = snap.vertexData->size() / qv::qvk::kScanVertexBytes;
  const qv::Data header = createQvkHeaderWithNumberOfPoints(n, snap.clouds.size());
  // Every cloud record is checked before the file is begun, so that a count the format cannot
  // hold leaves the earlier file as it was; the error names where that record would begin.
  std::uint64_t at = header.size() + n * qv::qvk::kVertexRecordBytes;
  for (std::size_t i = 0; i < snap.clouds.size(); ++i) {
    if (auto problem = qv::qvk::cloudRecordProblem(snap.clouds[i])) {
      qv::systemLog("Could not write %s: %s", path.c_str(), problem->c_str());
      if (error) *error = qv::fileError(qv::kFormatLimitError, path, at, "Cloud " + std::to_string(i + 1) + ": " + *problem);
      return false;
    }
    at += qv::qvk::cloudRecordLength(snap.clouds[i]);
  }

  // Written beside the destination as it is encoded, and renamed over it once complete.
  const bool written = qv::writeFileInPieces(
      path,
      [&](qv::PieceWriter& out) {
        out.bytes(header);
        qv::qvk::writeVertexRecords(out, *snap.vertexData, snap.indexLists);
        for (const auto& cloud : snap.clouds) qv::qvk::writeCloudRecord(out, cloud, *snap.vertexData);
      },
      error);
  if (!written) {
    qv::systemLog("There is a problem writing into %s", path.c_str());
    return false;
  }
  qv::systemLog("The QVK file was written successfully at %s", path.c_str());
  // Saved: the points the file does not hold are said now, as a read says what it did not keep.
  if (const std::uint64_t unlisted = qv::qvk::unlistedPoints(*snap.vertexData, snap.indexLists); unlisted > 0) {
    const std::string text = "The scan was saved, but " + std::to_string(unlisted) + " of its points " + (unlisted == 1 ? "was" : "were") +
                             " not kept: no cloud lists " + (unlisted == 1 ? "it" : "them") +
                             " (a scan file with clouds keeps only the points its clouds list)";
    QVLogWarn("Saved %s: %s", path.c_str(), text.c_str());
    if (error) *error = qv::Error(qv::kScanErrorDomain, qv::kFormatLimitError, text, {{qv::kParameterKey, "vertexData"}});
  }
  return true;
}
