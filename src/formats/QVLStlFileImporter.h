// Reads an ASCII STL mesh (the mesher's output) into a scan object's meshed vertex data.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "formats/QVLFileImporter.h"
#include "platform/Value.h"

// One 44-byte scan vertex record per "vertex" line, in file order, so triangle t is records 3t to
// 3t+2; each takes its facet's normal negated and a uniform grey. Vertices below the scan's y
// cut-off are raised to it with the normal (0, -1, 0). Where exactly three corners share a
// position (to three decimals) their normals are averaged. Fields are words split at blanks,
// numbers are read in the C locale, and a last line without a line feed is read like any other.
// The file is decoded whole first; the scan object changes only when that succeeded.
class QVLStlFileImporter : public QVLFileImporter {
public:
  using QVLFileImporter::QVLFileImporter;

  static constexpr const char* kInvalidDescription = "The STL file is invalid";
  static constexpr float kGrey = 155.0f / 255.0f;

  bool parseFile(qv::Error* error) override;

  // The next line, lower-cased and without its line feed; nothing, with the error, once the data
  // is used up.
  std::optional<std::string> readLine(const qv::Data& bytes, qv::Error* error);
  // The meshed vertex data of a whole file (what parseFile stores), with the scan's y cut-off.
  bool decodeMesh(const qv::Data& bytes, float yCutoff, qv::Data& meshed, qv::Error* error);

  const std::string& currentLineData() const { return currentLineData_; }
  std::uint64_t dataOffset() const { return dataOffset_; }
  std::uint64_t dataSize() const { return dataSize_; }

private:
  std::string currentLineData_;
  std::uint64_t dataOffset_ = 0;
  std::uint64_t dataSize_ = 0;
};
