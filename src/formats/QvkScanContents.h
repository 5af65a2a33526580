// What a qvk file holds once decoded, before any of it goes into the store.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/Value.h"
#include "store/AttributeValue.h"
#include "store/Double3.h"

namespace qv {

// The values one cloud record sets on a new stored point cloud, by attribute name, in the order
// they were read (a later value of the same name wins).
struct QvkCloudContents {
  std::vector<std::pair<std::string, AttributeValue>> attributes;

  void set(std::string name, AttributeValue value) { attributes.emplace_back(std::move(name), std::move(value)); }
  // The last value set under the name, or unset.
  AttributeValue get(const std::string& name) const;
};

// A whole decoded file. Reading decodes into this first and touches the store only when the
// decode succeeded, so a failed or cancelled read leaves the store as it was.
struct QvkScanContents {
  bool hasVertexData = false;  // false when the file declared no vertex block: the scan keeps its own
  Data vertexData;             // 44-byte scan vertex records
  Double3 centre;
  std::vector<QvkCloudContents> clouds;
  std::size_t collectionsVisited = 0;
  // A file that ends inside a record or list: where, and which; what was whole before it stays.
  bool cutShort = false;
  std::uint64_t cutOffset = 0;
  std::string cutReason;
  // Something the read's warning names, at its byte.
  struct Noted {
    std::uint64_t offset = 0;
    std::string reason;
  };
  // Values read otherwise than written: nothing of the file is left out for them.
  std::vector<Noted> remarks;
  // Points read as written though their position or normal is no finite number (one without a
  // finite position is not drawn): nothing is left out for them either.
  std::vector<Noted> keptAsWritten;
  // What the read does not keep, each at its byte: a cloud's calibration value that is an infinity
  // or a NaN (left unset), or such a rotation, left out with its slice of the cloud's points. The
  // cloud keeps its other values and points.
  std::vector<Noted> leftOutValues;
  std::uint64_t vertexCount() const { return vertexData.size() / 44; }
};

}  // namespace qv
