// Writes a scan object as a qvkx project file: a zip of one cloud file per point cloud, the
// "CloudData.qvtx" texture description with the texture photographs, and a thumbnail.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "formats/FileVersion.h"
#include "formats/QVLFileExporter.h"
#include "platform/Value.h"

class QVSDPointCloud;

// The members are put together in a fresh folder named "<UUID>.QvkxExport" in the library folder
// (removed when the save ends; the application removes any that a crash left at its next start),
// zipped into a file beside the destination and renamed over it once complete, so a failed save
// leaves any earlier project file as it was. Every failure is an error: a missing scan, a scan
// without points (code 2), a cloud of more rows a slice than the camera has (code 121), a cloud
// file, texture or description that cannot be written, a failed zip, running out of memory.
// A cloud's grid is written as far as its index data reaches: slices past its end hold no point
// and are left out of the body and the header alike, so what is allocated follows the index data,
// not the height and slice count a damaged cloud may claim.
class QVLQvkxFileExporter : public QVLFileExporter {
public:
  using QVLFileExporter::QVLFileExporter;

  bool exportScanToFilePath(const std::string& path, qv::Error* error = nullptr) override;
  bool saveQvkxToFilePath(const std::string& path, qv::Error* error = nullptr);

  // The cloud file's header; nothing for no cloud or a cloud without a scan object. Runs on the
  // cloud's context queue.
  std::optional<qv::Data> createQvkxQvkHeaderForPointCloud(const std::shared_ptr<QVSDPointCloud>& pointCloud) const;
  // The cloud file's slot grid; nothing when there is nothing to write (no slices, no index data,
  // no vertex data, no slots). Runs on the cloud's context queue.
  std::optional<qv::Data> createQvkxVertexDataForPointCloud(const std::shared_ptr<QVSDPointCloud>& pointCloud) const;

  // The version the headers and the description name; the program's own unless set.
  const qv::FileVersion& version() const { return version_; }
  void setVersion(qv::FileVersion version) { version_ = std::move(version); }

private:
  struct Snapshot;
  qv::FileVersion version_ = qv::applicationFileVersion();
};
