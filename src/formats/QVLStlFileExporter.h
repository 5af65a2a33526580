// Writes a scan's mesh as a binary STL file.
#pragma once

#include <optional>
#include <string>

#include "formats/QVLFileExporter.h"
#include "platform/Value.h"

class QVLStlFileExporter : public QVLFileExporter {
public:
  using QVLFileExporter::QVLFileExporter;

  bool exportScanToFilePath(const std::string& path, qv::Error* error = nullptr) override;
  // False (and the error) when the scan has no meshed data or the file cannot be written; a file
  // already at the path is replaced only by a complete one.
  bool saveStlToFilePath(const std::string& path, qv::Error* error = nullptr);

  // The file's bytes; nothing when the scan has no meshed data (empty data gives a file of no
  // triangles). Records beyond the last whole triangle are left out.
  std::optional<qv::Data> createStlData();
};
