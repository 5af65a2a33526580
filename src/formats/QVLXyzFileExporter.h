// Writes a scan's points as an XYZ text file: position and normal, one line a point, no header.
#pragma once

#include <string>

#include "formats/QVLFileExporter.h"
#include "platform/Value.h"

class QVLXyzFileExporter : public QVLFileExporter {
public:
  using QVLFileExporter::QVLFileExporter;

  bool exportScanToFilePath(const std::string& path, qv::Error* error = nullptr) override;
  // False (and the error) when there is no point to write or the file cannot be written; a file
  // already at the path is replaced only by a complete one.
  bool saveXyzToFilePath(const std::string& path, qv::Error* error = nullptr);

  // The point lines; empty when there is no point to write.
  qv::Data createTextVertexData();
};
