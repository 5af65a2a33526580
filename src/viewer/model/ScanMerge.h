// Merging a second scan, already moved onto a fixed scan, into a new stored scan object: the
// vertex records one after the other, the second scan's clouds, indices, capture geometry and
// textures carried over and moved, and the name the merged file is offered under.
#pragma once

#include <optional>
#include <span>
#include <string>

#include "store/ObjectContext.h"
#include "store/ObjectID.h"
#include "viewer/model/QVLAlign.h"

namespace qv::viewer {

struct MergeInput {
  ObjectID fixedScanId, secondScanId;
  // The buffers the alignment read: the fixed scan's own, and the second scan's after the matrix.
  std::span<const std::uint8_t> fixedVertexData, movedVertexData;
  QVLAlign::Matrix matrix;
  std::string secondFilePath;
};

struct MergeResult {
  ObjectID mergedScanId;
  std::string proposedPath;  // empty when the fixed scan's file is no scan file
  bool bothHaveSlices = false;
};

// Runs on the context's queue; nothing when either scan is gone or the save failed (the merged
// object is then rolled out of the context again).
std::optional<MergeResult> mergeAlignedScans(ObjectContext& context, const MergeInput& input, Error* error);

// The fixed scan's folder and "<fixed name>_<second name>.<qvkx or qvk>"; empty when the fixed
// scan's path does not end in "qvk" or "qvkx" (any case).
std::string combineSourceFilePath(const std::string& fixedPath, const std::string& secondPath, bool saveAsQvkxFile);

}  // namespace qv::viewer
