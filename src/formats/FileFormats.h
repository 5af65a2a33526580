// Choosing the reader or writer of a file by its extension, as the screens and the application
// core do when the user opens, saves or exports.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "formats/QVLFileExporter.h"
#include "formats/QVLFileImporter.h"
#include "store/ObjectID.h"

namespace qv {

// The extension of a path, lower-cased and without its dot ("" when it has none).
std::string fileExtension(std::string_view path);

// The writer for an extension, compared ignoring case: "qvkx", "qvk", "xyz", "ply", "pcd" for
// points, "obj", "stl" for meshes. Nothing for any other extension.
std::unique_ptr<QVLFileExporter> exporterForExtension(std::string_view extension, ObjectID scanObjectId);
std::unique_ptr<QVLFileExporter> exporterForPath(std::string_view path, ObjectID scanObjectId);

// The reader for an extension, compared ignoring case: "qvk", "qvkx" and "stl". Nothing for any
// other extension.
std::unique_ptr<QVLFileImporter> importerForPath(const std::string& path, ObjectID scanObjectId);

}  // namespace qv
