// Writes a scan's points as an ASCII PCD v.7 file with normals.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "formats/QVLFileExporter.h"
#include "platform/Value.h"

class QVLPcdFileExporter : public QVLFileExporter {
public:
  using QVLFileExporter::QVLFileExporter;

  bool exportScanToFilePath(const std::string& path, qv::Error* error = nullptr) override;
  // False (and the error) for an empty path, a scan without points to write, or a file that
  // cannot be written; a file already at the path is replaced only by a complete one.
  bool savePcdToFilePath(const std::string& path, qv::Error* error = nullptr);

  // The point lines (nothing when no line was written); sets numberOfPointSaved.
  std::optional<qv::Data> createTextVertexData();
  // The header for numberOfPointSaved points.
  qv::Data createPcdHeader() const;

  std::uint64_t numberOfPointSaved() const { return numberOfPointSaved_; }

private:
  std::uint64_t numberOfPointSaved_ = 0;
};
