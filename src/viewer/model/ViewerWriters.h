// The file writers the viewer saves and exports points with, chosen by extension.
#pragma once

#include <memory>
#include <string>

#include "formats/QVLFileExporter.h"
#include "store/ObjectID.h"

namespace qv::viewer {

// "qvkx", "qvk", "xyz", "ply", "pcd": the writer for that extension, or nothing when the
// program has none for it.
std::unique_ptr<QVLFileExporter> makePointWriter(const std::string& extension, const ObjectID& scanObjectId);

// The mesh writer for "obj" (with its material and texture files when `textured`) or "stl".
std::unique_ptr<QVLFileExporter> makeMeshWriter(const std::string& extension, const ObjectID& scanObjectId,
                                                bool textured);

}  // namespace qv::viewer
