// The qvk writer: copies the scan out of the store, encodes it and writes the file in one go.
#include "formats/QVLQvkFileExporter.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>

#include "formats/FormatErrors.h"
#include "formats/QvkFormat.h"
#include "formats/internal/SystemLog.h"
#include "platform/UUID.h"
#include "store/QVSDPointCloud.h"
#include "store/QVSDScanObject.h"
#include "store/QVSDScanSlice.h"

namespace {

float floatOf(const std::optional<double>& v) { return static_cast<float>(v.value_or(0.0)); }

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
  s.headHeight = static_cast<float>(integerOf(cloud->headHeight()));
  s.referenceId = cloud->referenceId().value_or(0);
  s.laserNumber = cloud->laserNumber().value_or(0);
  s.height = integerOf(cloud->height());
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

// Writes all of the bytes; false with errno set when the descriptor refuses them.
bool writeAll(int fd, const qv::Data& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
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
  const qv::Data vertexBytes = qv::qvk::encodeVertexRecords(*snap.vertexData, snap.indexLists);
  qv::Data cloudBytes;
  for (std::size_t i = 0; i < snap.clouds.size(); ++i) {
    std::string problem;
    const std::uint64_t at = header.size() + vertexBytes.size() + cloudBytes.size();
    if (!qv::qvk::appendCloudRecord(cloudBytes, snap.clouds[i], *snap.vertexData, &problem)) {
      qv::systemLog("Could not write %s: %s", path.c_str(), problem.c_str());
      if (error) *error = qv::fileError(qv::kFormatLimitError, path, at, "Cloud " + std::to_string(i + 1) + ": " + problem);
      return false;
    }
  }

  // Written beside the destination and renamed over it once complete.
  const std::filesystem::path target(path);
  const std::filesystem::path temporary = target.parent_path() / ("." + target.filename().string() + "." + qv::makeUUIDString() + ".tmp");
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) {
    const int err = errno;
    qv::systemLog("Could not create the file with the path %s", path.c_str());
    if (error) {
      *error = qv::fileError(qv::kFileWriteError, path, 0, "Could not create the file: " + std::string(std::strerror(err)));
    }
    return false;
  }
  std::uint64_t written = 0;
  int err = 0;
  for (const qv::Data* part : std::initializer_list<const qv::Data*>{&header, &vertexBytes, &cloudBytes}) {
    if (!writeAll(fd, *part)) {
      err = errno;
      break;
    }
    written += part->size();
  }
  if (err == 0 && ::fsync(fd) != 0) err = errno;
  if (::close(fd) != 0 && err == 0) err = errno;
  if (err == 0 && ::rename(temporary.c_str(), target.c_str()) != 0) err = errno;
  if (err != 0) {
    ::unlink(temporary.c_str());
    qv::systemLog("There is a problem writing into %s", path.c_str());
    if (error) *error = qv::fileError(qv::kFileWriteError, path, written, "Could not write the file: " + std::string(std::strerror(err)));
    return false;
  }
  qv::systemLog("The QVK file was written successfully at %s", path.c_str());
  return true;
}
