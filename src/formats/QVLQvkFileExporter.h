// Writes a scan object as a qvk scan file: a text header, the point records, the cloud records.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "formats/FileVersion.h"
#include "formats/QVLFileExporter.h"
#include "platform/Value.h"

class QVLQvkFileExporter : public QVLFileExporter {
public:
  using QVLFileExporter::QVLFileExporter;

  // Calls the base operation, then saveQvkToFilePath.
  bool exportScanToFilePath(const std::string& path, qv::Error* error = nullptr) override;

  // Writes the whole file; false (and the error) when the scan object is missing or holds no
  // vertex data, when a count does not fit the format, or when the file cannot be written. The
  // file is written beside the destination and moved over it only when complete, so a failed
  // write leaves any earlier file at the path as it was.
  bool saveQvkToFilePath(const std::string& path, qv::Error* error = nullptr);

  // The point records (none when the scan object is missing or has no vertex data), the number
  // of source vertices N and the number of clouds C.
  void createBinaryVertexData(qv::Data& vertexBytes, std::uint64_t& numberOfVertices, std::uint64_t& numberOfClouds);
  // The 43 header lines as ASCII bytes.
  qv::Data createQvkHeaderWithNumberOfPoints(std::uint64_t numberOfPoints, std::uint64_t numberOfClouds) const;
  // The cloud records (empty when the scan object is missing); nothing, with the error naming the
  // offset within the cloud records, when a cloud's counts do not fit the format.
  std::optional<qv::Data> createQvkCloudData(qv::Error* error = nullptr);

  // The version line 4 names; the program's own unless set.
  const qv::FileVersion& version() const { return version_; }
  void setVersion(qv::FileVersion version) { version_ = std::move(version); }

private:
  struct Snapshot;
  Snapshot takeSnapshot();

  qv::FileVersion version_ = qv::applicationFileVersion();
};
