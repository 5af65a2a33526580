// Writes a scan's points as a binary little-endian PLY file with normals and colours.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "formats/QVLFileExporter.h"
#include "platform/Value.h"

class QVLPlyFileExporter : public QVLFileExporter {
public:
  using QVLFileExporter::QVLFileExporter;

  bool exportScanToFilePath(const std::string& path, qv::Error* error = nullptr) override;
  // False (and the error) when the scan is missing or has no vertex data, or the file cannot be
  // written; a file already at the path is replaced only by a complete one.
  bool savePlyToFilePath(const std::string& path, qv::Error* error = nullptr);

  // The body (nothing when the scan has no vertex data); sets numberOfPointSaved.
  std::optional<qv::Data> createBinaryVertexData();
  // The header for numberOfPointSaved points.
  qv::Data createPlyHeaderData() const;

  std::uint64_t numberOfPointSaved() const { return numberOfPointSaved_; }

private:
  std::uint64_t numberOfPointSaved_ = 0;
};
